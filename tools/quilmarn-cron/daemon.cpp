#include "daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "dir_files.h"
#include "feed.h"
#include "instance.h"
#include "job_env.h"
#include "job_list.h"
#include "mail.h"
#include "run_log.h"
#include "thread_tracker.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr auto CANCEL_REACH = 10s;  // after a cancel, runs still going are left to destroy
constexpr auto CANCEL_AGAIN = 1s;

// Hooks at once, and failures waiting for one; more are dropped and counted.
constexpr int HOOKS_MAX = 4;
constexpr size_t HOOKS_QUEUED_MAX = 32;

thread_tracker hooks;  // --on-failure commands

// A job runs, or has a run waiting: a stop waits for it.
bool runs_left(crontab_t* ct) {
    std::vector<job_info> jobs;
    if (!cron_read_jobs(ct, &jobs)) return true;
    for (const job_info& j : jobs) {
        if (j.running || j.queued_count != 0) return true;
    }
    return false;
}

void tell_loaded(crontab_t* ct) {
    std::vector<job_info> jobs;
    cron_read_jobs(ct, &jobs);
    for (const job_info& j : jobs) {
        cron_event_write(event("loaded", j.id, j.name)
                             .text("expr", j.expr)
                             .flag("enabled", j.enabled)
                             .num("next_run", j.next_run));
    }
}

std::vector<int> live_ids(crontab_t* ct) {
    std::vector<job_info> jobs;
    std::vector<int> ids;
    if (!cron_read_jobs(ct, &jobs)) return ids;
    for (const job_info& j : jobs) ids.push_back(j.id);
    return ids;
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

// --on-failure: at most HOOKS_MAX at once; the failures beyond wait in a
// bounded queue, and those beyond it are dropped with a log line.
class hook_runner {
public:
    void start(const daemon_options& o, const hook_call& call) {
        if (o.on_failure.empty()) return;
        uint64_t lost = 0;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (queue_.size() >= HOOKS_QUEUED_MAX || stopped_) {
                lost = ++dropped_;
            } else {
                queue_.push_back(call);
                if (running_ < HOOKS_MAX && hooks.enter()) {
                    ++running_;
                    try {
                        std::thread([this, cmd = o.on_failure, limit = o.on_failure_limit_sec] {
                            drain(cmd, limit);
                        }).detach();
                    } catch (...) {
                        --running_;
                        hooks.leave();
                    }
                }
            }
        }
        if (lost != 0) {
            cron_event_write(event("on-failure-dropped", call.job_id, call.job_name)
                                 .num("exit_code", call.exit_code)
                                 .num("dropped", static_cast<int64_t>(lost))
                                 .text("reason", std::to_string(HOOKS_MAX) + " running and " +
                                                     std::to_string(HOOKS_QUEUED_MAX) + " waiting"));
        }
    }

    // The second stop signal: running hooks are killed, waiting ones dropped.
    void kill_all() {
        size_t lost = 0;
        {
            std::lock_guard<std::mutex> lk(mu_);
            stopped_ = true;
            lost = queue_.size();
            dropped_ += lost;
            queue_.clear();
        }
        cron_hook_kill_all();
        if (lost != 0) {
            cron_event_write(event("on-failure-dropped")
                                 .num("dropped", static_cast<int64_t>(lost))
                                 .text("reason", "the daemon was told to stop again"));
        }
    }

private:
    void drain(const std::string& cmd, int limit) {
        for (;;) {
            hook_call call;
            {
                std::lock_guard<std::mutex> lk(mu_);
                if (queue_.empty()) {
                    --running_;
                    break;
                }
                call = std::move(queue_.front());
                queue_.pop_front();
            }
            cron_hook_run(cmd, limit, call);
        }
        hooks.leave();
    }

    std::mutex mu_;
    std::deque<hook_call> queue_;
    int running_ = 0;
    uint64_t dropped_ = 0;
    bool stopped_ = false;
};

hook_runner hook_pool;

}  // namespace

