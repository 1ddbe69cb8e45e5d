// The command runner on the desktop platform: "cmd.exe /C <command>" with both
// output streams on anonymous pipes, polled by the calling thread.
#include "proc/cron_proc.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "base/cron_unique.h"
#include "proc/cron_os.h"
#include "proc/cron_proc_common.h"
#include "proc/cron_win_text.h"

namespace {

// CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP.
constexpr DWORD CREATE_FLAGS = 0x08000600;
// A pipe quota well above the default page, so a child writing fast does not
// stall between two cycles.
constexpr DWORD PIPE_SIZE = 65536;
constexpr int DRAIN_ROUNDS = 64;

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

// Reads everything the pipe holds now, without blocking: the first
// CRON_CAPTURE_LIMIT bytes are kept, the rest is read and dropped so that the
// child never stalls on a full pipe. True when bytes were read.
bool read_available(HANDLE pipe, cron_capture_t& c) {
    DWORD avail = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return false;
    char discard[8192];
    bool got = false;
    while (avail > 0) {
        size_t room = CRON_CAPTURE_LIMIT - c.len;
        char* dst = room > 0 ? c.buf.get() + c.len : discard;
        DWORD want = static_cast<DWORD>(std::min<size_t>(avail, room > 0 ? room : sizeof discard));
        DWORD n = 0;
        if (!::ReadFile(pipe, dst, want, &n, nullptr) || n == 0) break;
        if (room > 0) c.len += n;
        avail -= n;
        got = true;
    }
    return got;
}

UINT exit_code_for(cron_proc_ending how) {
    return how == cron_proc_ending::timed_out ? CRON_EXIT_TIMEOUT : CRON_EXIT_CANCEL;
}

// Ends the run: the whole job object when the child is in one, so commands
// that the interpreter started end with it; otherwise the interpreter alone.
void terminate_run(HANDLE process, HANDLE job, UINT code) {
    if (job != nullptr && ::TerminateJobObject(job, code)) return;
    ::TerminateProcess(process, code);
}

// What one run holds from its preparation to its end.
struct run_handles {
    unique_handle out_r, out_w, err_r, err_w;
    unique_handle in;
    unique_handle job;
    unique_handle process;
};

// The pipes, standard input and job object: what the start needs, made
// before it so that no failure leaves a child behind.
bool prepare(run_handles& h) {
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    if (!::CreatePipe(&h.out_r.h, &h.out_w.h, &sa, PIPE_SIZE)) return false;
    if (!::CreatePipe(&h.err_r.h, &h.err_w.h, &sa, PIPE_SIZE)) return false;
    // A job never reads the host's own input.
    h.in.h = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                           nullptr);
    if (!h.in.ok()) return false;
    // Commands the interpreter starts join its job object, so a time limit or
    // a cancel ends them too. Without one (a host job that forbids nesting)
    // only the interpreter is ended.
    h.job.h = ::CreateJobObjectW(nullptr, nullptr);
    return true;
}

// Starts the interpreter on the command; *start_ms is the tick just before.
// False when no child runs.
bool start(run_handles& h, const char* cmd, const char* workdir, const char* env, DWORD* pid,
           int64_t* start_ms) {
    std::wstring app = interpreter_path();
    if (app.empty()) return false;
    // The command text follows "/C " unchanged: quoting is the interpreter's.
    std::wstring line = L"cmd.exe /C " + cron_win_widen(cmd);
    std::wstring dir = (workdir != nullptr && *workdir != '\0') ? cron_win_widen(workdir) : L"";
    std::unique_ptr<wchar_t, free_deleter> env_block(cron_build_env_block(env));

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = h.in.h;
    si.hStdOutput = h.out_w.h;
    si.hStdError = h.err_w.h;
    PROCESS_INFORMATION pi{};

    *start_ms = cron_os_monotonic_ms();
    {
        std::lock_guard<std::mutex> lock(spawn_lock());
        if (!set_inheritable(h.in.h, true) || !set_inheritable(h.out_w.h, true) ||
            !set_inheritable(h.err_w.h, true))
            return false;
        // Suspended until it is in the job, so nothing it starts escapes.
        BOOL created = ::CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_FLAGS | CREATE_SUSPENDED, env_block.get(),
                                        dir.empty() ? nullptr : dir.c_str(), &si, &pi);
        h.in.close();
        h.out_w.close();
        h.err_w.close();
        if (!created) return false;
    }
    h.process.h = pi.hProcess;
    unique_handle thread(pi.hThread);
    if (h.job.ok() && !::AssignProcessToJobObject(h.job.h, h.process.h)) h.job.close();
    if (::ResumeThread(thread.h) == static_cast<DWORD>(-1)) {
        terminate_run(h.process.h, h.job.h, 1);
        ::WaitForSingleObject(h.process.h, 1000);
        return false;
    }
    *pid = pi.dwProcessId;
    return true;
}

