// Files of the tool in a data directory, opened relative to a descriptor of
// the directory and never through a symbolic link: someone who can write
// the directory must not make the tool (perhaps root) truncate, overwrite or
// read a file elsewhere.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd();
    unique_fd(unique_fd&& o) noexcept : fd_(o.release()) {}
    unique_fd& operator=(unique_fd&& o) noexcept;
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The directory itself (which may be reached through a link: that is the
// owner's choice); an invalid descriptor with errno set when it cannot be opened.
unique_fd cron_dir_open(const std::string& dir);

// Reads the regular file `name` of the directory, owned by our user, at
// most `max` bytes. 0, or an errno value: ENOENT, ELOOP for a symbolic link,
// EINVAL for something that is not a regular file (a FIFO is never waited
// on), EPERM for a file of another user, EFBIG for a longer file.
int cron_dir_read(int dirfd, const char* name, size_t max, std::string* out);

// Opens the regular file `name` of ours for reading, as cron_dir_read
// checks it, into *fd with its status in *st. 0 or an errno value.
int cron_dir_open_read(int dirfd, const char* name, unique_fd* fd, struct stat* st);

// Replaces `name` with `text` whole: written to "<name>.tmp.<pid>" (created
// new, mode 0600 whatever the umask, a stale one removed first), flushed,
// then renamed over it. ELOOP when `name` is a symbolic link. 0 or an errno
// value.
int cron_dir_replace(int dirfd, const char* name, const std::string& text);

// Appends `text` to the regular file `name` of ours (created 0600 when
// missing) with one write, then flushes it to disk. A last line left torn
// by a crash is ended first, so the new text starts a line of its own.
// ELOOP, EINVAL or EPERM as cron_dir_read; 0 or an errno value.
int cron_dir_append(int dirfd, const char* name, const std::string& text);

// Creates `name` new with `text`, mode 0600; EEXIST when anything has that name.
int cron_dir_create(int dirfd, const char* name, const std::string& text);

// Removes the temporaries "quilmarn-cron.*.tmp.<pid>" that writers killed
// before their rename left, and the "quilmarn-cron.cancel.*" files of
// earlier versions. Only for the owner of the directory's lock: it is the
// one process that writes them.
void cron_dir_remove_stale(int dirfd);

// "refusing D/NAME: it is a symbolic link" and the like, for messages.
std::string cron_dir_error(const std::string& dir, const char* name, int error);
