#include "proc/cron_os.h"

#include <dirent.h>
#include <fcntl.h>
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

std::string parent_dir(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A rename is durable only once the directory entry is on disk.
void sync_dir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
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
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST && cause == 0) cause = errno;
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

int cron_os_replace_file(const char* path, const char* data, size_t len) {
    // A name of its own per write: two writers of one target (two instances
    // on one data directory) must never share and truncate a temporary file.
    static std::atomic<unsigned> serial{0};
    std::string tmp =
        std::string(path) + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial.fetch_add(1));
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    bool ok = write_all(fd, data, len) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(tmp.c_str(), path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        errno = err;  // the cause, for cron_os_error_text
        return -1;
    }
    sync_dir(parent_dir(path));
    return 0;
}

bool cron_os_read_file(const char* path, std::string* out, size_t limit) {
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    out->clear();
    char chunk[16384];
    while (out->size() <= limit) {
        // One byte past the limit tells a longer file.
        const size_t left = limit - out->size();
        const size_t want = left < sizeof chunk ? left + 1 : sizeof chunk;
        ssize_t n = ::read(fd.get(), chunk, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        out->append(chunk, static_cast<size_t>(n));
    }
    return true;
}

void cron_os_remove_stale_temps(const char* path) {
    if (path == nullptr || *path == '\0') return;
    const std::string full(path);
    const std::string dir = parent_dir(full);
    const size_t slash = full.find_last_of('/');
    const std::string prefix = (slash == std::string::npos ? full : full.substr(slash + 1)) + ".tmp.";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
        std::string_view name(e->d_name);
        if (name.substr(0, prefix.size()) != prefix) continue;
        // "<prefix><pid>.<serial>": only a writer that no longer exists is
        // done with its file; a live one (another instance, another process)
        // may be about to rename it.
        std::string_view rest = name.substr(prefix.size());
        long pid = 0;
        size_t i = 0;
        for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && pid < 1000000000; ++i)
            pid = pid * 10 + (rest[i] - '0');
        if (i == 0 || i >= rest.size() || rest[i] != '.' || pid <= 0) continue;
        if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlink((dir + "/" + std::string(name)).c_str());
    }
    ::closedir(d);
}

int cron_os_copy_file(const char* from, const char* to) {
    std::string data;
    if (!cron_os_read_file(from, &data)) return -1;
    return cron_os_replace_file(to, data.data(), data.size());
}

cron_os_lock_status cron_os_lock_file(const char* path, cron_os_lock_t* lock, int64_t* holder,
                                      std::string* why) {
    *lock = CRON_OS_NO_LOCK;
    *holder = 0;
    // Close-on-exec, and the runner closes every other descriptor in the
    // child: a command cannot keep the directory locked after its host.
    unique_fd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        *why = std::system_category().message(errno);
        return cron_os_lock_status::failed;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err != EWOULDBLOCK) {
            *why = std::system_category().message(err);
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
