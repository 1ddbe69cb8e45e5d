// What the crash test and its host agree on: the part of a job table the
// store must keep, read from a store file, and one digest of it.
#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

struct crash_job {
    std::string name, expr, cmd;
    bool enabled = false;
    int timeout = 0;
};

struct crash_table {
    int next_id = 1;
    std::map<int, crash_job> jobs;  // by id
};

// The jobs of a store file's "jobs" array or of the job list report.
inline bool crash_jobs_from(const rapidjson::Value& jobs, crash_table* out) {
    if (!jobs.IsArray()) return false;
    for (const auto& j : jobs.GetArray()) {
        if (!j.IsObject() || !j.HasMember("id") || !j["id"].IsInt() || !j.HasMember("name") ||
            !j["name"].IsString() || !j.HasMember("expr") || !j["expr"].IsString() || !j.HasMember("cmd") ||
            !j["cmd"].IsString() || !j.HasMember("enabled") || !j["enabled"].IsBool() ||
            !j.HasMember("max_runtime_sec") || !j["max_runtime_sec"].IsInt())
            return false;
        crash_job& job = out->jobs[j["id"].GetInt()];
        job.name = j["name"].GetString();
        job.expr = j["expr"].GetString();
        job.cmd = j["cmd"].GetString();
        job.enabled = j["enabled"].GetBool();
        job.timeout = j["max_runtime_sec"].GetInt();
    }
    return true;
}

// Reads a store file. A missing file is the empty table; false when the file
// exists but is not a store the library wrote.
inline bool crash_table_read(const std::string& path, crash_table* out) {
    *out = crash_table{};
    std::ifstream in(path, std::ios::binary);
    if (!in) return true;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rapidjson::Document d;
    d.Parse(text.c_str(), text.size());
    if (d.HasParseError() || !d.IsObject() || !d.HasMember("next_id") || !d["next_id"].IsInt() ||
        !d.HasMember("jobs"))
        return false;
    out->next_id = d["next_id"].GetInt();
    return crash_jobs_from(d["jobs"], out);
}

// FNV-1a over a canonical text of the table: the same in every process.
inline uint64_t crash_table_digest(const crash_table& t) {
    std::string s = "next_id=" + std::to_string(t.next_id) + ";";
    for (const auto& [id, j] : t.jobs) {
        s += std::to_string(id) + "|" + j.name + "|" + j.expr + "|" + j.cmd + "|" + (j.enabled ? "1" : "0") +
             "|" + std::to_string(j.timeout) + ";";
    }
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}
