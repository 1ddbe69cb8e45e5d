#include "control_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "cli.h"
#include "events.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// A client that has not sent its whole request within REQUEST_TIME is
// dropped, so idle connections hold nothing for long.
constexpr size_t READING_MAX = 64;
constexpr auto REQUEST_TIME = 2s;
// All requests held at once, read or being carried out: eight of the
// largest, however many clients send them.
constexpr size_t REQUESTS_BYTES_MAX = 8 * (CTL_MAX_INPUT + (1u << 20));
// A client that does not take its answer within this is dropped.
constexpr int ANSWER_MS = 5000;
// Out of descriptors, accept waits this long before it tries again.
constexpr auto ACCEPT_BACKOFF = 100ms;
// Runs started by `run --no-wait` going at once.
constexpr int DETACHED_MAX = 64;
// The events tell the loop all it waits for; this only bounds a wait.
constexpr auto IDLE_WAIT = 60s;
constexpr auto LOOK_AGAIN = 200ms;  // while the owner waits for what no event tells
// A `run` waits this long at most for its records to reach the disk.
constexpr auto RECORDS_WAIT = 30s;

// The descriptors the loop always polls, before the clients'.
enum fixed_fd { EXTRA_FD, WAKE_FD, LISTEN_FD, EVENTS_FD, FIXED_FDS };

// Places for requests being carried out, by what the command does: one kind
// filling up never keeps out another, so `status`, `list`, `logs` and
// `cancel` are answered while changes and waiting runs are many.
constexpr int PLACES[] = {8, 8, 16};
const char* const PLACE_NAMES[] = {"commands that read", "changes", "waiting runs"};

// Answers at once without waiting for the client: a refusal or "busy" fits
// in the socket's buffer.
void answer_now(unique_fd& fd, const std::string& frame) {
    cron_ctl_send(fd.get(), frame, 0);
    fd = unique_fd();
}

}  // namespace

control_server::control_server(crontab_t* ct, ctl_executor exec, bool daemon)
    : ct_(ct), exec_(std::move(exec)), daemon_(daemon) {}

control_server::~control_server() { stop_listening(); }

bool control_server::listen(const std::string& dir, std::string* why) {
    wake_fd_ = unique_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_fd_) {
        *why = std::string("cannot serve the socket: ") + std::strerror(errno);
        return false;
    }
    listen_fd_ = unique_fd(cron_ctl_listen(dir, why));
    if (!listen_fd_) return false;
    dir_ = dir;
    return true;
}

void control_server::stop_listening() {
    reading_.clear();
    if (!listen_fd_) return;
    cron_ctl_unlink(dir_);
    listen_fd_ = unique_fd();
}

void control_server::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_.get(), &one, sizeof one);
}

void control_server::publish_durable(uint64_t seq) {
    std::lock_guard<std::mutex> lk(durable_mu_);
    durable_seq_ = seq;
    durable_cv_.notify_all();
}

bool control_server::wait_records() {
    const uint64_t target = crontab_get_last_event_seq(ct_);
    wake();
    std::unique_lock<std::mutex> lk(durable_mu_);
    return durable_cv_.wait_for(lk, RECORDS_WAIT, [&] { return durable_seq_ >= target; });
}

bool control_server::run_detached(int id) {
    if (!daemon_ || detached_ >= DETACHED_MAX || !clients_.enter()) return false;
    ++detached_;
    try {
        std::thread([this, id] {
            crontab_run_now(ct_, id);
            --detached_;
            clients_.leave(wake_fd_.get());
        }).detach();
    } catch (...) {
        --detached_;
        clients_.leave();
        return false;
    }
    wake();
    return true;
}

void control_server::carry_out(unique_fd fd, ctl_peer peer, ctl_request req, size_t bytes, place kind) {
    const ctl_response resp = exec_(this, req);
    cron_ctl_send(fd.get(), cron_ctl_answer_frame(resp), ANSWER_MS);
    fd = unique_fd();
    const command* c = cron_cmd_find(req.argv[0].c_str());
    if (daemon_ && c != nullptr && (c->flags & CMD_READ_ONLY) == 0) {
        cron_event_write(event("command")
                             .text("command", req.argv[0])
                             .num("status", resp.status)
                             .num("uid", peer.uid)
                             .num("pid", peer.pid));
    }
    requests_bytes_ -= bytes;
    --places_used_[kind];
    clients_.leave(wake_fd_.get());
}

