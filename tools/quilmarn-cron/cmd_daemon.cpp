// daemon, status and init: the daemon that owns a data directory, and what
// an operator asks of it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli.h"
#include "crontab_stdin.h"
#include "daemon.h"
#include "job_env.h"
#include "job_list.h"
#include "mail.h"
#include "run_log.h"
#include "text_util.h"

namespace {

constexpr int64_t HOOK_LIMIT_MAX = 24 * 3600;

}  // namespace

int cron_daemon_read_options(cmd_ctx& ctx, daemon_options* o) {
    if (const char* f = ctx.args.value("--log-format"); f != nullptr) {
        if (std::strcmp(f, "json") == 0) {
            o->format = log_format::json;
        } else if (std::strcmp(f, "text") == 0) {
            o->format = log_format::text;
        } else {
            return ctx.usage_error("--log-format takes text or json, not '%s'", f);
        }
    }
    if (const char* cmd = ctx.args.value("--on-failure"); cmd != nullptr) o->on_failure = cmd;
    if (const char* t = ctx.args.value("--on-failure-timeout"); t != nullptr) {
        int64_t limit = 0;
        if (!cron_arg_duration(ctx, "the time limit of --on-failure", t, 1, HOOK_LIMIT_MAX, &limit))
            return EXIT_USAGE;
        o->on_failure_limit_sec = static_cast<int>(limit);
    }
    if (const char* m = ctx.args.value("--sendmail"); m != nullptr) {
        if (m[0] != '/') return ctx.usage_error("--sendmail takes the program's absolute path, not '%s'", m);
        o->sendmail = m;
    }
    if (const char* t = ctx.args.value("--sendmail-timeout"); t != nullptr) {
        int64_t seconds = 0;
        if (!cron_arg_duration(ctx, "--sendmail-timeout", t, 1, 3600, &seconds)) return EXIT_USAGE;
        cron_mail_set_time_limit(static_cast<int>(seconds));
    }
    return EXIT_OK;
}

