#include "daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "instance.h"
#include "dir_files.h"
#include "watch.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr int MAX_CLIENTS = 32;     // served at once; more are turned away
constexpr auto CANCEL_REACH = 10s;  // after a cancel, runs still going are left to destroy
constexpr auto CANCEL_AGAIN = 1s;

void wake();

// Threads that use the instance: the daemon waits for them before it
// destroys it, and takes no new ones once closed.
class tracker {
public:
    bool enter() {
        std::lock_guard<std::mutex> lk(mu_);
        if (closed_) return false;
        ++count_;
        return true;
    }
    // Waking the main loop under the lock keeps the write before the loop
    // can find the tracker idle, end, and close the descriptor it writes to.
    void leave(bool wake_main = false) {
        std::lock_guard<std::mutex> lk(mu_);
        --count_;
        if (wake_main) wake();
        cv_.notify_all();
    }
    int count() {
        std::lock_guard<std::mutex> lk(mu_);
        return count_;
    }
    // Closes when none is inside; true then.
    bool close_if_idle() {
        std::lock_guard<std::mutex> lk(mu_);
        if (count_ == 0) closed_ = true;
        return closed_;
    }
    void close_and_wait() {
        std::unique_lock<std::mutex> lk(mu_);
        closed_ = true;
        cv_.wait(lk, [&] { return count_ == 0; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int count_ = 0;
    bool closed_ = false;
};

tracker clients;   // client connections and runs started for `run --no-wait`
tracker hooks;     // --on-failure commands
int wake_fd = -1;  // written when a look at the jobs is due

void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd, &one, sizeof one);
}

// Commands that only read: not logged, so that polling `status` does not
// fill the log.
bool read_only(const std::string& name) {
    static const std::set<std::string> names = {"list",    "status",   "logs", "export",  "help",
                                                "version", "validate", "next", "describe"};
    return names.count(name) != 0;
}

void serve_client(int fd, crontab_t* ct, const daemon_executor* exec) {
    unique_fd conn(fd);
    ctl_peer peer;
    const bool allowed = cron_ctl_peer_allowed(fd, &peer);
    ctl_request req;
    if (cron_ctl_read_request(fd, &req)) {
        ctl_response resp;
        if (allowed) {
            resp = (*exec)(ct, req);
        } else {
            resp.err = "quilmarn-cron: refused: user " + std::to_string(peer.uid) +
                       " may not control this daemon (only root and its own user may)\n";
            cron_event_write(event("refused").num("uid", peer.uid).num("pid", peer.pid));
        }
        cron_ctl_write_response(fd, resp);
        if (allowed && !read_only(req.argv[0])) {
            cron_event_write(event("command")
                                 .text("command", req.argv[0])
                                 .num("status", resp.status)
                                 .num("uid", peer.uid)
                                 .num("pid", peer.pid));
        }
    }
    conn = unique_fd();
    clients.leave(true);
}

void accept_clients(int listen_fd, crontab_t* ct, const daemon_executor* exec) {
    for (;;) {
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;  // none waiting (or a peer that left)
        if (clients.count() >= MAX_CLIENTS || !clients.enter()) {
            ::close(fd);
            continue;
        }
        try {
            std::thread(serve_client, fd, ct, exec).detach();
        } catch (...) {
            ::close(fd);
            clients.leave();
        }
    }
}

// Cancels every job with an execution in progress; under ALLOW only the
// latest of a job's executions is reached, destroy ends the others.
void cancel_running(crontab_t* ct) {
    std::vector<job_info> jobs;
    if (!cron_read_jobs(ct, &jobs)) return;
    for (const job_info& j : jobs) {
        if (j.running) crontab_cancel_job(ct, j.id);
    }
}

void start_hook(const daemon_options& o, const hook_call& call) {
    if (o.on_failure.empty() || !hooks.enter()) return;
    try {
        std::thread([cmd = o.on_failure, limit = o.on_failure_limit_sec, call] {
            cron_hook_run(cmd, limit, call);
            hooks.leave();
        }).detach();
    } catch (...) {
        hooks.leave();
        cron_event_write(event("on-failure-failed", call.job_id, call.job_name)
                             .num("exit_code", -1)
                             .text("reason", "no thread for the command"));
    }
}

}  // namespace

bool cron_daemon_run_detached(crontab_t* ct, int id) {
    if (!clients.enter()) return false;
    try {
        std::thread([ct, id] {
            crontab_run_now(ct, id);
            clients.leave(true);
        }).detach();
    } catch (...) {
        clients.leave();
        return false;
    }
    wake();
    return true;
}

