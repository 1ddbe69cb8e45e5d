// Executions of jobs: attempts, retries, cancellation and worker threads.
#pragma once

#include <cstdint>

#include "sched/cron_job.h"

// Heap argument of one worker thread; the worker releases it.
struct cron_worker_arg_t {
    crontab_t* instance;
    int32_t job_id;
};

// Carries out one admitted execution of job `job_id` on the calling thread.
// 0 when the job still existed at its end, -1 otherwise.
int cron_scheduler_execute_job(crontab_t* ct, int32_t job_id);

// Starts a detached worker for a run already admitted under the lock; undoes
// the admission when no thread can be started. Call without the lock.
void sched_spawn_worker(crontab_t* ct, int32_t job_id);

// Cancels the executions still in progress when the instance is destroyed:
// stops their retries and terminates their children. Called with the lock
// held and `destroying` set; does not wait. crontab_destroy then waits until
// live_execs is 0 before it releases the instance.
void cron_exec_shutdown(crontab_t* ct);
