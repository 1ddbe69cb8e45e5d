#include "sched/cron_instance.h"

#include <chrono>
#include <cstring>
#include <new>

#include "proc/cron_os.h"
#include "sched/cron_error.h"
#include "sched/cron_exec.h"
#include "sched/cron_scheduler.h"
#include "sched/cron_store.h"
#include "sched/cron_text.h"

namespace {

void release(crontab_t* ct) {
    delete ct->shared;
    ct->~crontab_t();
    cron_os_free_zeroed(ct, sizeof *ct);
}

}  // namespace

crontab_t* cron_instance_create(const char* data_dir) {
    // A longer path cut to the field would name another directory, and the
    // store would be read from and written to the wrong place.
    // So would a name the platform can only take altered.
    if (data_dir != nullptr && std::strlen(data_dir) >= CRON_DATA_DIR_SIZE) {
        cron_error_set("data directory is %zu bytes long; at most %zu fit", std::strlen(data_dir),
                       CRON_DATA_DIR_SIZE - 1);
        return nullptr;
    }
    if (data_dir != nullptr && !cron_os_path_valid(data_dir)) {
        cron_error_set("data directory is not valid UTF-8");
        return nullptr;
    }
    void* mem = cron_os_alloc_zeroed(sizeof(crontab_t));
    if (mem == nullptr) {
        cron_error_set("out of memory: an instance needs %zu bytes", sizeof(crontab_t));
        return nullptr;
    }
    // Default-initialisation constructs the atomics and leaves the arrays as
    // the mapping gave them: zero and untouched. `crontab_t()` would clear
    // all 21 MB by hand.
    crontab_t* ct = new (mem) crontab_t;
    try {
        ct->shared = new cron_shared_t;
        ct->next_id = 1;
        if (data_dir != nullptr && *data_dir != '\0') {
            std::memcpy(ct->data_dir, data_dir, std::strlen(data_dir) + 1);
            cron_os_mkdirs(ct->data_dir);
        }
        cron_persist_load(ct);
    } catch (...) {
        release(ct);
        cron_error_set("out of memory");
        return nullptr;
    }
    // What the load left out is kept in the file; creating succeeded.
    cron_error_clear();
    return ct;
}

void cron_instance_destroy(crontab_t* ct) {
    if (ct == nullptr) return;
    cron_scheduler_stop(ct);
    cron_shared_t& sh = *ct->shared;
    {
        std::unique_lock<std::mutex> lk(sh.lock);
        sh.destroying = true;
        sh.idle.wait_for(lk, sh.runs_grace, [&] { return ct->active_runs <= 0; });
        // Workers hold pointers into the instance and its lock: nothing is
        // released before the last of them has left.
        cron_exec_shutdown(ct);
        sh.idle.wait(lk, [&] { return sh.live_execs <= 0; });
        cron_persist_save(ct);
    }
    release(ct);
}
