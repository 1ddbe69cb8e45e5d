// The command runner on POSIX: /bin/sh -c <command> started with posix_spawn,
// both output pipes and the child served by one thread through poll. Written
// for Linux with glibc 2.34 or later: pipe2, pidfd_open, and posix_spawn's
// addclosefrom_np and addchdir_np file actions. A job with a user account is
// started with fork and execve instead, since posix_spawn cannot change a
// child's ids (cron_proc_user_posix.cpp).
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
#include "proc/cron_proc_common.h"

namespace {

constexpr size_t kSink = 16384;  // one read once the capture is full
// Most bytes taken from one pipe per cycle, so that a child writing without
// pause cannot keep the loop from its time-limit and cancel checks.
constexpr size_t kCycleBudget = 1 << 20;

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
    cron_capture_t cap;
    bool open = true;
};

// Reads what the pipe holds now, up to about `budget` bytes. Captured bytes go
// straight into the buffer, which keeps them zero-terminated; the rest is
// dropped through the stack, as nothing may fail to be allocated once the
// child runs.
void pump(stream& s, size_t budget) {
    char sink[kSink];
    while (s.open && budget > 0) {
        ssize_t n;
        if (s.cap.len < CRON_CAPTURE_LIMIT)
            n = ::read(s.fd.get(), s.cap.buf.get() + s.cap.len, CRON_CAPTURE_LIMIT - s.cap.len);
        else
            n = ::read(s.fd.get(), sink, sizeof sink);
        if (n > 0) {
            if (s.cap.len < CRON_CAPTURE_LIMIT) s.cap.len += static_cast<size_t>(n);
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
void drain(stream& s) {
    int held = 0;
    if (s.open && ::ioctl(s.fd.get(), FIONREAD, &held) == 0 && held > 0) pump(s, static_cast<size_t>(held));
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
    if (workdir != nullptr && *workdir != '\0' && posix_spawn_file_actions_addchdir_np(&s.fa, workdir) != 0)
        return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    return posix_spawnattr_setsigmask(&s.attr, &none) == 0 &&
           posix_spawnattr_setsigdefault(&s.attr, &all) == 0 && posix_spawnattr_setpgroup(&s.attr, 0) == 0 &&
           posix_spawnattr_setflags(
               &s.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP) == 0;
}

// How a run ended, as the poll loop saw it.
struct run_end {
    child_state st = child_state::running;
    siginfo_t info{};
    cron_proc_ending how = cron_proc_ending::none;
};

// Serves both pipes and the child until the child has ended, and terminates
// it for its time limit or a cancel request: SIGTERM, then SIGKILL after the
// grace period. Only the poll bound paces the loop.
run_end serve(pid_t pid, int pidfd, stream& out, stream& err, int64_t start, int32_t max_runtime_sec,
              cron_run_ctl_t* ctl) {
    run_end end;
    cron_proc_watch watch;
    for (;;) {
        pollfd fds[3] = {{out.open ? out.fd.get() : -1, POLLIN, 0},
                         {err.open ? err.fd.get() : -1, POLLIN, 0},
                         {pidfd, POLLIN, 0}};
        int ready = ::poll(fds, 3, CRON_PROC_POLL_MS);
        if (ready > 0) {
            if (fds[0].revents != 0) pump(out, kCycleBudget);
            if (fds[1].revents != 0) pump(err, kCycleBudget);
        }
        if (pidfd < 0 || (ready > 0 && fds[2].revents != 0)) {
            end.st = peek_end(pid, end.info);
            if (end.st != child_state::running) {
                end.how = watch.how();
                return end;
            }
        }
        switch (watch.next(ctl, max_runtime_sec, cron_os_monotonic_ms() - start)) {
            case cron_proc_watch::step::wait: break;
            case cron_proc_watch::step::terminate: signal_run(pid, SIGTERM); break;
            case cron_proc_watch::step::force: signal_run(pid, SIGKILL); break;
        }
    }
}

// How the run ended, and the code of one that ended by itself.
cron_proc_ending classify(const run_end& end, const cron_run_ctl_t* ctl, int32_t* code) {
    if (end.how != cron_proc_ending::none) return end.how;
    if (end.st != child_state::ended) {
        // Reaped by someone else (a host ignoring SIGCHLD or waiting for any
        // child): no code can be told, and guessing one would be a lie.
        *code = CRONTAB_EXIT_STATUS_UNKNOWN;
        return cron_proc_ending::none;
    }
    if (end.info.si_code == CLD_EXITED) {
        *code = end.info.si_status;
        return cron_proc_ending::none;
    }
    // The canceller records the cancel before it sends SIGTERM, so a death by
    // that signal with the cancel recorded is the cancel's doing.
    int sig = end.info.si_status;
    if (ctl != nullptr && ctl->cancel_requested.load() != 0 && (sig == SIGTERM || sig == SIGKILL))
        return cron_proc_ending::cancelled;
    *code = 128 + sig;
    return cron_proc_ending::none;
}

}  // namespace

int cron_proc_run_child(const char* cmd, cron_proc_result_t* result, int32_t max_runtime_sec,
                        cron_run_ctl_t* ctl, const char* workdir, const char* env,
                        const cron_account_t* account) {
    stream out;
    stream err;
    unique_fd out_w;
    unique_fd err_w;
    if (!make_pipe(out.fd, out_w) || !make_pipe(err.fd, err_w)) return -1;
    if (!cron_capture_alloc(out.cap, err.cap)) return -1;

    spawn_setup setup;
    if (account == nullptr && !prepare(setup, out_w.get(), err_w.get(), workdir)) return -1;
    env_block envp(account != nullptr
                       ? cron_build_env_block_over(cron_proc_account_env(*account).c_str(), env)
                       : cron_build_env_block(env));
    static char* const empty_env[] = {nullptr};
    char* const* child_env = envp ? envp.get() : (environ != nullptr ? environ : empty_env);
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd), nullptr};

    int64_t start = cron_os_monotonic_ms();
    pid_t pid = 0;
    if (account != nullptr) {
        if (!cron_proc_start_as(*account, out_w.get(), err_w.get(), workdir, argv, child_env, &pid))
            return -1;
    } else if (posix_spawn(&pid, "/bin/sh", &setup.fa, &setup.attr, argv, child_env) != 0) {
        // A failed chdir or exec in the child comes back as posix_spawn's error.
        return -1;
    }
    out_w.reset();
    err_w.reset();
    envp.reset();

    // Without a pidfd (an old kernel, no descriptor left) the loop still ends
    // within one cycle of the child's end through the waitid check.
    unique_fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    cron_proc_publish(ctl, static_cast<uint32_t>(pid), CRON_PROC_NONE);

    run_end end = serve(pid, pidfd.get(), out, err, start, max_runtime_sec, ctl);
    drain(out);
    drain(err);
    int32_t code = 0;
    cron_proc_ending how = classify(end, ctl, &code);
    bool reapable = end.st == child_state::ended;
    // Nothing of a terminated run outlives it: the interpreter is unreaped, so
    // its group id still names this run's group.
    if (how != cron_proc_ending::none && reapable) signal_run(pid, SIGKILL);
    cron_proc_fill_result(result, how, code, cron_os_monotonic_ms() - start, out.cap, err.cap);

    cron_proc_unpublish(ctl);
    if (reapable) {
        siginfo_t reaped{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &reaped, WEXITED) != 0 && errno == EINTR) {
        }
    }
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
