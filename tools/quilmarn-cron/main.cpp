// quilmarn-cron: a command-line host built only on the public header.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <rapidjson/document.h>

#include "import.h"
#include "instance.h"
#include "runs.h"
#include "quilmarn_crontab.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: quilmarn-cron [--dir DIR] COMMAND [ARGS]\n"
                 "  version\n"
                 "  validate EXPR\n"
                 "  next EXPR [-n COUNT] [--json]\n"
                 "  describe EXPR\n"
                 "job commands (need --dir, the directory of crontab.json):\n"
                 "  add NAME EXPR COMMAND [--disabled]\n"
                 "  update ID NAME EXPR COMMAND [--disabled]\n"
                 "  rm ID\n"
                 "  enable ID | disable ID\n"
                 "  set-timeout ID SECONDS          (0: no limit)\n"
                 "  set-paths ID [--workdir DIR] [--env NAME=VALUE]...\n"
                 "                                  (replaces both; omitted ones are cleared)\n"
                 "  set-overlap ID skip|queue|allow\n"
                 "  set-retry ID COUNT BACKOFF_SECONDS\n"
                 "  list [--json]\n"
                 "  import FILE [--skip-bad]         (FILE: crontab lines; - for stdin)\n"
                 "running jobs (need --dir):\n"
                 "  daemon                          run due jobs until SIGINT/SIGTERM, one line\n"
                 "                                  per finished attempt; other processes cannot\n"
                 "                                  change the jobs meanwhile\n"
                 "  run ID                          run now, print the attempts' records\n"
                 "  logs ID [-n N] [--json]         the last N (1..20) records kept by daemon/run\n"
                 "  cancel ID                       cancel the job's run in the daemon or run\n");
    return 2;
}

// The data directory given with --dir; null when none was given.
const char* data_dir = nullptr;

// The instance of the data directory, opened to change its jobs.
struct instance : open_instance {
    instance() : open_instance(data_dir, dir_access::change) {}
};

// A whole decimal int, or false.
bool parse_int(const char* text, int* out) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < INT32_MIN || n > INT32_MAX) return false;
    *out = static_cast<int>(n);
    return true;
}

bool parse_id(const char* text, int* id) {
    if (parse_int(text, id) && *id > 0) return true;
    std::fprintf(stderr, "quilmarn-cron: not a job id: %s\n", text);
    return false;
}

// Local time as "YYYY-MM-DD HH:MM:SS"; false when it cannot be formatted.
bool format_local(int64_t t, char* text, size_t size) {
    time_t tt = static_cast<time_t>(t);
    std::tm tm{};
    return localtime_r(&tt, &tm) != nullptr && std::strftime(text, size, "%Y-%m-%d %H:%M:%S", &tm) != 0;
}

// Explains a result of a job export on stderr; returns the exit status.
int report(int rc, int id = 0) {
    if (rc >= 0) return 0;
    if (rc == -2) {
        std::fprintf(stderr, "quilmarn-cron: value rejected\n");
    } else if (id > 0) {
        std::fprintf(stderr, "quilmarn-cron: no job %d\n", id);
    } else {
        std::fprintf(stderr, "quilmarn-cron: rejected\n");
    }
    return 1;
}

// Why add or update refused a definition, when the expression tells.
bool explain_expr(const char* expr) {
    char err[256];
    if (crontab_validate_expr(expr, err, sizeof err) == 0) return false;
    std::fprintf(stderr, "quilmarn-cron: %s\n", err);
    return true;
}

// The job's entry in the job list, parsed into `doc`; null when none.
const rapidjson::Value* find_job(crontab_t* ct, int id, rapidjson::Document* doc) {
    doc->Parse(crontab_get_jobs_json(ct));
    if (!doc->IsArray()) return nullptr;
    for (const rapidjson::Value& job : doc->GetArray()) {
        if (job["id"].GetInt() == id) return &job;
    }
    return nullptr;
}

int cmd_version(int, char**) {
    std::printf("%s\n", crontab_version());
    return 0;
}

// Prints "valid" or the parser's message; exit status 0 or 1.
int cmd_validate(int argc, char** argv) {
    if (argc != 1) return usage();
    char err[256];
    if (crontab_validate_expr(argv[0], err, sizeof err) != 0) {
        std::printf("%s\n", err);
        return 1;
    }
    std::printf("valid\n");
    return 0;
}

