// The command runner on POSIX: /bin/sh -c <command> started with posix_spawn,
// both output pipes and the child served by one thread through poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "base/cron_unique.h"
#include "proc/cron_os.h"
#include "proc/cron_proc.h"

namespace {

constexpr int kPollMs = 50;         // longest wait of one cycle
constexpr int64_t kGraceMs = 3000;  // SIGTERM to SIGKILL
constexpr size_t kChunk = 65536;    // one read once the capture is full
// Most bytes taken from one pipe per cycle, so that a child writing without
// pause cannot keep the loop from its time-limit and cancel checks.
constexpr size_t kCycleBudget = 1 << 20;

using heap_text = std::unique_ptr<char, free_deleter>;
using env_block = std::unique_ptr<char*, free_deleter>;

// A host that closed its standard descriptors would get pipe ends numbered
// 0..2, which the child's dup2 onto 0..2 would clobber; move them above.
bool lift_fd(unique_fd& fd) {
    if (fd.get() > 2) return true;
    int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    fd.reset(moved);
    return true;
}

// A pipe whose ends the child does not inherit (it gets the write end through
// dup2 only); the read end never blocks.
bool make_pipe(unique_fd& r, unique_fd& w) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    r.reset(fds[0]);
    w.reset(fds[1]);
    if (!lift_fd(r) || !lift_fd(w)) return false;
    int fl = ::fcntl(r.get(), F_GETFL);
    return fl >= 0 && ::fcntl(r.get(), F_SETFL, fl | O_NONBLOCK) == 0;
}

// One output stream: the first CRON_CAPTURE_LIMIT bytes are kept, the rest is
// read and dropped so the child never stalls on a full pipe.
struct stream {
    unique_fd fd;
    heap_text buf;  // CRON_CAPTURE_LIMIT + 1 bytes, zero-filled
    size_t len = 0;
    bool open = true;
};

