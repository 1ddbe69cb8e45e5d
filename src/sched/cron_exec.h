// Executions of jobs: attempts, retries, cancellation and worker threads.
//
// Life of the instance: every admitted run is counted in shared->live_execs
// from its admission until its thread has made its last touch of the
// instance (the worker's exit, or run_now's return). crontab_destroy releases
// the instance only once that count is 0, after cron_exec_shutdown.
#pragma once

#include <cstdint>

#include "sched/cron_job.h"

// Heap argument of one worker thread; the worker releases it.
struct cron_worker_arg_t {
    crontab_t* instance;
    int32_t job_id;
    uint64_t execution;
    int64_t fire_time;  // the scheduled fire time it serves (before jitter); 0: by hand, never claimed
};

// Counts one run of `job` as admitted: its running_count, the instance's
// active_runs and live_execs, and returns the new execution's id. The caller
// holds the lock, has checked the limit of CRON_MAX_ACTIVE and tells the
// admission as an event.
uint64_t cron_exec_admit(crontab_t* ct, cron_job_t* job);

// Carries out one admitted execution of job `job_id` on the calling thread.
// 0 when the job still existed at its end, -1 otherwise. The caller still
// owns the run's live_execs count and gives it back with cron_exec_leave.
// A scheduled execution names its `fire_time` (before jitter): in a cluster
// it is claimed before the first attempt.
int cron_scheduler_execute_job(crontab_t* ct, int32_t job_id, uint64_t execution, int64_t fire_time = 0);

// Gives back one live_execs count; after this the thread must not touch the
// instance again. Call without the lock.
void cron_exec_leave(crontab_t* ct);

// Starts a detached worker for a run already admitted under the lock. When no
// thread can be started the run is recorded as not started (exit code -1) and
// the admission undone. Call without the lock.
void sched_spawn_worker(crontab_t* ct, int32_t job_id, uint64_t execution, int64_t fire_time = 0);

// For tests: the next `count` worker threads fail to start, as when the
// system has no thread left to give.
void cron_exec_fail_spawns(int count);

// For tests: the next `count` attempts throw std::bad_alloc where the runner
// would start the command, as when it finds no memory.
void cron_exec_fail_attempts(int count);

// crontab_run_now: admits a run of job `id` and executes it on the calling
// thread. 0 when it was carried out, -1 when refused or the job vanished.
int cron_exec_run_now(crontab_t* ct, int32_t id);

// crontab_cancel_job: 0 a child was signalled, 1 nothing to terminate now,
// -1 no such job.
int cron_exec_cancel(crontab_t* ct, int32_t id);

// Cancels every execution of `job` in progress as crontab_cancel_job does,
// each told as `cancelled`; the lock is held. Whether any was running.
bool cron_exec_cancel_runs(crontab_t* ct, cron_job_t* job, bool* signalled = nullptr);

// Cancels the executions still in progress when the instance is destroyed:
// stops their retries and terminates their children. Called with the lock
// held and `destroying` set; does not wait. crontab_destroy then waits until
// live_execs is 0 before it releases the instance.
void cron_exec_shutdown(crontab_t* ct);