// Upcoming local fire times, one per line, or the library's JSON text.
int cmd_next(int argc, char** argv) {
    const char* expr = nullptr;
    int count = 5;
    bool json = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            char* end = nullptr;
            long n = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || n < 1 || n > 100) {
                std::fprintf(stderr, "quilmarn-cron: COUNT must be 1 to 100\n");
                return 2;
            }
            count = static_cast<int>(n);
        } else if (expr == nullptr) {
            expr = argv[i];
        } else {
            return usage();
        }
    }
    if (expr == nullptr) return usage();
    char err[256];
    bool valid = crontab_validate_expr(expr, err, sizeof err) == 0;
    if (json) {
        std::printf("%s\n", crontab_get_next_runs_json(expr, count));
        return valid ? 0 : 1;
    }
    if (!valid) {
        std::fprintf(stderr, "%s\n", err);
        return 1;
    }
    int64_t t = std::time(nullptr);
    for (int i = 0; i < count && crontab_calc_next(expr, t, &t) == 0; ++i) {
        time_t tt = static_cast<time_t>(t);
        std::tm tm{};
        char text[64];
        if (localtime_r(&tt, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0)
            break;
        std::printf("%s\n", text);
    }
    return 0;
}

// add NAME EXPR COMMAND [--disabled]: prints the new id.
int cmd_add(int argc, char** argv) {
    bool enabled = !(argc == 4 && std::strcmp(argv[3], "--disabled") == 0);
    if (argc != 3 && enabled) return usage();
    instance in;
    if (in.ct == nullptr) return 1;
    int id = crontab_add_job(in.ct, argv[0], argv[1], argv[2], enabled);
    if (id < 0) {
        if (!explain_expr(argv[1])) {
            std::fprintf(stderr, "quilmarn-cron: rejected (table full, or a text that is not "
                                 "UTF-8 or too long)\n");
        }
        return 1;
    }
    std::printf("%d\n", id);
    return 0;
}

int cmd_update(int argc, char** argv) {
    bool enabled = !(argc == 5 && std::strcmp(argv[4], "--disabled") == 0);
    int id = 0;
    if (argc != 4 && enabled) return usage();
    if (!parse_id(argv[0], &id)) return 2;
    instance in;
    if (in.ct == nullptr) return 1;
    if (crontab_update_job(in.ct, id, argv[1], argv[2], argv[3], enabled) == 0) return 0;
    if (explain_expr(argv[2])) return 1;
    return report(-1, id);
}

int cmd_rm(int argc, char** argv) {
    int id = 0;
    if (argc != 1) return usage();
    if (!parse_id(argv[0], &id)) return 2;
    instance in;
    if (in.ct == nullptr) return 1;
    return report(crontab_delete_job(in.ct, id), id);
}

// The job keeps its definition; only the flag changes.
int set_enabled(int argc, char** argv, bool enabled) {
    int id = 0;
    if (argc != 1) return usage();
    if (!parse_id(argv[0], &id)) return 2;
    instance in;
    if (in.ct == nullptr) return 1;
    rapidjson::Document doc;
    const rapidjson::Value* job = find_job(in.ct, id, &doc);
    if (job == nullptr) return report(-1, id);
    return report(crontab_update_job(in.ct, id, (*job)["name"].GetString(),
                                     (*job)["expr"].GetString(), (*job)["cmd"].GetString(),
                                     enabled),
                  id);
}

int cmd_enable(int argc, char** argv) { return set_enabled(argc, argv, true); }
int cmd_disable(int argc, char** argv) { return set_enabled(argc, argv, false); }

int cmd_set_timeout(int argc, char** argv) {
    int id = 0, seconds = 0;
    if (argc != 2) return usage();
    if (!parse_id(argv[0], &id) || !parse_int(argv[1], &seconds)) return 2;
    instance in;
    if (in.ct == nullptr) return 1;
    return report(crontab_set_job_timeout(in.ct, id, seconds), id);
}

int cmd_set_paths(int argc, char** argv) {
    int id = 0;
    if (argc < 1) return usage();
    if (!parse_id(argv[0], &id)) return 2;
    const char* workdir = nullptr;
    std::string env;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--workdir") == 0 && i + 1 < argc) {
            workdir = argv[++i];
        } else if (std::strcmp(argv[i], "--env") == 0 && i + 1 < argc) {
            env += std::string(env.empty() ? "" : "\n") + argv[++i];
        } else {
            return usage();
        }
    }
    instance in;
    if (in.ct == nullptr) return 1;
    int rc = crontab_set_job_paths(in.ct, id, workdir, env.c_str());
    if (rc == -2) {
        std::fprintf(stderr, "quilmarn-cron: not a directory, or an environment line without "
                             "'=' (or too long)\n");
        return 1;
    }
    return report(rc, id);
}

int cmd_set_overlap(int argc, char** argv) {
    static const char* const names[] = {"skip", "queue", "allow"};
    int id = 0, policy = -1;
    if (argc != 2) return usage();
    if (!parse_id(argv[0], &id)) return 2;
    for (int p = 0; p < 3; ++p) {
        if (std::strcmp(argv[1], names[p]) == 0) policy = p;
    }
    if (policy < 0) return usage();
    instance in;
    if (in.ct == nullptr) return 1;
    return report(crontab_set_job_overlap_policy(in.ct, id, policy), id);
}

