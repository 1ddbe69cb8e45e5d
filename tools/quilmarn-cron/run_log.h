// Run records outside the process that made them. The library keeps a job's
// records in memory only, so the process that runs jobs in a data directory
// (the daemon, or `run`) appends each finished attempt's record to the job's
// file "quilmarn-cron.runs.<id>.jsonl" there, where `logs` reads them.
//
// One JSON object per line, oldest first, each a record as the run log
// report writes it with "job_id" in front. A record costs its own bytes: it
// is appended with one write and flushed; past twice the records a job keeps
// the file is rewritten with the newest ones (a temporary renamed over it),
// so each record is written about twice in all. A line without its end (a
// crash while writing) or that does not parse is skipped at read.
//
// The single file of earlier versions, "quilmarn-cron.runs.json", is still
// read, and split into these files at the first record written.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "job_list.h"

class runs_store {
public:
    runs_store(std::string dir, FILE* err) : dir_(std::move(dir)), err_(err) {}

    // Appends a record of job `id`. False, with the reason on `err`, when it
    // cannot be kept.
    bool append(int id, const run_record& record);
    // Forgets the records of job `id` (a deleted job).
    void forget(int id);
    // Forgets the records of every job not in `live_ids`.
    void prune(const std::vector<int>& live_ids);

private:
    bool migrate(int dirfd);
    int count_lines(int dirfd, int id);

    std::string dir_;
    FILE* err_;
    bool migrated_ = false;
    std::map<int, int> lines_;  // lines in each job's file, as far as known
};

// Job `id`'s records (newest first; empty when there are none, or the file
// is refused or damaged: then a warning on `err`).
void runs_file_read(FILE* err, const std::string& dir, int id, std::vector<run_record>* out);

// The records of every job that has some in `dir`, deleted jobs' too: each
// job's whole file, oldest first (the old single file for a job without
// one). Files refused or damaged are warned of on `err` and left out.
void runs_files_read_all(FILE* err, const std::string& dir, std::map<int, std::vector<run_record>>* out);

// The records of the old single file, each job's oldest first; empty when
// it is missing or cannot be read.
void runs_old_read(int dirfd, std::map<int, std::vector<run_record>>* out);

// The records of job `id` in the whole lines of `text`, oldest first;
// *used is the length of those lines (a torn last line is left out).
std::vector<run_record> runs_lines_parse(const std::string& text, int id, size_t* used);

// A record as one JSON object, as a runs file holds it: "job_id", then
// "job_name" when `name` is given, then the record's members.
std::string runs_record_json(int id, const std::string* name, const run_record& r);

// A job's runs file, and the job id of such a name (else 0).
std::string runs_file_name(int id);
int runs_file_id(const std::string& name);
// The job ids of the runs files in the directory `dirfd`, in no order.
std::vector<int> runs_file_ids(int dirfd);

// The ids and names of the jobs in crontab.json of `dir`, in file order,
// read without the library: another process may own the directory. 0, or
// ENOENT when there is no store yet, or another errno value when it cannot
// be read as a job table.
int runs_job_names(const std::string& dir, std::vector<std::pair<int, std::string>>* out);

// The records a job's file keeps when it is rewritten: the newest ones.
constexpr size_t RUNS_KEPT = CRONTAB_LOG_CAPACITY;

// The word for an exit code that is not the command's own ("time limit",
// "cancelled", ...), or null for a command's exit status.
const char* cron_exit_word(int exit_code);

// One line for a finished attempt: local end time, job name, exit code and
// duration.
std::string record_line(const std::string& name, const run_record& record);

// The attempt's whole captured output, every line indented and marked
// "| " (standard output) or "! " (standard error).
std::string record_output(const run_record& record);
