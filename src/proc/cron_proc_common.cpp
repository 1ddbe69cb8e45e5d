// Parts of the runner that do not depend on the platform.
#include <cstdlib>

#include "proc/cron_proc.h"

void cron_proc_result_free(cron_proc_result_t* result) {
    if (result == nullptr) return;
    std::free(result->stdout_buf);
    std::free(result->stderr_buf);
    result->stdout_buf = nullptr;
    result->stderr_buf = nullptr;
}
