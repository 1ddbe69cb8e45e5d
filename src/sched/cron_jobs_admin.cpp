#include "sched/cron_jobs_admin.h"

#include <climits>
#include <cstring>
#include <string_view>

#include "quilmarn_crontab.h"
#include "base/cron_text.h"
#include "proc/cron_os.h"
#include "sched/cron_error.h"
#include "sched/cron_job_rules.h"
#include "sched/cron_store.h"

namespace {

// The checks add and update share, and the parse.
bool check_definition(const char* name, const char* expr, const char* cmd, cron_expr_t* sched) {
    if (name == nullptr)
        return cron_error_fail_code(false, CRONTAB_E_BAD_ARGUMENT, "the name is missing (null)");
    if (expr == nullptr)
        return cron_error_fail_code(false, CRONTAB_E_BAD_ARGUMENT, "the expression is missing (null)");
    if (cmd == nullptr)
        return cron_error_fail_code(false, CRONTAB_E_BAD_ARGUMENT, "the command is missing (null)");
    return cron_rule_name(name) && cron_rule_expr(expr, sched) && cron_rule_cmd(cmd);
}

void write_definition(cron_job_t* job, const char* name, const char* expr, const char* cmd, int enabled,
                      const cron_expr_t& sched) {
    cron_copy_text(job->name, sizeof job->name, name);
    cron_copy_text(job->expr, sizeof job->expr, expr);
    cron_copy_text(job->cmd, sizeof job->cmd, cmd);
    job->enabled = enabled != 0;
    job->sched = sched;
    cron_recompute_next(job, cron_os_now());
}

// A change that reached the store, or one that did not (with the reason).
void tell_change(crontab_t* ct, const cron_job_t* job, cron_event_kind kind, int32_t change = 0) {
    cron_event_push(ct, kind, job)->detail = change;
}

void tell_save_failed(crontab_t* ct, const cron_job_t* job) {
    cron_event_t* ev = cron_event_push(ct, cron_event_kind::save_failed, job);
    const char* why = cron_error_text();
    cron_event_put_text(ct, ev, why, std::strlen(why));
}

// Finds the job under the lock, lets `change` write it and saves: 0; -1 when
// no job has that id; -3 when the save failed, with the job put back as it
// was, so the table always equals the file.
template <class Change>
int with_job(crontab_t* ct, int id, cron_event_change what, Change&& change) {
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    cron_job_t* job = cron_job_find(ct, id);
    if (job == nullptr) return cron_error_not_found(id);
    const cron_job_def_t before = *job;
    change(job);
    if (cron_persist_save(ct)) {
        tell_change(ct, job, cron_event_kind::changed, what);
        return CRONTAB_OK;
    }
    static_cast<cron_job_def_t&>(*job) = before;
    tell_save_failed(ct, job);
    return CRONTAB_ERROR_STORE;
}

}  // namespace

int cron_jobs_add(crontab_t* ct, const char* name, const char* expr, const char* cmd, int enabled) {
    if (ct == nullptr) return cron_error_no_instance();
    cron_expr_t sched{};
    if (!check_definition(name, expr, cmd, &sched)) return CRONTAB_ERROR;
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    cron_job_t* job = nullptr;
    for (cron_job_t& slot : ct->jobs) {
        if (!slot.in_use) {
            job = &slot;
            break;
        }
    }
    if (job == nullptr)
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_TABLE_FULL, "the job table is full: %d jobs",
                                    CRON_MAX_JOBS);
    // Ids are never reused.
    if (ct->next_id == INT32_MAX)
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_TABLE_FULL, "no job id is left to hand out");
    cron_job_clear(job);
    // Used even when the save fails: the store may already hold it.
    job->id = ct->next_id++;
    job->in_use = 1;
    write_definition(job, name, expr, cmd, enabled, sched);
    if (cron_persist_save(ct)) {
        tell_change(ct, job, cron_event_kind::added);
        return job->id;
    }
    tell_save_failed(ct, job);
    cron_job_clear(job);
    return CRONTAB_ERROR_STORE;
}

int cron_jobs_update(crontab_t* ct, int id, const char* name, const char* expr, const char* cmd,
                     int enabled) {
    if (ct == nullptr) return cron_error_no_instance();
    cron_expr_t sched{};
    if (!check_definition(name, expr, cmd, &sched)) return CRONTAB_ERROR;
    return with_job(ct, id, CRON_CHANGE_DEFINITION,
                    [&](cron_job_t* job) { write_definition(job, name, expr, cmd, enabled, sched); });
}

