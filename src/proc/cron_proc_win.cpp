// The command runner on the desktop platform: "cmd.exe /C <command>" with both
// output streams on anonymous pipes, polled by the calling thread.
#include "proc/cron_proc.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "base/cron_unique.h"
#include "proc/cron_os.h"
#include "proc/cron_win_text.h"

namespace {

// CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP.
constexpr DWORD CREATE_FLAGS = 0x08000600;
constexpr DWORD POLL_WAIT_MS = 50;
constexpr int64_t GRACE_MS = 3000;
// A pipe quota well above the default page, so a child writing fast does not
// stall between two cycles.
constexpr DWORD PIPE_SIZE = 65536;
constexpr int DRAIN_ROUNDS = 64;

using env_block_ptr = std::unique_ptr<wchar_t, free_deleter>;
using buffer_ptr = std::unique_ptr<char, free_deleter>;

// The spawn of one run makes its pipe ends inheritable only for as long as
// its own CreateProcessW needs them, under this lock: a run starting on
// another thread at that moment would otherwise inherit them too and keep
// this run's pipes open for its whole life.
std::mutex& spawn_lock() {
    static std::mutex mu;
    return mu;
}

bool set_inheritable(HANDLE h, bool on) {
    return ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, on ? HANDLE_FLAG_INHERIT : 0) != 0;
}

// The interpreter by its full path: a bare "cmd.exe" is also looked for in
// the host's own and current directories.
std::wstring interpreter_path() {
    wchar_t dir[MAX_PATH];
    UINT n = ::GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    return std::wstring(dir, n) + L"\\cmd.exe";
}

struct capture {
    char* buf;  // CRON_CAPTURE_LIMIT + 1 bytes, zero-filled
    size_t len;
};

// Reads everything the pipe holds now, without blocking: the first
// CRON_CAPTURE_LIMIT bytes are kept, the rest is read and dropped so that the
// child never stalls on a full pipe. True when bytes were read.
bool read_available(HANDLE pipe, capture& c) {
    DWORD avail = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) || avail == 0)
        return false;
    char discard[8192];
    bool got = false;
    while (avail > 0) {
        size_t room = CRON_CAPTURE_LIMIT - c.len;
        char* dst = room > 0 ? c.buf + c.len : discard;
        DWORD want = static_cast<DWORD>(std::min<size_t>(avail, room > 0 ? room : sizeof discard));
        DWORD n = 0;
        if (!::ReadFile(pipe, dst, want, &n, nullptr) || n == 0) break;
        if (room > 0) {
            c.len += n;
            c.buf[c.len] = '\0';
        }
        avail -= n;
        got = true;
    }
    return got;
}

// Ends the run: the whole job object when the child is in one, so commands
// that the interpreter started end with it; otherwise the interpreter alone.
void terminate_run(HANDLE process, HANDLE job, UINT code) {
    if (job != nullptr && ::TerminateJobObject(job, code)) return;
    ::TerminateProcess(process, code);
}

void publish(cron_run_ctl_t* ctl, HANDLE process, DWORD pid) {
    if (ctl == nullptr) return;
    std::lock_guard<std::mutex> lock(ctl->mu);
    ctl->proc_handle = reinterpret_cast<cron_proc_handle_t>(process);
    ctl->proc_id = pid;
    ctl->proc_active.store(1);
}

// Cleared under `mu` before the handle is closed: a canceller holding `mu`
// either sees the live handle or sees none.
void unpublish(cron_run_ctl_t* ctl) {
    if (ctl == nullptr) return;
    std::lock_guard<std::mutex> lock(ctl->mu);
    ctl->proc_active.store(0);
    ctl->proc_handle = CRON_PROC_NONE;
    ctl->proc_id = 0;
}

enum class run_state { running, timed_out, cancelled };

