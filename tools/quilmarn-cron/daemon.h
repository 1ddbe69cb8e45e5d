// quilmarn-cron daemon: runs the scheduler of a data directory and serves
// the other commands over the directory's control socket until SIGTERM or
// SIGINT (a second one cancels the runs still going and kills the
// --on-failure commands). SIGHUP reloads crontab.json; SIGPIPE is ignored.
#pragma once

#include <functional>
#include <string>

#include "control_server.h"
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
    // Called once, after `prepare` succeeded, when the daemon stops serving
    // (or fails to start), before the instance is destroyed: ends what
    // `prepare` started.
    std::function<void()> finish;
    // SIGHUP: in place of reading crontab.json again (a command that runs
    // the jobs of another file reads that file).
    std::function<void()> hangup;
};

struct cmd_ctx;

// The options `daemon` shares with `crontab` (--log-format, --on-failure,
// --on-failure-timeout, --sendmail), into *o: EXIT_OK, or EXIT_USAGE told.
int cron_daemon_read_options(cmd_ctx& ctx, daemon_options* o);

// Returns the exit status: 0 after a stop, 1 when it could not start.
// `exec` carries out the clients' commands against the daemon's instance.
int cron_daemon_main(const std::string& dir, const daemon_options& options, const ctl_executor& exec);
