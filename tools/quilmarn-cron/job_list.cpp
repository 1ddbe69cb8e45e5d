#include "job_list.h"

#include "reports.h"

#include <cstring>

namespace {

using rapidjson::Value;

bool get(const Value& o, const char* k, int* out) {
    auto it = o.FindMember(k);
    if (it == o.MemberEnd() || !it->value.IsInt()) return false;
    *out = it->value.GetInt();
    return true;
}

bool get(const Value& o, const char* k, int64_t* out) {
    auto it = o.FindMember(k);
    if (it == o.MemberEnd() || !it->value.IsInt64()) return false;
    *out = it->value.GetInt64();
    return true;
}

bool get(const Value& o, const char* k, bool* out) {
    auto it = o.FindMember(k);
    if (it == o.MemberEnd() || !it->value.IsBool()) return false;
    *out = it->value.GetBool();
    return true;
}

bool get(const Value& o, const char* k, std::string* out) {
    auto it = o.FindMember(k);
    if (it == o.MemberEnd() || !it->value.IsString()) return false;
    out->assign(it->value.GetString(), it->value.GetStringLength());
    return true;
}

bool job_from_json(const Value& v, job_info* j) {
    return v.IsObject() && get(v, "id", &j->id) && get(v, "name", &j->name) && get(v, "expr", &j->expr) &&
           get(v, "cmd", &j->cmd) && get(v, "enabled", &j->enabled) && get(v, "next_run", &j->next_run) &&
           get(v, "last_run", &j->last_run) && get(v, "log_count", &j->log_count) &&
           get(v, "max_runtime_sec", &j->max_runtime_sec) && get(v, "running", &j->running) &&
           get(v, "workdir", &j->workdir) && get(v, "env", &j->env) &&
           get(v, "overlap_policy", &j->overlap_policy) && get(v, "queued_count", &j->queued_count) &&
           get(v, "retry_max", &j->retry_max) && get(v, "retry_backoff_sec", &j->retry_backoff_sec) &&
           get(v, "catch_up_sec", &j->catch_up_sec) && get(v, "jitter_sec", &j->jitter_sec) &&
           get(v, "jitter_fixed", &j->jitter_fixed) && get(v, "user", &j->user);
}

}  // namespace

bool cron_record_from_json(const Value& v, run_record* r) {
    if (!v.IsObject()) return false;
    if (auto it = v.FindMember("execution"); it != v.MemberEnd() && it->value.IsUint64()) {
        r->execution = it->value.GetUint64();
    }
    if (auto it = v.FindMember("fire_time"); it != v.MemberEnd() && it->value.IsInt64()) {
        r->fire_time = it->value.GetInt64();
    }
    if (auto it = v.FindMember("finished_ms"); it != v.MemberEnd() && it->value.IsInt64()) {
        r->finished_ms = it->value.GetInt64();
    }
    return get(v, "started_at", &r->started_at) && get(v, "finished_at", &r->finished_at) &&
           get(v, "duration_ms", &r->duration_ms) && get(v, "exit_code", &r->exit_code) &&
           get(v, "stdout", &r->out) && get(v, "stderr", &r->err) && get(v, "cancelled", &r->cancelled) &&
           get(v, "attempt", &r->attempt) &&
           (!v.HasMember("truncated") || get(v, "truncated", &r->truncated));
}

bool cron_json_parse(const char* text, size_t size, rapidjson::Document* doc) {
    doc->Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag>(text, size);
    return !doc->HasParseError();
}

bool cron_json_parse(const std::string& text, rapidjson::Document* doc) {
    return cron_json_parse(text.data(), text.size(), doc);
}

bool cron_read_jobs(crontab_t* ct, std::vector<job_info>* jobs) {
    jobs->clear();
    const std::string text = cron_report_jobs(ct);
    rapidjson::Document doc;
    if (!cron_json_parse(text, &doc) || !doc.IsArray()) return false;
    for (const Value& v : doc.GetArray()) {
        job_info j;
        if (!job_from_json(v, &j)) return false;
        jobs->push_back(std::move(j));
    }
    return true;
}

bool cron_read_logs(crontab_t* ct, int id, int limit, std::vector<run_record>* records) {
    const std::string text = cron_report_logs(ct, id, limit);
    rapidjson::Document doc;
    return cron_json_parse(text, &doc) && cron_records_from_json(doc, records);
}

bool cron_records_from_json(const Value& v, std::vector<run_record>* out) {
    out->clear();
    if (!v.IsArray()) return false;
    for (const Value& e : v.GetArray()) {
        run_record r;
        if (!cron_record_from_json(e, &r)) return false;
        out->push_back(std::move(r));
    }
    return true;
}

void cron_record_to_json(const run_record& r, Value* v, rapidjson::Document::AllocatorType& a) {
    v->SetObject();
    v->AddMember("started_at", r.started_at, a);
    v->AddMember("finished_at", r.finished_at, a);
    v->AddMember("duration_ms", r.duration_ms, a);
    v->AddMember("exit_code", r.exit_code, a);
    v->AddMember("stdout", Value(r.out.c_str(), static_cast<rapidjson::SizeType>(r.out.size()), a), a);
    v->AddMember("stderr", Value(r.err.c_str(), static_cast<rapidjson::SizeType>(r.err.size()), a), a);
    v->AddMember("truncated", r.truncated, a);
    v->AddMember("cancelled", r.cancelled, a);
    v->AddMember("attempt", r.attempt, a);
    if (r.execution != 0) v->AddMember("execution", r.execution, a);
    if (r.fire_time > 0) v->AddMember("fire_time", r.fire_time, a);
    if (r.finished_ms > 0) v->AddMember("finished_ms", r.finished_ms, a);
}

const job_info* cron_find_job(const std::vector<job_info>& jobs, int id) {
    for (const job_info& j : jobs) {
        if (j.id == id) return &j;
    }
    return nullptr;
}
