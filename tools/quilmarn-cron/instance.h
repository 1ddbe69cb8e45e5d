// The instance of a data directory, opened under the directory's lock.
#pragma once

#include <cstdio>
#include <string>

#include "dir_lock.h"
#include "quilmarn_crontab.h"

enum class dir_access {
    change,  // changes jobs: refused while a daemon runs there
    read,    // only reads jobs: also while a daemon runs, which never changes them
    run,     // runs jobs by hand: refused while a daemon runs there
    daemon,  // runs the scheduler until stopped: refused while another daemon runs
};

// Destroying the instance saves the job store, so the lock is held until
// that is done. `ct` stays null, with the reason printed, when the directory
// cannot be opened or is refused.
struct open_instance {
    dir_lock lock;
    crontab_t* ct = nullptr;
    std::string snapshot;  // a read beside the owner of the directory opens a copy here

    open_instance(const char* dir, dir_access access, FILE* err = stderr);
    ~open_instance();
    open_instance(const open_instance&) = delete;
    open_instance& operator=(const open_instance&) = delete;
};
