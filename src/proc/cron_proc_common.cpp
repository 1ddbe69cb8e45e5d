#include "proc/cron_proc_common.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace {

constexpr int64_t GRACE_MS = 3000;  // first termination to the forced one

}  // namespace

cron_proc_watch::step cron_proc_watch::next(const cron_run_ctl_t* ctl, int32_t max_runtime_sec,
                                            int64_t elapsed_ms) {
    if (how_ == cron_proc_ending::none) {
        // A cancel outranks a limit that expired in the same cycle.
        if (ctl != nullptr && ctl->cancel_requested.load() != 0)
            how_ = cron_proc_ending::cancelled;
        else if (max_runtime_sec > 0 && elapsed_ms >= int64_t{max_runtime_sec} * 1000)
            how_ = cron_proc_ending::timed_out;
        if (how_ == cron_proc_ending::none) return step::wait;
        terminated_at_ = elapsed_ms;
        return step::terminate;
    }
    if (forced_ || elapsed_ms - terminated_at_ <= GRACE_MS) return step::wait;
    forced_ = true;
    return step::force;
}

int cron_proc_run(const char* cmd, cron_proc_result_t* result, int32_t max_runtime_sec, cron_run_ctl_t* ctl,
                  const char* workdir, const char* env, const cron_account_t* account) {
    if (cmd == nullptr || result == nullptr) return -1;
    *result = cron_proc_result_t{};
    result->exit_code = CRONTAB_EXIT_NOT_STARTED;
    return cron_proc_run_child(cmd, result, max_runtime_sec, ctl, workdir, env, account);
}

bool cron_capture_alloc(cron_capture_t& out, cron_capture_t& err) {
    out.buf.reset(static_cast<char*>(std::calloc(CRON_CAPTURE_LIMIT + 1, 1)));
    err.buf.reset(static_cast<char*>(std::calloc(CRON_CAPTURE_LIMIT + 1, 1)));
    return out.buf && err.buf;
}

void cron_proc_publish(cron_run_ctl_t* ctl, uint32_t pid, [[maybe_unused]] cron_proc_handle_t process) {
    if (ctl == nullptr) return;
    {
        std::lock_guard<std::mutex> lk(ctl->mu);
#ifdef _WIN32
        ctl->proc_handle = process;
#endif
        ctl->proc_id = pid;
        ctl->proc_active.store(1);
    }
    // A canceller holds the owner's lock while it takes `mu`: the owner's
    // lock is taken only after `mu` is released.
    if (ctl->on_child != nullptr) ctl->on_child(ctl, pid);
}

void cron_proc_unpublish(cron_run_ctl_t* ctl) {
    if (ctl == nullptr) return;
    std::lock_guard<std::mutex> lk(ctl->mu);
    ctl->proc_active.store(0);
#ifdef _WIN32
    ctl->proc_handle = CRON_PROC_NONE;
#endif
    ctl->proc_id = 0;
}

void cron_proc_fill_result(cron_proc_result_t* r, cron_proc_ending how, int32_t code, int64_t duration_ms,
                           cron_capture_t& out, cron_capture_t& err) {
    switch (how) {
        case cron_proc_ending::timed_out:
            r->exit_code = CRONTAB_EXIT_TIME_LIMIT;
            r->killed = 1;
            break;
        case cron_proc_ending::cancelled:
            r->exit_code = CRONTAB_EXIT_CANCELLED;
            r->killed = 1;
            break;
        case cron_proc_ending::none: r->exit_code = code; break;
    }
    r->duration_ms = static_cast<int32_t>(std::min<int64_t>(duration_ms, INT32_MAX));
    r->stdout_len = out.len;
    r->stderr_len = err.len;
    r->stdout_buf = out.buf.release();
    r->stderr_buf = err.buf.release();
}

void cron_proc_result_free(cron_proc_result_t* result) {
    if (result == nullptr) return;
    std::free(result->stdout_buf);
    std::free(result->stderr_buf);
    result->stdout_buf = nullptr;
    result->stderr_buf = nullptr;
}
