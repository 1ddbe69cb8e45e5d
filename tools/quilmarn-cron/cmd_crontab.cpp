// crontab FILE: runs a crontab file in the foreground, as a container's
// entrypoint. The file is read as `import` reads it and applied as
// `import --replace` of its label; the daemon runs the jobs; a watch on the
// file applies each change the same way.
#include <stdlib.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>

#include "cli.h"
#include "daemon.h"
#include "file_watch.h"
#include "import.h"
#include "job_env.h"
#include "mem_stream.h"

namespace {

// The file while the daemon runs its jobs: applied before the scheduler
// starts, then again at each change the watch tells of.
class crontab_runner {
public:
    crontab_runner(crontab_file file, std::string dir, bool private_dir, std::string seen)
        : file_(std::move(file)), dir_(std::move(dir)), private_(private_dir), seen_(std::move(seen)) {}

    bool prepare(crontab_t* ct) {
        ct_ = ct;
        cron_event_write(
            event("crontab").text("source", file_.path).text("dir", dir_).flag("private", private_));
        import_counts counts;
        mem_stream why;
        if (!apply(file_, why.or_else(stderr), &counts)) {
            std::fputs(why.text().c_str(), stderr);
            return false;
        }
        std::string reason;
        if (!watch_.start(
                file_.path, [this] { look(); }, &reason)) {
            cron_event_write(event("watch-failed")
                                 .text("level", "warning")
                                 .text("source", file_.path)
                                 .text("reason", reason + "; changes to the file are not applied"));
        }
        // A change between the first reading and the watch is not lost.
        look();
        return true;
    }

    void finish() { watch_.stop(); }

    // SIGHUP: the file is read and applied again, changed or not.
    void hangup() {
        {
            std::lock_guard<std::mutex> lk(mu_);
            seen_.clear();
        }
        look();
    }

private:
    // Applies `f` under the lock of the daemon's commands that change jobs.
    bool apply(const crontab_file& f, FILE* err, import_counts* counts) {
        mem_stream out;
        cmd_ctx ctx;
        ctx.dir = dir_.c_str();
        ctx.ct = ct_;
        ctx.in_daemon = true;
        ctx.out = out.or_else(stderr);
        ctx.err = err;
        bool ok = false;
        cron_cmd_change([&] { ok = cron_import_replace(ctx, f, counts); });
        return ok;
    }

    // Reads the file again and applies it when what it reads to differs
    // from the last time: another file of the directory changes nothing.
    void look() {
        std::lock_guard<std::mutex> lk(mu_);
        struct stat st {};
        if (::stat(file_.path.c_str(), &st) != 0 && errno == ENOENT) {
            if (seen_ == MISSING) return;
            seen_ = MISSING;
            cron_event_write(
                event("reload-failed")
                    .text("level", "warning")
                    .text("source", file_.path)
                    .text("reason",
                          "the file is gone; its jobs stay, and it is read again when it comes back"));
            return;
        }
        crontab_file f;
        f.path = file_.path;
        f.table = file_.table;
        f.system = file_.system;
        mem_stream problems;
        cmd_ctx ctx;
        ctx.err = problems.or_else(stderr);
        const bool ok = cron_import_load(ctx, &f);
        std::string messages = problems.text();
        std::string now = f.text + '\0' + messages;
        if (now == seen_) return;
        seen_ = std::move(now);
        import_counts counts;
        if (ok) {
            mem_stream why;
            if (apply(f, why.or_else(stderr), &counts)) {
                event e("reloaded");
                e.text("source", f.path)
                    .num("added", counts.added)
                    .num("changed", counts.changed)
                    .num("removed", counts.removed)
                    .num("kept", counts.kept);
                // Warnings, as on a first reading.
                if (!messages.empty()) e.json_only("warnings", messages).body(messages);
                cron_event_write(e);
                return;
            }
            messages += why.text();
        }
        cron_event_write(event("reload-failed")
                             .text("level", "error")
                             .text("source", f.path)
                             .text("reason", "the file cannot be applied; the jobs stay as they were")
                             .json_only("problems", messages)
                             .body(messages));
    }

    // No text reads to this: a text never holds a NUL byte.
    static inline const std::string MISSING = std::string(1, '\0') + "missing";

    crontab_file file_;
    std::string dir_;
    bool private_;
    crontab_t* ct_ = nullptr;
    std::mutex mu_;     // one look at a time: the watch's, or the first
    std::string seen_;  // the text last read and its messages
    file_watch watch_;
};

// A private data directory, 0700, under $TMPDIR or /tmp; "" when none can be made.
std::string make_private_dir(cmd_ctx& ctx) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/quilmarn-cron-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        ctx.fail("cannot make a data directory in %s: %s", dir.substr(0, dir.rfind('/')).c_str(),
                 std::strerror(errno));
        return "";
    }
    return dir;
}

