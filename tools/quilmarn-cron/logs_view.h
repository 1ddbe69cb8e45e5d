// What `logs` shows beyond one job's records: the records of every job,
// newest first across jobs, and `logs -f`, which follows the runs files as
// the owner of the directory writes them. Only files are read: a daemon
// answers a command once, and following needs no owner at all.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "quilmarn_crontab.h"

// The most records `logs` shows: every record of a full table.
constexpr size_t CRON_LOGS_MAX = static_cast<size_t>(CRONTAB_MAX_JOBS) * CRONTAB_LOG_CAPACITY;

struct logs_request {
    int job_id = 0;  // 0: every job
    size_t count = CRONTAB_LOG_CAPACITY;
    bool json = false;
    bool follow = false;
};

// Prints the newest `count` records (text oldest first, as a log reads; a
// JSON array newest first, or with `follow` one object per line, oldest
// first). With `follow` it then prints each record written afterwards,
// once, until SIGINT or SIGTERM (exit status 0) or until the reader of
// `out` is gone. Returns the exit status.
int cron_logs_show(FILE* out, FILE* err, const std::string& dir, const logs_request& req);
