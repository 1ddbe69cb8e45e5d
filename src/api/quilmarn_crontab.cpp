// The exported functions: argument checks, the instance lock, one call into
// the core, a result code. No scheduling logic lives here.
#include "quilmarn_crontab.h"

#include "api/cron_api.h"

// ---- Expression services ----

const char* crontab_version(void) { return "1.5.0"; }

int crontab_validate_expr(const char*, char*, int) { return -1; }

int crontab_calc_next(const char*, int64_t, int64_t*) { return -1; }

const char* crontab_get_next_runs_json(const char*, int) { return "[]"; }

const char* crontab_describe_expr(const char*) { return ""; }

// ---- Instance lifecycle ----

crontab_t* crontab_create(const char*) { return nullptr; }

void crontab_destroy(crontab_t*) {}

int crontab_stop(crontab_t*) { return -1; }

int crontab_is_running(crontab_t*) { return 0; }

// ---- Job management ----

int crontab_add_job(crontab_t*, const char*, const char*, const char*, int) { return -1; }

int crontab_update_job(crontab_t*, int, const char*, const char*, const char*, int) { return -1; }

int crontab_delete_job(crontab_t*, int) { return -1; }

int crontab_set_job_timeout(crontab_t*, int, int) { return -1; }

int crontab_set_job_paths(crontab_t*, int, const char*, const char*) { return -1; }

int crontab_set_job_overlap_policy(crontab_t*, int, int) { return -1; }

int crontab_set_job_retry(crontab_t*, int, int, int) { return -1; }

// ---- Scheduler and runs ----

int crontab_start(crontab_t*) { return -1; }

int crontab_run_now(crontab_t*, int) { return -1; }

int crontab_cancel_job(crontab_t*, int) { return -1; }
