// Starting a job's child as a user account. posix_spawn cannot change a
// child's ids, and a helper program found by path could be replaced by
// whoever can write there, so the runner forks and the child switches itself
// before execve. Between fork and execve the child of a threaded host may
// call only async-signal-safe functions: everything it needs is prepared
// here beforehand.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/cron_unique.h"
#include "proc/cron_proc_common.h"

namespace {

struct child_plan {
    const char* workdir;  // null: the home, else "/"
    const char* home;
    const gid_t* groups;
    size_t group_count;
    uid_t uid;
    gid_t gid;
    bool switch_ids;
    int out_w;
    int err_w;
    int report_w;  // close-on-exec: a failed step writes its errno here
    char* const* argv;
    char* const* envp;
};

[[noreturn]] void fail(int report_w) {
    const int e = errno;
    ssize_t ignored = ::write(report_w, &e, sizeof e);
    (void)ignored;
    ::_exit(127);
}

[[noreturn]] void child_main(const child_plan& p) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);  // KILL and STOP refuse: fine
    // Its own process group, so a termination reaches all the command starts.
    if (::setpgid(0, 0) != 0) fail(p.report_w);
    const int nul = ::open("/dev/null", O_RDONLY);
    if (nul < 0 || (nul != 0 && ::dup2(nul, 0) < 0)) fail(p.report_w);
    if (::dup2(p.out_w, 1) < 0 || ::dup2(p.err_w, 2) < 0) fail(p.report_w);
    if (p.report_w > 3 && ::close_range(3, static_cast<unsigned>(p.report_w) - 1, 0) != 0) fail(p.report_w);
    if (::close_range(static_cast<unsigned>(p.report_w) + 1, ~0u, 0) != 0) fail(p.report_w);
    // Groups before the gid and the gid before the uid: each needs root.
    if (p.switch_ids && (::setgroups(p.group_count, p.groups) != 0 || ::setresgid(p.gid, p.gid, p.gid) != 0 ||
                         ::setresuid(p.uid, p.uid, p.uid) != 0))
        fail(p.report_w);
    // Entered as the user: a directory the user may not enter is refused.
    if (p.workdir != nullptr) {
        if (::chdir(p.workdir) != 0) fail(p.report_w);
    } else if (::chdir(p.home) != 0 && ::chdir("/") != 0) {
        fail(p.report_w);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve("/bin/sh", p.argv, p.envp);
    fail(p.report_w);
}

}  // namespace

std::string cron_proc_account_env(const cron_account_t& account) {
    return "HOME=" + account.home + "\nLOGNAME=" + account.name + "\nUSER=" + account.name +
           "\nSHELL=/bin/sh";
}

bool cron_proc_start_as(const cron_account_t& account, int out_w, int err_w, const char* workdir,
                        char* const* argv, char* const* envp, pid_t* pid) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    unique_fd report_r(fds[0]);
    unique_fd report_w(fds[1]);
    // Above 0..2, which the child's dup2 calls overwrite.
    for (unique_fd* fd : {&report_r, &report_w}) {
        if (fd->get() > 2) continue;
        int moved = ::fcntl(fd->get(), F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return false;
        fd->reset(moved);
    }
    const std::vector<gid_t> groups(account.groups.begin(), account.groups.end());
    child_plan p{};
    p.workdir = workdir != nullptr && *workdir != '\0' ? workdir : nullptr;
    p.home = account.home.c_str();
    p.groups = groups.data();
    p.group_count = groups.size();
    p.uid = static_cast<uid_t>(account.uid);
    p.gid = static_cast<gid_t>(account.gid);
    p.switch_ids = account.switch_ids;
    p.out_w = out_w;
    p.err_w = err_w;
    p.report_w = report_w.get();
    p.argv = argv;
    p.envp = envp;

    // No handler of the host may run in the child before its dispositions
    // are reset: every signal stays blocked across the fork.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t child = ::fork();
    if (child == 0) child_main(p);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (child < 0) return false;
    report_w.reset();
    // End of file: execve succeeded and closed the report's write end.
    int e = 0;
    ssize_t n;
    while ((n = ::read(report_r.get(), &e, sizeof e)) < 0 && errno == EINTR) {
    }
    if (n == 0) {
        *pid = child;
        return true;
    }
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED) != 0 && errno == EINTR) {
    }
    return false;
}
