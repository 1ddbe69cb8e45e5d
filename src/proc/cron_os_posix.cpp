#include "proc/cron_os.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "base/cron_unique.h"

namespace {

std::atomic<int64_t> clock_shift_ms{0};  // see cron_os_set_clock_shift

bool write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

// time() reads a copy of the clock updated once per kernel tick and can lag
// the start of a second by a few milliseconds; the scheduler wakes exactly
// at that start and must see the new second.
int64_t cron_os_now() {
    const int64_t ms = cron_os_now_ms();
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

int64_t cron_os_now_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 +
           clock_shift_ms.load(std::memory_order_relaxed);
}

void cron_os_set_clock_shift(int64_t ms) { clock_shift_ms.store(ms, std::memory_order_relaxed); }

int64_t cron_os_monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t cron_os_coarse_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool cron_os_localtime(int64_t t, std::tm* out) {
    time_t tt = static_cast<time_t>(t);
    return ::localtime_r(&tt, out) != nullptr;
}

int64_t cron_os_mktime(std::tm* tm) {
    // mktime's -1 is also a valid time (one second before the epoch); tell the
    // two apart by a field mktime always normalises.
    tm->tm_wday = -1;
    time_t t = ::mktime(tm);
    if (t == static_cast<time_t>(-1) && tm->tm_wday == -1) return -1;
    return static_cast<int64_t>(t);
}

void* cron_os_alloc_zeroed(size_t size) {
    if (size == 0) return nullptr;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // With huge pages the first touch of a job slot would make up to 2 MB
    // resident at once.
    ::madvise(p, size, MADV_NOHUGEPAGE);
    return p;
}

void cron_os_free_zeroed(void* p, size_t size) {
    if (p != nullptr) ::munmap(p, size);
}

void cron_os_zero(void* p, size_t size) {
    if (p == nullptr || size == 0) return;
    auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto begin = reinterpret_cast<uintptr_t>(p);
    uintptr_t end = begin + size;
    uintptr_t first = (begin + page - 1) / page * page;
    uintptr_t last = end / page * page;
    if (first >= last || ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED) != 0) {
        std::memset(p, 0, size);
        return;
    }
    std::memset(p, 0, first - begin);
    std::memset(reinterpret_cast<void*>(last), 0, end - last);
}

bool cron_os_path_valid(const char*) { return true; }

void cron_os_mkdirs(const char* path) {
    if (path == nullptr || *path == '\0') return;
    std::string p(path);
    int cause = 0;
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i == p.size() || p[i] == '/') {
            std::string part = p.substr(0, i);
            // The data directory holds job environments and outputs: its
            // owner's alone. A umask can only take bits away from 0700.
            const mode_t mode = i == p.size() ? 0700 : 0755;
            if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST && cause == 0) cause = errno;
        }
    }
    // The first real failure is the cause; the ones after it follow from it.
    if (cause != 0) errno = cause;
}

bool cron_os_absolute(const char* path, std::string* out) {
    if (path == nullptr || *path == '\0') return false;
    if (*path == '/') {
        *out = path;
        return true;
    }
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return false;
    *out = cwd;
    if (out->back() != '/') *out += '/';
    *out += path;
    return true;
}

bool cron_os_dir_writable(const char* path) {
    // access() also reports a read-only mount (EROFS), which mode bits do not.
    return path != nullptr && ::access(path, W_OK | X_OK) == 0;
}

std::string cron_os_error_text() { return std::generic_category().message(errno); }

