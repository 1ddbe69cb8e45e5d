#include "http_metrics.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <rapidjson/document.h>

namespace {

using rapidjson::Value;

constexpr const char* PREFIX = "quilmarn_cron_";
const char* const OUTCOMES[] = {"succeeded", "failed",      "timed_out",
                                "cancelled", "not_started", "status_unknown"};
const char* const SKIP_REASONS[] = {"running", "limit", "late"};

struct job_labels {
    const Value* job;
    std::string labels;  // job="...",job_id="N"
};

void put_u64(std::string* out, uint64_t v) {
    char b[24];
    auto r = std::to_chars(b, b + sizeof b, v);
    out->append(b, r.ptr);
}

void put_i64(std::string* out, int64_t v) {
    char b[24];
    auto r = std::to_chars(b, b + sizeof b, v);
    out->append(b, r.ptr);
}

// Milliseconds as seconds with three decimals.
void put_ms_as_seconds(std::string* out, int64_t ms) {
    if (ms < 0) {
        out->push_back('-');
        ms = -ms;
    }
    put_i64(out, ms / 1000);
    char frac[5];
    std::snprintf(frac, sizeof frac, ".%03d", static_cast<int>(ms % 1000));
    out->append(frac);
}

void head(std::string* out, const char* name, const char* type, const char* help) {
    out->append("# HELP ").append(PREFIX).append(name).append(" ").append(help).append("\n");
    out->append("# TYPE ").append(PREFIX).append(name).append(" ").append(type).append("\n");
}

// name{labels[,extra]} value-to-follow
void sample(std::string* out, const char* name, const std::string& labels, const std::string& extra = {}) {
    out->append(PREFIX).append(name).append("{").append(labels);
    if (!extra.empty()) out->append(",").append(extra);
    out->append("} ");
}

uint64_t u64(const Value& j, const char* key) {
    auto it = j.FindMember(key);
    return it != j.MemberEnd() && it->value.IsUint64() ? it->value.GetUint64() : 0;
}

int64_t i64(const Value& j, const char* key) {
    auto it = j.FindMember(key);
    return it != j.MemberEnd() && it->value.IsInt64() ? it->value.GetInt64() : 0;
}

// One counter or gauge per job, from a member of its object.
template <class Get>
void per_job(std::string* out, const std::vector<job_labels>& jobs, const char* name, const char* type,
             const char* help, Get get) {
    head(out, name, type, help);
    for (const job_labels& j : jobs) {
        sample(out, name, j.labels);
        get(*j.job, out);
        out->push_back('\n');
    }
}

}  // namespace

void http_label_escape(std::string_view s, std::string* out) {
    for (char c : s) {
        if (c == '\\') {
            out->append("\\\\");
        } else if (c == '"') {
            out->append("\\\"");
        } else if (c == '\n') {
            out->append("\\n");
        } else {
            out->push_back(c);
        }
    }
}

