// Executions: one admitted start of a job with its attempts, retry pauses and
// cancellation, the worker threads that carry them, and the bookkeeping that
// keeps the instance alive while any of them may still touch it.
#include "sched/cron_exec.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "expr/cron_calc.h"
#include "quilmarn_crontab.h"
#include "proc/cron_os.h"
#include "proc/cron_user.h"
#include "sched/cron_cluster.h"
#include "sched/cron_error.h"

namespace {

constexpr int64_t PAUSE_SLICE_MS = 100;  // a cancel ends a retry pause within one slice
constexpr char SPAWN_FAILED[] = "failed to spawn process";
constexpr char BACKOFF_CANCELLED[] = "cancelled during retry backoff";
constexpr char NO_WORKER[] = "failed to start a worker thread";
constexpr char RUN_NO_MEMORY[] = "failed to run the command: out of memory";
constexpr char RUN_INTERNAL[] = "failed to run the command: internal error";
constexpr char STATUS_UNKNOWN[] = "exit status not available: the host reaps child processes";
constexpr char UNCLAIMED[] =
    "not run on this node: the cluster's database could not be reached to claim the fire time, "
    "and this node's policy is to skip (";

std::atomic<int> spawns_to_fail{0};    // see cron_exec_fail_spawns
std::atomic<int> attempts_to_fail{0};  // see cron_exec_fail_attempts

// What an execution copies from its job when it begins: a change to the job
// applies to executions that begin afterwards.
struct settings {
    char name[CRON_NAME_SIZE];
    char cmd[CRON_CMD_SIZE];
    char workdir[CRON_WORKDIR_SIZE];
    char env[CRON_ENV_SIZE];
    int32_t max_runtime_sec;
    int32_t retry_max;
    int64_t backoff_ms;
    char user[CRON_USER_SIZE];
};

void copy_settings(const cron_job_t& job, settings* s) {
    std::memcpy(s->name, job.name, sizeof s->name);
    s->name[sizeof s->name - 1] = '\0';
    std::memcpy(s->cmd, job.cmd, sizeof s->cmd);
    s->cmd[sizeof s->cmd - 1] = '\0';
    std::memcpy(s->workdir, job.workdir, sizeof s->workdir);
    s->workdir[sizeof s->workdir - 1] = '\0';
    std::memcpy(s->env, job.env, sizeof s->env);
    s->env[sizeof s->env - 1] = '\0';
    s->max_runtime_sec = job.max_runtime_sec;
    s->retry_max = std::max(job.retry_max, 0);
    s->backoff_ms = int64_t{std::max(job.retry_backoff_sec, 0)} * 1000;
    std::memcpy(s->user, job.user, sizeof s->user);
    s->user[sizeof s->user - 1] = '\0';
}

// The record keeps the raw bytes; the run log report repairs invalid UTF-8.
void copy_text(char* dst, const char* src, uint64_t len) {
    size_t n = src != nullptr ? static_cast<size_t>(std::min<uint64_t>(len, CRON_LOG_TEXT_SIZE - 1)) : 0;
    if (n > 0) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// The control block of one execution, with what its events name.
struct exec_ctl : cron_run_ctl_t {
    crontab_t* ct = nullptr;
    int32_t attempt = 0;
    const char* name = "";
    int64_t begun_ms = 0;  // monotonic
};

// The runner's call once the attempt's child exists: its start is told with
// the pid, before anything of its end can be.
void tell_start(cron_run_ctl_t* base, uint32_t pid) {
    auto* c = static_cast<exec_ctl*>(base);
    try {
        std::lock_guard<std::mutex> lk(c->ct->shared->lock);
        cron_event_t* ev = cron_event_push_as(c->ct, cron_event_kind::started, c->job_id, c->name);
        ev->execution = c->execution;
        ev->attempt = c->attempt;
        ev->pid = pid;
    } catch (...) {
        // The lock cannot be had: the run goes on untold rather than not at all.
    }
}

// The finished event of one attempt (after not_started when no child ran),
// with the record's texts in the feed's byte ring. The lock is held.
void tell_attempt(crontab_t* ct, int32_t job_id, const char* name, const cron_log_entry_t& rec,
                  int32_t no_start, cron_job_t* job) {
    if (no_start >= 0) {
        cron_event_t* ev = cron_event_push_as(ct, cron_event_kind::not_started, job_id, name);
        ev->execution = rec.execution;
        ev->attempt = rec.attempt;
        ev->detail = no_start;
    }
    cron_event_t* ev = cron_event_push_as(ct, cron_event_kind::finished, job_id, name);
    ev->execution = rec.execution;
    ev->attempt = rec.attempt;
    ev->started_at = rec.started_at;
    ev->finished_at = rec.finished_at;
    ev->duration_ms = rec.duration_ms;
    ev->exit_code = rec.exit_code;
    ev->truncated = rec.truncated;
    ev->cancelled = rec.cancelled;
    ev->fire_time = rec.fire_time;
    cron_event_put_text(ct, ev, rec.stdout_text, strnlen(rec.stdout_text, CRON_LOG_TEXT_SIZE),
                        rec.stderr_text, strnlen(rec.stderr_text, CRON_LOG_TEXT_SIZE));
    if (job != nullptr) cron_stats_count(&job->stats, *ev);
}

int32_t outcome_of(int32_t exit_code) {
    switch (exit_code) {
        case 0: return CRON_OUTCOME_SUCCEEDED;
        case CRONTAB_EXIT_TIME_LIMIT: return CRON_OUTCOME_TIMED_OUT;
        case CRONTAB_EXIT_CANCELLED: return CRON_OUTCOME_CANCELLED;
        case CRONTAB_EXIT_NOT_STARTED: return CRON_OUTCOME_NOT_STARTED;
        case CRONTAB_EXIT_STATUS_UNKNOWN: return CRON_OUTCOME_STATUS_UNKNOWN;
        default: return CRON_OUTCOME_FAILED;
    }
}

// The ended event: the last attempt's outcome, and whether the execution
// failed with nothing left to try (not cancelled, not an unknown status,
// which is never retried since the command may have succeeded).
// `job` is null once the job is gone: its counters went with it. `duration_ms`
// as cron_stats_count takes it.
void tell_end(crontab_t* ct, int32_t job_id, const char* name, uint64_t execution, int32_t attempts,
              int32_t exit_code, bool cancel_requested, cron_job_t* job, int64_t duration_ms = -1) {
    cron_event_t* ev = cron_event_push_as(ct, cron_event_kind::ended, job_id, name);
    const int32_t outcome = outcome_of(exit_code);
    ev->execution = execution;
    ev->detail = outcome;
    ev->count = attempts;
    ev->exit_code = exit_code;
    ev->flag = !cancel_requested && (outcome == CRON_OUTCOME_FAILED || outcome == CRON_OUTCOME_TIMED_OUT ||
                                     outcome == CRON_OUTCOME_NOT_STARTED);
    if (job != nullptr) cron_stats_count(&job->stats, *ev, duration_ms);
}

// The runner's result, or the text of why it ran nothing. What it throws
// (it allocates the child's environment and its capture buffers) stops here,
// so the attempt is recorded as failed and the execution ends as any other.
const char* run_command(const settings& s, const cron_account_t* account, cron_run_ctl_t* ctl,
                        cron_proc_result_t* res) {
    try {
        if (attempts_to_fail.load() > 0 && attempts_to_fail.fetch_sub(1) > 0) throw std::bad_alloc();
        return cron_proc_run(s.cmd, res, s.max_runtime_sec, ctl, s.workdir, s.env, account) == 0
                   ? nullptr
                   : SPAWN_FAILED;
    } catch (const std::bad_alloc&) {
        return RUN_NO_MEMORY;
    } catch (...) {
        return RUN_INTERNAL;
    }
}

// Why no child started: a missing working directory is the usual cause, and
// the runner's own failure cannot tell it from a missing shell.
std::string spawn_failure(const settings& s, const char* failure) {
    if (failure != SPAWN_FAILED || s.workdir[0] == '\0' || cron_os_is_dir(s.workdir)) return failure;
    const std::string text = std::string(SPAWN_FAILED) + ": working directory " + s.workdir;
    return cron_os_file_exists(s.workdir) ? text + " is not a directory" : text + ": " + cron_os_error_text();
}

// The job's account as it is now, looked up without the lock (the database
// may be a directory service); false with the sentence in *why.
bool resolve_user(const settings& s, cron_account_t* account, std::string* why) {
    try {
        return cron_user_resolve(s.user, account, why) == cron_user_status::ok;
    } catch (...) {
        *why = RUN_NO_MEMORY;
        return false;
    }
}

void not_started(cron_log_entry_t* rec, const char* why) {
    rec->finished_at = cron_os_now();
    rec->exit_code = CRONTAB_EXIT_NOT_STARTED;
    copy_text(rec->stderr_text, why, std::strlen(why));
}

// -1 when a child ran; else why none could be started (cron_event_no_start).
int32_t run_attempt(const settings& s, cron_run_ctl_t* ctl, int32_t attempt, cron_log_entry_t* rec) {
    std::memset(rec, 0, sizeof *rec);
    rec->started_at = cron_os_now();
    rec->attempt = attempt;
    cron_account_t account;
    const bool has_user = s.user[0] != '\0';
    if (has_user) {
        std::string why;
        if (!resolve_user(s, &account, &why)) {
            not_started(rec, why.c_str());
            return CRON_NO_START_USER;
        }
    }
    cron_proc_result_t res{};
    if (const char* failure = run_command(s, has_user ? &account : nullptr, ctl, &res)) {
        cron_proc_result_free(&res);
        const std::string why = spawn_failure(s, failure);
        not_started(rec, why.c_str());
        return CRON_NO_START_CHILD;
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
    return -1;
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
// `rec` is null for an execution that another node's claim ended: it told
// claimed_elsewhere, has no end to tell and did not run here.
int finish(crontab_t* ct, cron_job_t* job, exec_ctl* ctl, int64_t t0, const cron_log_entry_t* rec,
           std::unique_lock<std::mutex>& lk) {
    cron_shared_t& sh = *ct->shared;
    if (rec != nullptr) {
        tell_end(ct, job->id, job->name, ctl->execution, rec->attempt, rec->exit_code,
                 ctl->cancel_requested != 0, job, cron_os_monotonic_ms() - ctl->begun_ms);
        job->last_run = t0;
    }
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
    uint64_t queued_execution = 0;
    const int64_t queued_fire = job->queued_fire;
    if (start_queued) {
        job->queued = 0;
        queued_execution = cron_exec_admit(ct, job);
        cron_event_t* ev = cron_event_push(ct, cron_event_kind::admitted, job);
        ev->execution = queued_execution;
        ev->detail = job->overlap_policy == CRON_OVERLAP_REPLACE ? CRON_TRIGGER_REPLACE : CRON_TRIGGER_QUEUE;
        ev->fire_time = queued_fire;
    }
    lk.unlock();
    if (start_queued) sched_spawn_worker(ct, id, queued_execution, queued_fire);
    return 0;
}

int job_gone(crontab_t* ct, exec_ctl* ctl, const cron_log_entry_t& rec) {
    tell_end(ct, ctl->job_id, ctl->name, ctl->execution, rec.attempt, rec.exit_code,
             ctl->cancel_requested != 0, nullptr);
    forget(*ct->shared, ctl);
    release_active(ct);
    return -1;
}

// A won claim, ended in the database once the execution is over. Declared
// before the instance lock's holder, so that it ends after the lock is let go.
struct held_claim {
    std::shared_ptr<cron_cluster_t> cluster;
    std::string job;
    int64_t fire_time = 0;
    void end() {
        if (cluster == nullptr) return;
        try {
            cron_cluster_end(cluster.get(), job, fire_time);
        } catch (...) {
            // No memory: the claim's heartbeat stops with it and it goes stale.
        }
        cluster.reset();
    }
    ~held_claim() { end(); }
};

// Claims the execution's fire time. 1 when it goes on here (won, or the
// database unreachable under the policy to run anyway); otherwise it has
// ended here, with this result. Called without the lock.
int claim_fire(crontab_t* ct, std::shared_ptr<cron_cluster_t> cluster, exec_ctl* ctl, const settings& s,
               int64_t fire_time, bool exclusive, int64_t t0, held_claim* held) {
    cron_claim_t claim;
    try {
        // Replicas know a job by its name; an unnamed one by its command.
        std::string key = s.name[0] != '\0' ? s.name : s.cmd;
        claim = cron_cluster_claim(cluster.get(), key, fire_time, exclusive);
        if (claim.outcome == cron_claim_outcome::won) {
            held->job = std::move(key);
            held->fire_time = fire_time;
            held->cluster = std::move(cluster);
            return 1;
        }
    } catch (...) {
        claim.outcome = cron_claim_outcome::unreachable;
        claim.why = "no memory for the claim";
    }
    if (claim.outcome == cron_claim_outcome::unreachable && cron_cluster_runs_unclaimed(cluster.get()))
        return 1;
    std::unique_lock<std::mutex> lk(ct->shared->lock);
    if (claim.outcome == cron_claim_outcome::unreachable) {
        cron_log_entry_t rec;
        std::memset(&rec, 0, sizeof rec);
        rec.started_at = rec.finished_at = cron_os_now();
        rec.exit_code = CRONTAB_EXIT_NOT_STARTED;
        rec.attempt = 1;
        rec.execution = ctl->execution;
        rec.fire_time = fire_time;
        const std::string text = UNCLAIMED + claim.why.substr(0, 512) + ")";
        copy_text(rec.stderr_text, text.c_str(), text.size());
        cron_job_t* job = cron_job_find(ct, ctl->job_id);
        tell_attempt(ct, ctl->job_id, s.name, rec, CRON_NO_START_CLUSTER, job);
        if (job == nullptr) return job_gone(ct, ctl, rec);
        cron_job_push_log(job, &rec);
        return finish(ct, job, ctl, t0, &rec, lk);
    }
    cron_event_t* ev = cron_event_push_as(ct, cron_event_kind::claimed_elsewhere, ctl->job_id, s.name);
    ev->execution = ctl->execution;
    ev->fire_time = fire_time;
    ev->detail = claim.outcome == cron_claim_outcome::running ? CRON_CLAIM_RUNNING : CRON_CLAIM_TAKEN;
    cron_event_put_text(ct, ev, claim.node.data(), claim.node.size());
    cron_job_t* job = cron_job_find(ct, ctl->job_id);
    if (job != nullptr) cron_stats_count(&job->stats, *ev);
    if (job != nullptr) return finish(ct, job, ctl, t0, nullptr, lk);
    forget(*ct->shared, ctl);
    release_active(ct);
    return -1;
}

void worker_main(cron_worker_arg_t* arg) {
    crontab_t* ct = arg->instance;
    try {
        cron_scheduler_execute_job(ct, arg->job_id, arg->execution, arg->fire_time);
    } catch (...) {
        // Nothing may end the host from here; the thread must still leave.
    }
    delete arg;
    cron_exec_leave(ct);
}

}  // namespace

uint64_t cron_exec_admit(crontab_t* ct, cron_job_t* job) {
    ++job->running_count;
    ++ct->active_runs;
    ++ct->shared->live_execs;
    return ++ct->last_execution;
}

void cron_exec_leave(crontab_t* ct) {
    cron_shared_t& sh = *ct->shared;
    std::lock_guard<std::mutex> lk(sh.lock);
    --sh.live_execs;
    // Notified under the lock: once it is released, destroy may free `idle`.
    sh.idle.notify_all();
}

int cron_scheduler_execute_job(crontab_t* ct, int32_t job_id, uint64_t execution, int64_t fire_time) {
    if (ct == nullptr || ct->shared == nullptr) return -1;
    cron_shared_t& sh = *ct->shared;
    const int64_t t0 = cron_os_now();
    exec_ctl ctl;
    ctl.ct = ct;
    ctl.job_id = job_id;
    ctl.execution = execution;
    ctl.begun_ms = cron_os_monotonic_ms();
    settings s;
    held_claim held;

    std::unique_lock<std::mutex> lk(sh.lock);
    cron_job_t* job = cron_job_find(ct, job_id);
    // Deleted since its admission, or admitted before destroy began: it
    // never begins.
    const bool begins = job != nullptr && !sh.destroying;
    if (begins) {
        try {
            sh.active.push_back(&ctl);
        } catch (...) {
            tell_end(ct, job_id, job->name, execution, 0, CRONTAB_EXIT_NOT_STARTED, false, job);
            cron_decrement(job->running_count);
            release_active(ct);
            return -1;
        }
    }
    if (!begins) {
        tell_end(ct, job_id, job != nullptr ? job->name : nullptr, execution, 0, CRONTAB_EXIT_NOT_STARTED,
                 true, job);
        if (job != nullptr) cron_decrement(job->running_count);
        release_active(ct);
        return -1;
    }
    copy_settings(*job, &s);
    ctl.name = s.name;
    ctl.on_child = tell_start;
    // Runs by hand are not claimed.
    std::shared_ptr<cron_cluster_t> cluster = fire_time > 0 ? sh.cluster : nullptr;
    const bool exclusive = job->overlap_policy == CRON_OVERLAP_SKIP;
    lk.unlock();
    if (cluster != nullptr) {
        const int rc = claim_fire(ct, std::move(cluster), &ctl, s, fire_time, exclusive, t0, &held);
        if (rc != 1) return rc;
    }

    cron_log_entry_t rec;
    for (int32_t attempt = 1;; ++attempt) {
        ctl.attempt = attempt;
        const int32_t no_start = run_attempt(s, &ctl, attempt, &rec);
        rec.execution = execution;
        rec.fire_time = fire_time;
        lk.lock();
        job = cron_job_find(ct, job_id);
        tell_attempt(ct, job_id, s.name, rec, no_start, job);
        if (job == nullptr) return job_gone(ct, &ctl, rec);
        cron_job_push_log(job, &rec);
        if (!retry_due(ctl, rec, s)) break;
        cron_event_t* ev = cron_event_push(ct, cron_event_kind::retrying, job);
        ev->execution = execution;
        ev->attempt = attempt + 1;
        ev->fire_time = ev->time_ms + s.backoff_ms;
        cron_stats_count(&job->stats, *ev);
        lk.unlock();
        pause(s.backoff_ms, ctl);
        if (ctl.cancel_requested) {
            backoff_cancelled(attempt + 1, &rec);
            rec.execution = execution;
            rec.fire_time = fire_time;
            lk.lock();
            job = cron_job_find(ct, job_id);
            tell_attempt(ct, job_id, s.name, rec, -1, job);
            if (job == nullptr) return job_gone(ct, &ctl, rec);
            cron_job_push_log(job, &rec);
            break;
        }
    }
    if (held.cluster != nullptr) {
        // Ended in the database before the job may start again here, so the
        // next fire time's claim does not find this one still going.
        lk.unlock();
        held.end();
        lk.lock();
        job = cron_job_find(ct, job_id);
        if (job == nullptr) return job_gone(ct, &ctl, rec);
    }
    return finish(ct, job, &ctl, t0, &rec, lk);
}

void cron_exec_fail_spawns(int count) { spawns_to_fail.store(count); }

void cron_exec_fail_attempts(int count) { attempts_to_fail.store(count); }

void sched_spawn_worker(crontab_t* ct, int32_t job_id, uint64_t execution, int64_t fire_time) {
    const bool fail = spawns_to_fail.load() > 0 && spawns_to_fail.fetch_sub(1) > 0;
    auto* arg = fail ? nullptr : new (std::nothrow) cron_worker_arg_t{ct, job_id, execution, fire_time};
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
    rec.execution = execution;
    rec.fire_time = fire_time;
    copy_text(rec.stderr_text, NO_WORKER, sizeof NO_WORKER - 1);
    cron_shared_t& sh = *ct->shared;
    std::lock_guard<std::mutex> lk(sh.lock);
    cron_job_t* job = cron_job_find(ct, job_id);
    const char* name = job != nullptr ? job->name : nullptr;
    tell_attempt(ct, job_id, name, rec, CRON_NO_START_THREAD, job);
    tell_end(ct, job_id, name, execution, 1, rec.exit_code, false, job);
    if (job != nullptr) {
        cron_decrement(job->running_count);
        cron_job_push_log(job, &rec);
    }
    cron_decrement(ct->active_runs);
    --sh.live_execs;
    sh.idle.notify_all();
}

int cron_exec_run_now(crontab_t* ct, int32_t id) {
    cron_shared_t& sh = *ct->shared;
    uint64_t execution = 0;
    {
        std::lock_guard<std::mutex> lk(sh.lock);
        cron_job_t* job = cron_job_find(ct, id);
        if (job == nullptr) return cron_error_not_found(id);
        if (sh.destroying)
            return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_REFUSED_RUN,
                                        "the instance is being destroyed");
        // Nothing is queued by hand, whatever the policy.
        if (job->running_count != 0 && job->overlap_policy != CRON_OVERLAP_ALLOW) {
            return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_REFUSED_RUN,
                                        "job %d is already running and its overlap policy is %s", id,
                                        job->overlap_policy == CRON_OVERLAP_QUEUE     ? "queue"
                                        : job->overlap_policy == CRON_OVERLAP_REPLACE ? "replace"
                                                                                      : "skip");
        }
        if (ct->active_runs >= CRON_MAX_ACTIVE) {
            return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_REFUSED_RUN,
                                        "%d runs are active; no more may start until one ends",
                                        CRON_MAX_ACTIVE);
        }
        execution = cron_exec_admit(ct, job);
        cron_event_t* ev = cron_event_push(ct, cron_event_kind::admitted, job);
        ev->execution = execution;
        ev->detail = CRON_TRIGGER_HAND;
    }
    int rc = -1;
    try {
        rc = cron_scheduler_execute_job(ct, id, execution);
    } catch (...) {
        rc = -1;
    }
    cron_exec_leave(ct);
    if (rc == 0) return CRONTAB_OK;
    if (!cron_error_is_set()) {
        cron_error_set_code(CRONTAB_E_NOT_FOUND, "job %d was deleted while it ran", id);
        cron_error_set_value(id);
    }
    return CRONTAB_ERROR;
}