int cmd_set_retry(int argc, char** argv) {
    int id = 0, count = 0, backoff = 0;
    if (argc != 3) return usage();
    if (!parse_id(argv[0], &id) || !parse_int(argv[1], &count) || !parse_int(argv[2], &backoff)) {
        return 2;
    }
    instance in;
    if (in.ct == nullptr) return 1;
    int rc = crontab_set_job_retry(in.ct, id, count, backoff);
    if (rc == -2) {
        std::fprintf(stderr, "quilmarn-cron: COUNT must be 0 to 10, BACKOFF_SECONDS 0 to 3600\n");
        return 1;
    }
    return report(rc, id);
}

// list [--json]: one line per job, or the library's JSON text.
int cmd_list(int argc, char** argv) {
    bool json = argc == 1 && std::strcmp(argv[0], "--json") == 0;
    if (argc != 0 && !json) return usage();
    open_instance in(data_dir, dir_access::read);
    if (in.ct == nullptr) return 1;
    const char* text = crontab_get_jobs_json(in.ct);
    if (json) {
        std::printf("%s\n", text);
        return 0;
    }
    rapidjson::Document doc;
    doc.Parse(text);
    if (!doc.IsArray()) return 1;
    static const char* const policies[] = {"skip", "queue", "allow"};
    std::printf("%-5s %-3s %-19s %-7s %-5s %-20s %-16s %s\n", "ID", "ON", "NEXT RUN", "OVERLAP",
                "RETRY", "EXPR", "NAME", "COMMAND");
    for (const rapidjson::Value& job : doc.GetArray()) {
        char next[32] = "never";
        int64_t t = job["next_run"].GetInt64();
        if (t > 0 && !format_local(t, next, sizeof next)) std::snprintf(next, sizeof next, "?");
        int policy = job["overlap_policy"].GetInt();
        std::printf("%-5d %-3s %-19s %-7s %-5d %-20s %-16s %s\n", job["id"].GetInt(),
                    job["enabled"].GetBool() ? "yes" : "no", next,
                    policy >= 0 && policy < 3 ? policies[policy] : "?", job["retry_max"].GetInt(),
                    job["expr"].GetString(), job["name"].GetString(), job["cmd"].GetString());
    }
    return 0;
}

int cmd_import(int argc, char** argv) {
    const char* file = nullptr;
    bool skip_bad = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--skip-bad") == 0) {
            skip_bad = true;
        } else if (file == nullptr) {
            file = argv[i];
        } else {
            return usage();
        }
    }
    if (file == nullptr) return usage();
    instance in;
    if (in.ct == nullptr) return 1;
    return cron_tool_import(in.ct, file, skip_bad);
}

int cmd_run(int argc, char** argv) {
    int id = 0;
    if (argc != 1) return usage();
    if (!parse_id(argv[0], &id)) return 2;
    return cron_tool_run(data_dir, id);
}

int cmd_logs(int argc, char** argv) {
    int id = 0, count = 20;
    bool json = false;
    bool have_id = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            if (!parse_int(argv[++i], &count) || count < 1 || count > 20) {
                std::fprintf(stderr, "quilmarn-cron: N must be 1 to 20\n");
                return 2;
            }
        } else if (!have_id) {
            if (!parse_id(argv[i], &id)) return 2;
            have_id = true;
        } else {
            return usage();
        }
    }
    if (!have_id) return usage();
    return cron_tool_logs(data_dir, id, count, json);
}

int cmd_cancel(int argc, char** argv) {
    int id = 0;
    if (argc != 1) return usage();
    if (!parse_id(argv[0], &id)) return 2;
    return cron_tool_cancel(data_dir, id);
}

int cmd_daemon(int argc, char**) {
    if (argc != 0) return usage();
    return cron_tool_daemon(data_dir);
}

int cmd_describe(int argc, char** argv) {
    if (argc != 1) return usage();
    std::printf("%s\n", crontab_describe_expr(argv[0]));
    return crontab_validate_expr(argv[0], nullptr, 0) == 0 ? 0 : 1;
}

struct command {
    const char* name;
    int (*run)(int argc, char** argv);
};

const command commands[] = {
    {"version", cmd_version},
    {"validate", cmd_validate},
    {"next", cmd_next},
    {"describe", cmd_describe},
    {"add", cmd_add},
    {"update", cmd_update},
    {"rm", cmd_rm},
    {"enable", cmd_enable},
    {"disable", cmd_disable},
    {"set-timeout", cmd_set_timeout},
    {"set-paths", cmd_set_paths},
    {"set-overlap", cmd_set_overlap},
    {"set-retry", cmd_set_retry},
    {"list", cmd_list},
    {"import", cmd_import},
    {"run", cmd_run},
    {"logs", cmd_logs},
    {"cancel", cmd_cancel},
    {"daemon", cmd_daemon},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--dir") == 0) {
        data_dir = argv[2];
        argc -= 2;
        argv += 2;
    }
    if (argc < 2) return usage();
    for (const command& c : commands) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
    }
    return usage();
}
