// --on-failure: a command the daemon runs after an execution whose last
// attempt failed, so an operator hears of it (as cron's mail does).
#pragma once

#include <string>

struct hook_call {
    int job_id = 0;
    std::string job_name;
    int exit_code = 0;  // of the last attempt
    int attempts = 1;
    std::string input;  // the last attempt's output, given on standard input
};

// Runs `cmd` through /bin/sh with QUILMARN_JOB_ID, QUILMARN_JOB_NAME,
// QUILMARN_EXIT_CODE and QUILMARN_ATTEMPTS set, ends it (and what it started)
// after `limit_sec`, and logs the outcome. Never retried.
void cron_hook_run(const std::string& cmd, int limit_sec, const hook_call& call);

// Kills every hook running (with what it started) and every one started
// from now on: a second stop signal must not wait for hooks' time limits.
void cron_hook_kill_all();
