// Crontab-style text: read into job definitions (import, edit) and written
// from them (export). A job line may follow a "#:" line that carries the
// settings a crontab has no place for:
//
//   #: name=backup label=backup.cron timeout=5m retries=2 backoff=30s overlap=queue workdir=/srv env="A=b c" user=www-data enabled=no
//   #: catch-up=6h jitter=5m fixed-jitter=yes   (on the same line in practice)
//   30 2 * * * /usr/local/bin/backup.sh
//
// so that export and import carry every setting of a job.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "job_list.h"

struct job_def {
    int line = 0;  // of the job line
    std::string name, expr, cmd, workdir, env;
    bool enabled = true;
    int timeout = 0, retry_max = 0, retry_backoff = 0;
    int overlap = CRONTAB_OVERLAP_SKIP;
    int catch_up = 0, jitter = 0;
    bool jitter_fixed = false;
    std::string user;  // the account it runs as; "" the daemon's
    // The table (file) it belongs to, when a label= key gives one ("" none);
    // kept by the tool beside the library's jobs, so no part of the digest.
    std::string label;
    bool labelled = false;
};

struct crontab_read_options {
    bool system = false;  // a user field follows the schedule: the job's user
    // A job without a name is "LABEL:LINE" when set; else it is named after
    // its command (" #2" after a name taken).
    std::string label;
};

struct crontab_parsed {
    std::vector<job_def> jobs;
    int bad_lines = 0;  // each reported on `err` as "FILE:LINE: why"
};

// Reads `text`; `file` names it in messages ("FILE:LINE: ..."), which go
// to `err`, warnings too.
crontab_parsed cron_crontab_read(const std::string& text, const char* file, const crontab_read_options& opts,
                                 FILE* err);

// The text of `jobs`, which cron_crontab_read reads back to the same
// definitions; what a text cannot hold goes to `problems`. `labels` (by
// job id) are written as label= keys.
std::string cron_crontab_write(const std::vector<job_info>& jobs, std::vector<std::string>* problems,
                               const std::map<int, std::string>& labels = {});

// A digest of the jobs' definitions and `labels` (what export writes: ids,
// run times and states aside, in any order): the table edit showed is the
// table it changes only while the digest is the same. 16 hex digits.
std::string cron_jobs_digest(const std::vector<job_info>& jobs,
                             const std::map<int, std::string>& labels = {});

// The digest cron_crontab_write put in `text`, or "" when it has none.
std::string cron_crontab_digest(const std::string& text);

// A job of the directory as a definition.
job_def cron_job_def(const job_info& j);

// Whether two definitions give the same job (the line aside).
bool cron_same_def(const job_def& a, const job_def& b);

// Texts that are longer are refused whole: the bounds of what import reads.
constexpr size_t CRONTAB_TEXT_MAX = 1u << 20;
constexpr size_t CRONTAB_LINE_MAX = 8192;
