// The job definitions the store keeps, read from a parsed job list: equal
// texts mean equal stored tables.
#pragma once

#include <string>

#include <rapidjson/document.h>

inline std::string job_definitions(const rapidjson::Document& jobs) {
    std::string out;
    for (const auto& j : jobs.GetArray()) {
        for (const char* key : {"id", "name", "expr", "cmd", "enabled", "max_runtime_sec", "workdir", "env",
                                "overlap_policy", "retry_max", "retry_backoff_sec"}) {
            const auto& v = j[key];
            out += v.IsString() ? v.GetString()
                   : v.IsBool() ? (v.GetBool() ? "T" : "F")
                                : std::to_string(v.GetInt64());
            out += '|';
        }
        out += '\n';
    }
    return out;
}
