#include "sched/cron_scheduler.h"

#include "sched/cron_exec.h"

// Stub until the scheduler loop exists.
int cron_scheduler_start(crontab_t*) { return -1; }

int cron_scheduler_stop(crontab_t* ct) {
    if (ct == nullptr || ct->shared == nullptr) return 0;
    cron_shared_t& sh = *ct->shared;
    // Two stopping threads must not join the same thread object.
    std::lock_guard<std::mutex> stopping(sh.stop_lock);
    if (!ct->running) return 0;
    {
        // Under the lock, so the request cannot slip between the scheduler's
        // test of the flag and its wait on `wake`.
        std::lock_guard<std::mutex> lk(sh.lock);
        ct->stop_requested = 1;
    }
    sh.wake.notify_all();
    if (sh.sched_thread.joinable()) sh.sched_thread.join();
    ct->running = 0;
    return 0;
}
