// MAILTO, as cron has it: the output of an execution that wrote some is
// mailed to the addresses of the job's MAILTO variable through sendmail.
// MAILTO unset or empty mails nothing. A failing sendmail is logged, never
// retried, and never holds up a run or the daemon; one that has not ended
// within its time limit is killed (and logged as failing).
#pragma once

#include <chrono>
#include <string>

// The time limit of sendmail unless set: an MTA answers within seconds.
constexpr int CRON_MAIL_TIME_LIMIT = 60;

// Sets the time limit of each sendmail, in seconds (the daemon's option).
void cron_mail_set_time_limit(int seconds);

struct mail_call {
    int job_id = 0;
    std::string job_name, cmd, env;  // the job's command and environment text
    std::string user;                // the job's account, "" for the daemon's own
    int exit_code = 0;
    std::string output;  // the last attempt's standard output and error
};

// The sendmail program: `given` (--sendmail) when not empty, else
// "sendmail" on PATH, else /usr/sbin/sendmail or /usr/lib/sendmail; empty
// when there is none.
std::string cron_mail_program(const std::string& given);

// The message cron would write for `call` to `to`, headers and body.
std::string cron_mail_message(const mail_call& call, const std::string& to);

// Takes no more messages, and waits up to `most` for those under way to
// end; true when none is left. A sendmail cut off mid-message would lose it.
bool cron_mail_close_and_wait(std::chrono::milliseconds most);

// Kills the sendmails under way (the second stop signal), each logged as failing.
void cron_mail_kill_all();

// Sends the output of `call` when it has some and its environment sets
// MAILTO, on a thread of its own; at most 4 messages are under way, more are
// dropped with a log line.
void cron_mail_send(const std::string& program, const mail_call& call);
