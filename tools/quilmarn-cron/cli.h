// The command line of quilmarn-cron: one table of commands, each with its
// usage, argument counts, options and handler, and the context a handler
// runs in. A handler writes only to ctx.out and ctx.err and reads only
// ctx.in, so the daemon can run the same handler for a client over memory
// streams.
#pragma once

// A limit macro of the library as text, for help strings.
#define QC_TEXT_OF_(x) #x
#define QC_TEXT_OF(x) QC_TEXT_OF_(x)

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "control.h"
#include "instance.h"
#include "quilmarn_crontab.h"
#include "text_util.h"

// Exit statuses of every command.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;   // the operation or the job failed
constexpr int EXIT_USAGE = 2;    // the command line was wrong
constexpr int EXIT_CHANGED = 3;  // the jobs changed since the digest given; nothing applied
// The daemon was too busy to take the command: nothing was done (as
// sysexits' EX_TEMPFAIL).
constexpr int EXIT_TEMPFAIL = 75;

// An option of a command: "--json", or "-n COUNT" when `value` names a value.
struct cmd_option {
    const char* name;
    const char* value;  // null for a flag
    const char* help;
    bool repeats = false;
    // Keeps the command out of a daemon: one that gives more than one answer.
    bool local = false;
};

// The options given to the running command, in the order given.
struct cmd_args {
    std::vector<std::pair<std::string, std::string>> given;
    bool has(const char* name) const;
    // The last value given for `name`, or null.
    const char* value(const char* name) const;
    std::vector<std::string> values(const char* name) const;
};

class control_server;
struct cmd_ctx;
struct job_info;
using cmd_handler = int (*)(cmd_ctx& ctx, int argc, char** argv);

enum cmd_flags : unsigned {
    CMD_NEEDS_DIR = 1u,  // works on the data directory given with --dir
    CMD_FORWARD = 2u,    // beside the directory's owner (a daemon or a run), carried out by it
    // Changes nothing: the daemon keeps places for these, and does not log
    // them, so polling `status` neither waits behind changes nor fills the log.
    CMD_READ_ONLY = 4u,
    // May wait long (for a run to end): the daemon serves it from a bounded
    // set of its own, beside the others, without the lock on changes.
    CMD_WAITS = 8u,
};

struct command {
    const char* name;
    const char* usage;       // the arguments after the name, for help texts
    const char* summary;     // one line
    int min_args, max_args;  // positional arguments; max -1 for any number
    unsigned flags;
    cmd_handler run;
    std::span<const cmd_option> options = {};
    const char* details = nullptr;  // more lines for `help CMD`
};

struct cmd_ctx {
    const char* dir = nullptr;  // --dir, or null
    bool dir_given = false;     // dir came from --dir, not from the default rule
    FILE* out = stdout;
    FILE* err = stderr;
    FILE* in = stdin;
    // The owner's instance when it runs the handler for a client;
    // otherwise the instance instance() opened.
    crontab_t* ct = nullptr;
    // Carried out for a client by the process that owns the directory: the
    // daemon, or a `run` without one (server->daemon() tells which).
    bool in_daemon = false;
    control_server* server = nullptr;
    // A daemon or a run took the directory as this command started: the
    // handler stopped before any change, and the command goes to it.
    std::string daemon_refusal;
    // The standard input a handler has read, for a command handed on.
    std::string input_read;
    bool input_taken = false;
    cmd_args args;  // options of the running command
    const command* cmd = nullptr;

    // The data directory's instance, opened on first use under the
    // directory's lock; null, with the reason printed, when it cannot be.
    crontab_t* instance(dir_access access = dir_access::change);
    // Closes an instance this context opened (saving the store).
    void close();
    // The job table of the instance opened; false, with the reason printed,
    // when it cannot be read.
    bool read_jobs(std::vector<job_info>* jobs);

    // "quilmarn-cron: <text>" on err; return EXIT_FAILED or EXIT_USAGE.
    int fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    int usage_error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // The same message; returns false.
    bool refuse(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A refused library call: `what` and the library's reason.
    int lib_fail(const char* what);

private:
    std::unique_ptr<open_instance> owned_;
};

// Runs argv[0] (a command name) with its arguments: help, option and count
// checks, then the handler. Returns the exit status.
int cron_cmd_dispatch(cmd_ctx& ctx, int argc, char** argv);

// "unknown command 'lst'; did you mean 'list'?": EXIT_USAGE.
int cron_cmd_unknown(cmd_ctx& ctx, const char* name);

// Warns on ctx.err when a valid expression has no fire time within the
// library's search window (five years); true when it warned.
// Whether the expression is "@reboot" (any case, blanks around): no calendar fire time.
bool cron_is_reboot(const char* expr);
bool cron_warn_if_never_fires(cmd_ctx& ctx, const char* expr);

// Whether argv (a command and its arguments) gives an option of `c` that
// keeps the command out of the daemon.
bool cron_cmd_stays_local(const command& c, int argc, char** argv);

// Runs a command as the command line does. This is where a command marked
// CMD_FORWARD goes to the directory's owner instead (forward.cpp);
// otherwise it is cron_cmd_dispatch.
int cron_cmd_invoke(cmd_ctx& ctx, int argc, char** argv);

// Carries out a client's command in the process that owns `dir`, against
// the instance of `server`, one change at a time.
ctl_response cron_cmd_execute(const std::string& dir, control_server* server, const ctl_request& req);

// Runs `change` under the lock that clients' commands changing jobs hold,
// so neither sees the other half done.
void cron_cmd_change(const std::function<void()>& change);

// Runs a command through cron_cmd_invoke with `input` as its standard input
// and its standard output into *output; its messages go to ctx.err.
int cron_cmd_capture(cmd_ctx& ctx, const std::vector<std::string>& args, const std::string& input,
                     std::string* output);

// A stream that reads `text`, which must outlive it; null when none can be
// had.
FILE* cron_cmd_input(std::string& text);

// The whole table, and one command by name (null when unknown).
std::span<const command> cron_cmd_table();
const command* cron_cmd_find(const char* name);

// The help text of the tool, or of one command, to `out`.
void cron_cmd_help(FILE* out);
void cron_cmd_help(FILE* out, const command& c);

// ---- Argument helpers for handlers: each prints what was wrong ----

// A whole number within [lo, hi].
bool cron_arg_int(cmd_ctx& ctx, const char* what, const char* text, int64_t lo, int64_t hi, int64_t* out);
// Seconds: plain, or with s, m or h ("90s", "5m", "2h"), within [lo, hi].
bool cron_arg_duration(cmd_ctx& ctx, const char* what, const char* text, int64_t lo, int64_t hi,
                       int64_t* out);
// A job by id or by name, in the opened instance; 0 when none (printed).
int cron_arg_job(cmd_ctx& ctx, crontab_t* ct, const char* text);

// The table's parts, one per module.
std::span<const command> cron_cmds_expr();
std::span<const command> cron_cmds_jobs();
std::span<const command> cron_cmds_import();
std::span<const command> cron_cmds_runs();
std::span<const command> cron_cmds_daemon();
std::span<const command> cron_cmds_crontab();
std::span<const command> cron_cmds_reload();
