#include "sched/cron_jobs_admin.h"

#include <climits>
#include <cstring>
#include <string_view>

#include "proc/cron_os.h"
#include "sched/cron_store.h"
#include "sched/cron_text.h"

namespace {

constexpr int kMaxRetries = 10;
constexpr int kMaxBackoffSec = 3600;

// A text that must be stored whole: a cut schedule would differ from the one
// parsed, a cut command or path would run something else.
bool fits_whole(std::string_view s, size_t field_size) {
    return s.size() < field_size && cron_utf8_valid(s);
}

// The checks add and update share, and the parse: -1 or 0.
int check_definition(const char* name, const char* expr, const char* cmd, cron_expr_t* sched) {
    if (name == nullptr || expr == nullptr || cmd == nullptr) return -1;
    if (!cron_utf8_valid(name) || !fits_whole(expr, CRON_EXPR_SIZE) ||
        !fits_whole(cmd, CRON_CMD_SIZE)) {
        return -1;
    }
    char err[CRON_ERRBUF_SIZE];
    return cron_parse(expr, sched, err, sizeof err) == 0 ? 0 : -1;
}

void write_definition(cron_job_t* job, const char* name, const char* expr, const char* cmd,
                      int enabled, const cron_expr_t& sched) {
    cron_copy_text(job->name, sizeof job->name, name);
    cron_copy_text(job->expr, sizeof job->expr, expr);
    cron_copy_text(job->cmd, sizeof job->cmd, cmd);
    job->enabled = enabled != 0;
    job->sched = sched;
    cron_recompute_next(job, cron_os_now());
}

// Finds the job under the lock, lets `change` write it and saves: 0, or -1
// when no job has that id.
template <class Change>
int with_job(crontab_t* ct, int id, Change&& change) {
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    cron_job_t* job = cron_job_find(ct, id);
    if (job == nullptr) return -1;
    change(job);
    cron_persist_save(ct);
    return 0;
}

}  // namespace

int cron_env_check(const char* env) {
    if (env == nullptr || *env == '\0') return 0;
    std::string_view text(env);
    // Longer than its field, the last variable would lose its end.
    if (!fits_whole(text, CRON_ENV_SIZE)) return -2;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.find('=') == std::string_view::npos) return -2;
        start = end + 1;
    }
    return 0;
}

int cron_jobs_add(crontab_t* ct, const char* name, const char* expr, const char* cmd, int enabled) {
    cron_expr_t sched{};
    if (ct == nullptr || check_definition(name, expr, cmd, &sched) != 0) return -1;
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    cron_job_t* job = nullptr;
    for (cron_job_t& slot : ct->jobs) {
        if (!slot.in_use) {
            job = &slot;
            break;
        }
    }
    // A full table, or no id left to hand out: ids are never reused.
    if (job == nullptr || ct->next_id == INT32_MAX) return -1;
    cron_job_clear(job);
    job->id = ct->next_id++;
    job->in_use = 1;
    write_definition(job, name, expr, cmd, enabled, sched);
    cron_persist_save(ct);
    return job->id;
}

int cron_jobs_update(crontab_t* ct, int id, const char* name, const char* expr, const char* cmd,
                     int enabled) {
    cron_expr_t sched{};
    if (ct == nullptr || check_definition(name, expr, cmd, &sched) != 0) return -1;
    return with_job(ct, id, [&](cron_job_t* job) {
        write_definition(job, name, expr, cmd, enabled, sched);
    });
}

int cron_jobs_delete(crontab_t* ct, int id) {
    if (ct == nullptr) return -1;
    // A run of the job still going finds no job when it next looks and
    // releases its own counts.
    return with_job(ct, id, [](cron_job_t* job) { cron_job_clear(job); });
}

int cron_jobs_set_timeout(crontab_t* ct, int id, int max_runtime_sec) {
    if (ct == nullptr) return -1;
    int32_t limit = max_runtime_sec < 0 ? 0 : max_runtime_sec;
    return with_job(ct, id, [&](cron_job_t* job) { job->max_runtime_sec = limit; });
}

int cron_jobs_set_paths(crontab_t* ct, int id, const char* workdir, const char* env) {
    if (ct == nullptr) return -1;
    // Both values are checked before the id: a bad one is -2 even for an
    // unknown job.
    if (workdir != nullptr && *workdir != '\0' &&
        (!fits_whole(workdir, CRON_WORKDIR_SIZE) || !cron_os_is_dir(workdir))) {
        return -2;
    }
    if (cron_env_check(env) != 0) return -2;
    return with_job(ct, id, [&](cron_job_t* job) {
        cron_copy_text(job->workdir, sizeof job->workdir, workdir);
        cron_copy_text(job->env, sizeof job->env, env);
    });
}

int cron_jobs_set_overlap(crontab_t* ct, int id, int policy) {
    if (ct == nullptr) return -1;
    if (policy < CRON_OVERLAP_SKIP || policy > CRON_OVERLAP_ALLOW) return -2;
    return with_job(ct, id, [&](cron_job_t* job) {
        job->overlap_policy = policy;
        // Under SKIP nothing waits; other policies keep a waiting run.
        if (policy == CRON_OVERLAP_SKIP) {
            job->queued = 0;
            job->queued_at = 0;
        }
    });
}

int cron_jobs_set_retry(crontab_t* ct, int id, int retry_max, int retry_backoff_sec) {
    if (ct == nullptr) return -1;
    if (retry_max < 0 || retry_max > kMaxRetries || retry_backoff_sec < 0 ||
        retry_backoff_sec > kMaxBackoffSec) {
        return -2;
    }
    return with_job(ct, id, [&](cron_job_t* job) {
        job->retry_max = retry_max;
        job->retry_backoff_sec = retry_backoff_sec;
    });
}
