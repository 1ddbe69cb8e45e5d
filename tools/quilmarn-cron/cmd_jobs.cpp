// Commands that change or list the jobs of a data directory.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli.h"
#include "crontab_stdin.h"
#include "job_list.h"
#include "labels.h"
#include "reports.h"
#include "text_util.h"

namespace {

constexpr int64_t TIMEOUT_MAX = INT32_MAX;  // the library's limit is an int of seconds
constexpr int64_t RETRY_MAX = CRONTAB_RETRY_MAX;
constexpr int64_t BACKOFF_MAX = CRONTAB_BACKOFF_MAX_SEC;

// Indexed by CRONTAB_OVERLAP_*.
const char* const policy_names[] = {"skip", "queue", "allow", "replace"};

// A name that reads as a number would read as an id on the command line.
int refuse_name(cmd_ctx& ctx, const char* name) {
    return ctx.usage_error(
        "a job name must not read as a number, which the command line takes for an id: "
        "'%s'",
        name);
}

// The id of another job that already has `name`, or 0.
int name_taken(const std::vector<job_info>& jobs, const char* name, int except) {
    for (const job_info& j : jobs) {
        if (j.name == name && j.id != except) return j.id;
    }
    return 0;
}

// The instance and the job `text` names in it; null, with the reason
// printed, when either is missing.
crontab_t* open_job(cmd_ctx& ctx, const char* text, int* id) {
    crontab_t* ct = ctx.instance();
    if (ct == nullptr) return nullptr;
    *id = cron_arg_job(ctx, ct, text);
    return *id != 0 ? ct : nullptr;
}

// The enabled flag a command asks for: --enabled or --disabled, else `kept`
// (a replaced job stays as it was switched; a new one starts on).
bool wanted_enabled(const cmd_ctx& ctx, bool kept) {
    if (ctx.args.has("--disabled")) return false;
    return ctx.args.has("--enabled") || kept;
}

// add NAME EXPR COMMAND: prints the new id.
int cmd_add(cmd_ctx& ctx, int, char** argv) {
    const char* name = argv[0];
    if (cron_name_like_number(name)) return refuse_name(ctx, name);
    crontab_t* ct = ctx.instance();
    std::vector<job_info> jobs;
    if (ct == nullptr || !ctx.read_jobs(&jobs)) return EXIT_FAILED;
    if (ctx.args.has("--disabled") && ctx.args.has("--enabled")) {
        return ctx.usage_error("--enabled and --disabled exclude each other");
    }
    int id = name_taken(jobs, name, 0);
    if (id != 0) {
        if (!ctx.args.has("--replace")) {
            return ctx.fail("job %d is already named '%s' (--replace replaces it)", id, name);
        }
        const job_info* old = cron_find_job(jobs, id);
        if (crontab_update_job(ct, id, name, argv[1], argv[2], wanted_enabled(ctx, old->enabled)) != 0) {
            return ctx.lib_fail("cannot replace the job");
        }
    } else if (id = crontab_add_job(ct, name, argv[1], argv[2], wanted_enabled(ctx, true)); id < 0) {
        return ctx.lib_fail("cannot add the job");
    }
    cron_warn_if_never_fires(ctx, argv[1]);
    std::fprintf(ctx.out, "%d\n", id);
    return EXIT_OK;
}

int cmd_update(cmd_ctx& ctx, int, char** argv) {
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    const char* name = argv[1];
    if (cron_name_like_number(name)) return refuse_name(ctx, name);
    std::vector<job_info> jobs;
    if (!ctx.read_jobs(&jobs)) return EXIT_FAILED;
    if (int other = name_taken(jobs, name, id); other != 0) {
        return ctx.fail("job %d is already named '%s'", other, name);
    }
    if (ctx.args.has("--disabled") && ctx.args.has("--enabled")) {
        return ctx.usage_error("--enabled and --disabled exclude each other");
    }
    const job_info* old = cron_find_job(jobs, id);
    if (old == nullptr) return ctx.fail("no job with id %d", id);
    if (crontab_update_job(ct, id, name, argv[2], argv[3], wanted_enabled(ctx, old->enabled)) != 0) {
        return ctx.lib_fail("cannot update the job");
    }
    cron_warn_if_never_fires(ctx, argv[2]);
    return EXIT_OK;
}

int cmd_rm(cmd_ctx& ctx, int, char** argv) {
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    if (crontab_delete_job(ct, id) != 0) return ctx.lib_fail("cannot delete the job");
    return EXIT_OK;
}

// The job keeps its definition; only the flag changes.
int set_enabled(cmd_ctx& ctx, const char* job, bool enabled) {
    int id = 0;
    crontab_t* ct = open_job(ctx, job, &id);
    std::vector<job_info> jobs;
    if (ct == nullptr || !ctx.read_jobs(&jobs)) return EXIT_FAILED;
    const job_info* j = cron_find_job(jobs, id);
    if (j == nullptr) return ctx.fail("no job with id %d", id);
    if (crontab_update_job(ct, id, j->name.c_str(), j->expr.c_str(), j->cmd.c_str(), enabled) != 0) {
        return ctx.lib_fail("cannot change the job");
    }
    return EXIT_OK;
}

int cmd_enable(cmd_ctx& ctx, int, char** argv) { return set_enabled(ctx, argv[0], true); }
int cmd_disable(cmd_ctx& ctx, int, char** argv) { return set_enabled(ctx, argv[0], false); }

int cmd_set_timeout(cmd_ctx& ctx, int, char** argv) {
    int64_t seconds = 0;
    if (std::strcmp(argv[1], "none") != 0 &&
        !cron_arg_duration(ctx, "the time limit (0 or none: no limit)", argv[1], 0, TIMEOUT_MAX, &seconds)) {
        return EXIT_USAGE;
    }
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    if (crontab_set_job_timeout(ct, id, static_cast<int>(seconds)) != 0)
        return ctx.lib_fail("cannot set the time limit");
    return EXIT_OK;
}

int cmd_set_paths(cmd_ctx& ctx, int, char** argv) {
    std::string env;
    for (const std::string& e : ctx.args.values("--env")) {
        if (e.find('=') == std::string::npos)
            return ctx.usage_error("--env takes NAME=VALUE, not '%s'", e.c_str());
        env += (env.empty() ? "" : "\n") + e;
    }
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    const char* workdir = ctx.args.value("--workdir");
    if (crontab_set_job_paths(ct, id, workdir, env.c_str()) != 0) return ctx.lib_fail("cannot set the paths");
    return EXIT_OK;
}

int cmd_set_overlap(cmd_ctx& ctx, int, char** argv) {
    int policy = -1;
    for (int p = 0; p < 4; ++p) {
        if (std::strcmp(argv[1], policy_names[p]) == 0) policy = p;
    }
    if (policy < 0)
        return ctx.usage_error("the overlap policy must be skip, queue, allow or replace, not '%s'", argv[1]);
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    if (crontab_set_job_overlap_policy(ct, id, policy) != 0)
        return ctx.lib_fail("cannot set the overlap policy");
    return EXIT_OK;
}

int cmd_set_retry(cmd_ctx& ctx, int, char** argv) {
    int64_t count = 0, backoff = 0;
    if (!cron_arg_int(ctx, "COUNT", argv[1], 0, RETRY_MAX, &count) ||
        !cron_arg_duration(ctx, "BACKOFF", argv[2], 0, BACKOFF_MAX, &backoff)) {
        return EXIT_USAGE;
    }
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    if (crontab_set_job_retry(ct, id, static_cast<int>(count), static_cast<int>(backoff)) != 0) {
        return ctx.lib_fail("cannot set the retries");
    }
    return EXIT_OK;
}

int cmd_set_catch_up(cmd_ctx& ctx, int, char** argv) {
    int64_t window = 0;
    if (!cron_arg_duration(ctx, "WINDOW", argv[1], 0, CRONTAB_CATCH_UP_MAX_SEC, &window)) return EXIT_USAGE;
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    if (crontab_set_job_catch_up(ct, id, static_cast<int>(window)) != 0)
        return ctx.lib_fail("cannot set the catch-up window");
    return EXIT_OK;
}

int cmd_set_jitter(cmd_ctx& ctx, int, char** argv) {
    int64_t delay = 0;
    if (!cron_arg_duration(ctx, "MAX", argv[1], 0, CRONTAB_JITTER_MAX_SEC, &delay)) return EXIT_USAGE;
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    if (crontab_set_job_jitter(ct, id, static_cast<int>(delay), ctx.args.has("--fixed") ? 1 : 0) != 0)
        return ctx.lib_fail("cannot set the jitter");
    return EXIT_OK;
}

// "none" clears: the job runs as the daemon's own account again.
int cmd_set_user(cmd_ctx& ctx, int, char** argv) {
    const char* user = std::strcmp(argv[1], "none") == 0 ? "" : argv[1];
    int id = 0;
    crontab_t* ct = open_job(ctx, argv[0], &id);
    if (ct == nullptr) return EXIT_FAILED;
    if (crontab_set_job_user(ct, id, user) != 0) return ctx.lib_fail("cannot set the user");
    return EXIT_OK;
}

// The library's job list with each job's "label" ("" for none).
std::string jobs_json_labelled(const std::string& text, const std::map<int, std::string>& labels) {
    rapidjson::Document doc;
    if (!cron_json_parse(text, &doc) || !doc.IsArray()) return text;
    for (auto& j : doc.GetArray()) {
        if (!j.IsObject() || !j.HasMember("id") || !j["id"].IsInt()) continue;
        auto l = labels.find(j["id"].GetInt());
        const std::string label = l != labels.end() ? l->second : "";
        j.AddMember("label", rapidjson::Value(label.c_str(), doc.GetAllocator()), doc.GetAllocator());
    }
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    doc.Accept(w);
    return std::string(buf.GetString(), buf.GetSize());
}

// One line per job, or the library's JSON text with the labels.
int cmd_list(cmd_ctx& ctx, int, char**) {
    crontab_t* ct = ctx.instance(dir_access::read);
    if (ct == nullptr) return EXIT_FAILED;
    const std::map<int, std::string> labels = cron_labels_read(ctx.dir);
    if (ctx.args.has("--json")) {
        std::fprintf(ctx.out, "%s\n", jobs_json_labelled(cron_report_jobs(ct), labels).c_str());
        return EXIT_OK;
    }
    std::vector<job_info> jobs;
    if (!ctx.read_jobs(&jobs)) return EXIT_FAILED;
    // The column only where some job came from a file: most tables have none.
    bool any_label = false;
    for (const job_info& j : jobs) any_label = any_label || labels.count(j.id) != 0;
    auto column = [any_label](const std::string& text) {
        return any_label ? text + std::string(text.size() < 16 ? 17 - text.size() : 1, ' ') : std::string();
    };
    std::fprintf(ctx.out, "%-5s %-3s %-19s %-7s %-5s %-10s %-20s %s%-16s %s\n", "ID", "ON", "NEXT RUN",
                 "OVERLAP", "RETRY", "USER", "EXPR", column("LABEL").c_str(), "NAME", "COMMAND");
    for (const job_info& j : jobs) {
        const std::string next = j.next_run > 0 ? cron_local_time(j.next_run) : "never";
        int p = j.overlap_policy;
        auto l = labels.find(j.id);
        std::fprintf(ctx.out, "%-5d %-3s %-19s %-7s %-5d %-10s %-20s %s%-16s %s\n", j.id,
                     j.enabled ? "yes" : "no", next.c_str(), p >= 0 && p < 4 ? policy_names[p] : "?",
                     j.retry_max, j.user.empty() ? "-" : j.user.c_str(), j.expr.c_str(),
                     column(l != labels.end() ? l->second : "-").c_str(), j.name.c_str(),
                     cron_command_line(j.cmd).c_str());
    }
    return EXIT_OK;
}

const cmd_option add_options[] = {
    {"--disabled", nullptr, "add it switched off"},
    {"--enabled", nullptr, "switch a replaced job on (it keeps its switch otherwise)"},
    {"--replace", nullptr, "replace the job of that name, keeping its id, settings and switch"},
    {"--create", nullptr, "create the data directory when it does not exist"},
};
const cmd_option update_options[] = {
    {"--disabled", nullptr, "switch it off"},
    {"--enabled", nullptr, "switch it on (it keeps its switch otherwise)"},
};
const cmd_option paths_options[] = {
    {"--workdir", "DIR", "the working directory of the command"},
    {"--env", "NAME=VALUE", "a variable of its environment (repeat for more)", true},
};
const cmd_option list_options[] = {{"--json", nullptr, "the library's JSON text, with each job's \"label\""}};
const cmd_option jitter_options[] = {
    {"--fixed", nullptr, "the same delay every time, from the machine id and name"}};

constexpr unsigned JOB = CMD_NEEDS_DIR | CMD_FORWARD;

const command commands[] = {
    {"add", "NAME EXPR COMMAND", "add a job; prints its id", 3, 3, JOB, cmd_add, add_options,
     "COMMAND runs under /bin/sh. Names are unique within a directory.\n"},
    {"update", "JOB NAME EXPR COMMAND", "replace a job's name, schedule and command", 4, 4, JOB, cmd_update,
     update_options, "The job keeps its id, settings, records and its switch (on or off).\n"},
    {"rm", "JOB", "delete a job", 1, 1, JOB, cmd_rm},
    {"enable", "JOB", "switch a job on", 1, 1, JOB, cmd_enable},
    {"disable", "JOB", "switch a job off", 1, 1, JOB, cmd_disable},
    {"set-timeout", "JOB DURATION", "the time limit of each attempt (0 or none: no limit)", 2, 2, JOB,
     cmd_set_timeout},
    {"set-paths", "JOB [--workdir DIR] [--env N=V]...", "working directory and environment", 1, 1, JOB,
     cmd_set_paths, paths_options, "Replaces both; omitted ones are cleared.\n"},
    {"set-overlap", "JOB skip|queue|allow|replace", "what a due run does while the job still runs", 2, 2, JOB,
     cmd_set_overlap},
    {"set-catch-up",
     "JOB WINDOW",
     "run a fire time missed while stopped if at most WINDOW old (0: never)",
     2,
     2,
     JOB,
     cmd_set_catch_up,
     {},
     "Example: set-catch-up backup 6h runs a missed 02:00 backup at a start before 08:00.\n"},
    {"set-jitter", "JOB MAX [--fixed]", "start each scheduled run after a delay of up to MAX", 2, 2, JOB,
     cmd_set_jitter, jitter_options, "Example: set-jitter report 5m --fixed\n"},
    {"set-retry", "JOB COUNT BACKOFF",
     "retries (0 to " QC_TEXT_OF(CRONTAB_RETRY_MAX) ") after a failed attempt, BACKOFF apart (up to 1h)", 3,
     3, JOB, cmd_set_retry},
    {"set-user",
     "JOB USER|none",
     "the user account the job runs as (none: the daemon's own)",
     2,
     2,
     JOB,
     cmd_set_user,
     {},
     "Only a daemon (or command) running as root may name another user's account.\n"
     "The job then runs with that user's ids and groups, HOME, LOGNAME, USER and\n"
     "SHELL=/bin/sh, in its home directory unless set-paths gives another.\n"},
    {"list", "[--json]", "the jobs", 0, 0, JOB | CMD_READ_ONLY, cmd_list, list_options},
};

}  // namespace

std::span<const command> cron_cmds_jobs() { return commands; }
