// The desktop platform has no accounts a child could switch to: a job's user
// is refused.
#include "proc/cron_user.h"

cron_user_status cron_user_resolve(const char* name, cron_account_t*, std::string* why) {
    *why = std::string("jobs cannot run as another user on this platform (user '") + name + "')";
    return cron_user_status::not_available;
}
