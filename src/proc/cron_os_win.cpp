#include "proc/cron_os.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/cron_unique.h"
#include "proc/cron_win_text.h"

namespace {

std::atomic<int64_t> clock_shift_ms{0};  // see cron_os_set_clock_shift

bool write_all(HANDLE h, const char* data, size_t len) {
    while (len > 0) {
        DWORD part = len > 0x40000000 ? 0x40000000 : static_cast<DWORD>(len);
        DWORD written = 0;
        if (!::WriteFile(h, data, part, &written, nullptr) || written == 0) return false;
        data += written;
        len -= written;
    }
    return true;
}

// A reader, an indexer or a virus scanner may hold the target open for a
// moment without delete sharing; the rename then fails only transiently.
bool move_replacing(const std::wstring& from, const std::wstring& to) {
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        DWORD err = ::GetLastError();
        bool transient =
            err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED || err == ERROR_LOCK_VIOLATION;
        if (!transient || attempt == 4) return false;
        ::Sleep(10);
    }
}

// Whether the process `pid` may still be running: only a writer known to
// have ended is done with its temporary file.
bool process_may_live(DWORD pid) {
    if (pid == ::GetCurrentProcessId()) return true;
    HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == nullptr) return ::GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    bool live = !::GetExitCodeProcess(h, &code) || code == STILL_ACTIVE;
    ::CloseHandle(h);
    return live;
}

// The blocks cron_os_alloc_zeroed handed out: only their pages may be
// decommitted by cron_os_zero (a heap's pages must never be).
struct zeroed_blocks {
    std::mutex mu;
    std::vector<std::pair<uintptr_t, size_t>> live;
};

zeroed_blocks& blocks() {
    static zeroed_blocks b;
    return b;
}

bool inside_zeroed_block(uintptr_t begin, uintptr_t end) {
    zeroed_blocks& b = blocks();
    std::lock_guard<std::mutex> lock(b.mu);
    for (const auto& [base, size] : b.live)
        if (begin >= base && end <= base + size) return true;
    return false;
}

DWORD attributes(const char* path) {
    if (path == nullptr || *path == '\0') return INVALID_FILE_ATTRIBUTES;
    return ::GetFileAttributesW(cron_win_widen(path).c_str());
}

}  // namespace

int64_t cron_os_now() {
    int64_t ms = cron_os_now_ms();
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

int64_t cron_os_now_ms() {
    // From the system clock directly: the C library's time() also sets up its
    // time-zone state, which some runtimes then keep across a later change of
    // TZ.
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    constexpr int64_t EPOCH_AS_FILETIME = 116444736000000000LL;  // 1970-01-01 in 100 ns
    return (static_cast<int64_t>(t.QuadPart) - EPOCH_AS_FILETIME) / 10000 +
           clock_shift_ms.load(std::memory_order_relaxed);
}

void cron_os_set_clock_shift(int64_t ms) { clock_shift_ms.store(ms, std::memory_order_relaxed); }

int64_t cron_os_monotonic_ms() {
    static const int64_t rate = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    ::QueryPerformanceCounter(&c);
    // Whole seconds first: ticks * 1000 alone overflows after months of uptime
    // on fast counters.
    int64_t ticks = c.QuadPart;
    return ticks / rate * 1000 + ticks % rate * 1000 / rate;
}

int64_t cron_os_coarse_ms() { return static_cast<int64_t>(::GetTickCount64()); }

bool cron_os_localtime(int64_t t, std::tm* out) {
    __time64_t tt = static_cast<__time64_t>(t);
    return out != nullptr && ::_localtime64_s(out, &tt) == 0;
}

int64_t cron_os_mktime(std::tm* tm) {
    // -1 is also a valid result (one second before the epoch); tell the two
    // apart by a field the conversion always normalises.
    tm->tm_wday = -1;
    __time64_t t = ::_mktime64(tm);
    if (t == static_cast<__time64_t>(-1) && tm->tm_wday == -1) return -1;
    return static_cast<int64_t>(t);
}

void* cron_os_alloc_zeroed(size_t size) {
    if (size == 0) return nullptr;
    zeroed_blocks& b = blocks();
    std::lock_guard<std::mutex> lock(b.mu);
    // Room first: once the pages are had, recording them cannot fail.
    b.live.reserve(b.live.size() + 1);
    // Committed pages are zero and cost nothing until first touched.
    void* p = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p == nullptr) return nullptr;
    b.live.emplace_back(reinterpret_cast<uintptr_t>(p), size);
    return p;
}