int cron_daemon_main(const std::string& dir, const daemon_options& options, const daemon_executor& exec) {
    // A typo'd directory must not become an empty one that runs nothing.
    struct stat st;
    const bool found = ::stat(dir.c_str(), &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr,
                     "quilmarn-cron: %s is not a data directory (%s); create one with "
                     "'quilmarn-cron --dir %s init'\n",
                     dir.c_str(), found ? "not a directory" : std::strerror(errno), dir.c_str());
        return 1;
    }
    cron_events_setup(options.format, stdout);
    // Blocked before any thread exists, so only the signalfd takes them;
    // children start with an empty mask and default dispositions.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    // A log reader that goes away (`daemon | head`) must not end the runs.
    ::signal(SIGPIPE, SIG_IGN);
    unique_fd sig_fd(::signalfd(-1, &sigs, SFD_CLOEXEC));
    unique_fd wake_owner(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!sig_fd || !wake_owner) {
        std::fprintf(stderr, "quilmarn-cron: cannot set up the daemon: %s\n", std::strerror(errno));
        return 1;
    }
    wake_fd = wake_owner.get();

    open_instance in(dir.c_str(), dir_access::daemon);
    if (in.ct == nullptr) return 1;
    std::string why;
    unique_fd listen_fd(cron_ctl_listen(dir, &why));
    if (!listen_fd) {
        std::fprintf(stderr, "quilmarn-cron: %s: %s\n", dir.c_str(), why.c_str());
        return 1;
    }
    job_watch watch(in.ct, dir, [&options](const hook_call& c) { start_hook(options, c); });
    cron_event_write(event("daemon").num("pid", ::getpid()).text("dir", dir));
    watch.tell_loaded();
    if (crontab_start(in.ct) != 0) {
        std::fprintf(stderr, "quilmarn-cron: the scheduler could not be started\n");
        cron_ctl_unlink(dir);
        return 1;
    }
    sd_notify(0, "READY=1\nSTATUS=running the jobs");

    bool stopping = false;
    clock_type::time_point cancelled_at{}, cancelled_last{};
    auto pause = watch.look();
    for (;;) {
        pollfd p[3] = {{sig_fd.get(), POLLIN, 0}, {wake_fd, POLLIN, 0}, {listen_fd.get(), POLLIN, 0}};
        ::poll(p, 3, static_cast<int>(pause.count()));
        if (p[0].revents & POLLIN) {
            signalfd_siginfo si{};
            if (::read(sig_fd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGHUP) {
                    // Every change reaches the daemon through its socket, so
                    // there is nothing to read again.
                    cron_event_write(
                        event("hangup").text("reason", "ignored: changes reach the daemon directly"));
                } else if (!stopping) {
                    stopping = true;
                    sd_notify(0, "STOPPING=1");
                    crontab_stop(in.ct);
                    cron_event_write(
                        event("stopping")
                            .text("reason", "waiting for runs in progress; signal again to cancel them"));
                } else if (cancelled_at == clock_type::time_point{}) {
                    cron_event_write(event("cancelling").text("reason", "second stop signal"));
                    cancel_running(in.ct);
                    cancelled_at = cancelled_last = clock_type::now();
                }
            }
        }
        if (p[1].revents & POLLIN) {
            uint64_t n;
            [[maybe_unused]] ssize_t got = ::read(wake_fd, &n, sizeof n);
        }
        if (p[2].revents & POLLIN) accept_clients(listen_fd.get(), in.ct, &exec);
        pause = watch.look();
        if (cancelled_at != clock_type::time_point{} && watch.busy() &&
            clock_type::now() - cancelled_last > CANCEL_AGAIN) {
            cancel_running(in.ct);  // runs that clients started since
            cancelled_last = clock_type::now();
        }
        if (stopping) {
            const bool past_reach =
                cancelled_at != clock_type::time_point{} && clock_type::now() - cancelled_at > CANCEL_REACH;
            if ((!watch.busy() || past_reach) && clients.close_if_idle()) break;
            pause = std::min(pause, std::chrono::milliseconds(200));
        }
    }
    cron_ctl_unlink(dir);
    listen_fd = unique_fd();
    watch.look();
    hooks.close_and_wait();
    cron_event_write(event("stopped"));
    return 0;
}
