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

int64_t cron_os_now();           // epoch seconds
int64_t cron_os_now_ms();        // epoch milliseconds, the same clock
int64_t cron_os_monotonic_ms();  // monotonic milliseconds

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
// gives the first failure's cause).
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

// Replaces `path` with `data` atomically: a temporary file in the same
// directory, flushed to disk, renamed over `path`. 0 on success; on failure
// the old file is untouched and no temporary file remains.
int cron_os_replace_file(const char* path, const char* data, size_t len);

// Reads the whole file into *out, but at most limit + 1 bytes: a longer
// file leaves more than `limit` bytes in *out. False when it cannot be
// opened or read.
bool cron_os_read_file(const char* path, std::string* out, size_t limit = SIZE_MAX);

// Removes the temporary files of cron_os_replace_file beside `path` whose
// writing process has ended: a writer killed mid-write leaves one behind.
void cron_os_remove_stale_temps(const char* path);

// Copies `from` to `to`, replacing it, the same way. 0 on success.
int cron_os_copy_file(const char* from, const char* to);

// An exclusive lock on the file `path` (created when missing), which then
// holds the owner's process id: one owner per data directory. The lock
// belongs to this one open of the file, so a second taker in the same
// process is refused too; it lasts until cron_os_unlock_file or the end of
// the process, and is never inherited by a child.
using cron_os_lock_t = intptr_t;  // a descriptor, or a HANDLE on the desktop platform
constexpr cron_os_lock_t CRON_OS_NO_LOCK = -1;
enum class cron_os_lock_status {
    taken,   // *lock holds it
    held,    // another owner has it; *holder is its process id, 0 if unknown
    failed,  // the file cannot be opened or locked; *why says why
};
cron_os_lock_status cron_os_lock_file(const char* path, cron_os_lock_t* lock, int64_t* holder,
                                      std::string* why);
void cron_os_unlock_file(cron_os_lock_t lock);
