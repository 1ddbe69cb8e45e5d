// Commands that need no data directory: help, version and the expression
// services.
#include <cstdint>
#include <cstring>

#include <string>

#include <rapidjson/document.h>

#include "cli.h"
#include "job_list.h"

#ifndef QC_TOOL_VERSION
#    define QC_TOOL_VERSION "unknown"
#endif

namespace {

int cmd_help(cmd_ctx& ctx, int argc, char** argv) {
    if (argc == 0) {
        cron_cmd_help(ctx.out);
        return EXIT_OK;
    }
    const command* c = cron_cmd_find(argv[0]);
    if (c == nullptr) return cron_cmd_unknown(ctx, argv[0]);
    cron_cmd_help(ctx.out, *c);
    return EXIT_OK;
}

int cmd_version(cmd_ctx& ctx, int, char**) {
    std::fprintf(ctx.out, "quilmarn-cron %s\nlibrary %s\n", QC_TOOL_VERSION, crontab_version());
    return EXIT_OK;
}

// Prints "valid" or the parser's message.
int cmd_validate(cmd_ctx& ctx, int, char** argv) {
    char err[256];
    if (crontab_validate_expr(argv[0], err, sizeof err) != 0) {
        std::fprintf(ctx.out, "%s\n", err);
        return EXIT_FAILED;
    }
    std::fprintf(ctx.out, "valid\n");
    cron_warn_if_never_fires(ctx, argv[0]);
    return EXIT_OK;
}

// Upcoming local fire times, one per line, or the library's JSON text.
int cmd_next(cmd_ctx& ctx, int, char** argv) {
    const char* expr = argv[0];
    int64_t count = 5;
    if (const char* n = ctx.args.value("-n");
        n != nullptr && !cron_arg_int(ctx, "COUNT", n, 1, 100, &count)) {
        return EXIT_USAGE;
    }
    char err[256];
    bool valid = crontab_validate_expr(expr, err, sizeof err) == 0;
    if (ctx.args.has("--json")) {
        std::fprintf(ctx.out, "%s\n", crontab_get_next_runs_json(expr, static_cast<int>(count)));
        return valid ? EXIT_OK : EXIT_FAILED;
    }
    if (!valid) return ctx.fail("%s", err);
    // The library's list: each time in the expression's zone, with its offset.
    const char* text = crontab_get_next_runs_json(expr, static_cast<int>(count));
    rapidjson::Document doc;
    if (!cron_json_parse(text, std::strlen(text), &doc) || !doc.IsArray())
        return ctx.fail("cannot read the next times");
    for (const auto& t : doc.GetArray()) {
        if (!t.IsObject() || !t.HasMember("iso") || !t["iso"].IsString() || !t.HasMember("offset") ||
            !t["offset"].IsString()) {
            return ctx.fail("cannot read the next times");
        }
        std::string iso = t["iso"].GetString();
        if (iso.size() > 10 && iso[10] == 'T') iso[10] = ' ';
        std::fprintf(ctx.out, "%s %s\n", iso.c_str(), t["offset"].GetString());
    }
    if (doc.Empty() && cron_is_reboot(expr)) {
        std::fprintf(ctx.out, "once after the machine starts (no calendar fire time)\n");
        return EXIT_OK;
    }
    if (doc.Empty()) return ctx.fail("'%s' never fires within the next five years", expr);
    return EXIT_OK;
}

int cmd_describe(cmd_ctx& ctx, int, char** argv) {
    const bool short_text = ctx.args.has("--short");
    std::fprintf(ctx.out, "%s\n",
                 short_text ? crontab_describe_expr(argv[0]) : crontab_explain_expr(argv[0]));
    return crontab_validate_expr(argv[0], nullptr, 0) == 0 ? EXIT_OK : EXIT_FAILED;
}

const cmd_option next_options[] = {
    {"-n", "COUNT", "how many times (1 to 100, default 5)"},
    {"--json", nullptr, "the library's JSON text"},
};

const cmd_option describe_options[] = {
    {"--short", nullptr, "the short description instead of the full sentence"},
};

const command commands[] = {
    {"help", "[COMMAND]", "this overview, or the help of one command", 0, 1, 0, cmd_help},
    {"version", "", "the tool's and the library's version", 0, 0, 0, cmd_version},
    {"validate",
     "EXPR",
     "check a schedule expression",
     1,
     1,
     0,
     cmd_validate,
     {},
     "Prints \"valid\", or the parser's message with exit status 1. Warns when the\n"
     "expression never fires within five years.\n"},
    {"next", "EXPR [-n COUNT] [--json]", "the next fire times, with their UTC offsets", 1, 1, 0, cmd_next,
     next_options},
    {"describe", "EXPR [--short]", "the schedule in English", 1, 1, 0, cmd_describe, describe_options},
};

}  // namespace

std::span<const command> cron_cmds_expr() { return commands; }
