#include "dir_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

unique_fd::~unique_fd() {
    if (fd_ >= 0) ::close(fd_);
}

unique_fd& unique_fd::operator=(unique_fd&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.release();
    }
    return *this;
}

unique_fd cron_dir_open(const std::string& dir) {
    return unique_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

namespace {

bool is_link(int dirfd, const char* name) {
    struct stat st {};
    return ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// A new file of ours: 0600 whatever the umask, since the runs file holds
// the jobs' output.
unique_fd create_private(int dirfd, const char* name) {
    unique_fd fd(::openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd && ::fchmod(fd.get(), 0600) != 0) {
        const int e = errno;
        ::unlinkat(dirfd, name, 0);
        errno = e;
        return unique_fd();
    }
    return fd;
}

int write_all(int fd, const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        at += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int cron_dir_open_read(int dirfd, const char* name, unique_fd* fd, struct stat* st) {
    // O_NONBLOCK: a FIFO planted under our name must not hang the open.
    *fd = unique_fd(::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!*fd) return errno;
    if (::fstat(fd->get(), st) != 0) return errno;
    if (!S_ISREG(st->st_mode)) return EINVAL;
    if (st->st_uid != ::geteuid()) return EPERM;
    return 0;
}

int cron_dir_read(int dirfd, const char* name, size_t max, std::string* out) {
    out->clear();
    unique_fd fd;
    struct stat st {};
    if (int rc = cron_dir_open_read(dirfd, name, &fd, &st); rc != 0) return rc;
    if (static_cast<unsigned long long>(st.st_size) > max) return EFBIG;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        if (out->size() + static_cast<size_t>(n) > max) return EFBIG;
        out->append(buf, static_cast<size_t>(n));
    }
}

int cron_dir_append(int dirfd, const char* name, const std::string& text) {
    struct stat before {};
    const bool is_new = ::fstatat(dirfd, name, &before, AT_SYMLINK_NOFOLLOW) != 0;
    // Read and write: the last byte is looked at, and a FIFO opens without waiting.
    unique_fd fd(
        ::openat(dirfd, name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) return errno;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    if (st.st_uid != ::geteuid()) return EPERM;
    if ((st.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0) return errno;
    std::string whole;
    char last = '\n';
    if (st.st_size > 0 && ::pread(fd.get(), &last, 1, st.st_size - 1) != 1) return errno != 0 ? errno : EIO;
    // O_APPEND with one write keeps a line whole beside another appender.
    const std::string& out = last == '\n' ? text : (whole = "\n" + text);
    if (int rc = write_all(fd.get(), out); rc != 0) return rc;
    if (::fdatasync(fd.get()) != 0) return errno;
    // A new file is found after a crash only once its directory entry is on disk.
    return is_new && ::fsync(dirfd) != 0 ? errno : 0;
}

int cron_dir_create(int dirfd, const char* name, const std::string& text) {
    unique_fd fd = create_private(dirfd, name);
    if (!fd) return errno;
    return write_all(fd.get(), text);
}

int cron_dir_replace(int dirfd, const char* name, const std::string& text) {
    if (is_link(dirfd, name)) return ELOOP;
    const std::string tmp = std::string(name) + ".tmp." + std::to_string(::getpid());
    // A leftover of a crashed writer of this pid, or anything planted under
    // the name: unlinking removes the entry itself, never what a link names.
    ::unlinkat(dirfd, tmp.c_str(), 0);
    unique_fd fd = create_private(dirfd, tmp.c_str());
    if (!fd) return errno;
    int rc = write_all(fd.get(), text);
    if (rc == 0 && ::fsync(fd.get()) != 0) rc = errno;
    fd = unique_fd();
    if (rc == 0 && ::renameat(dirfd, tmp.c_str(), dirfd, name) != 0) rc = errno;
    if (rc != 0) ::unlinkat(dirfd, tmp.c_str(), 0);
    return rc;
}

void cron_dir_remove_stale(int dirfd) {
    static const char prefix[] = "quilmarn-cron.";
    // Cancel requests and answers of earlier versions, which no one serves now.
    static const char cancel[] = "quilmarn-cron.cancel.";
    std::vector<std::string> stale;
    DIR* d = ::fdopendir(::dup(dirfd));
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind(cancel, 0) == 0) {
            stale.push_back(name);
            continue;
        }
        const size_t tmp = name.rfind(".tmp.");
        if (name.rfind(prefix, 0) != 0 || tmp == std::string::npos || tmp + 5 == name.size() ||
            name.find_first_not_of("0123456789", tmp + 5) != std::string::npos ||
            name.substr(tmp + 5) == std::to_string(::getpid())) {
            continue;
        }
        stale.push_back(name);
    }
    ::closedir(d);
    // Unlinking removes the entry, never what a link there names.
    for (const std::string& name : stale) ::unlinkat(dirfd, name.c_str(), 0);
}

std::string cron_dir_error(const std::string& dir, const char* name, int error) {
    const std::string path = dir + "/" + name;
    switch (error) {
        case ELOOP: return "refusing " + path + ": it is a symbolic link";
        case EINVAL: return "refusing " + path + ": it is not a regular file";
        case EPERM: return "refusing " + path + ": it belongs to another user";
        case EFBIG: return "refusing " + path + ": it is too large";
        default: return path + ": " + std::strerror(error);
    }
}
