// The control socket served by whichever process owns a data directory: the
// daemon, or a `run` without one for as long as its run lasts. Requests are
// read on the owner's loop and carried out on threads of their own, in
// bounded places by kind; the loop also drains the event feed, so the runs
// files get the records of everything run in the process.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>

#include "control.h"
#include "control_frame.h"
#include "dir_files.h"
#include "feed.h"
#include "quilmarn_crontab.h"
#include "thread_tracker.h"

class control_server;

// Carries out a client's command against the server's instance.
using ctl_executor = std::function<ctl_response(control_server* server, const ctl_request& req)>;

// What the owner says after each turn of the loop.
enum class owner_turn {
    serving,   // goes on; the loop sleeps until something happens
    stopping,  // waits for what no descriptor tells (runs to end): the loop looks often
    done,      // may end: the loop ends once no request is in progress
};

class control_server {
public:
    // `daemon`: the owner is the daemon, which logs the commands it carries
    // out and outlives any request, so a run may outlast the request that
    // started it (`run --no-wait`).
    control_server(crontab_t* ct, ctl_executor exec, bool daemon);
    ~control_server();
    control_server(const control_server&) = delete;
    control_server& operator=(const control_server&) = delete;

    // Listens on the socket of `dir`; false with the reason in *why.
    bool listen(const std::string& dir, std::string* why);

    // Serves until the owner is done and no request is in progress. Each
    // turn, `extra_fd` (-1 for none) is polled beside the clients and
    // `on_extra` called when it is readable; then `feed` handles the events
    // and `turn` is asked. Ends without a socket, every event handled.
    void serve(event_feed& feed, int extra_fd, const std::function<void()>& on_extra,
               const std::function<owner_turn()>& turn);

    // Removes the socket: requests being read are dropped, those being
    // carried out finish.
    void stop_listening();
    // Makes the loop take a turn now.
    void wake();

    crontab_t* instance() const { return ct_; }
    bool daemon() const { return daemon_; }

    // For `run` carried out here, once crontab_run_now has returned: waits
    // until the loop has written the records of every event so far (those
    // of the run too). False when that took longer than 30 s.
    bool wait_records();
    // For `run --no-wait` in the daemon: starts job `id` on a thread of its
    // own, which the loop waits for before it ends. False when 64 such runs
    // are going already, the owner is stopping, or no thread can be had.
    bool run_detached(int id);

private:
    // A request being read: it costs a descriptor and its bytes, no thread.
    struct connection {
        unique_fd fd;
        ctl_peer peer;
        bool allowed = false;
        std::chrono::steady_clock::time_point deadline;
        ctl_request_reader reader;
    };
    enum place { READ_PLACE, CHANGE_PLACE, WAITING_PLACE, PLACE_KINDS };

    void carry_out(unique_fd fd, ctl_peer peer, ctl_request req, size_t bytes, place kind);
    void dispatch(connection& c);
    bool read_from(connection& c, size_t reading_bytes);
    void accept_clients();
    void publish_durable(uint64_t seq);

    crontab_t* ct_;
    ctl_executor exec_;
    bool daemon_;
    std::string dir_;
    unique_fd listen_fd_, wake_fd_;
    thread_tracker clients_;  // requests carried out, and runs started for `run --no-wait`
    std::list<connection> reading_;
    std::chrono::steady_clock::time_point accept_again_{};  // after running out of descriptors
    bool out_of_fds_told_ = false;

    // Taken by the loop, given back by the threads; the loop alone takes,
    // so a count it reads is never too low to trust.
    std::atomic<int> places_used_[PLACE_KINDS] = {};
    std::atomic<int> detached_{0};
    std::atomic<size_t> requests_bytes_{0};  // of requests being carried out

    // The number of the last event whose record the loop has written, for
    // `run`, which answers once its records are on disk.
    std::mutex durable_mu_;
    std::condition_variable durable_cv_;
    uint64_t durable_seq_ = 0;
};
