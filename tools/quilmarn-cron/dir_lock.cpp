#include "dir_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dir_files.h"
#include "quilmarn_crontab.h"

namespace {

const char NOTE[] = "quilmarn-cron.lock";
const char LIBRARY_LOCK[] = "crontab.lock";
const char* const role_names[] = {"edit", "run", "daemon"};

bool alive(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

bool read_note(const std::string& dir, long* pid, lock_role* role) {
    unique_fd dirfd = cron_dir_open(dir);
    std::string text;
    char name[16] = {};
    if (!dirfd || cron_dir_read(dirfd.get(), NOTE, 64, &text) != 0 ||
        std::sscanf(text.c_str(), "%ld %15s", pid, name) != 2) {
        return false;
    }
    for (int r = 0; r < 3; ++r) {
        if (std::strcmp(name, role_names[r]) == 0) {
            *role = static_cast<lock_role>(r);
            return true;
        }
    }
    return false;
}

}  // namespace

std::string dir_lock_path(const std::string& dir) { return dir + "/" + NOTE; }

bool cron_owner_note(const std::string& dir, lock_role role) {
    unique_fd dirfd = cron_dir_open(dir);
    const std::string text = std::to_string(::getpid()) + " " + role_names[static_cast<int>(role)] + "\n";
    // Left in place at the end: it is believed only for the pid the library
    // names as the owner.
    return dirfd && cron_dir_replace(dirfd.get(), NOTE, text) == 0;
}

bool cron_owner_role(const std::string& dir, long pid, lock_role* role) {
    long noted = 0;
    return read_note(dir, &noted, role) && noted == pid && alive(pid);
}

bool cron_owner_may_serve(const std::string& dir) {
    long pid = 0;
    lock_role role = lock_role::edit;
    if (read_note(dir, &pid, &role) && role != lock_role::edit && alive(pid)) return true;
    // The library writes its owner's pid into crontab.lock as it takes the
    // lock; ours follows once crontab_create returns. Between the two the
    // owner is starting, and may be a daemon or a run.
    unique_fd dirfd = cron_dir_open(dir);
    std::string text;
    if (!dirfd || cron_dir_read(dirfd.get(), LIBRARY_LOCK, 64, &text) != 0) return false;
    const long holder = std::strtol(text.c_str(), nullptr, 10);
    return holder != ::getpid() && alive(holder) && holder != pid;
}
