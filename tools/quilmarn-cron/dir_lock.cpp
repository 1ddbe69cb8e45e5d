#include "dir_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

namespace {

const char* const role_names[] = {"edit", "run", "daemon"};

// The "<pid> <role>" the holder wrote after it took the lock. A holder that
// has just taken it may not have written yet: the text is then its
// predecessor's, or empty.
bool read_holder(int fd, long* pid, lock_role* role) {
    char buf[64] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    char name[16] = {};
    if (n <= 0 || std::sscanf(buf, "%ld %15s", pid, name) != 2) return false;
    for (int r = 0; r < 3; ++r) {
        if (std::strcmp(name, role_names[r]) == 0) *role = static_cast<lock_role>(r);
    }
    return true;
}

bool alive(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

}  // namespace

std::string dir_lock_path(const std::string& dir) { return dir + "/quilmarn-cron.lock"; }

dir_lock::~dir_lock() {
    if (fd_ < 0) return;
    // An empty file names no holder; closing releases the lock.
    if (held_) {
        [[maybe_unused]] int cleared = ::ftruncate(fd_, 0);
    }
    ::close(fd_);
}

bool dir_lock::open_file(const std::string& dir) {
    if (fd_ >= 0) return true;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // Never through a link: the holder truncates and writes the file.
    fd_ = ::open(dir_lock_path(dir).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

void dir_lock::mark(lock_role role) {
    held_ = true;
    char text[64];
    int n = std::snprintf(text, sizeof text, "%ld %s\n", static_cast<long>(::getpid()),
                          role_names[static_cast<int>(role)]);
    // A failure only costs a refused command the pid in its message.
    [[maybe_unused]] bool written =
        ::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, text, static_cast<size_t>(n), 0) == n;
}

bool dir_lock::try_acquire(const std::string& dir, lock_role role, long* holder,
                           lock_role* holder_role) {
    // Without a lock file the directory cannot be written either; the
    // command then fails on its own terms.
    if (!open_file(dir)) return true;
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        mark(role);
        return true;
    }
    if (errno != EWOULDBLOCK) return true;  // a file system without locks
    *holder = 0;
    *holder_role = lock_role::edit;
    read_holder(fd_, holder, holder_role);
    return false;
}

bool dir_lock::acquire(const std::string& dir, lock_role role, long* holder) {
    bool told = false;
    for (;;) {
        long pid = 0;
        lock_role held_as = lock_role::edit;
        if (try_acquire(dir, role, &pid, &held_as)) return true;
        // A dead daemon's text can outlive it; only a live one refuses.
        if (held_as == lock_role::daemon && alive(pid)) {
            *holder = pid;
            return false;
        }
        if (!told && pid > 0 && held_as == lock_role::run) {
            std::fprintf(stderr, "quilmarn-cron: waiting for process %ld, which runs a job in %s\n", pid,
                         dir.c_str());
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
