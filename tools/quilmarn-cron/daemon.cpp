#include "daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#include "cli.h"
#include "control_frame.h"
#include "dir_files.h"
#include "feed.h"
#include "instance.h"
#include "job_env.h"
#include "job_list.h"
#include "mail.h"
#include "run_log.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr auto CANCEL_REACH = 10s;  // after a cancel, runs still going are left to destroy
constexpr auto CANCEL_AGAIN = 1s;

// A connection is a request being read: it costs a descriptor and its bytes,
// no thread. A client that has not sent its whole request within
// REQUEST_TIME is dropped, so idle connections hold nothing for long.
constexpr size_t READING_MAX = 64;
constexpr auto REQUEST_TIME = 2s;
// All requests held at once, read or being carried out: eight of the
// largest, however many clients send them.
constexpr size_t REQUESTS_BYTES_MAX = 8 * (CTL_MAX_INPUT + (1u << 20));
// A client that does not take its answer within this is dropped.
constexpr int ANSWER_MS = 5000;
// Out of descriptors, accept waits this long before it tries again.
constexpr auto ACCEPT_BACKOFF = 100ms;
// Hooks at once, and failures waiting for one; more are dropped and counted.
constexpr int HOOKS_MAX = 4;
constexpr size_t HOOKS_QUEUED_MAX = 32;
// Runs started by `run --no-wait` going at once.
constexpr int DETACHED_MAX = 64;
// The events tell the daemon all it waits for; this only bounds a wait.
constexpr auto IDLE_WAIT = 60s;
constexpr auto STOPPING_LOOK = 200ms;  // while stopping: whether runs are left
// A `run` waits this long at most for its records to reach the disk.
constexpr auto RECORDS_WAIT = 30s;

// Places for requests being carried out, by what the command does: one kind
// filling up never keeps out another, so `status`, `list`, `logs` and
// `cancel` are answered while changes and waiting runs are many.
// The descriptors the main loop always polls, before the clients'.
enum fixed_fd { SIGNAL_FD, WAKE_FD, LISTEN_FD, EVENTS_FD, FIXED_FDS };

enum place { READ_PLACE, CHANGE_PLACE, WAITING_PLACE, PLACE_KINDS };
constexpr int PLACES[PLACE_KINDS] = {8, 8, 16};
const char* const PLACE_NAMES[PLACE_KINDS] = {"commands that read", "changes", "waiting runs"};

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
    // Closes when none is inside; true then.
    bool close_if_idle() {
        std::lock_guard<std::mutex> lk(mu_);
        if (count_ == 0) closed_ = true;
        return closed_;
    }
    // Closes, and waits up to `most` for the last to leave; true when none is inside.
    bool close_and_wait(std::chrono::milliseconds most) {
        std::unique_lock<std::mutex> lk(mu_);
        closed_ = true;
        return cv_.wait_for(lk, most, [&] { return count_ == 0; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int count_ = 0;
    bool closed_ = false;
};

tracker clients;   // requests carried out, and runs started for `run --no-wait`
tracker hooks;     // --on-failure commands
int wake_fd = -1;  // written when the main loop has something to do

// The number of the last event whose record the main loop has written, for
// `run`, which answers once its records are on disk.
std::mutex durable_mu;
std::condition_variable durable_cv;
uint64_t durable_seq = 0;

void publish_durable(uint64_t seq) {
    std::lock_guard<std::mutex> lk(durable_mu);
    durable_seq = seq;
    durable_cv.notify_all();
}

// Taken by the main loop, given back by the threads; the main loop alone
// takes, so a count it reads is never too low to trust.
std::atomic<int> places_used[PLACE_KINDS];
std::atomic<int> detached{0};
std::atomic<size_t> requests_bytes{0};  // of requests being carried out

void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd, &one, sizeof one);
}

struct connection {
    unique_fd fd;
    ctl_peer peer;
    bool allowed = false;
    clock_type::time_point deadline;
    ctl_request_reader reader;
};

place place_of(const command* c) {
    if (c == nullptr || (c->flags & CMD_READ_ONLY) != 0) return READ_PLACE;  // refused at once
    return (c->flags & CMD_WAITS) != 0 ? WAITING_PLACE : CHANGE_PLACE;
}

void serve(unique_fd fd, ctl_peer peer, ctl_request req, size_t bytes, place kind, crontab_t* ct,
           const daemon_executor* exec) {
    const ctl_response resp = (*exec)(ct, req);
    cron_ctl_send(fd.get(), cron_ctl_answer_frame(resp), ANSWER_MS);
    fd = unique_fd();
    const command* c = cron_cmd_find(req.argv[0].c_str());
    if (c != nullptr && (c->flags & CMD_READ_ONLY) == 0) {
        cron_event_write(event("command")
                             .text("command", req.argv[0])
                             .num("status", resp.status)
                             .num("uid", peer.uid)
                             .num("pid", peer.pid));
    }
    requests_bytes -= bytes;
    --places_used[kind];
    clients.leave(true);
}

