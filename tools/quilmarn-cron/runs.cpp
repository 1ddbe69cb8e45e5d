// run, logs and cancel: running the jobs of a data directory and reading
// what their runs left.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli.h"
#include "daemon.h"
#include "dir_files.h"
#include "feed.h"
#include "instance.h"
#include "job_list.h"
#include "logs_view.h"
#include "run_log.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kCancelAnswer = 5s;  // longest wait for the running process
const char kCancelPrefix[] = "quilmarn-cron.cancel.";
const char kStore[] = "crontab.json";
constexpr size_t kStoreMax = 8u << 20;  // far above any store 128 jobs make

// ---- Cancel requests ----
// The library cancels only executions of its own process. A cancel for
// another process leaves "quilmarn-cron.cancel.<id>.<pid>" in the data
// directory; the process that holds the directory's lock to run jobs cancels
// and answers in "<that name>.done". Every one of these files is created new
// and read without following links.

void serve_cancels(crontab_t* ct, const std::string& dir) {
    unique_fd dirfd = cron_dir_open(dir);
    if (!dirfd) return;
    std::vector<std::string> requests;
    if (DIR* d = ::fdopendir(::dup(dirfd.get())); d != nullptr) {
        while (const dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind(kCancelPrefix, 0) == 0 &&
                name.find('.', sizeof kCancelPrefix - 1) != std::string::npos &&
                name.find(".done") == std::string::npos && name.find(".tmp") == std::string::npos) {
                requests.push_back(name);
            }
        }
        ::closedir(d);
    }
    for (const std::string& name : requests) {
        int id = 0;
        long pid = 0;
        if (std::sscanf(name.c_str() + sizeof kCancelPrefix - 1, "%d.%ld", &id, &pid) == 2) {
            cron_dir_replace(dirfd.get(), (name + ".done").c_str(),
                             std::to_string(crontab_cancel_job(ct, id)));
        }
        ::unlinkat(dirfd.get(), name.c_str(), 0);
    }
}