int run(const char* cmd, cron_proc_result_t* result, int32_t max_runtime_sec,
        cron_run_ctl_t* ctl, const char* workdir, const char* env) {
    unique_handle out_r, out_w, err_r, err_w;
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    if (!::CreatePipe(&out_r.h, &out_w.h, &sa, PIPE_SIZE)) return -1;
    if (!::CreatePipe(&err_r.h, &err_w.h, &sa, PIPE_SIZE)) return -1;
    // A job never reads the host's own input.
    unique_handle in(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                   OPEN_EXISTING, 0, nullptr));
    if (!in.ok()) return -1;

    std::wstring app = interpreter_path();
    if (app.empty()) return -1;
    // The command text follows "/C " unchanged: quoting is the interpreter's.
    std::wstring line = L"cmd.exe /C " + cron_win_widen(cmd);
    std::wstring dir = (workdir != nullptr && *workdir != '\0') ? cron_win_widen(workdir) : L"";
    env_block_ptr env_block(cron_build_env_block(env));

    buffer_ptr out_buf(static_cast<char*>(std::calloc(CRON_CAPTURE_LIMIT + 1, 1)));
    buffer_ptr err_buf(static_cast<char*>(std::calloc(CRON_CAPTURE_LIMIT + 1, 1)));
    if (!out_buf || !err_buf) return -1;

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = in.h;
    si.hStdOutput = out_w.h;
    si.hStdError = err_w.h;
    PROCESS_INFORMATION pi{};

    // Commands the interpreter starts join its job object, so a time limit or
    // a cancel ends them too. Without one (a host job that forbids nesting)
    // only the interpreter is ended.
    unique_handle job(::CreateJobObjectW(nullptr, nullptr));

    int64_t start = cron_os_monotonic_ms();
    {
        std::lock_guard<std::mutex> lock(spawn_lock());
        if (!set_inheritable(in.h, true) || !set_inheritable(out_w.h, true) ||
            !set_inheritable(err_w.h, true))
            return -1;
        // Suspended until it is in the job, so nothing it starts escapes.
        BOOL created = ::CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_FLAGS | CREATE_SUSPENDED, env_block.get(),
                                        dir.empty() ? nullptr : dir.c_str(), &si, &pi);
        in.close();
        out_w.close();
        err_w.close();
        if (!created) return -1;
    }
    unique_handle process(pi.hProcess), thread(pi.hThread);
    if (job.ok() && !::AssignProcessToJobObject(job.h, process.h)) job.close();
    if (::ResumeThread(thread.h) == static_cast<DWORD>(-1)) {
        terminate_run(process.h, job.h, 1);
        ::WaitForSingleObject(process.h, 1000);
        return -1;
    }
    thread.close();
    env_block.reset();
    publish(ctl, process.h, pi.dwProcessId);

    capture out{out_buf.get(), 0}, err{err_buf.get(), 0};
    int64_t limit_ms = max_runtime_sec > 0 ? static_cast<int64_t>(max_runtime_sec) * 1000 : -1;
    run_state state = run_state::running;
    int64_t kill_ms = 0;
    bool repeated = false;
    for (;;) {
        bool got = read_available(out_r.h, out);
        got = read_available(err_r.h, err) || got;
        // While output flows, only look whether the child has ended; the
        // 50 ms wait is for quiet cycles.
        if (::WaitForSingleObject(process.h, got ? 0 : POLL_WAIT_MS) == WAIT_OBJECT_0) break;
        int64_t elapsed = cron_os_monotonic_ms() - start;
        if (state == run_state::running) {
            // The cancel request is looked at before the limit: both in one
            // cycle count as a cancel.
            if (ctl != nullptr && ctl->cancel_requested.load() != 0) {
                terminate_run(process.h, job.h, CRON_EXIT_CANCEL);
                state = run_state::cancelled;
                kill_ms = elapsed;
            } else if (limit_ms >= 0 && elapsed >= limit_ms) {
                terminate_run(process.h, job.h, CRON_EXIT_TIMEOUT);
                state = run_state::timed_out;
                kill_ms = elapsed;
            }
        } else if (!repeated && elapsed - kill_ms > GRACE_MS) {
            terminate_run(process.h, job.h,
                          state == run_state::timed_out ? CRON_EXIT_TIMEOUT : CRON_EXIT_CANCEL);
            repeated = true;
        }
    }

    DWORD code = 1;
    if (!::GetExitCodeProcess(process.h, &code)) code = 1;
    int32_t exit_code = static_cast<int32_t>(code);
    if (state == run_state::running) {
        // How a child that crontab_cancel_job terminated is reported.
        if (exit_code == CRON_EXIT_TIMEOUT) state = run_state::timed_out;
        if (exit_code == CRON_EXIT_CANCEL) state = run_state::cancelled;
    }
    // A terminated run leaves nothing behind: what the interpreter started
    // ends with it. A run that ended by itself keeps its background commands.
    if (state != run_state::running && job.ok())
        ::TerminateJobObject(job.h, state == run_state::timed_out ? CRON_EXIT_TIMEOUT
                                                                  : CRON_EXIT_CANCEL);

    // Only what the pipes hold now: a command left running in the background
    // may keep them open indefinitely.
    for (int i = 0; i < DRAIN_ROUNDS && read_available(out_r.h, out); ++i) {
    }
    for (int i = 0; i < DRAIN_ROUNDS && read_available(err_r.h, err); ++i) {
    }
    int64_t end = cron_os_monotonic_ms();

    switch (state) {
    case run_state::timed_out:
        result->exit_code = CRONTAB_EXIT_TIME_LIMIT;
        result->killed = 1;
        break;
    case run_state::cancelled:
        result->exit_code = CRONTAB_EXIT_CANCELLED;
        result->killed = 1;
        break;
    case run_state::running:
        result->exit_code = exit_code;
        break;
    }
    result->duration_ms = static_cast<int32_t>(end - start);
    result->stdout_len = out.len;
    result->stderr_len = err.len;
    result->stdout_buf = out_buf.release();
    result->stderr_buf = err_buf.release();

    unpublish(ctl);
    process.close();
    return 0;
}

}  // namespace

int cron_proc_run(const char* cmd, cron_proc_result_t* result, int32_t max_runtime_sec,
                  cron_run_ctl_t* ctl, const char* workdir, const char* env) {
    if (cmd == nullptr || result == nullptr) return -1;
    *result = cron_proc_result_t{};
    result->exit_code = CRONTAB_EXIT_NOT_STARTED;
    try {
        return run(cmd, result, max_runtime_sec, ctl, workdir, env);
    } catch (const std::bad_alloc&) {
        // Only the preparation allocates: no child exists yet.
        return -1;
    }
}

int cron_proc_cancel(cron_run_ctl_t* ctl) {
    if (ctl == nullptr) return 1;
    ctl->cancel_requested.store(1);
    // The runner clears the handle under `mu` before it closes it, so while
    // we hold `mu` a published handle is still open.
    std::lock_guard<std::mutex> lock(ctl->mu);
    if (ctl->proc_active.load() == 0 || ctl->proc_handle == CRON_PROC_NONE) return 1;
    HANDLE process = reinterpret_cast<HANDLE>(ctl->proc_handle);
    return ::TerminateProcess(process, CRON_EXIT_CANCEL) ? 0 : 1;
}
