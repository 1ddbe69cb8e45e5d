// Job management: adding, changing and deleting jobs and their settings.
// Each function checks its arguments before it takes the lock, changes the
// table under the lock and saves the store before it returns. Results: 0
// (add: the new id), -1 missing handle or text, bad expression, full table,
// unknown id, -2 rejected setting value, -3 the store could not be saved.
// A failure changes nothing, except that a failed add's id stays used; the
// error text says why.
#pragma once

#include "sched/cron_job.h"

int cron_jobs_add(crontab_t* ct, const char* name, const char* expr, const char* cmd, int enabled);
int cron_jobs_update(crontab_t* ct, int id, const char* name, const char* expr, const char* cmd, int enabled);
int cron_jobs_delete(crontab_t* ct, int id);
int cron_jobs_set_timeout(crontab_t* ct, int id, int max_runtime_sec);
int cron_jobs_set_paths(crontab_t* ct, int id, const char* workdir, const char* env);
int cron_jobs_set_overlap(crontab_t* ct, int id, int policy);
int cron_jobs_set_retry(crontab_t* ct, int id, int retry_max, int retry_backoff_sec);
int cron_jobs_set_catch_up(crontab_t* ct, int id, int window_sec);
int cron_jobs_set_jitter(crontab_t* ct, int id, int max_delay_sec, int fixed);
int cron_jobs_set_user(crontab_t* ct, int id, const char* user);

// Reads crontab.json again and applies the difference by id: jobs only on
// disk are added, jobs only in memory removed, changed ones replaced, each
// told with "cause" reload, then one `reloaded` event with the counts.
// Unchanged jobs keep everything. Saves nothing. A store missing, not
// trusted, unreadable or not taken whole changes nothing: -1 with the reason.
// Call without the lock.
int cron_jobs_reload(crontab_t* ct);
