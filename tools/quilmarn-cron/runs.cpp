// run, logs and cancel: running the jobs of a data directory and reading
// what their runs left.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli.h"
#include "control_server.h"
#include "dir_files.h"
#include "feed.h"
#include "instance.h"
#include "job_list.h"
#include "logs_view.h"
#include "run_log.h"

namespace {

// ---- Records ----

void print_records(FILE* out, const std::string& name, const std::vector<run_record>& newest_first) {
    for (size_t i = newest_first.size(); i-- > 0;) {
        std::fprintf(out, "%s\n%s", record_line(name, newest_first[i]).c_str(),
                     record_output(newest_first[i]).c_str());
    }
}

std::vector<int> ids_of(const std::vector<job_info>& jobs) {
    std::vector<int> ids;
    for (const job_info& j : jobs) ids.push_back(j.id);
    return ids;
}

// The job named `text` (an id, or a name) and its name, from the stored
// jobs, read without the library since another process may own the
// directory. False, with the reason printed, when there is no such job. An
// id passes though the store lacks it, since records may outlive their job;
// *known then says whether the store has it.
bool job_from_store(cmd_ctx& ctx, const char* text, int* id, std::string* name, bool* known = nullptr) {
    char* end = nullptr;
    long n = std::strtol(text, &end, 10);
    const bool by_id = end != text && *end == '\0';
    if (by_id && (n <= 0 || n > INT32_MAX)) return ctx.refuse("no job %s in %s", text, ctx.dir);
    *id = by_id ? static_cast<int>(n) : 0;
    *name = by_id ? "job " + std::string(text) : "";
    if (known != nullptr) *known = false;
    std::vector<std::pair<int, std::string>> jobs;
    const int read = runs_job_names(ctx.dir, &jobs);
    // No store yet: a directory without jobs.
    if (read == ENOENT && !by_id) return ctx.refuse("no job named '%s' in %s", text, ctx.dir);
    if (read != 0) {
        if (by_id) return true;  // the records may outlive the store
        return ctx.refuse("cannot read the job names in %s; name the job by its id", ctx.dir);
    }
    int found = 0;
    for (const auto& [jid, jname] : jobs) {
        if (by_id ? jid != *id : jname != text) continue;
        if (found != 0) {
            return ctx.refuse("the name '%s' is taken by jobs %d and %d; name the job by its id", text, found,
                              jid);
        }
        found = jid;
        *name = jname;
    }
    if (found == 0 && !by_id) return ctx.refuse("no job named '%s' in %s", text, ctx.dir);
    if (found != 0) *id = found;
    if (known != nullptr) *known = found != 0;
    return true;
}

// The exit status that stands for an execution whose last attempt left
// `last`: the command's own status (as a shell gives it, 128 + N for a
// signal), 124 for its time limit, 125 when it could not be started, 130
// when cancelled.
int exit_status(const run_record& last) {
    switch (last.exit_code) {
        case CRONTAB_EXIT_NOT_STARTED: return 125;  // as env(1)
        case CRONTAB_EXIT_TIME_LIMIT: return 124;   // as timeout(1)
        case CRONTAB_EXIT_CANCELLED: return 130;    // as after SIGINT
        default: break;
    }
    if (last.exit_code < 0) return EXIT_FAILED;
    return last.exit_code > 255 ? 255 : last.exit_code;
}

// Without a daemon the run owns the directory: while it lasts it serves the
// socket as the daemon does (without a scheduler or log lines), so the
// commands beside it are carried out here, and the runs files get the
// records of every run in this process. CRONTAB_OK when the run was made;
// otherwise the library's reason in *why.
int run_owning(cmd_ctx& ctx, crontab_t* ct, int id, std::string* why) {
    const std::string dir = ctx.dir;
    runs_store runs(dir, ctx.err);
    event_feed feed(ct, &runs, false);
    feed.start_after(crontab_get_last_event_seq(ct));
    control_server server(
        ct, [dir](control_server* s, const ctl_request& req) { return cron_cmd_execute(dir, s, req); },
        false);
    std::atomic<bool> ended{false};
    std::thread loop;
    std::string no_socket;
    if (server.listen(dir, &no_socket)) {
        try {
            loop = std::thread([&] {
                server.serve(feed, -1, {}, [&] {
                    if (!ended) return owner_turn::serving;
                    // Newcomers find the directory without a server and wait
                    // for it to be free; requests in progress finish.
                    server.stop_listening();
                    return owner_turn::done;
                });
            });
        } catch (...) {
            server.stop_listening();
        }
    } else {
        std::fprintf(ctx.err, "quilmarn-cron: warning: %s: %s; commands beside this run wait for it\n",
                     ctx.dir, no_socket.c_str());
    }
    const int rc = crontab_run_now(ct, id);
    if (rc != CRONTAB_OK) *why = crontab_last_error();
    ended = true;
    if (loop.joinable()) {
        server.wake();
        loop.join();
    }
    feed.drain();
    std::vector<job_info> jobs;
    if (cron_read_jobs(ct, &jobs)) runs.prune(ids_of(jobs));
    return rc;
}

int cmd_run(cmd_ctx& ctx, int, char** argv) {
    // Only a daemon outlives the command to carry the run on.
    if (ctx.args.has("--no-wait") && !(ctx.in_daemon && ctx.server->daemon())) {
        if (ctx.in_daemon) {
            return ctx.fail("--no-wait needs a daemon; process %ld runs a job in %s and ends with it",
                            static_cast<long>(::getpid()), ctx.dir);
        }
        return ctx.fail("--no-wait needs a daemon running in %s", ctx.dir);
    }
    crontab_t* ct = ctx.instance(dir_access::run);
    if (ct == nullptr) return EXIT_FAILED;
    const int id = cron_arg_job(ctx, ct, argv[0]);
    if (id == 0) return EXIT_FAILED;
    std::vector<job_info> jobs;
    const job_info* j = cron_read_jobs(ct, &jobs) ? cron_find_job(jobs, id) : nullptr;
    const std::string name = j != nullptr ? j->name : "job " + std::to_string(id);
    if (ctx.args.has("--no-wait")) {
        if (j != nullptr && j->running && j->overlap_policy != CRONTAB_OVERLAP_ALLOW) {
            return ctx.fail("job %d is running already and its overlap policy is not allow", id);
        }
        if (!ctx.server->run_detached(id)) {
            ctx.fail("the daemon is busy (or stopping): job %d was not started; try again", id);
            return EXIT_TEMPFAIL;
        }
        std::fprintf(ctx.out, "started job %d in the daemon\n", id);
        return EXIT_OK;
    }
    std::string why;
    const int rc = ctx.in_daemon ? crontab_run_now(ct, id) : run_owning(ctx, ct, id, &why);
    if (rc != CRONTAB_OK && ctx.in_daemon) why = crontab_last_error();
    if (rc != CRONTAB_OK) {
        return why.empty() ? ctx.fail("cannot run job %d", id)
                           : ctx.fail("cannot run job %d: %s", id, why.c_str());
    }
    // The records are on disk before the answer, so `logs` right after shows them.
    if (ctx.in_daemon && !ctx.server->wait_records())
        std::fprintf(ctx.err, "quilmarn-cron: warning: the records of job %d are not written yet\n", id);
    std::vector<run_record> records;
    if (!cron_read_logs(ct, id, CRONTAB_LOG_CAPACITY, &records) || records.empty()) {
        return ctx.fail("job %d ran, but its records cannot be read", id);
    }
    // Only the records of this execution: the ring holds earlier ones too.
    const uint64_t mine = records[0].execution;
    std::erase_if(records, [mine](const run_record& r) { return r.execution != mine; });
    print_records(ctx.out, name, records);
    return exit_status(records[0]);
}

int cmd_logs(cmd_ctx& ctx, int argc, char** argv) {
    logs_request req;
    req.follow = ctx.args.has("-f");
    req.json = ctx.args.has("--json");
    int64_t count = CRONTAB_LOG_CAPACITY;
    if (const char* n = ctx.args.value("-n");
        n != nullptr && !cron_arg_int(ctx, "N", n, req.follow ? 0 : 1, CRON_LOGS_MAX, &count)) {
        return EXIT_USAGE;
    }
    req.count = static_cast<size_t>(count);
    // A command the daemon carries out gets one answer: following is not for it.
    if (req.follow && ctx.in_daemon)
        return ctx.fail("logs -f reads the files itself, never through a daemon");
    if (argc == 0) return cron_logs_show(ctx.out, ctx.err, ctx.dir, req);
    int id = 0;
    std::string name;
    bool known = false;
    if (!job_from_store(ctx, argv[0], &id, &name, &known)) return EXIT_FAILED;
    std::vector<run_record> records;
    runs_file_read(ctx.err, ctx.dir, id, &records);
    // Records of a deleted job are still shown; an id that names nothing is an error.
    if (records.empty() && !known) return ctx.fail("no job %d in %s", id, ctx.dir);
    if (req.follow) {
        req.job_id = id;
        return cron_logs_show(ctx.out, ctx.err, ctx.dir, req);
    }
    if (records.size() > static_cast<size_t>(count)) records.resize(static_cast<size_t>(count));
    if (ctx.args.has("--json")) {
        rapidjson::Document doc;
        doc.SetArray();
        for (const run_record& r : records) {
            rapidjson::Value v;
            cron_record_to_json(r, &v, doc.GetAllocator());
            doc.PushBack(v, doc.GetAllocator());
        }
        rapidjson::StringBuffer buf;
        rapidjson::Writer<rapidjson::StringBuffer> w(buf);
        doc.Accept(w);
        std::fprintf(ctx.out, "%s\n", buf.GetString());
        return EXIT_OK;
    }
    if (records.empty()) {
        std::fprintf(ctx.out, "no records of job %d\n", id);
        return EXIT_OK;
    }
    print_records(ctx.out, name, records);
    return EXIT_OK;
}

int cmd_cancel(cmd_ctx& ctx, int, char** argv) {
    int id = 0;
    std::string name;
    if (!job_from_store(ctx, argv[0], &id, &name)) return EXIT_FAILED;
    // The library cancels only executions of its own process: a cancel
    // beside the owner is carried out there (through its socket). Without
    // one nothing runs, and this tells only whether the job exists.
    crontab_t* ct = ctx.instance(dir_access::change);
    if (ct == nullptr) return EXIT_FAILED;
    switch (crontab_cancel_job(ct, id)) {
        case CRONTAB_OK: std::fprintf(ctx.out, "cancelled the command of job %d\n", id); return EXIT_OK;
        case CRONTAB_NO_CHILD:
            return ctx.fail("job %d has no command running now%s", id,
                            ctx.in_daemon ? " (a run waiting to retry is ended)" : "");
        default: return ctx.fail("no job %d in %s", id, ctx.dir);
    }
}

const cmd_option run_options[] = {
    {"--no-wait", nullptr, "start the run in the daemon and return at once"},
};
const cmd_option logs_options[] = {
    {"-n", "N", "the newest N records (default 20, at most 2560; 0 with -f)"},
    {"-f", nullptr, "then print each record as it is written, until interrupted", false, true},
    {"--json", nullptr, "the run log's JSON (newest first; with -f one object a line)"},
};
static_assert(CRON_LOGS_MAX == 2560, "the help of logs -n names the bound");

const command commands[] = {
    {"run", "JOB", "run a job now, print its records; exits with the job's status", 1, 1,
     CMD_NEEDS_DIR | CMD_FORWARD | CMD_WAITS, cmd_run, run_options,
     "Exit status: the last attempt's, 124 for its time limit, 125 when the\n"
     "command could not be started, 130 when cancelled; 1 when the run is refused.\n"
     "Without a daemon the run owns the directory while it lasts: the other\n"
     "commands (status, cancel, changes) are carried out by it, as by a daemon.\n"},
    {"logs", "[JOB] [-n N] [-f] [--json]", "the records kept by daemon and run (all jobs without JOB)", 0, 1,
     CMD_NEEDS_DIR | CMD_FORWARD | CMD_READ_ONLY, cmd_logs, logs_options,
     "Without JOB, the newest records of every job, deleted ones' too, each line\n"
     "naming its job (JSON: \"job_id\" and \"job_name\"). -f follows the runs\n"
     "files of the directory (no daemon is needed) until SIGINT or SIGTERM.\n"},
    // Changes no job, and must reach a daemon however busy it is.
    {"cancel", "JOB", "cancel the job's run in the daemon or a run", 1, 1,
     CMD_NEEDS_DIR | CMD_FORWARD | CMD_READ_ONLY, cmd_cancel},
};

}  // namespace

std::span<const command> cron_cmds_runs() { return commands; }