void cron_os_free_zeroed(void* p, size_t) {
    if (p == nullptr) return;
    {
        zeroed_blocks& b = blocks();
        std::lock_guard<std::mutex> lock(b.mu);
        auto base = reinterpret_cast<uintptr_t>(p);
        for (size_t i = 0; i < b.live.size(); ++i) {
            if (b.live[i].first == base) {
                b.live.erase(b.live.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
    ::VirtualFree(p, 0, MEM_RELEASE);
}

void cron_os_zero(void* p, size_t size) {
    if (p == nullptr || size == 0) return;
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    uintptr_t page = si.dwPageSize;
    auto begin = reinterpret_cast<uintptr_t>(p);
    uintptr_t end = begin + size;
    uintptr_t first = (begin + page - 1) / page * page;
    uintptr_t last = end / page * page;
    // Whole pages are decommitted and committed again, which hands them back
    // and makes them read as zero.
    if (first >= last || !inside_zeroed_block(begin, end) ||
        !::VirtualFree(reinterpret_cast<void*>(first), last - first, MEM_DECOMMIT) ||
        ::VirtualAlloc(reinterpret_cast<void*>(first), last - first, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        std::memset(p, 0, size);
        return;
    }
    std::memset(p, 0, first - begin);
    std::memset(reinterpret_cast<void*>(last), 0, end - last);
}

bool cron_os_path_valid(const char* path) {
    if (path == nullptr) return false;
    size_t len = std::strlen(path);
    return len == 0 || (len <= INT_MAX && ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path,
                                                                static_cast<int>(len), nullptr, 0) > 0);
}

void cron_os_mkdirs(const char* path) {
    if (path == nullptr || *path == '\0') return;
    std::wstring p = cron_win_widen(path);
    // Every prefix ending before a separator, then the whole path; the
    // drive ("C:") and server parts of a path simply fail to be created.
    DWORD cause = 0;
    for (size_t i = 1; i <= p.size(); ++i) {
        if ((i == p.size() || p[i] == L'/' || p[i] == L'\\') &&
            !::CreateDirectoryW(p.substr(0, i).c_str(), nullptr)) {
            DWORD err = ::GetLastError();
            // The drive and server parts fail as access denied or a bad name.
            if (err != ERROR_ALREADY_EXISTS && err != ERROR_ACCESS_DENIED && err != ERROR_INVALID_NAME &&
                cause == 0)
                cause = err;
        }
    }
    // The first real failure is the cause; the ones after it follow from it.
    if (cause != 0) ::SetLastError(cause);
}

bool cron_os_absolute(const char* path, std::string* out) {
    if (path == nullptr || *path == '\0') return false;
    auto sep = [](char c) { return c == '/' || c == '\\'; };
    // Already absolute (C:\x, \\server\share): kept as given. Only a relative
    // one (also C:x and \x, which depend on the current drive and directory)
    // is resolved.
    if ((((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':' &&
         sep(path[2])) ||
        (sep(path[0]) && sep(path[1]))) {
        *out = path;
        return true;
    }
    std::wstring p = cron_win_widen(path);
    DWORD n = ::GetFullPathNameW(p.c_str(), 0, nullptr, nullptr);
    if (n == 0) return false;
    std::wstring full(n, L'\0');
    n = ::GetFullPathNameW(p.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return false;
    full.resize(n);
    int len =
        ::WideCharToMultiByte(CP_UTF8, 0, full.data(), static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (len <= 0) return false;
    out->assign(static_cast<size_t>(len), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, full.data(), static_cast<int>(n), out->data(), len, nullptr, nullptr);
    return true;
}

bool cron_os_dir_writable(const char* path) {
    // Directory attributes say nothing about writing: create a file that
    // vanishes when it is closed.
    std::wstring probe = cron_win_widen(path) + L"\\.crontab-probe." +
                         std::to_wstring(::GetCurrentProcessId()) + L"." +
                         std::to_wstring(::GetCurrentThreadId());
    unique_handle f(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return f.ok();
}

std::string cron_os_error_text() {
    DWORD err = ::GetLastError();
    wchar_t* text = nullptr;
    DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        err, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text != nullptr) {
        int len = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
        if (len > 0) {
            out.assign(static_cast<size_t>(len), '\0');
            ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), len, nullptr, nullptr);
        }
    }
    if (text != nullptr) ::LocalFree(text);
    // The system's texts end in a full stop and a line end.
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == '.' || out.back() == ' '))
        out.pop_back();
    if (out.empty()) out = "system error " + std::to_string(err);
    return out;
}

bool cron_os_is_dir(const char* path) {
    DWORD a = attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool cron_os_file_exists(const char* path) { return attributes(path) != INVALID_FILE_ATTRIBUTES; }

namespace {

int replace_file(const char* path, const char* data, size_t len) {
    if (path == nullptr) return -1;
    // A temporary name of its own per write, so two writers of one store
    // never truncate each other's temporary file.
    static std::atomic<uint32_t> serial{0};
    std::wstring target = cron_win_widen(path);
    if (target.empty()) return -1;
    std::wstring tmp = target + L".tmp." + std::to_wstring(::GetCurrentProcessId()) + L"." +
                       std::to_wstring(serial.fetch_add(1));
    unique_handle f(
        ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.ok()) return -1;
    bool ok = write_all(f.h, data, len) && ::FlushFileBuffers(f.h);
    DWORD err = ::GetLastError();
    if (!f.close() && ok) {
        ok = false;
        err = ::GetLastError();
    }
    if (ok && !move_replacing(tmp, target)) {
        ok = false;
        err = ::GetLastError();
    }
    if (!ok) {
        ::DeleteFileW(tmp.c_str());
        ::SetLastError(err);  // the cause, for cron_os_error_text
        return -1;
    }
    return 0;
}

}  // namespace

bool cron_os_read_file(const char* path, std::string* out, size_t limit) {
    if (path == nullptr || out == nullptr) return false;
    std::wstring src = cron_win_widen(path);
    if (src.empty()) return false;
    // Delete sharing lets a concurrent save rename its new file over this one.
    unique_handle f(::CreateFileW(src.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.ok()) return false;
    out->clear();
    char chunk[16384];
    while (out->size() <= limit) {
        // One byte past the limit tells a longer file.
        const size_t left = limit - out->size();
        const DWORD want = static_cast<DWORD>(left < sizeof chunk ? left + 1 : sizeof chunk);
        DWORD n = 0;
        if (!::ReadFile(f.h, chunk, want, &n, nullptr)) return false;
        if (n == 0) return true;
        out->append(chunk, n);
    }
    return true;
}

namespace {

// The system's own sentence for an error code, in English where it has one.
std::string error_text(DWORD err) {
    char* text = nullptr;
    DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        err, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(err);
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

void remove_stale_temps(const char* path) {
    if (path == nullptr || *path == '\0') return;
    std::wstring full = cron_win_widen(path);
    size_t sep = full.find_last_of(L"/\\");
    std::wstring dir = sep == std::wstring::npos ? L"." : full.substr(0, sep);
    std::wstring prefix = (sep == std::wstring::npos ? full : full.substr(sep + 1)) + L".tmp.";
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((dir + L"\\" + prefix + L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        // "<prefix><pid>.<serial>"
        std::wstring_view rest = std::wstring_view(fd.cFileName).substr(prefix.size());
        uint64_t pid = 0;
        size_t i = 0;
        for (; i < rest.size() && rest[i] >= L'0' && rest[i] <= L'9' && pid < 0xFFFFFFFFu; ++i)
            pid = pid * 10 + static_cast<uint64_t>(rest[i] - L'0');
        if (i == 0 || i >= rest.size() || rest[i] != L'.' || pid == 0 || pid > 0xFFFFFFFFu) continue;
        if (process_may_live(static_cast<DWORD>(pid))) continue;
        ::DeleteFileW((dir + L"\\" + fd.cFileName).c_str());
    } while (::FindNextFileW(find, &fd));
    ::FindClose(find);
}

// The lock covers one byte far past the text, which locked bytes would hide
// from a refused taker that reads the owner's pid.
constexpr DWORD LOCK_OFFSET_HIGH = 1;

cron_os_lock_status lock_file(const char* path, cron_os_lock_t* lock, int64_t* holder, std::string* why) {
    *lock = CRON_OS_NO_LOCK;
    *holder = 0;
    // Not inheritable: a command cannot keep the directory locked after its host.
    unique_handle f(::CreateFileW(cron_win_widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.ok()) {
        *why = error_text(::GetLastError());
        return cron_os_lock_status::failed;
    }
    OVERLAPPED at{};
    at.OffsetHigh = LOCK_OFFSET_HIGH;
    if (!::LockFileEx(f.h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD err = ::GetLastError();
        if (err != ERROR_LOCK_VIOLATION && err != ERROR_IO_PENDING) {
            *why = error_text(err);
            return cron_os_lock_status::failed;
        }
        // The owner writes its pid just after it has taken the lock.
        char text[32] = {};
        DWORD n = 0;
        if (::ReadFile(f.h, text, sizeof text - 1, &n, nullptr) && n > 0)
            *holder = std::strtoll(text, nullptr, 10);
        if (*holder < 0) *holder = 0;
        return cron_os_lock_status::held;
    }
    const std::string pid = std::to_string(::GetCurrentProcessId()) + "\r\n";
    // The text only names the owner for a refused taker: writing it may fail.
    DWORD written = 0;
    if (::SetFilePointer(f.h, 0, nullptr, FILE_BEGIN) == 0 && ::SetEndOfFile(f.h))
        ::WriteFile(f.h, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    *lock = reinterpret_cast<cron_os_lock_t>(f.release());
    return cron_os_lock_status::taken;
}

}  // namespace

bool cron_os_regular_file(const char* path, int64_t max_size, cron_os_file_id_t* id) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(cron_win_widen(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return false;
    id->size = static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
    id->mtime_ns = static_cast<int64_t>((uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                        data.ftLastWriteTime.dwLowDateTime);
    return id->size <= max_size;
}

// The desktop platform has no links an ordinary user may plant and no
// owner-only modes here: the directory's files are reached by path.
bool cron_os_dir_open(const char* path, cron_os_dir_t* dir, std::string*, std::vector<std::string>*) {
    dir->path = path;
    dir->handle = -1;
    return true;
}

void cron_os_dir_close(cron_os_dir_t* dir) { dir->handle = -1; }

bool cron_os_exists_at(const cron_os_dir_t& dir, const char* name) {
    return cron_os_file_exists((dir.path + "/" + name).c_str());
}

cron_os_read_status cron_os_read_at(const cron_os_dir_t& dir, const char* name, std::string* out,
                                    size_t limit, std::string* why, std::vector<std::string>*) {
    const std::string path = dir.path + "/" + name;
    if (cron_os_read_file(path.c_str(), out, limit)) return cron_os_read_status::ok;
    const DWORD err = ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return cron_os_read_status::missing;
    *why = path + " cannot be read: " + error_text(err);
    return cron_os_read_status::failed;
}

int cron_os_replace_at(const cron_os_dir_t& dir, const char* name, const char* data, size_t len,
                       std::string* why) {
    if (replace_file((dir.path + "/" + name).c_str(), data, len) == 0) return 0;
    *why = cron_os_error_text();
    return -1;
}

void cron_os_remove_stale_temps_at(const cron_os_dir_t& dir, const char* name) {
    remove_stale_temps((dir.path + "/" + name).c_str());
}

cron_os_lock_status cron_os_lock_at(const cron_os_dir_t& dir, const char* name, cron_os_lock_t* lock,
                                    int64_t* holder, std::string* why) {
    const std::string path = dir.path + "/" + name;
    const cron_os_lock_status status = lock_file(path.c_str(), lock, holder, why);
    if (status == cron_os_lock_status::failed) *why = path + ": " + *why;
    return status;
}

void cron_os_unlock_file(cron_os_lock_t lock) {
    // Closing the handle ends the lock. The file stays: removing it could
    // let two takers lock two different files.
    if (lock != CRON_OS_NO_LOCK) ::CloseHandle(reinterpret_cast<HANDLE>(lock));
}