// Reads both pipes until the child has ended, and terminates it for its time
// limit or a cancel request, once more after the grace period. Returns how
// the runner ended it.
cron_proc_ending serve(const run_handles& h, cron_capture_t& out, cron_capture_t& err, int64_t start_ms,
                       int32_t max_runtime_sec, const cron_run_ctl_t* ctl) {
    cron_proc_watch watch;
    for (;;) {
        bool got = read_available(h.out_r.h, out);
        got = read_available(h.err_r.h, err) || got;
        // While output flows, only look whether the child has ended; the
        // poll wait is for quiet cycles.
        DWORD wait_ms = got ? 0 : CRON_PROC_POLL_MS;
        if (::WaitForSingleObject(h.process.h, wait_ms) == WAIT_OBJECT_0) return watch.how();
        if (watch.next(ctl, max_runtime_sec, cron_os_monotonic_ms() - start_ms) !=
            cron_proc_watch::step::wait)
            terminate_run(h.process.h, h.job.h, exit_code_for(watch.how()));
    }
}

}  // namespace

int cron_proc_run_child(const char* cmd, cron_proc_result_t* result, int32_t max_runtime_sec,
                        cron_run_ctl_t* ctl, const char* workdir, const char* env,
                        const cron_account_t* account) {
    // No accounts to switch to here; the job exports refuse a user already.
    if (account != nullptr) return -1;
    run_handles h;
    cron_capture_t out, err;
    if (!prepare(h) || !cron_capture_alloc(out, err)) return -1;
    DWORD pid = 0;
    int64_t start_ms = 0;
    if (!start(h, cmd, workdir, env, &pid, &start_ms)) return -1;
    cron_proc_publish(ctl, pid, reinterpret_cast<cron_proc_handle_t>(h.process.h));

    cron_proc_ending how = serve(h, out, err, start_ms, max_runtime_sec, ctl);
    DWORD status = 1;
    if (!::GetExitCodeProcess(h.process.h, &status)) status = 1;
    int32_t code = static_cast<int32_t>(status);
    // How a child that crontab_cancel_job terminated is reported.
    if (how == cron_proc_ending::none && code == CRON_EXIT_TIMEOUT) how = cron_proc_ending::timed_out;
    if (how == cron_proc_ending::none && code == CRON_EXIT_CANCEL) how = cron_proc_ending::cancelled;
    // A terminated run leaves nothing behind: what the interpreter started
    // ends with it. A run that ended by itself keeps its background commands.
    if (how != cron_proc_ending::none && h.job.ok()) ::TerminateJobObject(h.job.h, exit_code_for(how));

    // Only what the pipes hold now: a command left running in the background
    // may keep them open indefinitely.
    for (int i = 0; i < DRAIN_ROUNDS && read_available(h.out_r.h, out); ++i) {
    }
    for (int i = 0; i < DRAIN_ROUNDS && read_available(h.err_r.h, err); ++i) {
    }
    cron_proc_fill_result(result, how, code, cron_os_monotonic_ms() - start_ms, out, err);
    // Before the handle is closed at the return.
    cron_proc_unpublish(ctl);
    return 0;
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