bool cron_os_is_dir(const char* path) {
    struct stat st {};
    return path != nullptr && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool cron_os_file_exists(const char* path) {
    struct stat st {};
    return path != nullptr && ::stat(path, &st) == 0;
}

namespace {

// "uid 1001 (ann)", or "uid 1001" for a user the system cannot name.
std::string user_text(uid_t uid) {
    std::string text = "uid " + std::to_string(uid);
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
        text += std::string(" (") + found->pw_name + ")";
    return text;
}

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// Whose files a process may trust: its own, and root's, who could change
// them anyway. Anyone else could swap the commands this process runs.
bool trusted_owner(uid_t uid) { return uid == ::geteuid() || uid == 0; }

// Why `st` (of `what`, a directory when `dir`) cannot be trusted, or "".
std::string distrust(const std::string& what, const struct stat& st, bool dir) {
    if (dir ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return what + " is " + kind_of(st.st_mode);
    if (!trusted_owner(st.st_uid))
        return what + " is owned by " + user_text(st.st_uid) + " with mode " + mode_text(st.st_mode) +
               ", not by this process's user (" + user_text(::geteuid()) + ") or root";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return what + " is writable by its group or others (mode " + mode_text(st.st_mode) + ", owner " +
               user_text(st.st_uid) + "); only its owner may write it";
    return "";
}

void note_exposed(const std::string& what, const struct stat& st, std::vector<std::string>* exposed) {
    if (exposed != nullptr && (st.st_mode & (S_IRGRP | S_IROTH)) != 0)
        exposed->push_back(what + " (mode " + mode_text(st.st_mode) + ")");
}

int dir_fd(const cron_os_dir_t& dir) { return static_cast<int>(dir.handle); }

// Opens the trusted file `name` of the directory: never through a link
// (O_NOFOLLOW), never waiting on a FIFO (O_NONBLOCK), then checked by what
// was opened. -1 with *why set; errno ENOENT tells a missing file.
int open_trusted(const cron_os_dir_t& dir, const char* name, int flags, std::string* why,
                 std::vector<std::string>* exposed) {
    const std::string what = dir.path + "/" + name;
    unique_fd fd(::openat(dir_fd(dir), name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        struct stat st {};
        if (err == ELOOP && ::fstatat(dir_fd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            *why = what + " is " + kind_of(st.st_mode);
        } else {
            *why = what + " cannot be opened: " + std::generic_category().message(err);
        }
        errno = err;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        *why = what + " cannot be examined: " + std::generic_category().message(errno);
        return -1;
    }
    *why = distrust(what, st, false);
    if (!why->empty()) {
        errno = EPERM;
        return -1;
    }
    note_exposed(name, st, exposed);
    return fd.release();
}

bool read_bounded(int fd, std::string* out, size_t limit) {
    out->clear();
    char chunk[16384];
    while (out->size() <= limit) {
        // One byte past the limit tells a longer file.
        const size_t left = limit - out->size();
        const size_t want = left < sizeof chunk ? left + 1 : sizeof chunk;
        ssize_t n = ::read(fd, chunk, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        out->append(chunk, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

bool cron_os_read_file(const char* path, std::string* out, size_t limit) {
    unique_fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    return read_bounded(fd.get(), out, limit);
}

bool cron_os_regular_file(const char* path, int64_t max_size, cron_os_file_id_t* id) {
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > max_size) return false;
    id->dev = st.st_dev;
    id->ino = st.st_ino;
    id->size = st.st_size;
    id->mtime_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    id->ctime_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
    return true;
}

bool cron_os_dir_open(const char* path, cron_os_dir_t* dir, std::string* why,
                      std::vector<std::string>* exposed) {
    cron_os_dir_close(dir);
    // The path itself may lead through links (/var/run -> /run): what is
    // checked is the directory it reaches, which the descriptor then pins.
    unique_fd fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        *why = std::string("data directory ") + path +
               " cannot be opened: " + std::generic_category().message(errno);
        return false;
    }
    *why = distrust(std::string("data directory ") + path, st, true);
    if (!why->empty()) return false;
    note_exposed("the directory", st, exposed);
    dir->path = path;
    dir->handle = fd.release();
    return true;
}

void cron_os_dir_close(cron_os_dir_t* dir) {
    if (dir->handle >= 0) ::close(dir_fd(*dir));
    dir->handle = -1;
}

bool cron_os_exists_at(const cron_os_dir_t& dir, const char* name) {
    struct stat st {};
    return ::fstatat(dir_fd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

cron_os_read_status cron_os_read_at(const cron_os_dir_t& dir, const char* name, std::string* out,
                                    size_t limit, std::string* why, std::vector<std::string>* exposed) {
    unique_fd fd(open_trusted(dir, name, O_RDONLY, why, exposed));
    if (fd.get() < 0) return errno == ENOENT ? cron_os_read_status::missing : cron_os_read_status::failed;
    if (read_bounded(fd.get(), out, limit)) return cron_os_read_status::ok;
    *why = dir.path + "/" + name + " cannot be read: " + std::generic_category().message(errno);
    return cron_os_read_status::failed;
}

int cron_os_replace_at(const cron_os_dir_t& dir, const char* name, const char* data, size_t len,
                       std::string* why) {
    // A name of its own per write: two writers of one target (two instances
    // on one data directory) must never share and truncate a temporary file.
    static std::atomic<unsigned> serial{0};
    const std::string tmp =
        std::string(name) + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial.fetch_add(1));
    const int d = dir_fd(dir);
    // A new file (O_EXCL never follows a link), its owner's alone whatever
    // the umask.
    int fd = ::openat(d, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *why = std::generic_category().message(errno);
        return -1;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && write_all(fd, data, len) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::renameat(d, tmp.c_str(), d, name) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlinkat(d, tmp.c_str(), 0);
        *why = std::generic_category().message(err);
        return -1;
    }
    // A rename is durable only once the directory entry is on disk.
    ::fsync(d);
    return 0;
}

void cron_os_remove_stale_temps_at(const cron_os_dir_t& dir, const char* name) {
    const std::string prefix = std::string(name) + ".tmp.";
    int fd = ::openat(dir_fd(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return;
    }
    while (const dirent* e = ::readdir(d)) {
        std::string_view entry(e->d_name);
        if (entry.substr(0, prefix.size()) != prefix) continue;
        // "<prefix><pid>.<serial>": only a writer that no longer exists is
        // done with its file; a live one (another instance, another process)
        // may be about to rename it.
        std::string_view rest = entry.substr(prefix.size());
        long pid = 0;
        size_t i = 0;
        for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && pid < 1000000000; ++i)
            pid = pid * 10 + (rest[i] - '0');
        if (i == 0 || i >= rest.size() || rest[i] != '.' || pid <= 0) continue;
        if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        // Removes the entry, whatever it is; a link's target stays.
        ::unlinkat(dir_fd(dir), e->d_name, 0);
    }
    ::closedir(d);
}

cron_os_lock_status cron_os_lock_at(const cron_os_dir_t& dir, const char* name, cron_os_lock_t* lock,
                                    int64_t* holder, std::string* why) {
    *lock = CRON_OS_NO_LOCK;
    *holder = 0;
    // Close-on-exec, and the runner closes every other descriptor in the
    // child: a command cannot keep the directory locked after its host.
    unique_fd fd(::openat(dir_fd(dir), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() >= 0) {
        ::fchmod(fd.get(), 0600);
    } else if (errno == EEXIST) {
        fd.reset(open_trusted(dir, name, O_RDWR, why, nullptr));
        if (fd.get() < 0) return cron_os_lock_status::failed;
    } else {
        *why = dir.path + "/" + name + " cannot be created: " + std::generic_category().message(errno);
        return cron_os_lock_status::failed;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err != EWOULDBLOCK) {
            *why = dir.path + "/" + name + ": " + std::system_category().message(err);
            return cron_os_lock_status::failed;
        }
        // The owner writes its pid just after it has taken the lock; until
        // then the text is empty or its predecessor's.
        char text[32] = {};
        ssize_t n = ::pread(fd.get(), text, sizeof text - 1, 0);
        if (n > 0) *holder = std::strtoll(text, nullptr, 10);
        if (*holder < 0) *holder = 0;
        return cron_os_lock_status::held;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    // The text only names the owner for a refused taker: writing it may fail.
    if (::ftruncate(fd.get(), 0) == 0) {
        [[maybe_unused]] ssize_t n = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
    }
    *lock = fd.release();
    return cron_os_lock_status::taken;
}

void cron_os_unlock_file(cron_os_lock_t lock) {
    // Closing the only descriptor of the open ends the lock. The file stays:
    // removing it could let two takers lock two different files.
    if (lock != CRON_OS_NO_LOCK) ::close(static_cast<int>(lock));
}
