#include "hook.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "dir_files.h"
#include "events.h"
#include "text_util.h"

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;
constexpr size_t OUTPUT_KEPT = 4096;  // of the hook's output, for its log line
constexpr int LOOK_MS = 200;          // how soon a running hook sees it is to be killed

// Hooks running, by the process group each leads. A pid stays here until it
// is reaped, so a kill never reaches a stranger that took its number.
std::mutex live_mu;
std::set<pid_t> live;
std::atomic<bool> killing{false};

void enlist(pid_t pid) {
    std::lock_guard<std::mutex> lk(live_mu);
    live.insert(pid);
    if (killing) ::kill(-pid, SIGKILL);
}

void dismiss(pid_t pid) {
    std::lock_guard<std::mutex> lk(live_mu);
    live.erase(pid);
}

std::vector<std::string> hook_environment(const hook_call& c) {
    const std::pair<const char*, std::string> ours[] = {
        {"QUILMARN_JOB_ID", std::to_string(c.job_id)},
        {"QUILMARN_JOB_NAME", c.job_name},
        {"QUILMARN_EXIT_CODE", std::to_string(c.exit_code)},
        {"QUILMARN_ATTEMPTS", std::to_string(c.attempts)},
    };
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const auto& [name, value] : ours) {
            size_t n = std::strlen(name);
            replaced = replaced || (std::strncmp(*e, name, n) == 0 && (*e)[n] == '=');
        }
        if (!replaced) env.emplace_back(*e);
    }
    for (const auto& [name, value] : ours) env.push_back(std::string(name) + "=" + value);
    return env;
}

struct spawn_setup {
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    spawn_setup() {
        posix_spawn_file_actions_init(&fa);
        posix_spawnattr_init(&attr);
    }
    ~spawn_setup() {
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
    }
};

// Starts the hook with its standard input and output on pipes; -1 when it
// cannot be started.
pid_t start(const std::string& cmd, const hook_call& c, unique_fd* in_w, unique_fd* out_r) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return -1;
    unique_fd in_r(in[0]);
    *in_w = unique_fd(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    *out_r = unique_fd(out[0]);
    unique_fd out_w(out[1]);
    spawn_setup s;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    // The daemon blocks and ignores signals the hook must get as usual; its
    // own process group lets the time limit end what it started too.
    if (posix_spawn_file_actions_adddup2(&s.fa, in_r.get(), 0) != 0 ||
        posix_spawn_file_actions_adddup2(&s.fa, out_w.get(), 1) != 0 ||
        posix_spawn_file_actions_adddup2(&s.fa, out_w.get(), 2) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(&s.fa, 3) != 0 ||
        posix_spawnattr_setsigmask(&s.attr, &none) != 0 ||
        posix_spawnattr_setsigdefault(&s.attr, &all) != 0 || posix_spawnattr_setpgroup(&s.attr, 0) != 0 ||
        posix_spawnattr_setflags(
            &s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP) != 0) {
        return -1;
    }
    std::vector<std::string> env = hook_environment(c);
    std::vector<char*> envp = cron_c_strings(env);
    std::string script = cmd;
    char sh[] = "/bin/sh", dash_c[] = "-c";
    char* argv[] = {sh, dash_c, script.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &s.fa, &s.attr, argv, envp.data()) != 0) return -1;
    ::fcntl(in_w->get(), F_SETFL, O_NONBLOCK);
    return pid;
}

}  // namespace

void cron_hook_run(const std::string& cmd, int limit_sec, const hook_call& call) {
    const auto t0 = clock_type::now();
    const auto deadline = t0 + std::chrono::seconds(limit_sec);
    unique_fd in_w, out_r;
    const pid_t pid = start(cmd, call, &in_w, &out_r);
    if (pid < 0) {
        cron_event_write(
            event("on-failure-failed", call.job_id, call.job_name)
                .num("exit_code", -1)
                .text("reason", std::string("could not start /bin/sh: ") + std::strerror(errno)));
        return;
    }
    enlist(pid);
    std::string output;
    size_t written = 0;
    bool timed_out = false;
    // Feed its input and read its output until it closes its output.
    while (out_r) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        // What it started may hold its output open after the kill.
        if (killing) break;
        pollfd p[2] = {{out_r.get(), POLLIN, 0}, {in_w ? in_w.get() : -1, POLLOUT, 0}};
        if (::poll(p, 2, static_cast<int>(std::min<long>(left, LOOK_MS))) < 0 && errno != EINTR) break;
        if (p[1].revents != 0) {
            ssize_t n = ::write(in_w.get(), call.input.data() + written, call.input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            // A hook that does not read its input is no error.
            if ((n < 0 && errno != EAGAIN) || written == call.input.size()) in_w = unique_fd();
        }
        if (p[0].revents != 0) {
            char buf[4096];
            ssize_t n = ::read(out_r.get(), buf, sizeof buf);
            if (n > 0 && output.size() < OUTPUT_KEPT) output.append(buf, static_cast<size_t>(n));
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) out_r = unique_fd();
        }
    }
    in_w = unique_fd();
    // Waited for without reaping, so the group's id cannot be taken by a
    // new process before what the hook left behind is ended with it.
    for (;;) {
        if (!timed_out && clock_type::now() >= deadline) timed_out = true;
        if (timed_out || killing) break;
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
            errno != EINTR)
            break;
        if (info.si_pid == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid, SIGKILL);
    dismiss(pid);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = timed_out ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
    event e(code == 0 ? "on-failure" : "on-failure-failed", call.job_id, call.job_name);
    e.num("exit_code", code).num("duration_ms", ms);
    if (timed_out) {
        e.text("reason", "time limit of " + std::to_string(limit_sec) + " s");
    } else if (killing) {
        e.text("reason", "killed: the daemon was told to stop again");
    }
    e.text("output", cron_first_line(output));
    cron_event_write(e);
}

void cron_hook_kill_all() {
    std::lock_guard<std::mutex> lk(live_mu);
    killing = true;
    for (pid_t pid : live) ::kill(-pid, SIGKILL);
}