int cron_jobs_delete(crontab_t* ct, int id) {
    if (ct == nullptr) return cron_error_no_instance();
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    cron_job_t* job = cron_job_find(ct, id);
    if (job == nullptr) return cron_error_not_found(id);
    // Out of the table for the save only; its records stay until it is gone
    // from the file too.
    job->in_use = 0;
    bool saved = cron_persist_save(ct);
    job->in_use = 1;
    if (!saved) {
        tell_save_failed(ct, job);
        return CRONTAB_ERROR_STORE;
    }
    tell_change(ct, job, cron_event_kind::removed);
    // A run of the job still going finds no job when it next looks and
    // releases its own counts.
    cron_job_clear(job);
    return CRONTAB_OK;
}

int cron_jobs_set_timeout(crontab_t* ct, int id, int max_runtime_sec) {
    if (ct == nullptr) return cron_error_no_instance();
    int32_t limit = max_runtime_sec < 0 ? 0 : max_runtime_sec;
    return with_job(ct, id, CRON_CHANGE_TIMEOUT, [&](cron_job_t* job) { job->max_runtime_sec = limit; });
}

int cron_jobs_set_paths(crontab_t* ct, int id, const char* workdir, const char* env) {
    if (ct == nullptr) return cron_error_no_instance();
    // Both values are checked before the id: a bad one is -2 even for an
    // unknown job.
    if (workdir != nullptr && *workdir != '\0' &&
        (!cron_rule_workdir(workdir) || !cron_rule_workdir_exists(workdir))) {
        return CRONTAB_ERROR_SETTING;
    }
    if (env != nullptr && !cron_rule_env(env)) return CRONTAB_ERROR_SETTING;
    return with_job(ct, id, CRON_CHANGE_PATHS, [&](cron_job_t* job) {
        cron_copy_text(job->workdir, sizeof job->workdir, workdir);
        cron_copy_text(job->env, sizeof job->env, env);
    });
}

int cron_jobs_set_overlap(crontab_t* ct, int id, int policy) {
    if (ct == nullptr) return cron_error_no_instance();
    if (!cron_rule_overlap(policy)) return CRONTAB_ERROR_SETTING;
    return with_job(ct, id, CRON_CHANGE_OVERLAP, [&](cron_job_t* job) {
        job->overlap_policy = policy;
        // Under SKIP nothing waits; other policies keep a waiting run.
        if (policy == CRON_OVERLAP_SKIP) job->queued = 0;
    });
}

int cron_jobs_set_retry(crontab_t* ct, int id, int retry_max, int retry_backoff_sec) {
    if (ct == nullptr) return cron_error_no_instance();
    if (!cron_rule_retry_max(retry_max) || !cron_rule_backoff(retry_backoff_sec))
        return CRONTAB_ERROR_SETTING;
    return with_job(ct, id, CRON_CHANGE_RETRY, [&](cron_job_t* job) {
        job->retry_max = retry_max;
        job->retry_backoff_sec = retry_backoff_sec;
    });
}

int cron_jobs_set_catch_up(crontab_t* ct, int id, int window_sec) {
    if (ct == nullptr) return cron_error_no_instance();
    if (!cron_rule_catch_up(window_sec)) return CRONTAB_ERROR_SETTING;
    return with_job(ct, id, CRON_CHANGE_CATCH_UP, [&](cron_job_t* job) { job->catch_up_sec = window_sec; });
}

int cron_jobs_set_jitter(crontab_t* ct, int id, int max_delay_sec, int fixed) {
    if (ct == nullptr) return cron_error_no_instance();
    if (!cron_rule_jitter(max_delay_sec)) return CRONTAB_ERROR_SETTING;
    return with_job(ct, id, CRON_CHANGE_JITTER, [&](cron_job_t* job) {
        job->jitter_sec = max_delay_sec;
        job->jitter_fixed = fixed != 0;
        job->jitter_for = 0;  // a waiting fire draws again under the new setting
    });
}

int cron_jobs_set_user(crontab_t* ct, int id, const char* user) {
    if (ct == nullptr) return cron_error_no_instance();
    // Looked up before the lock: the account database may be a slow service.
    if (user != nullptr && !cron_rule_user(user)) return CRONTAB_ERROR_SETTING;
    return with_job(ct, id, CRON_CHANGE_USER,
                    [&](cron_job_t* job) { cron_copy_text(job->user, sizeof job->user, user); });
}