// Asks the lock holder; -1, 0 or 1 as crontab_cancel_job, or -9 for no answer.
int request_cancel(cmd_ctx& ctx, int id) {
    unique_fd dirfd = cron_dir_open(ctx.dir);
    if (!dirfd) return -9;
    const std::string name = kCancelPrefix + std::to_string(id) + "." + std::to_string(::getpid());
    const std::string done = name + ".done";
    ::unlinkat(dirfd.get(), done.c_str(), 0);
    if (int rc = cron_dir_create(dirfd.get(), name.c_str(), ""); rc != 0) {
        ctx.fail("cannot ask for the cancel: %s", cron_dir_error(ctx.dir, name.c_str(), rc).c_str());
        return -8;
    }
    auto until = std::chrono::steady_clock::now() + kCancelAnswer;
    std::string answer;
    while (cron_dir_read(dirfd.get(), done.c_str(), 16, &answer) != 0 &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    ::unlinkat(dirfd.get(), name.c_str(), 0);
    ::unlinkat(dirfd.get(), done.c_str(), 0);
    return answer.empty() ? -9 : std::atoi(answer.c_str());
}

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
    unique_fd dirfd = cron_dir_open(ctx.dir);
    std::string store;
    rapidjson::Document doc;
    const int read = dirfd ? cron_dir_read(dirfd.get(), kStore, kStoreMax, &store) : -1;
    // No store yet: a directory without jobs.
    if (read == ENOENT && !by_id) return ctx.refuse("no job named '%s' in %s", text, ctx.dir);
    if (read != 0 || !cron_json_parse(store, &doc) || !doc.IsObject() || !doc.HasMember("jobs") ||
        !doc["jobs"].IsArray()) {
        if (by_id) return true;  // the records may outlive the store
        return ctx.refuse("cannot read the job names in %s; name the job by its id", ctx.dir);
    }
    int found = 0;
    for (const auto& j : doc["jobs"].GetArray()) {
        if (!j.IsObject() || !j.HasMember("name") || !j["name"].IsString() || !j.HasMember("id") ||
            !j["id"].IsInt()) {
            continue;
        }
        const int jid = j["id"].GetInt();
        if (by_id ? jid != *id : std::strcmp(j["name"].GetString(), text) != 0) continue;
        if (found != 0) {
            return ctx.refuse("the name '%s' is taken by jobs %d and %d; name the job by its id", text, found,
                              jid);
        }
        found = jid;
        *name = j["name"].GetString();
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

int cmd_run(cmd_ctx& ctx, int, char** argv) {
    // Only a daemon outlives the command to carry the run on.
    if (ctx.args.has("--no-wait") && !ctx.in_daemon) {
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
        if (!cron_daemon_run_detached(ct, id)) {
            ctx.fail("the daemon is busy (or stopping): job %d was not started; try again", id);
            return EXIT_TEMPFAIL;
        }
        std::fprintf(ctx.out, "started job %d in the daemon\n", id);
        return EXIT_OK;
    }
    std::atomic<bool> done{false};
    const std::string dir = ctx.dir;
    // A cancel from another process reaches this run through the directory;
    // in the daemon it comes through the socket.
    std::thread helper([&] {
        while (!done && !ctx.in_daemon) {
            serve_cancels(ct, dir);
            std::this_thread::sleep_for(100ms);
        }
    });
    const uint64_t before = crontab_get_last_event_seq(ct);
    int rc = crontab_run_now(ct, id);
    done = true;
    helper.join();
    if (rc != CRONTAB_OK) return ctx.lib_fail(("cannot run job " + std::to_string(id)).c_str());
    // The records are on disk before the answer, so `logs` right after shows them.
    if (ctx.in_daemon) {
        if (!cron_daemon_wait_records(ct))
            std::fprintf(ctx.err, "quilmarn-cron: warning: the records of job %d are not written yet\n", id);
    } else {
        runs_store runs(dir, ctx.err);
        event_feed feed(ct, &runs, false);
        feed.start_after(before);
        feed.drain();
        runs.prune(ids_of(jobs));
    }
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
    int rc = -9;
    long holder = 0;
    bool asked = ctx.in_daemon;  // the answer came from the process that runs the jobs
    // In the daemon the instance that runs the jobs is at hand.
    if (ctx.in_daemon) rc = crontab_cancel_job(ctx.ct, id);
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!ctx.in_daemon) {
        struct stat st {};
        if (::stat(ctx.dir, &st) != 0) return ctx.fail("no data directory %s", ctx.dir);
        if (crontab_t* ct = crontab_create(ctx.dir); ct != nullptr) {
            // Nothing runs in the directory: this tells only whether the job exists.
            rc = crontab_cancel_job(ct, id);
            crontab_destroy(ct);
            break;
        }
        const std::string why = crontab_last_error();
        if (crontab_last_error_code() != CRONTAB_E_DIR_IN_USE) {
            return ctx.fail("cannot open %s: %s", ctx.dir, why.c_str());
        }
        holder = static_cast<long>(crontab_last_error_value());
        lock_role role = lock_role::edit;
        if (holder != 0 && cron_owner_role(ctx.dir, holder, &role) && role != lock_role::edit) {
            rc = request_cancel(ctx, id);
            asked = true;
            break;
        }
        // A change of the jobs ends soon.
        if (std::chrono::steady_clock::now() > until) return ctx.fail("%s", why.c_str());
        std::this_thread::sleep_for(50ms);
    }
    switch (rc) {
        case CRONTAB_OK: std::fprintf(ctx.out, "cancelled the command of job %d\n", id); return EXIT_OK;
        case CRONTAB_NO_CHILD:
            return ctx.fail("job %d has no command running now%s", id,
                            asked ? " (a run waiting to retry is ended)" : "");
        case CRONTAB_ERROR: return ctx.fail("no job %d in %s", id, ctx.dir);
        case -8: return EXIT_FAILED;
        default: return ctx.fail("process %ld, which runs the jobs, did not answer", holder);
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
     "command could not be started, 130 when cancelled; 1 when the run is refused.\n"},
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