namespace {

int cmd_daemon(cmd_ctx& ctx, int, char**) {
    daemon_options o;
    if (int rc = cron_daemon_read_options(ctx, &o); rc != EXIT_OK) return rc;
    if (const char* a = ctx.args.value("--http"); a != nullptr) {
        std::string host, why;
        int port = 0;
        if (!http_parse_addr(a, &host, &port, &why)) return ctx.usage_error("--http: %s", why.c_str());
        o.http.addr = a;
    }
    if (const char* f = ctx.args.value("--http-token-file"); f != nullptr) {
        if (o.http.addr.empty()) return ctx.usage_error("--http-token-file needs --http");
        std::string why;
        if (!http_read_token_file(f, &o.http.token, &why))
            return ctx.fail("--http-token-file: %s", why.c_str());
    }
    const char* cluster = ctx.args.value("--cluster");
    const char* node = ctx.args.value("--node");
    const char* unreachable = ctx.args.value("--cluster-unreachable");
    if (cluster == nullptr && (node != nullptr || unreachable != nullptr))
        return ctx.usage_error("--node and --cluster-unreachable need --cluster");
    int policy = CRONTAB_CLUSTER_SKIP;
    if (unreachable != nullptr && std::strcmp(unreachable, "run") == 0) {
        policy = CRONTAB_CLUSTER_RUN;
    } else if (unreachable != nullptr && std::strcmp(unreachable, "skip") != 0) {
        return ctx.usage_error("--cluster-unreachable takes skip or run, not '%s'", unreachable);
    }
    if (cluster != nullptr) {
        const std::string url = cluster, name = node != nullptr ? node : "";
        o.prepare = [url, name, policy](crontab_t* ct) {
            if (crontab_join_cluster(ct, url.c_str(), name.empty() ? nullptr : name.c_str(), policy) == 0)
                return true;
            std::fprintf(stderr, "quilmarn-cron: cannot join the cluster: %s\n", crontab_last_error());
            return false;
        };
    }
    // Before any thread: the environment is the jobs' from here on.
    std::string dir = ctx.dir, why;
    if (!cron_job_env_setup(&dir, &why)) return ctx.fail("%s", why.c_str());
    return cron_daemon_main(dir, o, [dir](control_server* server, const ctl_request& req) {
        return cron_cmd_execute(dir, server, req);
    });
}

struct cluster_state {
    std::string node, error;
    int reachable = -1;  // 1, 0, or -1 before the first statement
};

// The cluster the instance has joined (the daemon's, when status is
// forwarded to it); false when none.
bool read_cluster(crontab_t* ct, cluster_state* out) {
    char* text = crontab_copy_cluster_json(ct);
    if (text == nullptr) return false;
    rapidjson::Document doc;
    doc.Parse(text);
    crontab_free(text);
    if (!doc.IsObject() || !doc.HasMember("joined") || !doc["joined"].IsTrue()) return false;
    out->node = doc["node"].GetString();
    out->error = doc["error"].GetString();
    out->reachable = doc["reachable"].IsNull() ? -1 : doc["reachable"].IsTrue() ? 1 : 0;
    return true;
}

// Local time, or "-" for none.
std::string local_time(int64_t t) { return t > 0 ? cron_local_time(t) : "-"; }

const char* state_of(const job_info& j) {
    if (j.running) return "running";
    if (j.queued_count != 0) return "queued";
    return j.enabled ? "idle" : "disabled";
}

std::string exit_text(const run_record& r) {
    const char* word = cron_exit_word(r.exit_code);
    return word != nullptr ? word : std::to_string(r.exit_code);
}

// The newest record of the job: from the instance, which has those of this
// process, else from those kept for `logs`.
bool last_record(cmd_ctx& ctx, crontab_t* ct, const job_info& j, run_record* r) {
    std::vector<run_record> records;
    if (j.log_count > 0 && cron_read_logs(ct, j.id, 1, &records) && !records.empty()) {
        *r = records.front();
        return true;
    }
    runs_file_read(ctx.err, ctx.dir, j.id, &records);
    if (records.empty()) return false;
    *r = records.front();
    return true;
}

// status JOB in text: one job, every line of what it is and did.
void job_status(cmd_ctx& ctx, crontab_t* ct, const job_info& j) {
    run_record r;
    const bool ran = last_record(ctx, ct, j, &r);
    std::fprintf(ctx.out, "job %d: %s\n", j.id, j.name.c_str());
    std::fprintf(ctx.out, "  state:    %s\n", state_of(j));
    std::fprintf(ctx.out, "  schedule: %s\n", j.expr.c_str());
    std::fprintf(ctx.out, "  command:  %s\n", cron_command_line(j.cmd).c_str());
    if (ran) {
        std::fprintf(ctx.out, "  last run: %s, exit %s\n", local_time(r.started_at).c_str(),
                     exit_text(r).c_str());
    } else {
        std::fprintf(ctx.out, "  last run: never\n");
    }
    std::fprintf(ctx.out, "  next run: %s\n", local_time(j.enabled ? j.next_run : 0).c_str());
}

int cmd_status(cmd_ctx& ctx, int argc, char** argv) {
    crontab_t* ct = ctx.instance(dir_access::read);
    std::vector<job_info> jobs;
    if (ct == nullptr || !ctx.read_jobs(&jobs)) return EXIT_FAILED;
    if (argc > 0) {
        const int id = cron_arg_job(ctx, ct, argv[0]);
        if (id == 0) return EXIT_FAILED;
        std::erase_if(jobs, [id](const job_info& j) { return j.id != id; });
        if (jobs.empty()) return ctx.fail("no job with id %d", id);
        if (!ctx.args.has("--json")) {
            job_status(ctx, ct, jobs.front());
            return EXIT_OK;
        }
    }
    const bool json = ctx.args.has("--json");
    const bool daemon = ctx.in_daemon && ctx.server->daemon();
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    if (json) {
        w.StartObject();
        w.Key("daemon_pid");
        w.Int64(daemon ? ::getpid() : 0);
        w.Key("jobs");
        w.StartArray();
    } else if (daemon) {
        std::fprintf(ctx.out, "daemon %ld runs the jobs of %s\n", static_cast<long>(::getpid()), ctx.dir);
    } else if (ctx.in_daemon) {
        std::fprintf(ctx.out, "no daemon runs the jobs of %s; process %ld runs one by hand\n", ctx.dir,
                     static_cast<long>(::getpid()));
    } else {
        std::fprintf(ctx.out, "no daemon runs the jobs of %s\n", ctx.dir);
    }
    if (!json) {
        std::fprintf(ctx.out, "%-5s %-8s %-19s %-11s %-19s %-10s %s\n", "ID", "STATE", "LAST RUN",
                     "LAST EXIT", "NEXT RUN", "USER", "NAME");
    }
    for (const job_info& j : jobs) {
        run_record r;
        const bool ran = last_record(ctx, ct, j, &r);
        const int64_t next = j.enabled ? j.next_run : 0;
        if (json) {
            w.StartObject();
            w.Key("id");
            w.Int(j.id);
            w.Key("name");
            w.String(j.name.c_str());
            w.Key("state");
            w.String(state_of(j));
            w.Key("last_run");
            w.Int64(ran ? r.started_at : 0);
            w.Key("last_exit_code");
            ran ? w.Int(r.exit_code) : w.Null();
            w.Key("next_run");
            w.Int64(next);
            w.Key("user");
            w.String(j.user.c_str());
            w.EndObject();
            continue;
        }
        std::fprintf(ctx.out, "%-5d %-8s %-19s %-11s %-19s %-10s %s\n", j.id, state_of(j),
                     ran ? local_time(r.started_at).c_str() : "never", ran ? exit_text(r).c_str() : "-",
                     local_time(next).c_str(), j.user.empty() ? "-" : j.user.c_str(), j.name.c_str());
    }
    cluster_state cl;
    const bool joined = read_cluster(ct, &cl);
    if (json) {
        w.EndArray();
        w.Key("cluster");
        if (joined) {
            w.StartObject();
            w.Key("node");
            w.String(cl.node.c_str());
            w.Key("reachable");
            cl.reachable < 0 ? w.Null() : w.Bool(cl.reachable == 1);
            w.Key("error");
            w.String(cl.error.c_str());
            w.EndObject();
        } else {
            w.Null();
        }
        w.EndObject();
        std::fprintf(ctx.out, "%s\n", buf.GetString());
    }
    if (!json && joined) {
        std::fprintf(ctx.out, "cluster node %s: the database %s\n", cl.node.c_str(),
                     cl.reachable < 0    ? "has not been reached yet"
                     : cl.reachable == 1 ? "is reachable"
                                         : ("cannot be reached: " + cl.error).c_str());
    }
    return EXIT_OK;
}

int cmd_init(cmd_ctx& ctx, int, char**) {
    struct stat st;
    if (::stat(ctx.dir, &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return ctx.fail("%s exists and is not a directory", ctx.dir);
        std::fprintf(ctx.out, "%s is a data directory already\n", ctx.dir);
        return EXIT_OK;
    }
    std::error_code ec;
    std::filesystem::create_directories(ctx.dir, ec);
    // For its owner alone, as the library makes one: it will hold the jobs'
    // environments and output.
    if (!ec) std::filesystem::permissions(ctx.dir, std::filesystem::perms::owner_all, ec);
    if (ec) return ctx.fail("cannot create %s: %s", ctx.dir, ec.message().c_str());
    std::fprintf(ctx.out, "created the data directory %s\n", ctx.dir);
    return EXIT_OK;
}

const cmd_option daemon_options_table[] = {
    {"--log-format", "text|json", "one event per line as key=value text (default) or as a JSON object"},
    {"--on-failure", "CMD", "run CMD through /bin/sh after an execution whose last attempt failed"},
    {"--on-failure-timeout", "DURATION", "the time limit of CMD (default 60s)"},
    {"--sendmail", "PATH", "the program that mails MAILTO's output (default: sendmail on PATH)"},
    {"--sendmail-timeout", "DURATION", "kill a sendmail that has not ended by then (default 60s)"},
    {"--http", "[ADDR:]PORT", "serve /metrics and a read-only status page (ADDR 127.0.0.1 when left out)"},
    {"--http-token-file", "FILE", "require 'Authorization: Bearer TOKEN' with the token in FILE (mode 600)"},
    {"--cluster", "URL", "join the cluster on this PostgreSQL database (a libpq URI or connection string)"},
    {"--node", "NAME", "this daemon's name in the cluster (default HOSTNAME:PID)"},
    {"--cluster-unreachable", "skip|run",
     "when the database cannot be reached: skip the fire time (default) "
     "or run it anyway"},
};
const cmd_option status_options[] = {{"--json", nullptr, "one JSON object"}};

const command commands[] = {
    {"init", "", "create the data directory", 0, 0, CMD_NEEDS_DIR, cmd_init},
    {"daemon",
     "[--log-format text|json] [--on-failure CMD] [--http [ADDR:]PORT] [--cluster URL [--node NAME]]",
     "run due jobs and serve the other commands", 0, 0, CMD_NEEDS_DIR, cmd_daemon, daemon_options_table,
     "Runs until SIGTERM or SIGINT; a second one cancels the runs still going\n"
     "and kills the CMDs still running (at most 4 run at once, 32 wait).\n"
     "SIGHUP reads crontab.json again, as reload does.\n"
     "Jobs get HOME, LOGNAME, USER of the\n"
     "daemon's account (or of the job's user), SHELL=/bin/sh, PATH=/usr/bin:/bin\n"
     "and the home directory as working directory, as cron gives them, unless\n"
     "the job sets its own; never the service manager's NOTIFY_SOCKET,\n"
     "INVOCATION_ID, JOURNAL_STREAM or LISTEN_* variables.\n"
     "While it runs, the other commands\n"
     "are carried out by it, through quilmarn-cron.sock in the directory.\n"
     "CMD gets QUILMARN_JOB_ID, QUILMARN_JOB_NAME, QUILMARN_EXIT_CODE and\n"
     "QUILMARN_ATTEMPTS, and the last attempt's output on standard input.\n"
     "A command it has no place for exits with status 75: nothing was done.\n"
     "--http serves GET and HEAD only: /metrics (Prometheus), / and /job/ID\n"
     "(HTML), /api/status and /api/job/ID (JSON). It changes nothing.\n"
     "With --cluster, daemons sharing one database run each fire time once.\n"},
    {"status", "[JOB] [--json]", "each job's (or one job's) state, last run and exit, and next run", 0, 1,
     CMD_NEEDS_DIR | CMD_FORWARD | CMD_READ_ONLY, cmd_status, status_options},
};

}  // namespace

std::span<const command> cron_cmds_daemon() { return commands; }