bool http_metrics_text(std::string_view stats_json, const char* tool_version, const char* lib_version,
                       std::string* out) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseIterativeFlag>(stats_json.data(), stats_json.size());
    if (d.HasParseError() || !d.IsObject() || !d.HasMember("jobs") || !d["jobs"].IsArray() ||
        !d.HasMember("duration_bounds_sec") || !d["duration_bounds_sec"].IsArray())
        return false;
    std::vector<job_labels> jobs;
    for (const Value& j : d["jobs"].GetArray()) {
        if (!j.IsObject() || !j.HasMember("name") || !j["name"].IsString() || !j.HasMember("id") ||
            !j["id"].IsInt())
            return false;
        job_labels l{&j, "job=\""};
        http_label_escape(std::string_view(j["name"].GetString(), j["name"].GetStringLength()), &l.labels);
        l.labels.append("\",job_id=\"").append(std::to_string(j["id"].GetInt())).append("\"");
        jobs.push_back(std::move(l));
    }
    out->clear();
    out->reserve(1024 + jobs.size() * 4096);

    head(out, "build_info", "gauge", "Versions of the daemon and the library; always 1.");
    out->append(PREFIX).append("build_info{version=\"");
    http_label_escape(tool_version, out);
    out->append("\",library_version=\"");
    http_label_escape(lib_version, out);
    out->append("\"} 1\n");
    head(out, "up", "gauge", "1 while the scheduler runs, 0 while the daemon stops.");
    out->append(PREFIX).append("up ").append(d["scheduler_running"].IsTrue() ? "1" : "0").append("\n");
    head(out, "start_time_seconds", "gauge", "When the scheduler instance was created, in epoch seconds.");
    out->append(PREFIX).append("start_time_seconds ");
    put_ms_as_seconds(out, i64(d, "created_ms"));
    out->push_back('\n');
    head(out, "jobs", "gauge", "Jobs in the table.");
    out->append(PREFIX).append("jobs ");
    put_u64(out, jobs.size());
    out->push_back('\n');
    head(out, "active_runs", "gauge", "Executions going on (at most 32).");
    out->append(PREFIX).append("active_runs ");
    put_i64(out, i64(d, "active_runs"));
    out->push_back('\n');
    head(out, "events_total", "counter", "Events the scheduler has told.");
    out->append(PREFIX).append("events_total ");
    put_u64(out, u64(d, "events"));
    out->push_back('\n');
    head(out, "events_lost_total", "counter", "Events overwritten in the ring before anyone read them.");
    out->append(PREFIX).append("events_lost_total ");
    put_u64(out, u64(d, "events_lost"));
    out->push_back('\n');

    head(out, "job_executions_total", "counter", "Executions that ended, by outcome.");
    for (const job_labels& j : jobs) {
        for (const char* o : OUTCOMES) {
            sample(out, "job_executions_total", j.labels, std::string("outcome=\"") + o + "\"");
            put_u64(out, u64(*j.job, o));
            out->push_back('\n');
        }
    }
    head(out, "job_skipped_total", "counter",
         "Fire times told as skipped, by reason (running and limit may still start later).");
    for (const job_labels& j : jobs) {
        for (const char* r : SKIP_REASONS) {
            sample(out, "job_skipped_total", j.labels, std::string("reason=\"") + r + "\"");
            put_u64(out, u64(*j.job, (std::string("skipped_") + r).c_str()));
            out->push_back('\n');
        }
    }
    struct counter {
        const char* name;
        const char* key;
        const char* help;
    };
    for (const counter& c :
         {counter{"job_queued_total", "queued", "Fire times that waited for a run to end."},
          counter{"job_missed_total", "missed", "Fire times missed while nothing ran."},
          counter{"job_claimed_elsewhere_total", "claimed_elsewhere",
                  "Fire times another member of a cluster ran."},
          counter{"job_attempts_total", "attempts", "Attempts that ended."},
          counter{"job_retries_total", "retries", "Attempts made again after a failure."}}) {
        per_job(out, jobs, c.name, "counter", c.help,
                [&](const Value& j, std::string* o) { put_u64(o, u64(j, c.key)); });
    }
    per_job(out, jobs, "job_running", "gauge", "Executions of the job going on.",
            [](const Value& j, std::string* o) { put_i64(o, i64(j, "running")); });
    per_job(out, jobs, "job_enabled", "gauge", "1 when the schedule starts the job.",
            [](const Value& j, std::string* o) { o->append(j["enabled"].IsTrue() ? "1" : "0"); });
    per_job(out, jobs, "job_last_success_timestamp_seconds", "gauge",
            "When the last successful execution ended (0: never).",
            [](const Value& j, std::string* o) { put_ms_as_seconds(o, i64(j, "last_success_ms")); });
    per_job(out, jobs, "job_last_failure_timestamp_seconds", "gauge",
            "When the last failed, timed-out or unstarted execution ended (0: never).",
            [](const Value& j, std::string* o) { put_ms_as_seconds(o, i64(j, "last_failure_ms")); });
    per_job(out, jobs, "job_next_fire_timestamp_seconds", "gauge",
            "The next fire time (0: none, or the job is disabled).",
            [](const Value& j, std::string* o) { put_i64(o, i64(j, "next_run")); });

    head(out, "job_execution_duration_seconds", "histogram",
         "Length of executions that began, with retries.");
    const auto& bounds = d["duration_bounds_sec"].GetArray();
    for (const job_labels& j : jobs) {
        const Value* counts = j.job->HasMember("duration_counts") ? &(*j.job)["duration_counts"] : nullptr;
        if (counts == nullptr || !counts->IsArray() || counts->Size() != bounds.Size() + 1) return false;
        uint64_t cumulative = 0;
        for (rapidjson::SizeType b = 0; b <= bounds.Size(); ++b) {
            cumulative += (*counts)[b].IsUint64() ? (*counts)[b].GetUint64() : 0;
            std::string le = "le=\"";
            le += b < bounds.Size() ? std::to_string(bounds[b].GetInt()) : "+Inf";
            le += "\"";
            sample(out, "job_execution_duration_seconds_bucket", j.labels, le);
            put_u64(out, cumulative);
            out->push_back('\n');
        }
        sample(out, "job_execution_duration_seconds_sum", j.labels);
        put_ms_as_seconds(out, static_cast<int64_t>(u64(*j.job, "duration_sum_ms")));
        out->push_back('\n');
        sample(out, "job_execution_duration_seconds_count", j.labels);
        put_u64(out, cumulative);
        out->push_back('\n');
    }
    return true;
}