// Answers at once without waiting for the client: a refusal or "busy" fits
// in the socket's buffer.
void answer_now(connection& c, const std::string& frame) {
    cron_ctl_send(c.fd.get(), frame, 0);
    c.fd = unique_fd();
}

void busy(connection& c, const std::string& why) { answer_now(c, cron_ctl_busy_frame(why)); }

// A whole request: refused, turned away as busy, or carried out on a thread.
void dispatch(connection& c, crontab_t* ct, const daemon_executor* exec) {
    ctl_request& req = c.reader.request();
    if (!c.allowed) {
        ctl_response resp;
        resp.err = "quilmarn-cron: refused: user " + std::to_string(c.peer.uid) +
                   " may not control this daemon (only root and its own user may)\n";
        cron_event_write(event("refused").num("uid", c.peer.uid).num("pid", c.peer.pid));
        answer_now(c, cron_ctl_answer_frame(resp));
        return;
    }
    const place kind = place_of(cron_cmd_find(req.argv[0].c_str()));
    if (places_used[kind] >= PLACES[kind]) {
        busy(c, std::to_string(PLACES[kind]) + " " + PLACE_NAMES[kind] + " in progress");
        return;
    }
    if (!clients.enter()) {
        busy(c, "stopping");
        return;
    }
    const size_t bytes = c.reader.held();
    ++places_used[kind];
    requests_bytes += bytes;
    try {
        std::thread(serve, std::move(c.fd), c.peer, std::move(req), bytes, kind, ct, exec).detach();
    } catch (...) {
        requests_bytes -= bytes;
        --places_used[kind];
        clients.leave();
        busy(c, "no thread to carry it out");
    }
}

// Reads what a client has sent; true while the connection is kept.
bool read_from(connection& c, size_t reading_bytes, crontab_t* ct, const daemon_executor* exec) {
    static char buf[65536];
    ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    const size_t before = c.reader.held();
    const auto st = c.reader.feed(buf, static_cast<size_t>(n), nullptr);
    if (st == ctl_request_reader::state::bad) return false;
    if (reading_bytes - before + c.reader.held() + requests_bytes > REQUESTS_BYTES_MAX) {
        busy(c, "too many large requests at once");
        return false;
    }
    if (st == ctl_request_reader::state::done) {
        dispatch(c, ct, exec);
        return false;
    }
    return true;
}

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

bool cron_daemon_wait_records(crontab_t* ct) {
    const uint64_t target = crontab_get_last_event_seq(ct);
    wake();
    std::unique_lock<std::mutex> lk(durable_mu);
    return durable_cv.wait_for(lk, RECORDS_WAIT, [&] { return durable_seq >= target; });
}

