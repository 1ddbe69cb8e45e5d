// Run records outside the process that made them. The library keeps a job's
// records in memory only, so the process that runs jobs in a data directory
// (the daemon, or `run`) copies every new record to
// "quilmarn-cron.runs.json" there, where `logs` reads them.
#pragma once

#include <map>
#include <string>

#include <rapidjson/document.h>

// Adds `records` (an array, newest first) in front of job `id`'s records in
// the file, keeping the newest 20. The file is replaced whole.
bool runs_file_prepend(const std::string& dir, int id, const rapidjson::Value& records);

// Job `id`'s records from the file into `out` (an array, newest first; empty
// when there are none).
void runs_file_read(const std::string& dir, int id, rapidjson::Document* out);

// One line for a finished attempt: local end time, job name, exit code,
// duration and, when `with_output`, the first line of its output.
std::string record_line(const std::string& name, const rapidjson::Value& record, bool with_output);

// The attempt's whole captured output, every line indented and marked
// "| " (standard output) or "! " (standard error).
std::string record_output(const rapidjson::Value& record);

// Finds the records a job has gained since the last look at its run log.
class new_records {
public:
    // The records of `log_json` (the run log report, newest first) that are
    // newer than those seen before, into `out`, newest first. Ask for all 20.
    void take(int id, const char* log_json, rapidjson::Document* out);

private:
    struct seen {
        int count = 0;       // records at the last look
        std::string newest;  // compact text of the newest record then
    };
    std::map<int, seen> seen_;
};