// A whole request: refused, turned away as busy, or carried out on a thread.
void control_server::dispatch(connection& c) {
    ctl_request& req = c.reader.request();
    if (!c.allowed) {
        ctl_response resp;
        resp.err = "quilmarn-cron: refused: user " + std::to_string(c.peer.uid) + " may not control this " +
                   (daemon_ ? "daemon" : "run") + " (only root and its own user may)\n";
        if (daemon_) cron_event_write(event("refused").num("uid", c.peer.uid).num("pid", c.peer.pid));
        answer_now(c.fd, cron_ctl_answer_frame(resp));
        return;
    }
    const command* cmd = cron_cmd_find(req.argv[0].c_str());
    // Unknown commands are refused at once.
    const place kind = cmd == nullptr || (cmd->flags & CMD_READ_ONLY) != 0 ? READ_PLACE
                       : (cmd->flags & CMD_WAITS) != 0                     ? WAITING_PLACE
                                                                           : CHANGE_PLACE;
    if (places_used_[kind] >= PLACES[kind]) {
        answer_now(c.fd, cron_ctl_busy_frame(std::to_string(PLACES[kind]) + " " + PLACE_NAMES[kind] +
                                             " in progress"));
        return;
    }
    if (!clients_.enter()) {
        answer_now(c.fd, cron_ctl_busy_frame("stopping"));
        return;
    }
    const size_t bytes = c.reader.held();
    ++places_used_[kind];
    requests_bytes_ += bytes;
    try {
        std::thread(&control_server::carry_out, this, std::move(c.fd), c.peer, std::move(req), bytes, kind)
            .detach();
    } catch (...) {
        requests_bytes_ -= bytes;
        --places_used_[kind];
        clients_.leave();
        answer_now(c.fd, cron_ctl_busy_frame("no thread to carry it out"));
    }
}

// Reads what a client has sent; true while the connection is kept.
bool control_server::read_from(connection& c, size_t reading_bytes) {
    static char buf[65536];
    ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    const size_t before = c.reader.held();
    const auto st = c.reader.feed(buf, static_cast<size_t>(n), nullptr);
    if (st == ctl_request_reader::state::bad) return false;
    if (reading_bytes - before + c.reader.held() + requests_bytes_ > REQUESTS_BYTES_MAX) {
        answer_now(c.fd, cron_ctl_busy_frame("too many large requests at once"));
        return false;
    }
    if (st == ctl_request_reader::state::done) {
        dispatch(c);
        return false;
    }
    return true;
}

void control_server::accept_clients() {
    while (reading_.size() < READING_MAX) {
        unique_fd fd(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            // Out of descriptors the pending client stays pending, and poll
            // would report it again at once: wait instead.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                accept_again_ = clock_type::now() + ACCEPT_BACKOFF;
                if (daemon_ && !out_of_fds_told_) {
                    cron_event_write(event("error").text(
                        "reason", std::string("cannot accept clients: ") + std::strerror(errno)));
                }
                out_of_fds_told_ = true;
            }
            return;
        }
        out_of_fds_told_ = false;
        connection& c = reading_.emplace_back();
        c.fd = std::move(fd);
        c.allowed = cron_ctl_peer_allowed(c.fd.get(), &c.peer);
        c.deadline = clock_type::now() + REQUEST_TIME;
    }
}

void control_server::serve(event_feed& feed, int extra_fd, const std::function<void()>& on_extra,
                           const std::function<owner_turn()>& turn) {
    const int events_fd = crontab_get_events_fd(ct_);
    // Without a descriptor for the events (never on Linux) they are read often.
    std::chrono::milliseconds pause = events_fd >= 0 ? std::chrono::milliseconds(IDLE_WAIT) : LOOK_AGAIN;
    std::vector<pollfd> p;
    for (;;) {
        const auto now = clock_type::now();
        const bool accepting = listen_fd_ && reading_.size() < READING_MAX && now >= accept_again_;
        p.assign({{extra_fd, POLLIN, 0},
                  {wake_fd_.get(), POLLIN, 0},
                  {accepting ? listen_fd_.get() : -1, POLLIN, 0},
                  {events_fd, POLLIN, 0}});
        auto until = now + pause;
        if (!accepting && listen_fd_ && reading_.size() < READING_MAX) until = std::min(until, accept_again_);
        for (const connection& c : reading_) {
            p.push_back({c.fd.get(), POLLIN, 0});
            until = std::min(until, c.deadline);
        }
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, clock_type::duration{}));
        ::poll(p.data(), p.size(), static_cast<int>(wait.count()));
        if ((p[EXTRA_FD].revents & POLLIN) && on_extra) on_extra();
        if (p[WAKE_FD].revents & POLLIN) {
            uint64_t n;
            [[maybe_unused]] ssize_t got = ::read(wake_fd_.get(), &n, sizeof n);
        }
        // Requests being read: those that are whole are dispatched; dead,
        // malformed or late ones dropped.
        size_t reading_bytes = 0;
        for (const connection& c : reading_) reading_bytes += c.reader.held();
        size_t i = FIXED_FDS;
        const auto after = clock_type::now();
        for (auto it = reading_.begin(); it != reading_.end(); ++i) {
            bool keep = true;
            const size_t held = it->reader.held();
            if (p[i].revents != 0) keep = read_from(*it, reading_bytes);
            if (keep && after >= it->deadline) keep = false;
            reading_bytes = reading_bytes - held + (keep ? it->reader.held() : 0);
            it = keep ? std::next(it) : reading_.erase(it);
        }
        if (p[LISTEN_FD].revents & POLLIN) accept_clients();
        // Every event, in order: its line, its record on disk, then `run` may answer.
        feed.drain();
        publish_durable(feed.handled());
        const owner_turn t = turn();
        if (t == owner_turn::done && clients_.close_if_idle()) break;
        if (t != owner_turn::serving) pause = LOOK_AGAIN;
    }
    stop_listening();
    feed.drain();
    publish_durable(feed.handled());
}
