// The two instance reports: the job list and a job's run log, as compact JSON
// in the instance's report buffer.
#include "quilmarn_crontab.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "api/cron_api.h"
#include "base/cron_text.h"
#include "sched/cron_job.h"

namespace {

using report_writer = rapidjson::Writer<rapidjson::StringBuffer>;

// Invalid UTF-8 fails the report instead of producing a text no parser takes.
// Checked here: the writer's own check reads past the end of a text that ends
// in a cut character.
bool put_string(report_writer& w, const char* key, const char* text) {
    std::string_view s(text);
    return cron_utf8_valid(s) && w.Key(key) && w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

}  // namespace

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
           w.Key("retry_backoff_sec") && w.Int(job.retry_backoff_sec) && w.EndObject();
}

// "[]" for a missing instance, in a buffer of the calling thread.
const char* empty_job_list() {
    thread_local char buf[64] = "[]";
    return buf;
}

}  // namespace

const char* crontab_get_jobs_json(crontab_t* ct) {
    return cron_api_guard(empty_job_list(), [&]() -> const char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return empty_job_list();
        }
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        rapidjson::StringBuffer text;
        report_writer w(text);
        bool ok = w.StartArray();
        for (const cron_job_t& job : ct->jobs) {
            if (ok && job.in_use) ok = put_job_entry(w, job);
        }
        ok = ok && w.EndArray();
        std::string& out = ct->shared->jobs_json_buf;
        if (ok) {
            out.assign(text.GetString(), text.GetSize());
        } else {
            cron_error_set("the job list could not be written");
            out = "[]";
        }
        return out.c_str();
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
void write_output(report_writer& w, const char* text) {
    std::string_view s(text, strnlen(text, CRON_LOG_TEXT_SIZE));
    if (cron_utf8_valid(s)) {
        w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
        return;
    }
    std::string clean = cron_utf8_sanitize(s);
    w.String(clean.data(), static_cast<rapidjson::SizeType>(clean.size()));
}

void write_record(report_writer& w, const cron_log_entry_t& e) {
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
    write_output(w, e.stdout_text);
    w.Key("stderr");
    write_output(w, e.stderr_text);
    w.Key("truncated");
    w.Bool(e.truncated != 0);
    w.Key("cancelled");
    w.Bool(e.cancelled != 0);
    w.Key("attempt");
    w.Int(e.attempt > 0 ? e.attempt : 1);
    w.EndObject();
}

}  // namespace

const char* crontab_get_job_logs_json(crontab_t* ct, int id, int limit) {
    return cron_api_guard(no_logs(), [&]() -> const char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return no_logs();
        }
        if (limit <= 0 || limit > CRON_LOG_CAPACITY) limit = CRON_LOG_CAPACITY;
        cron_shared_t& sh = *ct->shared;
        std::lock_guard<std::mutex> lk(sh.lock);
        const cron_job_t* job = cron_job_find(ct, id);
        if (job == nullptr) {
            cron_error_set("no job with id %d", id);
            return no_logs();
        }
        rapidjson::StringBuffer out;
        report_writer w(out);
        w.StartArray();
        // Newest first: the newest record sits just before log_head.
        const int n = std::min(job->log_count, limit);
        for (int i = 0; i < n; ++i) {
            int slot = (job->log_head - 1 - i + 2 * CRON_LOG_CAPACITY) % CRON_LOG_CAPACITY;
            write_record(w, job->logs[slot]);
        }
        w.EndArray();
        sh.jobs_json_buf.assign(out.GetString(), out.GetSize());
        return sh.jobs_json_buf.c_str();
    });
}
