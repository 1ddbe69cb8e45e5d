// The instance of a data directory: the library lets one own it at a time.
#pragma once

#include <cstdio>
#include <string>

#include "dir_lock.h"
#include "quilmarn_crontab.h"

enum class dir_access {
    change,  // changes jobs
    read,    // only reads jobs: also beside a daemon or a run, through a copy
    run,     // runs jobs by hand
    daemon,  // runs the scheduler until stopped
};

// Another owner is waited for a few seconds, then named; a daemon is named at
// once. `ct` stays null, with the reason printed, when the directory cannot
// be opened or is refused.
struct open_instance {
    crontab_t* ct = nullptr;
    std::string snapshot;  // a read beside the owner of the directory opens a copy here
    // With `to_daemon`, a change refused because a daemon or a run owns the
    // directory is not printed: the reason is kept here for a caller that
    // hands the command to that owner instead.
    std::string daemon_refusal;

    open_instance(const char* dir, dir_access access, FILE* err = stderr, bool to_daemon = false);
    ~open_instance();
    open_instance(const open_instance&) = delete;
    open_instance& operator=(const open_instance&) = delete;
};
