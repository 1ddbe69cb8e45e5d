// The half of the runner that is the same on every platform: the hand-over
// of the child to cron_proc_cancel, the time limit and cancel checks, the
// capture buffers and the result of a run from how it ended. Only the runner
// files include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#ifndef _WIN32
#    include <sys/types.h>
#endif

#include "base/cron_unique.h"
#include "proc/cron_proc.h"

// Longest wait of one cycle: it bounds how late a limit or a cancel is seen.
constexpr int CRON_PROC_POLL_MS = 50;

enum class cron_proc_ending { none, timed_out, cancelled };

// Ending a run: the first termination when its time limit has passed or a
// cancel has been requested, the forced one after a grace period.
class cron_proc_watch {
public:
    enum class step { wait, terminate, force };
    // What to do in this cycle; `max_runtime_sec` 0 or less means no limit.
    step next(const cron_run_ctl_t* ctl, int32_t max_runtime_sec, int64_t elapsed_ms);
    cron_proc_ending how() const { return how_; }

private:
    cron_proc_ending how_ = cron_proc_ending::none;
    int64_t terminated_at_ = 0;
    bool forced_ = false;
};

// The first CRON_CAPTURE_LIMIT bytes of one output stream. The buffer is
// zero-filled and written in order, so its text is always zero-terminated.
struct cron_capture_t {
    std::unique_ptr<char, free_deleter> buf;
    size_t len = 0;
};

// Both buffers, allocated before the start so that no failure leaves a child
// behind. False when one cannot be had.
bool cron_capture_alloc(cron_capture_t& out, cron_capture_t& err);

// The platform's part of cron_proc_run, called with both pointers checked and
// the result initialised. Only its preparation may throw (std::bad_alloc):
// nothing allocates once the child exists.
int cron_proc_run_child(const char* cmd, cron_proc_result_t* result, int32_t max_runtime_sec,
                        cron_run_ctl_t* ctl, const char* workdir, const char* env,
                        const cron_account_t* account);

#ifndef _WIN32
// HOME, LOGNAME, USER and SHELL=/bin/sh of the account, as NAME=VALUE lines.
std::string cron_proc_account_env(const cron_account_t& account);
// Starts /bin/sh with argv and envp as the account: fork, then in the child
// only async-signal-safe calls: its own process group, default signal
// dispositions, /dev/null and the two pipe ends as 0..2, no other
// descriptor, groups, gid and uid (when switch_ids), the working directory
// (else its home, else "/"), execve. False, with no child left, when any
// step fails.
bool cron_proc_start_as(const cron_account_t& account, int out_w, int err_w, const char* workdir,
                        char* const* argv, char* const* envp, pid_t* pid);
#endif

// Makes the child reachable for cron_proc_cancel.
void cron_proc_publish(cron_run_ctl_t* ctl, uint32_t pid, cron_proc_handle_t process);
// Under the lock the canceller holds while it terminates: once this returns
// no cancel can reach the child, and only then may it be reaped or its
// handle closed.
void cron_proc_unpublish(cron_run_ctl_t* ctl);

// The result of a run that ended as `how` says, or by itself with `code`;
// takes over both captures.
void cron_proc_fill_result(cron_proc_result_t* r, cron_proc_ending how, int32_t code, int64_t duration_ms,
                           cron_capture_t& out, cron_capture_t& err);