int cron_daemon_main(const std::string& dir, const daemon_options& options, const ctl_executor& exec) {
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
    if (!sig_fd) {
        std::fprintf(stderr, "quilmarn-cron: cannot set up the daemon: %s\n", std::strerror(errno));
        return 1;
    }

    open_instance in(dir.c_str(), dir_access::daemon);
    if (in.ct == nullptr) return 1;
    if (options.prepare && !options.prepare(in.ct)) return 1;
    // What `prepare` started ends before the instance, however this returns.
    struct finisher {
        const std::function<void()>* fn;
        void operator()() {
            if (fn != nullptr && *fn) (*fn)();
            fn = nullptr;
        }
        ~finisher() { (*this)(); }
    } finish{&options.finish};
    std::string why;
    control_server server(in.ct, exec, true);
    if (!server.listen(dir, &why)) {
        std::fprintf(stderr, "quilmarn-cron: %s: %s\n", dir.c_str(), why.c_str());
        return 1;
    }
    runs_store runs(dir, stderr);
    runs.prune(live_ids(in.ct));
    event_feed feed(in.ct, &runs, true, [&options](const hook_call& c) { hook_pool.start(options, c); });
    // MAILTO: the job's command and environment, read at most once a second
    // (or for a job not seen yet): a hundred jobs ending each second must not
    // cost a report each.
    feed.on_ended([ct = in.ct, program = cron_mail_program(options.sendmail), jobs = std::vector<job_info>(),
                   read_at = std::chrono::steady_clock::time_point()](const hook_call& c) mutable {
        if (c.input.empty()) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - read_at > std::chrono::seconds(1) || cron_find_job(jobs, c.job_id) == nullptr) {
            if (!cron_read_jobs(ct, &jobs)) jobs.clear();
            read_at = now;
        }
        const job_info* j = cron_find_job(jobs, c.job_id);
        if (j != nullptr && j->env.find("MAILTO=") != std::string::npos) {
            cron_mail_send(program,
                           mail_call{c.job_id, c.job_name, j->cmd, j->env, j->user, c.exit_code, c.input});
        }
    });
    cron_event_write(event("daemon").num("pid", ::getpid()).text("dir", dir));
    tell_loaded(in.ct);
    // Read-only, on threads of its own; stopped before the instance goes.
    http_listener http;
    if (!options.http.addr.empty()) {
        if (!http.start(in.ct, dir, options.http, &why)) {
            std::fprintf(stderr, "quilmarn-cron: --http: %s\n", why.c_str());
            return 1;
        }
        cron_event_write(
            event("http").text("address", http.bound()).flag("token", !options.http.token.empty()));
    }
    feed.drain();
    if (crontab_start(in.ct) != 0) {
        std::fprintf(stderr, "quilmarn-cron: the scheduler could not be started\n");
        return 1;
    }
    cron_service_notify("READY=1\nSTATUS=running the jobs");

    bool stopping = false;
    clock_type::time_point cancelled_at{}, cancelled_last{};
    const auto on_signal = [&] {
        signalfd_siginfo si{};
        if (::read(sig_fd.get(), &si, sizeof si) != static_cast<ssize_t>(sizeof si)) return;
        if (si.ssi_signo == SIGHUP) {
            if (options.hangup) {
                options.hangup();
                return;
            }
            // A hand edit of crontab.json: the reload command, one change
            // at a time with the clients'. Its `reloaded` line comes from
            // the feed; a refusal is its one line on standard error.
            const ctl_response r = exec(&server, ctl_request{{"reload"}, {}});
            if (r.status != 0) {
                constexpr std::string_view tool = "quilmarn-cron: ";
                std::string reason = r.err.substr(0, r.err.find('\n'));
                if (reason.starts_with(tool)) reason.erase(0, tool.size());
                cron_event_write(event("error").text("reason", reason));
            }
        } else if (!stopping) {
            stopping = true;
            cron_service_notify("STOPPING=1");
            crontab_stop(in.ct);
            cron_event_write(
                event("stopping")
                    .text("reason", "waiting for runs in progress; signal again to cancel them"));
        } else if (cancelled_at == clock_type::time_point{}) {
            cron_event_write(event("cancelling").text("reason", "second stop signal"));
            cancel_running(in.ct);
            hook_pool.kill_all();
            cron_mail_kill_all();
            cancelled_at = cancelled_last = clock_type::now();
        }
    };
    const auto turn = [&] {
        const bool cancelled = cancelled_at != clock_type::time_point{};
        const bool busy = (stopping || cancelled) && runs_left(in.ct);
        if (cancelled && busy && clock_type::now() - cancelled_last > CANCEL_AGAIN) {
            cancel_running(in.ct);  // runs that clients started since
            cancelled_last = clock_type::now();
        }
        if (!stopping) return owner_turn::serving;
        const bool past_reach = cancelled && clock_type::now() - cancelled_at > CANCEL_REACH;
        return !busy || past_reach ? owner_turn::done : owner_turn::stopping;
    };
    server.serve(feed, sig_fd.get(), on_signal, turn);
    finish();
    // Hooks and mails may run up to their time limits; a stop signal now kills them.
    const auto all_ended = [] {
        const bool hooks_ended = hooks.close_and_wait(200ms);
        return cron_mail_close_and_wait(hooks_ended ? 200ms : 0ms) && hooks_ended;
    };
    while (!all_ended()) {
        signalfd_siginfo si{};
        pollfd sp{sig_fd.get(), POLLIN, 0};
        if (::poll(&sp, 1, 0) == 1 &&
            ::read(sig_fd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si) &&
            si.ssi_signo != SIGHUP) {
            hook_pool.kill_all();
            cron_mail_kill_all();
        }
    }
    cron_event_write(event("stopped"));
    return 0;
}
