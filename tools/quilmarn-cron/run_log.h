// Run records outside the process that made them. The library keeps a job's
// records in memory only, so the process that runs jobs in a data directory
// (the daemon, or `run`) copies every new record to
// "quilmarn-cron.runs.json" there, where `logs` reads them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "job_list.h"

// Adds `records` (newest first) in front of job `id`'s records in the file,
// keeping the newest 20, and forgets the records of jobs not in `live_ids`.
// The file is replaced whole; a damaged one is set aside first (one warning
// on `err`). False, with the reason on `err`, when it cannot be written.
bool runs_file_prepend(FILE* err, const std::string& dir, int id, const std::vector<run_record>& records,
                       const std::vector<int>& live_ids);

// Job `id`'s records from the file (newest first; empty when there are
// none, or the file is damaged: then a warning on `err`).
void runs_file_read(FILE* err, const std::string& dir, int id, std::vector<run_record>* out);

// One line for a finished attempt: local end time, job name, exit code and
// duration.
std::string record_line(const std::string& name, const run_record& record);

// The attempt's whole captured output, every line indented and marked
// "| " (standard output) or "! " (standard error).
std::string record_output(const run_record& record);
