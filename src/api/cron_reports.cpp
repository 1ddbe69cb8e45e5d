// The two instance reports: the job list and a job's run log, as compact JSON
// in the instance's report buffer.
#include "quilmarn_crontab.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "api/cron_api.h"
#include "api/cron_report_json.h"
#include "base/cron_text.h"
#include "sched/cron_job.h"

namespace {

using report_writer = cron_report_writer;

// Invalid UTF-8 fails the report instead of producing a text no parser takes.
// Checked here: the writer's own check reads past the end of a text that ends
// in a cut character.
bool put_string(report_writer& w, const char* key, const char* text) {
    std::string_view s(text);
    return cron_utf8_valid(s) && w.Key(key) && w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

}  // namespace

char* cron_report_copy(std::string_view text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out == nullptr) throw std::bad_alloc();
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return out;
}

// ---- Job list ----

namespace {

bool put_job_entry(report_writer& w, const cron_job_t& job) {
    return w.StartObject() && w.Key("id") && w.Int(job.id) && put_string(w, "name", job.name) &&
           put_string(w, "expr", job.expr) && put_string(w, "cmd", job.cmd) && w.Key("enabled") &&
           w.Bool(job.enabled != 0) && w.Key("next_run") && w.Int64(job.next_run) && w.Key("last_run") &&
           w.Int64(job.last_run) && w.Key("log_count") && w.Int(job.log_count) && w.Key("max_runtime_sec") &&
           w.Int(job.max_runtime_sec) && w.Key("running") && w.Bool(job.running_count != 0) &&
           put_string(w, "workdir", job.workdir) && w.Key("envSet") && w.Bool(job.env[0] != '\0') &&
           put_string(w, "env", job.env) && w.Key("overlap_policy") && w.Int(job.overlap_policy) &&
           w.Key("queued_count") && w.Int(job.queued ? 1 : 0) && w.Key("retry_max") && w.Int(job.retry_max) &&
           w.Key("retry_backoff_sec") && w.Int(job.retry_backoff_sec) && w.Key("catch_up_sec") &&
           w.Int(job.catch_up_sec) && w.Key("jitter_sec") && w.Int(job.jitter_sec) && w.Key("jitter_fixed") &&
           w.Bool(job.jitter_fixed != 0) && put_string(w, "user", job.user) && w.EndObject();
}

// "[]" for a missing instance, in a buffer of the calling thread.
const char* empty_job_list() {
    thread_local char buf[64] = "[]";
    return buf;
}

// The job list into `out`; the lock is held.
void jobs_text(const crontab_t* ct, std::string* out) {
    rapidjson::StringBuffer text;
    report_writer w(text);
    bool ok = w.StartArray();
    for (const cron_job_t& job : ct->jobs) {
        if (ok && job.in_use) ok = put_job_entry(w, job);
    }
    ok = ok && w.EndArray();
    if (ok) {
        out->assign(text.GetString(), text.GetSize());
    } else {
        cron_error_set_code(CRONTAB_E_INTERNAL, "the job list could not be written");
        *out = "[]";
    }
}

}  // namespace

const char* crontab_get_jobs_json(crontab_t* ct) {
    return cron_api_guard(empty_job_list(), [&]() -> const char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return empty_job_list();
        }
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        jobs_text(ct, &ct->shared->jobs_json_buf);
        return ct->shared->jobs_json_buf.c_str();
    });
}

char* crontab_copy_jobs_json(crontab_t* ct) {
    return cron_api_guard(static_cast<char*>(nullptr), [&]() -> char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return cron_report_copy("[]");
        }
        std::string text;
        {
            std::lock_guard<std::mutex> lk(ct->shared->lock);
            jobs_text(ct, &text);
        }
        return cron_report_copy(text);
    });
}

// ---- Run log ----

namespace {

// "[]" for a missing instance or job, in a buffer of the calling thread.
const char* no_logs() {
    thread_local char buf[64] = "[]";
    return buf;
}

// Captured output is raw bytes: binary output, or a character cut at the
// record's size, becomes U+FFFD so the report stays valid JSON.
void write_output(report_writer& w, std::string_view s) {
    if (cron_utf8_valid(s)) {
        w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
        return;
    }
    std::string clean = cron_utf8_sanitize(s);
    w.String(clean.data(), static_cast<rapidjson::SizeType>(clean.size()));
}

// The newest `limit` records of job `id` into `out`; the lock is held. False
// when there is no such job.
bool logs_text(crontab_t* ct, int id, int limit, std::string* out) {
    if (limit <= 0 || limit > CRON_LOG_CAPACITY) limit = CRON_LOG_CAPACITY;
    const cron_job_t* job = cron_job_find(ct, id);
    if (job == nullptr) {
        cron_error_not_found(id);
        return false;
    }
    rapidjson::StringBuffer text;
    report_writer w(text);
    w.StartArray();
    // Newest first: the newest record sits just before log_head.
    const int n = std::min(job->log_count, limit);
    for (int i = 0; i < n; ++i) {
        int slot = (job->log_head - 1 - i + 2 * CRON_LOG_CAPACITY) % CRON_LOG_CAPACITY;
        const cron_log_entry_t& e = job->logs[slot];
        cron_report_record(w, e, std::string_view(e.stdout_text, strnlen(e.stdout_text, CRON_LOG_TEXT_SIZE)),
                           std::string_view(e.stderr_text, strnlen(e.stderr_text, CRON_LOG_TEXT_SIZE)));
    }
    w.EndArray();
    out->assign(text.GetString(), text.GetSize());
    return true;
}

}  // namespace

void cron_report_record(cron_report_writer& w, const cron_log_entry_t& e, std::string_view out,
                        std::string_view err) {
    w.StartObject();
    w.Key("started_at");
    w.Int64(e.started_at);
    w.Key("finished_at");
    w.Int64(e.finished_at);
    w.Key("duration_ms");
    w.Int(e.duration_ms);
    w.Key("exit_code");
    w.Int(e.exit_code);
    w.Key("stdout");
    write_output(w, out);
    w.Key("stderr");
    write_output(w, err);
    w.Key("truncated");
    w.Bool(e.truncated != 0);
    w.Key("cancelled");
    w.Bool(e.cancelled != 0);
    w.Key("attempt");
    w.Int(e.attempt > 0 ? e.attempt : 1);
    w.Key("execution");
    w.Uint64(e.execution);
    if (e.fire_time > 0) {
        w.Key("fire_time");
        w.Int64(e.fire_time);
    }
    w.EndObject();
}

const char* crontab_get_job_logs_json(crontab_t* ct, int id, int limit) {
    return cron_api_guard(no_logs(), [&]() -> const char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return no_logs();
        }
        cron_shared_t& sh = *ct->shared;
        std::lock_guard<std::mutex> lk(sh.lock);
        if (!logs_text(ct, id, limit, &sh.jobs_json_buf)) return no_logs();
        return sh.jobs_json_buf.c_str();
    });
}

char* crontab_copy_job_logs_json(crontab_t* ct, int id, int limit) {
    return cron_api_guard(static_cast<char*>(nullptr), [&]() -> char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return cron_report_copy("[]");
        }
        std::string text;
        bool found;
        {
            std::lock_guard<std::mutex> lk(ct->shared->lock);
            found = logs_text(ct, id, limit, &text);
        }
        return cron_report_copy(found ? std::string_view(text) : std::string_view("[]"));
    });
}

void crontab_free(void* text) { std::free(text); }
