// quilmarn-cron daemon: runs the scheduler of a data directory and serves
// the other commands over the directory's control socket until SIGTERM or
// SIGINT (a second one cancels the runs still going and kills the
// --on-failure commands). SIGHUP reloads crontab.json; SIGPIPE is ignored.
#pragma once

#include <functional>
#include <string>

#include "control.h"
#include "events.h"
#include "http/http_listener.h"
#include "quilmarn_crontab.h"

struct daemon_options {
    log_format format = log_format::text;
    std::string on_failure;         // shell command; empty for none
    int on_failure_limit_sec = 60;  // its time limit
    http_options http;              // --http and its token; no listener when the address is empty
    // Called once the instance is open, before the scheduler starts (joins a
    // cluster); false ends the daemon with status 1.
    std::function<bool(crontab_t* ct)> prepare;
    std::string sendmail;  // --sendmail: the program that mails MAILTO's output
};

// Carries out a client's command against the daemon's instance.
using daemon_executor = std::function<ctl_response(crontab_t* ct, const ctl_request& req)>;

// Returns the exit status: 0 after a stop, 1 when it could not start.
int cron_daemon_main(const std::string& dir, const daemon_options& options, const daemon_executor& exec);

// For `run` inside the daemon, once crontab_run_now has returned: waits
// until the main loop has written the records of every event so far (those
// of the run too). False when that took longer than 30 s.
bool cron_daemon_wait_records(crontab_t* ct);

// For `run --no-wait` inside the daemon: starts job `id` on a thread of its
// own, which the daemon waits for before it ends. False when 64 such runs
// are going already, the daemon is stopping, or no thread can be had.
bool cron_daemon_run_detached(crontab_t* ct, int id);