// Reads what the pipe holds now, up to about `budget` bytes. Captured bytes go
// straight into the buffer; the zero after them is already there, since the
// buffer was zero-filled and is written in order.
void pump(stream& s, std::unique_ptr<char[]>& scratch, size_t budget) {
    while (s.open && budget > 0) {
        ssize_t n;
        if (s.len < CRON_CAPTURE_LIMIT) {
            n = ::read(s.fd.get(), s.buf.get() + s.len, CRON_CAPTURE_LIMIT - s.len);
        } else {
            if (!scratch) scratch.reset(new char[kChunk]);
            n = ::read(s.fd.get(), scratch.get(), kChunk);
        }
        if (n > 0) {
            if (s.len < CRON_CAPTURE_LIMIT) s.len += static_cast<size_t>(n);
            budget -= std::min(budget, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return;
        } else {
            s.open = false;  // end of file: every writer has gone
        }
    }
}

// After the child has ended a grandchild may still hold the pipe open: take
// only what it holds at this moment, never wait for it to close.
void drain(stream& s, std::unique_ptr<char[]>& scratch) {
    int held = 0;
    if (s.open && ::ioctl(s.fd.get(), FIONREAD, &held) == 0 && held > 0)
        pump(s, scratch, static_cast<size_t>(held));
}

// The run's process group, or the interpreter alone if it has left its group.
// Only called while the interpreter is unreaped, so its pid (and with it the
// group id) cannot belong to another process.
void signal_run(pid_t pid, int sig) {
    if (::kill(-pid, sig) != 0) ::kill(pid, sig);
}

enum class child_state { running, ended, gone };

// Looks at the child's end without reaping it. `gone`: it was reaped behind
// our back (a host ignoring SIGCHLD, or waiting for any child), so its pid
// must not be signalled any more.
child_state peek_end(pid_t pid, siginfo_t& info) {
    for (;;) {
        info = siginfo_t{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
            return info.si_pid == pid ? child_state::ended : child_state::running;
        if (errno == EINTR) continue;
        return errno == ECHILD ? child_state::gone : child_state::running;
    }
}

enum class ending { none, timed_out, cancelled };

struct spawn_setup {
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    bool fa_ok = false;
    bool attr_ok = false;
    ~spawn_setup() {
        if (fa_ok) posix_spawn_file_actions_destroy(&fa);
        if (attr_ok) posix_spawnattr_destroy(&attr);
    }
};

// Standard input from /dev/null, output to the pipes, the working directory,
// nothing else of the host's descriptors; an empty signal mask, default
// dispositions, and a process group of its own so a termination reaches
// everything the command started.
bool prepare(spawn_setup& s, int out_w, int err_w, const char* workdir) {
    if (posix_spawn_file_actions_init(&s.fa) != 0) return false;
    s.fa_ok = true;
    if (posix_spawnattr_init(&s.attr) != 0) return false;
    s.attr_ok = true;
    if (posix_spawn_file_actions_addopen(&s.fa, 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_adddup2(&s.fa, out_w, 1) != 0 ||
        posix_spawn_file_actions_adddup2(&s.fa, err_w, 2) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(&s.fa, 3) != 0)
        return false;
    if (workdir != nullptr && *workdir != '\0' &&
        posix_spawn_file_actions_addchdir_np(&s.fa, workdir) != 0)
        return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    return posix_spawnattr_setsigmask(&s.attr, &none) == 0 &&
           posix_spawnattr_setsigdefault(&s.attr, &all) == 0 &&
           posix_spawnattr_setpgroup(&s.attr, 0) == 0 &&
           posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                 POSIX_SPAWN_SETPGROUP) == 0;
}

void publish(cron_run_ctl_t* ctl, pid_t pid) {
    if (ctl == nullptr) return;
    std::lock_guard<std::mutex> lk(ctl->mu);
    ctl->proc_id = static_cast<uint32_t>(pid);
    ctl->proc_active.store(1);
}

// Under the lock the canceller holds while it signals: once this returns, no
// cancel can reach the pid, and only then is it reaped.
void unpublish(cron_run_ctl_t* ctl) {
    if (ctl == nullptr) return;
    std::lock_guard<std::mutex> lk(ctl->mu);
    ctl->proc_active.store(0);
    ctl->proc_id = 0;
}

// How a run ended, as the poll loop saw it.
struct run_end {
    child_state st = child_state::running;
    siginfo_t info{};
    ending how = ending::none;
};

// Serves both pipes and the child until the child has ended, and terminates
// it for its time limit or a cancel request: SIGTERM, then SIGKILL after the
// grace period. Only the 50 ms bound paces the loop.
run_end serve(pid_t pid, int pidfd, stream& out, stream& err, std::unique_ptr<char[]>& scratch,
              int64_t start, int64_t limit_ms, cron_run_ctl_t* ctl) {
    run_end end;
    bool killed_hard = false;
    int64_t kill_at = 0;
    for (;;) {
        pollfd fds[3] = {{out.open ? out.fd.get() : -1, POLLIN, 0},
                         {err.open ? err.fd.get() : -1, POLLIN, 0},
                         {pidfd, POLLIN, 0}};
        int ready = ::poll(fds, 3, kPollMs);
        if (ready > 0) {
            if (fds[0].revents != 0) pump(out, scratch, kCycleBudget);
            if (fds[1].revents != 0) pump(err, scratch, kCycleBudget);
        }
        if (pidfd < 0 || (ready > 0 && fds[2].revents != 0)) {
            end.st = peek_end(pid, end.info);
            if (end.st != child_state::running) return end;
        }

        int64_t elapsed = cron_os_monotonic_ms() - start;
        if (end.how == ending::none) {
            // A cancel outranks a limit that expired in the same cycle.
            if (ctl != nullptr && ctl->cancel_requested.load() != 0)
                end.how = ending::cancelled;
            else if (limit_ms > 0 && elapsed >= limit_ms)
                end.how = ending::timed_out;
            if (end.how != ending::none) {
                signal_run(pid, SIGTERM);
                kill_at = elapsed;
            }
        } else if (!killed_hard && elapsed - kill_at > kGraceMs) {
            signal_run(pid, SIGKILL);
            killed_hard = true;
        }
    }
}

void fill_outcome(cron_proc_result_t* r, const run_end& end, cron_run_ctl_t* ctl) {
    if (end.how == ending::timed_out) {
        r->exit_code = CRONTAB_EXIT_TIME_LIMIT;
        r->killed = 1;
        return;
    }
    if (end.how == ending::cancelled) {
        r->exit_code = CRONTAB_EXIT_CANCELLED;
        r->killed = 1;
        return;
    }
    if (end.st != child_state::ended) {
        // Reaped by someone else (a host ignoring SIGCHLD or waiting for any
        // child): no code can be told, and guessing one would be a lie.
        r->exit_code = CRONTAB_EXIT_STATUS_UNKNOWN;
        return;
    }
    if (end.info.si_code == CLD_EXITED) {
        r->exit_code = end.info.si_status;
        return;
    }
    // The canceller records the cancel before it sends SIGTERM, so a death by
    // that signal with the cancel recorded is the cancel's doing.
    int sig = end.info.si_status;
    if (ctl != nullptr && ctl->cancel_requested.load() != 0 && (sig == SIGTERM || sig == SIGKILL)) {
        r->exit_code = CRONTAB_EXIT_CANCELLED;
        r->killed = 1;
        return;
    }
    r->exit_code = 128 + sig;
}

}  // namespace

int cron_proc_run(const char* cmd, cron_proc_result_t* result, int32_t max_runtime_sec,
                  cron_run_ctl_t* ctl, const char* workdir, const char* env) {
    if (cmd == nullptr || result == nullptr) return -1;
    *result = cron_proc_result_t{};
    result->exit_code = CRONTAB_EXIT_NOT_STARTED;

    stream out;
    stream err;
    unique_fd out_w;
    unique_fd err_w;
    if (!make_pipe(out.fd, out_w) || !make_pipe(err.fd, err_w)) return -1;
    // Allocated before the start, so that no failure leaves a child behind.
    out.buf.reset(static_cast<char*>(std::calloc(CRON_CAPTURE_LIMIT + 1, 1)));
    err.buf.reset(static_cast<char*>(std::calloc(CRON_CAPTURE_LIMIT + 1, 1)));
    if (!out.buf || !err.buf) return -1;

    spawn_setup setup;
    if (!prepare(setup, out_w.get(), err_w.get(), workdir)) return -1;
    env_block envp(cron_build_env_block(env));
    static char* const empty_env[] = {nullptr};
    char* const* child_env = envp ? envp.get() : (environ != nullptr ? environ : empty_env);
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd),
                          nullptr};

    int64_t start = cron_os_monotonic_ms();
    pid_t pid = 0;
    // A failed chdir or exec in the child comes back as posix_spawn's error.
    if (posix_spawn(&pid, "/bin/sh", &setup.fa, &setup.attr, argv, child_env) != 0) return -1;
    out_w.reset();
    err_w.reset();
    envp.reset();

    // Without a pidfd (an old kernel, no descriptor left) the loop still ends
    // within one cycle of the child's end through the waitid check.
    unique_fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    publish(ctl, pid);

    int64_t limit_ms = max_runtime_sec > 0 ? int64_t{max_runtime_sec} * 1000 : 0;
    std::unique_ptr<char[]> scratch;
    run_end end = serve(pid, pidfd.get(), out, err, scratch, start, limit_ms, ctl);
    drain(out, scratch);
    drain(err, scratch);
    fill_outcome(result, end, ctl);
    bool reapable = end.st == child_state::ended;
    // Nothing of a terminated run outlives it: the interpreter is unreaped, so
    // its group id still names this run's group.
    if (result->killed != 0 && reapable) signal_run(pid, SIGKILL);
    int64_t elapsed = cron_os_monotonic_ms() - start;
    result->duration_ms = static_cast<int32_t>(std::min<int64_t>(elapsed, INT32_MAX));

    unpublish(ctl);
    if (reapable) {
        siginfo_t reaped{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &reaped, WEXITED) != 0 && errno == EINTR) {
        }
    }
    result->stdout_len = out.len;
    result->stderr_len = err.len;
    result->stdout_buf = out.buf.release();
    result->stderr_buf = err.buf.release();
    return 0;
}

int cron_proc_cancel(cron_run_ctl_t* ctl) {
    if (ctl == nullptr) return 1;
    ctl->cancel_requested.store(1);
    std::lock_guard<std::mutex> lk(ctl->mu);
    if (ctl->proc_active.load() == 0 || ctl->proc_id == 0) return 1;
    signal_run(static_cast<pid_t>(ctl->proc_id), SIGTERM);
    return 0;
}
