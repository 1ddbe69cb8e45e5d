// The library's job list and run log reports as plain records. Every JSON
// text the tool reads goes through the non-recursive parser and is checked
// member by member, so no text, however deep or odd, can crash the tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "quilmarn_crontab.h"

struct job_info {
    int id = 0;
    std::string name, expr, cmd, workdir, env;
    bool enabled = true;
    int64_t next_run = 0, last_run = 0;
    int log_count = 0;
    int max_runtime_sec = 0;
    bool running = false;
    int overlap_policy = CRONTAB_OVERLAP_SKIP;
    int queued_count = 0;
    int retry_max = 0, retry_backoff_sec = 0;
    int catch_up_sec = 0, jitter_sec = 0;
    bool jitter_fixed = false;
    std::string user;  // "" for the daemon's own account
};

struct run_record {
    int64_t started_at = 0, finished_at = 0;
    int exit_code = 0;
    int duration_ms = 0;
    int attempt = 1;
    uint64_t execution = 0;  // the library's id of the execution, 0 when unknown
    int64_t fire_time = 0;   // the scheduled fire time it served, 0 by hand or unknown
    // When the feed told of its end, epoch milliseconds (0 unknown): orders
    // the records of several jobs that ended in one second.
    int64_t finished_ms = 0;
    bool truncated = false, cancelled = false;
    std::string out, err;  // "stdout" and "stderr"
};

// Parses `text` with the non-recursive parser: false for text that is not
// JSON (or nested deeper than any report of ours).
bool cron_json_parse(const char* text, size_t size, rapidjson::Document* doc);
bool cron_json_parse(const std::string& text, rapidjson::Document* doc);

// The current job table; false when the report cannot be read.
bool cron_read_jobs(crontab_t* ct, std::vector<job_info>* jobs);
// The newest `limit` records of job `id`'s run log, newest first; false
// when the report cannot be read.
bool cron_read_logs(crontab_t* ct, int id, int limit, std::vector<run_record>* records);

// One run record; false when it is not one.
bool cron_record_from_json(const rapidjson::Value& v, run_record* r);
// An array of run records; false when it is not one or an element is bad.
bool cron_records_from_json(const rapidjson::Value& v, std::vector<run_record>* out);
// The records back as JSON objects of the run log's shape.
void cron_record_to_json(const run_record& r, rapidjson::Value* v, rapidjson::Document::AllocatorType& a);

// The job of `id` in `jobs`, or null.
const job_info* cron_find_job(const std::vector<job_info>& jobs, int id);