bool cron_exec_cancel_runs(crontab_t* ct, cron_job_t* job, bool* signalled) {
    // Every execution of the job, also several side by side under ALLOW.
    // Under the instance lock no control block can go away: an execution
    // leaves `active` under this lock before its thread leaves.
    bool running = false, any = false;
    for (cron_run_ctl_t* ctl : ct->shared->active) {
        if (ctl->job_id != job->id) continue;
        running = true;
        const bool reached = cron_proc_cancel(ctl) == 0;
        any = any || reached;
        cron_event_t* ev = cron_event_push(ct, cron_event_kind::cancelled, job);
        ev->execution = ctl->execution;
        ev->flag = reached;
    }
    if (signalled != nullptr) *signalled = any;
    return running;
}

int cron_exec_cancel(crontab_t* ct, int32_t id) {
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    cron_job_t* job = cron_job_find(ct, id);
    if (job == nullptr) return cron_error_not_found(id);
    bool signalled = false;
    const bool running = cron_exec_cancel_runs(ct, job, &signalled);
    if (!running)
        return cron_error_fail_code(CRONTAB_NO_CHILD, CRONTAB_E_NO_CHILD, "job %d is not running", id);
    if (signalled) return CRONTAB_OK;
    return cron_error_fail_code(CRONTAB_NO_CHILD, CRONTAB_E_NO_CHILD,
                                "job %d has no child process at this moment; its retries are stopped", id);
}

void cron_exec_shutdown(crontab_t* ct) {
    // Every execution, also several of one job under ALLOW. One admitted but
    // not yet begun sees `destroying` and never starts a child.
    for (cron_run_ctl_t* ctl : ct->shared->active) cron_proc_cancel(ctl);
}