bool cron_daemon_run_detached(crontab_t* ct, int id) {
    if (detached >= DETACHED_MAX || !clients.enter()) return false;
    ++detached;
    try {
        std::thread([ct, id] {
            crontab_run_now(ct, id);
            --detached;
            clients.leave(true);
        }).detach();
    } catch (...) {
        --detached;
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
    if (options.prepare && !options.prepare(in.ct)) return 1;
    std::string why;
    unique_fd listen_fd(cron_ctl_listen(dir, &why));
    if (!listen_fd) {
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
            cron_mail_send(program, mail_call{c.job_id, c.job_name, j->cmd, j->env, c.exit_code, c.input});
        }
    });
    const int events_fd = crontab_get_events_fd(in.ct);
    cron_event_write(event("daemon").num("pid", ::getpid()).text("dir", dir));
    tell_loaded(in.ct);
    // Read-only, on threads of its own; stopped before the instance goes.
    http_listener http;
    if (!options.http.addr.empty()) {
        if (!http.start(in.ct, dir, options.http, &why)) {
            std::fprintf(stderr, "quilmarn-cron: --http: %s\n", why.c_str());
            cron_ctl_unlink(dir);
            return 1;
        }
        cron_event_write(
            event("http").text("address", http.bound()).flag("token", !options.http.token.empty()));
    }
    feed.drain();
    if (crontab_start(in.ct) != 0) {
        std::fprintf(stderr, "quilmarn-cron: the scheduler could not be started\n");
        cron_ctl_unlink(dir);
        return 1;
    }
    cron_service_notify("READY=1\nSTATUS=running the jobs");

    bool stopping = false;
    clock_type::time_point cancelled_at{}, cancelled_last{};
    clock_type::time_point accept_again{};  // after running out of descriptors
    bool out_of_fds_told = false;
    std::list<connection> reading;
    // Without a descriptor for the events (never on Linux) they are read often.
    std::chrono::milliseconds pause = events_fd >= 0 ? IDLE_WAIT : STOPPING_LOOK;
    std::vector<pollfd> p;
    for (;;) {
        const auto now = clock_type::now();
        const bool accepting = reading.size() < READING_MAX && now >= accept_again;
        p.assign({{sig_fd.get(), POLLIN, 0},
                  {wake_fd, POLLIN, 0},
                  {accepting ? listen_fd.get() : -1, POLLIN, 0},
                  {events_fd, POLLIN, 0}});
        auto until = now + pause;
        if (!accepting && reading.size() < READING_MAX) until = std::min(until, accept_again);
        for (const connection& c : reading) {
            p.push_back({c.fd.get(), POLLIN, 0});
            until = std::min(until, c.deadline);
        }
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, clock_type::duration{}));
        ::poll(p.data(), p.size(), static_cast<int>(wait.count()));
        if (p[SIGNAL_FD].revents & POLLIN) {
            signalfd_siginfo si{};
            if (::read(sig_fd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGHUP) {
                    // A hand edit of crontab.json: the reload command, one change
                    // at a time with the clients'. Its `reloaded` line comes from
                    // the feed; a refusal is its one line on standard error.
                    const ctl_response r = exec(in.ct, ctl_request{{"reload"}, {}});
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
                    cancelled_at = cancelled_last = clock_type::now();
                }
            }
        }
        if (p[WAKE_FD].revents & POLLIN) {
            uint64_t n;
            [[maybe_unused]] ssize_t got = ::read(wake_fd, &n, sizeof n);
        }
        // Requests being read: those that are whole are dispatched; dead,
        // malformed or late ones dropped.
        size_t reading_bytes = 0;
        for (const connection& c : reading) reading_bytes += c.reader.held();
        size_t i = FIXED_FDS;
        const auto after = clock_type::now();
        for (auto it = reading.begin(); it != reading.end(); ++i) {
            bool keep = true;
            const size_t held = it->reader.held();
            if (p[i].revents != 0) keep = read_from(*it, reading_bytes, in.ct, &exec);
            if (keep && after >= it->deadline) keep = false;
            reading_bytes = reading_bytes - held + (keep ? it->reader.held() : 0);
            it = keep ? std::next(it) : reading.erase(it);
        }
        if (p[LISTEN_FD].revents & POLLIN) {
            while (reading.size() < READING_MAX) {
                unique_fd fd(::accept4(listen_fd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
                if (!fd) {
                    // Out of descriptors the pending client stays pending, and
                    // poll would report it again at once: wait instead.
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        accept_again = clock_type::now() + ACCEPT_BACKOFF;
                        if (!out_of_fds_told) {
                            cron_event_write(event("error").text(
                                "reason", std::string("cannot accept clients: ") + std::strerror(errno)));
                        }
                        out_of_fds_told = true;
                    }
                    break;
                }
                out_of_fds_told = false;
                connection& c = reading.emplace_back();
                c.fd = std::move(fd);
                c.allowed = cron_ctl_peer_allowed(c.fd.get(), &c.peer);
                c.deadline = clock_type::now() + REQUEST_TIME;
            }
        }
        // Every event, in order: its line, its record on disk, then `run` may answer.
        feed.drain();
        publish_durable(feed.handled());
        const bool busy = (stopping || cancelled_at != clock_type::time_point{}) && runs_left(in.ct);
        if (cancelled_at != clock_type::time_point{} && busy &&
            clock_type::now() - cancelled_last > CANCEL_AGAIN) {
            cancel_running(in.ct);  // runs that clients started since
            cancelled_last = clock_type::now();
        }
        if (stopping) {
            const bool past_reach =
                cancelled_at != clock_type::time_point{} && clock_type::now() - cancelled_at > CANCEL_REACH;
            if ((!busy || past_reach) && clients.close_if_idle()) break;
            pause = STOPPING_LOOK;
        }
    }
    reading.clear();
    cron_ctl_unlink(dir);
    listen_fd = unique_fd();
    feed.drain();
    publish_durable(feed.handled());
    // Hooks may run up to their time limit; a stop signal now kills them.
    while (!hooks.close_and_wait(200ms)) {
        signalfd_siginfo si{};
        pollfd sp{sig_fd.get(), POLLIN, 0};
        if (::poll(&sp, 1, 0) == 1 &&
            ::read(sig_fd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si) &&
            si.ssi_signo != SIGHUP) {
            hook_pool.kill_all();
        }
    }
    cron_event_write(event("stopped"));
    return 0;
}