int cmd_crontab(cmd_ctx& ctx, int, char** argv) {
    crontab_file file;
    file.path = argv[0];
    if (file.path == "-")
        return ctx.usage_error("crontab takes a file, which it watches; not standard input");
    file.table = std::filesystem::path(file.path).filename().string();
    file.system = ctx.args.has("--system");
    daemon_options o;
    o.format = log_format::json;
    if (int rc = cron_daemon_read_options(ctx, &o); rc != EXIT_OK) return rc;
    mem_stream first;
    cmd_ctx reading;
    reading.err = first.or_else(stderr);
    const bool ok = cron_import_load(reading, &file);
    const std::string messages = first.text();
    std::fputs(messages.c_str(), ctx.err);
    const bool test = ctx.args.has("--test");
    if (!ok) return ctx.fail("%s has errors%s", file.path.c_str(), test ? "" : "; nothing runs");
    if (test) {
        std::fprintf(ctx.out, "%s: %zu job%s, no errors\n", file.path.c_str(), file.jobs.size(),
                     file.jobs.size() == 1 ? "" : "s");
        return EXIT_OK;
    }
    // The job environment's setup enters the home directory.
    std::error_code ec;
    file.path = std::filesystem::absolute(file.path, ec).lexically_normal().string();
    if (ec) return ctx.fail("cannot name %s from the root: %s", argv[0], ec.message().c_str());
    // A stop signal from here on waits for the daemon's loop, which removes
    // the private directory; by default it would leave the directory behind.
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    const bool private_dir = !ctx.dir_given;
    std::string dir = private_dir ? make_private_dir(ctx) : ctx.dir;
    if (dir.empty()) return EXIT_FAILED;
    struct remove_at_end {
        std::string dir;
        ~remove_at_end() {
            std::error_code ignored;
            if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
        }
    } cleanup{private_dir ? dir : ""};
    std::string why;
    // Before any thread: the environment is the jobs' from here on.
    if (!cron_job_env_setup(&dir, &why)) return ctx.fail("%s", why.c_str());
    std::string seen = file.text + '\0' + messages;
    crontab_runner runner(std::move(file), dir, private_dir, std::move(seen));
    o.prepare = [&runner](crontab_t* ct) { return runner.prepare(ct); };
    o.finish = [&runner] { runner.finish(); };
    o.hangup = [&runner] { runner.hangup(); };
    return cron_daemon_main(dir, o, [dir](control_server* server, const ctl_request& req) {
        return cron_cmd_execute(dir, server, req);
    });
}

const cmd_option crontab_options[] = {
    {"--test", nullptr, "only check FILE: each problem with its line number; exit 0 when there is none"},
    {"--system", nullptr, "FILE is a system crontab: the user field after the schedule is the job's user"},
    {"--log-format", "json|text", "one event per line as a JSON object (default) or as key=value text"},
    {"--on-failure", "CMD", "run CMD through /bin/sh after an execution whose last attempt failed"},
    {"--on-failure-timeout", "DURATION", "the time limit of CMD (default 60s)"},
    {"--sendmail", "PATH", "the program that mails MAILTO's output (default: sendmail on PATH)"},
    {"--sendmail-timeout", "DURATION", "kill a sendmail that has not ended by then (default 60s)"},
};

const command commands[] = {
    {"crontab", "FILE [--test] [--log-format json|text] [--on-failure CMD] [--system]",
     "run a crontab file in the foreground, as a container's entrypoint", 1, 1, 0, cmd_crontab,
     crontab_options,
     "Reads FILE as import does; a file with errors is refused (each with its\n"
     "line number, exit status 1). Then runs its jobs as the daemon does, until\n"
     "SIGTERM or SIGINT, with JSON event lines on standard output. The jobs live\n"
     "in a private data directory made in $TMPDIR (or /tmp), named in the first\n"
     "line and removed at the end; with --dir DIR they replace the jobs of\n"
     "FILE's label there (as import --replace FILE) and DIR stays. Other\n"
     "commands reach the jobs with --dir and that directory.\n"
     "When FILE changes (written, renamed over, or a link to it swapped), it is\n"
     "read again and applied as import --replace: a `reloaded` line gives the\n"
     "counts. Jobs unchanged, or only moved to another line, keep their state\n"
     "and their runs. A file with errors, or one that is gone, is logged and the\n"
     "jobs stay as they were. SIGHUP reads FILE again and applies it.\n"},
};

}  // namespace

std::span<const command> cron_cmds_crontab() { return commands; }
