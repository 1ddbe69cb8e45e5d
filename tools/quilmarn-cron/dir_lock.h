// The lock on a data directory. Every instance saves its whole job table, so
// a process that changes the directory while another instance runs there
// would lose its change at that instance's next save. A daemon holds the
// lock for its whole life; every other command for its own.
#pragma once

#include <string>

enum class lock_role { edit, run, daemon };

class dir_lock {
public:
    dir_lock() = default;
    ~dir_lock();
    dir_lock(const dir_lock&) = delete;
    dir_lock& operator=(const dir_lock&) = delete;

    // Takes the lock of `dir` (created when missing). While a command holds
    // it, waits; while a daemon holds it, returns false with *holder set to
    // the daemon's pid. A file system without locks is not locked.
    bool acquire(const std::string& dir, lock_role role, long* holder);

    // Without waiting: true when taken, else false with the holder's pid and
    // role (when known).
    bool try_acquire(const std::string& dir, lock_role role, long* holder, lock_role* holder_role);

private:
    bool open_file(const std::string& dir);
    void mark(lock_role role);
    int fd_ = -1;
    bool held_ = false;
};

// "<dir>/quilmarn-cron.lock"
std::string dir_lock_path(const std::string& dir);
