#include "sched/cron_job.h"

#include <cstring>

#include "expr/cron_calc.h"
#include "proc/cron_os.h"

cron_job_t* cron_job_find(crontab_t* ct, int32_t id) {
    if (ct == nullptr) return nullptr;
    for (cron_job_t& job : ct->jobs) {
        if (job.in_use && job.id == id) return &job;
    }
    return nullptr;
}

void cron_job_clear(cron_job_t* job) {
    // A slot is about 160 KB, mostly run records: clearing it by writing
    // zeros would make every page resident.
    if (job != nullptr) cron_os_zero(job, sizeof *job);
}

void cron_job_push_log(cron_job_t* job, const cron_log_entry_t* entry) {
    if (job == nullptr || entry == nullptr) return;
    std::memcpy(&job->logs[job->log_head % CRON_LOG_CAPACITY], entry, sizeof *entry);
    job->log_head = (job->log_head + 1) % CRON_LOG_CAPACITY;
    if (job->log_count < CRON_LOG_CAPACITY) ++job->log_count;
}

void cron_recompute_next(cron_job_t* job, int64_t now) {
    if (job == nullptr || !job->in_use) return;
    job->next_run = cron_next_time(&job->sched, now);
}
