// The few operating-system services the platform-neutral code needs: clocks,
// local-time conversion and file-system operations of the job store.
//
// No function here catches: a failure of the system is its return value,
// and std::bad_alloc from building a path or a text goes to the caller,
// which builds texts of its own and catches at its thread's edge (every
// export does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

int64_t cron_os_now();           // epoch seconds
int64_t cron_os_now_ms();        // epoch milliseconds, the same clock
int64_t cron_os_monotonic_ms();  // monotonic milliseconds
// The monotonic clock to the last tick (a few milliseconds), cheaper to read:
// for checks on hot paths that need only a rough time.
int64_t cron_os_coarse_ms();

// For tests: from now on the wall clock reads `ms` milliseconds off the
// system's, as after a step of the system clock; the monotonic clock is not
// moved. 0 undoes it.
void cron_os_set_clock_shift(int64_t ms);

// Epoch seconds to local calendar time; false on failure. Thread-safe.
bool cron_os_localtime(int64_t t, std::tm* out);
// Local calendar time back to epoch seconds (tm_isdst as given, -1 to let the
// system decide); -1 on failure. Normalises *tm like mktime.
int64_t cron_os_mktime(std::tm* tm);

// Zero-filled memory whose pages cost nothing until first touched (anonymous
// mapping; a heap block may be recycled and cleared page by page). Null on
// failure. Release with cron_os_free_zeroed and the same size.
void* cron_os_alloc_zeroed(size_t size);
void cron_os_free_zeroed(void* p, size_t size);
// Sets the range to zero, handing its whole pages back to the system (they
// read as zero and cost nothing until touched again). For private memory only.
void cron_os_zero(void* p, size_t size);

// Whether the text can name a file as given: any bytes on POSIX; only UTF-8
// on the desktop platform, whose names are UTF-16 (a malformed sequence would
// turn into U+FFFD and name another file).
bool cron_os_path_valid(const char* path);

// Creates the directory and its missing parents; failures are ignored (the
// caller tests the outcome with cron_os_is_dir, and cron_os_error_text then
// gives the first failure's cause). The last directory is made for its
// owner alone (0700 on POSIX); the parents get the usual mode.
void cron_os_mkdirs(const char* path);
// `path` made absolute against the current directory (not resolved further).
// False when it is empty or the current directory cannot be read.
bool cron_os_absolute(const char* path, std::string* out);
// Whether files can be created in the directory now (read-only mounts
// included).
bool cron_os_dir_writable(const char* path);
// The system's text for the error of the last failed file-system call on
// this thread ("No space left on device").
std::string cron_os_error_text();
bool cron_os_is_dir(const char* path);
bool cron_os_file_exists(const char* path);

// Reads the whole regular file into *out, but at most limit + 1 bytes: a
// longer file leaves more than `limit` bytes in *out. False when it cannot be
// opened or read, or is not a regular file (a FIFO is refused, not waited on).
bool cron_os_read_file(const char* path, std::string* out, size_t limit = SIZE_MAX);

// What tells one version of a file from another.
struct cron_os_file_id_t {
    uint64_t dev = 0, ino = 0;
    int64_t size = 0, mtime_ns = 0, ctime_ns = 0;
    bool operator==(const cron_os_file_id_t&) const = default;
};
// Whether `path` (links followed) is now a regular file of at most
// `max_size` bytes, and *id then. Opens nothing: a FIFO is not waited on.
bool cron_os_regular_file(const char* path, int64_t max_size, cron_os_file_id_t* id);

// A data directory, opened for a create or a save: every file of the
// library there is reached through it by name, so that no link and no
// special file planted in it is followed or waited on. On POSIX a file is
// trusted when it is a regular file owned by this process's user (or by
// root) and writable by nobody else; the directory likewise. The desktop
// platform keeps the path and checks nothing.
struct cron_os_dir_t;
void cron_os_dir_close(cron_os_dir_t* dir);
struct cron_os_dir_t {
    std::string path;      // absolute, for messages
    intptr_t handle = -1;  // close-on-exec descriptor on POSIX; -1 when closed
    cron_os_dir_t() = default;
    cron_os_dir_t(const cron_os_dir_t&) = delete;
    cron_os_dir_t& operator=(const cron_os_dir_t&) = delete;
    ~cron_os_dir_t() { cron_os_dir_close(this); }
};

// Opens the directory `path` and checks that it can be trusted. False with
// a sentence in *why naming the path, its owner and its mode. A directory
// readable by others is accepted: "the directory (mode 0755)" is appended
// to *exposed.
bool cron_os_dir_open(const char* path, cron_os_dir_t* dir, std::string* why,
                      std::vector<std::string>* exposed);

// Whether the directory has an entry `name`, of any kind (links included).
bool cron_os_exists_at(const cron_os_dir_t& dir, const char* name);

enum class cron_os_read_status { ok, missing, failed };
// Reads the trusted file `name` of the directory, at most limit + 1 bytes
// (as cron_os_read_file). `failed` with a sentence in *why naming the file
// and what it is ("DIR/crontab.json is a FIFO"). A file readable by others
// is read: "name (mode 0644)" is appended to *exposed when it is given.
cron_os_read_status cron_os_read_at(const cron_os_dir_t& dir, const char* name, std::string* out,
                                    size_t limit, std::string* why,
                                    std::vector<std::string>* exposed = nullptr);

// Replaces the file `name` of the directory with `data` atomically: a new
// temporary file (mode 0600) in the directory, flushed to disk, renamed over
// `name`. 0 on success; -1 with the cause in *why, the old file untouched and
// no temporary file left.
int cron_os_replace_at(const cron_os_dir_t& dir, const char* name, const char* data, size_t len,
                       std::string* why);

// Removes the temporary files of cron_os_replace_at for `name` whose writing
// process has ended: a writer killed mid-write leaves one behind.
void cron_os_remove_stale_temps_at(const cron_os_dir_t& dir, const char* name);

// An exclusive lock on the trusted file `name` of the directory (created
// with mode 0600 when missing), which then holds the owner's process id: one owner per data directory. The lock
// belongs to this one open of the file, so a second taker in the same
// process is refused too; it lasts until cron_os_unlock_file or the end of
// the process, and is never inherited by a child.
using cron_os_lock_t = intptr_t;  // a descriptor, or a HANDLE on the desktop platform
constexpr cron_os_lock_t CRON_OS_NO_LOCK = -1;
enum class cron_os_lock_status {
    taken,   // *lock holds it
    held,    // another owner has it; *holder is its process id, 0 if unknown
    failed,  // the file cannot be opened, cannot be trusted or cannot be locked; *why says why
};
cron_os_lock_status cron_os_lock_at(const cron_os_dir_t& dir, const char* name, cron_os_lock_t* lock,
                                    int64_t* holder, std::string* why);
void cron_os_unlock_file(cron_os_lock_t lock);
