// Executions: one admitted start of a job with its attempts, retry pauses and
// cancellation, the worker threads that carry them, and the bookkeeping that
// keeps the instance alive while any of them may still touch it.
#include "sched/cron_exec.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "expr/cron_calc.h"
#include "quilmarn_crontab.h"
#include "proc/cron_os.h"
#include "sched/cron_error.h"

namespace {

constexpr int64_t PAUSE_SLICE_MS = 100;  // a cancel ends a retry pause within one slice
constexpr char SPAWN_FAILED[] = "failed to spawn process";
constexpr char BACKOFF_CANCELLED[] = "cancelled during retry backoff";
constexpr char NO_WORKER[] = "failed to start a worker thread";
constexpr char RUN_NO_MEMORY[] = "failed to run the command: out of memory";
constexpr char RUN_INTERNAL[] = "failed to run the command: internal error";
constexpr char STATUS_UNKNOWN[] = "exit status not available: the host reaps child processes";

std::atomic<int> spawns_to_fail{0};    // see cron_exec_fail_spawns
std::atomic<int> attempts_to_fail{0};  // see cron_exec_fail_attempts

// What an execution copies from its job when it begins: a change to the job
// applies to executions that begin afterwards.
struct settings {
    char cmd[CRON_CMD_SIZE];
    char workdir[CRON_WORKDIR_SIZE];
    char env[CRON_ENV_SIZE];
    int32_t max_runtime_sec;
    int32_t retry_max;
    int64_t backoff_ms;
};

void copy_settings(const cron_job_t& job, settings* s) {
    std::memcpy(s->cmd, job.cmd, sizeof s->cmd);
    s->cmd[sizeof s->cmd - 1] = '\0';
    std::memcpy(s->workdir, job.workdir, sizeof s->workdir);
    s->workdir[sizeof s->workdir - 1] = '\0';
    std::memcpy(s->env, job.env, sizeof s->env);
    s->env[sizeof s->env - 1] = '\0';
    s->max_runtime_sec = job.max_runtime_sec;
    s->retry_max = std::max(job.retry_max, 0);
    s->backoff_ms = int64_t{std::max(job.retry_backoff_sec, 0)} * 1000;
}

// The record keeps the raw bytes; the run log report repairs invalid UTF-8.
void copy_text(char* dst, const char* src, uint64_t len) {
    size_t n = src != nullptr ? static_cast<size_t>(std::min<uint64_t>(len, CRON_LOG_TEXT_SIZE - 1)) : 0;
    if (n > 0) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// The runner's result, or the text of why it ran nothing. What it throws
// (it allocates the child's environment and its capture buffers) stops here,
// so the attempt is recorded as failed and the execution ends as any other.
const char* run_command(const settings& s, cron_run_ctl_t* ctl, cron_proc_result_t* res) {
    try {
        if (attempts_to_fail.load() > 0 && attempts_to_fail.fetch_sub(1) > 0) throw std::bad_alloc();
        return cron_proc_run(s.cmd, res, s.max_runtime_sec, ctl, s.workdir, s.env) == 0 ? nullptr
                                                                                        : SPAWN_FAILED;
    } catch (const std::bad_alloc&) {
        return RUN_NO_MEMORY;
    } catch (...) {
        return RUN_INTERNAL;
    }
}

void run_attempt(const settings& s, cron_run_ctl_t* ctl, int32_t attempt, cron_log_entry_t* rec) {
    std::memset(rec, 0, sizeof *rec);
    rec->started_at = cron_os_now();
    rec->attempt = attempt;
    cron_proc_result_t res{};
    if (const char* failure = run_command(s, ctl, &res)) {
        cron_proc_result_free(&res);
        rec->finished_at = cron_os_now();
        rec->exit_code = CRONTAB_EXIT_NOT_STARTED;
        copy_text(rec->stderr_text, failure, std::strlen(failure));
        return;
    }
    rec->finished_at = cron_os_now();
    rec->duration_ms = res.duration_ms;
    rec->exit_code = res.exit_code;
    rec->cancelled = res.killed != 0;
    copy_text(rec->stdout_text, res.stdout_buf, res.stdout_len);
    if (res.exit_code == CRONTAB_EXIT_STATUS_UNKNOWN) {
        // The reason first, so a long error output cannot push it out; the
        // child's own output follows on the next line.
        copy_text(rec->stderr_text, STATUS_UNKNOWN, sizeof STATUS_UNKNOWN - 1);
        if (res.stderr_len > 0) {
            constexpr size_t used = sizeof STATUS_UNKNOWN;  // the message and '\n'
            rec->stderr_text[used - 1] = '\n';
            copy_text(rec->stderr_text + used, res.stderr_buf,
                      std::min<uint64_t>(res.stderr_len, CRON_LOG_TEXT_SIZE - 1 - used));
        }
    } else {
        copy_text(rec->stderr_text, res.stderr_buf, res.stderr_len);
    }
    // Only a capture that reached its limit lost output; the cut to the
    // record's size is visible from the record itself.
    rec->truncated = res.stdout_len >= CRON_CAPTURE_LIMIT || res.stderr_len >= CRON_CAPTURE_LIMIT;
    cron_proc_result_free(&res);
}

void backoff_cancelled(int32_t skipped_attempt, cron_log_entry_t* rec) {
    std::memset(rec, 0, sizeof *rec);
    rec->started_at = rec->finished_at = cron_os_now();
    rec->exit_code = CRONTAB_EXIT_CANCELLED;
    copy_text(rec->stderr_text, BACKOFF_CANCELLED, sizeof BACKOFF_CANCELLED - 1);
    rec->cancelled = 1;
    rec->attempt = skipped_attempt;
}

bool retry_due(const cron_run_ctl_t& ctl, const cron_log_entry_t& rec, const settings& s) {
    if (ctl.cancel_requested) return false;
    // A status that cannot be known may well have been a success: running
    // the command again could do its work twice.
    if (rec.exit_code == 0 || rec.exit_code == CRONTAB_EXIT_CANCELLED ||
        rec.exit_code == CRONTAB_EXIT_STATUS_UNKNOWN)
        return false;
    return rec.attempt <= s.retry_max;
}

void pause(int64_t ms, const cron_run_ctl_t& ctl) {
    while (ms > 0 && !ctl.cancel_requested) {
        int64_t slice = std::min(ms, PAUSE_SLICE_MS);
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        ms -= slice;
    }
}

void forget(cron_shared_t& sh, cron_run_ctl_t* ctl) {
    sh.active.erase(std::remove(sh.active.begin(), sh.active.end(), ctl), sh.active.end());
}

// Gives back the run's share of the limit. A scheduler tick that found the
// limit reached looks again at once instead of after its pause.
void release_active(crontab_t* ct) {
    cron_shared_t& sh = *ct->shared;
    if (ct->active_runs >= CRON_MAX_ACTIVE) {
        sh.rescan = true;
        sh.wake.notify_all();
    }
    cron_decrement(ct->active_runs);
    sh.idle.notify_all();
}

// The end of an execution whose job still exists; the lock is held and is
// released here.
int finish(crontab_t* ct, cron_job_t* job, cron_run_ctl_t* ctl, int64_t t0,
           std::unique_lock<std::mutex>& lk) {
    cron_shared_t& sh = *ct->shared;
    job->last_run = t0;
    // Admission has already moved next_run past the fire time it used; keep a
    // later value so one fire time never starts two executions. A start that
    // now lies ahead of the clock means the clock stepped back meanwhile:
    // count from the clock then, or the job would wait out the step. The
    // search may throw (the zone code allocates); the value admission left
    // then stands.
    try {
        const int64_t next = cron_next_time(&job->sched, std::min(t0, cron_os_now()));
        if (next > job->next_run) job->next_run = next;
    } catch (...) {
    }
    cron_decrement(job->running_count);
    forget(sh, ctl);
    release_active(ct);
    if (job->enabled && job->next_run > 0 && job->next_run <= cron_os_now()) {
        // A fire time passed while the job ran: the scheduler starts it now.
        sh.rescan = true;
        sh.wake.notify_all();
    }
    const int32_t id = job->id;
    const bool start_queued =
        job->queued && job->running_count == 0 && ct->active_runs < CRON_MAX_ACTIVE && !sh.destroying;
    if (start_queued) {
        job->queued = 0;
        cron_exec_admit(ct, job);
    }
    lk.unlock();
    if (start_queued) sched_spawn_worker(ct, id);
    return 0;
}

int job_gone(crontab_t* ct, cron_run_ctl_t* ctl) {
    forget(*ct->shared, ctl);
    release_active(ct);
    return -1;
}

void worker_main(cron_worker_arg_t* arg) {
    crontab_t* ct = arg->instance;
    try {
        cron_scheduler_execute_job(ct, arg->job_id);
    } catch (...) {
        // Nothing may end the host from here; the thread must still leave.
    }
    delete arg;
    cron_exec_leave(ct);
}

}  // namespace

void cron_exec_admit(crontab_t* ct, cron_job_t* job) {
    ++job->running_count;
    ++ct->active_runs;
    ++ct->shared->live_execs;
}

void cron_exec_leave(crontab_t* ct) {
    cron_shared_t& sh = *ct->shared;
    std::lock_guard<std::mutex> lk(sh.lock);
    --sh.live_execs;
    // Notified under the lock: once it is released, destroy may free `idle`.
    sh.idle.notify_all();
}

int cron_scheduler_execute_job(crontab_t* ct, int32_t job_id) {
    if (ct == nullptr || ct->shared == nullptr) return -1;
    cron_shared_t& sh = *ct->shared;
    const int64_t t0 = cron_os_now();
    cron_run_ctl_t ctl;
    ctl.job_id = job_id;
    settings s;

    std::unique_lock<std::mutex> lk(sh.lock);
    cron_job_t* job = cron_job_find(ct, job_id);
    if (job == nullptr) {
        release_active(ct);
        return -1;
    }
    if (sh.destroying) {
        // Admitted before destroy began but not begun: it never begins.
        cron_decrement(job->running_count);
        release_active(ct);
        return -1;
    }
    try {
        sh.active.push_back(&ctl);
    } catch (...) {
        cron_decrement(job->running_count);
        release_active(ct);
        return -1;
    }
    copy_settings(*job, &s);
    lk.unlock();

    cron_log_entry_t rec;
    for (int32_t attempt = 1;; ++attempt) {
        run_attempt(s, &ctl, attempt, &rec);
        lk.lock();
        job = cron_job_find(ct, job_id);
        if (job == nullptr) return job_gone(ct, &ctl);
        cron_job_push_log(job, &rec);
        if (!retry_due(ctl, rec, s)) break;
        lk.unlock();
        pause(s.backoff_ms, ctl);
        if (ctl.cancel_requested) {
            backoff_cancelled(attempt + 1, &rec);
            lk.lock();
            job = cron_job_find(ct, job_id);
            if (job == nullptr) return job_gone(ct, &ctl);
            cron_job_push_log(job, &rec);
            break;
        }
    }
    return finish(ct, job, &ctl, t0, lk);
}

void cron_exec_fail_spawns(int count) { spawns_to_fail.store(count); }

void cron_exec_fail_attempts(int count) { attempts_to_fail.store(count); }

void sched_spawn_worker(crontab_t* ct, int32_t job_id) {
    const bool fail = spawns_to_fail.load() > 0 && spawns_to_fail.fetch_sub(1) > 0;
    auto* arg = fail ? nullptr : new (std::nothrow) cron_worker_arg_t{ct, job_id};
    if (arg != nullptr) {
        try {
            std::thread(worker_main, arg).detach();
            return;
        } catch (...) {
            delete arg;
        }
    }
    // No thread (a pids limit, no memory): the run is recorded as one that
    // never started and its admission is given back. Its fire time stays
    // used, like that of any run that failed; retrying at once would only
    // fail again.
    cron_log_entry_t rec;
    std::memset(&rec, 0, sizeof rec);
    rec.started_at = rec.finished_at = cron_os_now();
    rec.exit_code = CRONTAB_EXIT_NOT_STARTED;
    rec.attempt = 1;
    copy_text(rec.stderr_text, NO_WORKER, sizeof NO_WORKER - 1);
    cron_shared_t& sh = *ct->shared;
    std::lock_guard<std::mutex> lk(sh.lock);
    if (cron_job_t* job = cron_job_find(ct, job_id)) {
        cron_decrement(job->running_count);
        cron_job_push_log(job, &rec);
    }
    cron_decrement(ct->active_runs);
    --sh.live_execs;
    sh.idle.notify_all();
}

int cron_exec_run_now(crontab_t* ct, int32_t id) {
    cron_shared_t& sh = *ct->shared;
    {
        std::lock_guard<std::mutex> lk(sh.lock);
        cron_job_t* job = cron_job_find(ct, id);
        if (job == nullptr) return cron_error_fail(CRONTAB_ERROR, "no job with id %d", id);
        if (sh.destroying) return cron_error_fail(CRONTAB_ERROR, "the instance is being destroyed");
        // Nothing is queued by hand, whatever the policy.
        if (job->running_count != 0 && job->overlap_policy != CRON_OVERLAP_ALLOW) {
            return cron_error_fail(CRONTAB_ERROR, "job %d is already running and its overlap policy is %s",
                                   id, job->overlap_policy == CRON_OVERLAP_QUEUE ? "queue" : "skip");
        }
        if (ct->active_runs >= CRON_MAX_ACTIVE) {
            return cron_error_fail(CRONTAB_ERROR, "%d runs are active; no more may start until one ends",
                                   CRON_MAX_ACTIVE);
        }
        cron_exec_admit(ct, job);
    }
    int rc = -1;
    try {
        rc = cron_scheduler_execute_job(ct, id);
    } catch (...) {
        rc = -1;
    }
    cron_exec_leave(ct);
    if (rc == 0) return CRONTAB_OK;
    if (!cron_error_is_set()) cron_error_set("job %d was deleted while it ran", id);
    return CRONTAB_ERROR;
}

int cron_exec_cancel(crontab_t* ct, int32_t id) {
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    cron_job_t* job = cron_job_find(ct, id);
    if (job == nullptr) return cron_error_fail(CRONTAB_ERROR, "no job with id %d", id);
    // Every execution of the job, also several side by side under ALLOW.
    // Under the instance lock no control block can go away: an execution
    // leaves `active` under this lock before its thread leaves.
    bool running = false, signalled = false;
    for (cron_run_ctl_t* ctl : ct->shared->active) {
        if (ctl->job_id != id) continue;
        running = true;
        if (cron_proc_cancel(ctl) == 0) signalled = true;
    }
    if (!running) return cron_error_fail(CRONTAB_NO_CHILD, "job %d is not running", id);
    if (signalled) return CRONTAB_OK;
    return cron_error_fail(CRONTAB_NO_CHILD,
                           "job %d has no child process at this moment; its retries are stopped", id);
}

void cron_exec_shutdown(crontab_t* ct) {
    // Every execution, also several of one job under ALLOW. One admitted but
    // not yet begun sees `destroying` and never starts a child.
    for (cron_run_ctl_t* ctl : ct->shared->active) cron_proc_cancel(ctl);
}
