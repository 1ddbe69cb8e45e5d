#include "cli.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "job_list.h"
#include "mem_stream.h"
#include "text_util.h"

namespace {

// The closest of `names` to `word`, when it is close enough to be a typo.
template <typename Names>
const char* closest(const std::string& word, const Names& names) {
    const char* best = nullptr;
    size_t best_d = 0;
    for (const char* n : names) {
        size_t d = cron_edit_distance(word, n);
        if (best == nullptr || d < best_d) {
            best = n;
            best_d = d;
        }
    }
    size_t limit = std::max<size_t>(1, std::min<size_t>(3, word.size() / 3));
    return best != nullptr && best_d <= limit ? best : nullptr;
}

const cmd_option* find_option(const command& c, const std::string& name) {
    for (const cmd_option& o : c.options) {
        if (name == o.name) return &o;
    }
    return nullptr;
}

bool looks_like_number(const char* s) {
    return s[0] == '-' && (std::isdigit(static_cast<unsigned char>(s[1])) || s[1] == '.');
}

// Splits options from positional arguments, naming the first wrong word.
int parse_args(cmd_ctx& ctx, const command& c, int argc, char** argv, std::vector<char*>* positional) {
    bool options_done = false;
    for (int i = 0; i < argc; ++i) {
        char* a = argv[i];
        if (options_done || a[0] != '-' || a[1] == '\0' || looks_like_number(a)) {
            positional->push_back(a);
            continue;
        }
        if (std::strcmp(a, "--") == 0) {
            options_done = true;
            continue;
        }
        std::string name = a;
        std::string value;
        bool inline_value = false;
        if (size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inline_value = true;
        }
        const cmd_option* o = find_option(c, name);
        if (o == nullptr && name == "--dir") {
            return ctx.usage_error("'--dir' goes before the command: quilmarn-cron --dir DIR %s ...", c.name);
        }
        if (o == nullptr) {
            std::vector<const char*> names;
            for (const cmd_option& k : c.options) names.push_back(k.name);
            const char* near = closest(name, names);
            if (near != nullptr) {
                return ctx.usage_error("unknown option '%s' for '%s'; did you mean '%s'?", name.c_str(),
                                       c.name, near);
            }
            return ctx.usage_error("unknown option '%s' for '%s' (see 'quilmarn-cron help %s')", name.c_str(),
                                   c.name, c.name);
        }
        if (o->value == nullptr && inline_value) {
            return ctx.usage_error("option '%s' takes no value", o->name);
        }
        if (o->value != nullptr && !inline_value) {
            if (i + 1 >= argc) return ctx.usage_error("option '%s' needs a value (%s)", o->name, o->value);
            value = argv[++i];
        }
        if (!o->repeats && ctx.args.has(o->name)) return ctx.usage_error("option '%s' given twice", o->name);
        ctx.args.given.emplace_back(o->name, value);
    }
    int n = static_cast<int>(positional->size());
    if (n < c.min_args) {
        return ctx.usage_error(
            "'%s' needs %s%s (usage: quilmarn-cron %s %s)", c.name,
            c.min_args == c.max_args ? "" : "at least ",
            c.min_args == 1 ? "an argument" : (std::to_string(c.min_args) + " arguments").c_str(), c.name,
            c.usage);
    }
    if (c.max_args >= 0 && n > c.max_args) {
        return ctx.usage_error(
            "'%s' takes %s%d argument%s; '%s' is one too many (usage: quilmarn-cron %s %s)", c.name,
            c.min_args == c.max_args ? "" : "at most ", c.max_args, c.max_args == 1 ? "" : "s",
            (*positional)[static_cast<size_t>(c.max_args)], c.name, c.usage);
    }
    return EXIT_OK;
}

int vmessage(FILE* f, const char* fmt, va_list ap) {
    std::fputs("quilmarn-cron: ", f);
    std::vfprintf(f, fmt, ap);
    std::fputc('\n', f);
    return 0;
}

}  // namespace

// ---- cmd_args ----

bool cmd_args::has(const char* name) const { return value(name) != nullptr; }

const char* cmd_args::value(const char* name) const {
    const char* v = nullptr;
    for (const auto& [n, val] : given) {
        if (n == name) v = val.c_str();
    }
    return v;
}

std::vector<std::string> cmd_args::values(const char* name) const {
    std::vector<std::string> out;
    for (const auto& [n, val] : given) {
        if (n == name) out.push_back(val);
    }
    return out;
}

// ---- cmd_ctx ----

crontab_t* cmd_ctx::instance(dir_access access) {
    if (ct != nullptr) return ct;
    // A typo'd --dir must not become a new, empty data directory.
    struct stat st;
    if (dir != nullptr && !args.has("--create") && ::stat(dir, &st) != 0 && errno == ENOENT) {
        const bool can_create = cmd != nullptr && find_option(*cmd, "--create") != nullptr;
        refuse("no data directory %s; create it with 'quilmarn-cron --dir %s init'%s", dir, dir,
               can_create ? " or give --create" : "");
        return nullptr;
    }
    const bool to_daemon = !in_daemon && cmd != nullptr && (cmd->flags & CMD_FORWARD) != 0;
    owned_ = std::make_unique<open_instance>(dir, access, err, to_daemon);
    daemon_refusal = owned_->daemon_refusal;
    ct = owned_->ct;
    return ct;
}

void cmd_ctx::close() {
    if (owned_ == nullptr) return;
    owned_.reset();
    ct = nullptr;
}

bool cmd_ctx::read_jobs(std::vector<job_info>* jobs) {
    return cron_read_jobs(ct, jobs) || refuse("cannot read the job list");
}

int cmd_ctx::fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage(err, fmt, ap);
    va_end(ap);
    return EXIT_FAILED;
}

bool cmd_ctx::refuse(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage(err, fmt, ap);
    va_end(ap);
    return false;
}

int cmd_ctx::usage_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage(err, fmt, ap);
    va_end(ap);
    return EXIT_USAGE;
}

int cmd_ctx::lib_fail(const char* what) {
    const char* why = crontab_last_error();
    if (why == nullptr || why[0] == '\0') return fail("%s", what);
    return fail("%s: %s", what, why);
}

// ---- the table ----

std::span<const command> cron_cmd_table() {
    static const std::vector<command> table = [] {
        std::vector<command> t;
        for (auto part : {cron_cmds_expr(), cron_cmds_jobs(), cron_cmds_import(), cron_cmds_runs(),
                          cron_cmds_daemon(), cron_cmds_crontab(), cron_cmds_reload()}) {
            t.insert(t.end(), part.begin(), part.end());
        }
        return t;
    }();
    return table;
}

const command* cron_cmd_find(const char* name) {
    for (const command& c : cron_cmd_table()) {
        if (std::strcmp(c.name, name) == 0) return &c;
    }
    return nullptr;
}

void cron_cmd_help(FILE* out) {
    std::fprintf(out,
                 "usage: quilmarn-cron [--dir DIR] COMMAND [ARGS]\n"
                 "       quilmarn-cron --help | --version | help COMMAND\n"
                 "\n"
                 "Schedules shell commands by cron expressions. Commands marked * work\n"
                 "on the data directory that holds crontab.json: --dir DIR, else\n"
                 "$QUILMARN_CRON_DIR, else /var/lib/quilmarn-cron/default for root and\n"
                 "~/.local/state/quilmarn-cron for others. A JOB is an id or a job's name.\n\n");
    for (const command& c : cron_cmd_table()) {
        std::string head = std::string(c.name) + " " + c.usage;
        // A head too long for its column puts the summary under the others.
        if (head.size() > 34) head += "\n" + std::string(37, ' ');
        std::fprintf(out, " %c %-34s %s\n", (c.flags & CMD_NEEDS_DIR) != 0 ? '*' : ' ', head.c_str(),
                     c.summary);
    }
    std::fprintf(out,
                 "\n"
                 "Durations are seconds, or a number with s, m or h (90s, 5m, 2h).\n"
                 "Exit status: 0 success, 1 the operation or the job failed, 2 usage error,\n"
                 "3 the jobs changed meanwhile (import --expect, edit; nothing applied);\n"
                 "75 the daemon was too busy to take the command (nothing done; try again);\n"
                 "run exits with the job's own status (124 time limit, 125 not started,\n"
                 "130 cancelled).\n");
}

void cron_cmd_help(FILE* out, const command& c) {
    std::fprintf(out, "usage: quilmarn-cron %s%s %s\n\n%s\n",
                 (c.flags & CMD_NEEDS_DIR) != 0 ? "--dir DIR " : "", c.name, c.usage, c.summary);
    if (c.details != nullptr) std::fprintf(out, "\n%s", c.details);
    std::fprintf(out, "\noptions:\n");
    {
        for (const cmd_option& o : c.options) {
            std::string head = std::string(o.name) + (o.value != nullptr ? std::string(" ") + o.value : "");
            if (head.size() > 22) head += "\n" + std::string(24, ' ');
            std::fprintf(out, "  %-22s %s\n", head.c_str(), o.help);
        }
    }
    std::fprintf(out, "  %-22s %s\n", "--help", "this text");
}

int cron_cmd_unknown(cmd_ctx& ctx, const char* name) {
    std::vector<const char*> names;
    for (const command& k : cron_cmd_table()) names.push_back(k.name);
    const char* near = closest(name, names);
    if (near != nullptr) return ctx.usage_error("unknown command '%s'; did you mean '%s'?", name, near);
    return ctx.usage_error("unknown command '%s' (see 'quilmarn-cron --help')", name);
}

bool cron_is_reboot(const char* expr) {
    std::string_view s(expr);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s.size() == 7 && strncasecmp(s.data(), "@reboot", 7) == 0;
}

bool cron_warn_if_never_fires(cmd_ctx& ctx, const char* expr) {
    int64_t t = 0;
    // Runs once per boot by design: no calendar fire time to warn about.
    if (crontab_validate_expr(expr, nullptr, 0) != 0 || cron_is_reboot(expr) ||
        crontab_calc_next(expr, std::time(nullptr), &t) == 0) {
        return false;
    }
    std::fprintf(ctx.err, "quilmarn-cron: warning: '%s' never fires within the next five years\n", expr);
    return true;
}

int cron_cmd_dispatch(cmd_ctx& ctx, int argc, char** argv) {
    if (argc < 1) {
        cron_cmd_help(ctx.err);
        return EXIT_USAGE;
    }
    const command* c = cron_cmd_find(argv[0]);
    if (c == nullptr) return cron_cmd_unknown(ctx, argv[0]);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            cron_cmd_help(ctx.out, *c);
            return EXIT_OK;
        }
    }
    ctx.cmd = c;
    ctx.args = {};
    std::vector<char*> positional;
    if (int rc = parse_args(ctx, *c, argc - 1, argv + 1, &positional); rc != EXIT_OK) return rc;
    if ((c->flags & CMD_NEEDS_DIR) != 0 && ctx.dir == nullptr && ctx.ct == nullptr) {
        return ctx.usage_error("'%s' needs --dir DIR (or QUILMARN_CRON_DIR), the data directory of the jobs",
                               c->name);
    }
    positional.push_back(nullptr);
    return c->run(ctx, static_cast<int>(positional.size()) - 1, positional.data());
}

bool cron_cmd_stays_local(const command& c, int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string word = argv[i];
        const cmd_option* o = find_option(c, word.substr(0, word.find('=')));
        if (o == nullptr) continue;
        if (o->local) return true;
        if (o->value != nullptr && word.find('=') == std::string::npos) ++i;  // its value
    }
    return false;
}

FILE* cron_cmd_input(std::string& text) {
    // fmemopen takes no empty buffer.
    return text.empty() ? std::fopen("/dev/null", "r") : ::fmemopen(text.data(), text.size(), "r");
}

int cron_cmd_capture(cmd_ctx& ctx, const std::vector<std::string>& args, const std::string& input,
                     std::string* output) {
    output->clear();
    mem_stream out;
    std::string in_buf = input;
    FILE* in = cron_cmd_input(in_buf);
    if (out.get() == nullptr || in == nullptr) {
        if (in != nullptr) std::fclose(in);
        return ctx.fail("out of memory");
    }
    cmd_ctx sub;
    sub.dir = ctx.dir;
    sub.out = out.get();
    sub.err = ctx.err;
    sub.in = in;
    // Inside the owner the sub-command runs there too, never back through
    // its own socket (where it would wait for the command that called it).
    sub.ct = ctx.in_daemon ? ctx.ct : nullptr;
    sub.in_daemon = ctx.in_daemon;
    sub.server = ctx.server;
    std::vector<std::string> copy = args;
    std::vector<char*> argv = cron_c_strings(copy);
    int rc = cron_cmd_invoke(sub, static_cast<int>(copy.size()), argv.data());
    sub.close();
    std::fclose(in);
    *output = out.text();
    return rc;
}

// ---- argument helpers ----

bool cron_arg_int(cmd_ctx& ctx, const char* what, const char* text, int64_t lo, int64_t hi, int64_t* out) {
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0') {
        ctx.usage_error("%s must be a whole number, not '%s'", what, text);
        return false;
    }
    if (errno == ERANGE || n < lo || n > hi) {
        ctx.usage_error("%s must be %" PRId64 " to %" PRId64 ", not %s", what, lo, hi, text);
        return false;
    }
    *out = n;
    return true;
}

bool cron_arg_duration(cmd_ctx& ctx, const char* what, const char* text, int64_t lo, int64_t hi,
                       int64_t* out) {
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(text, &end, 10);
    int64_t unit = 1;
    if (end != text && *end != '\0' && end[1] == '\0') {
        unit = *end == 's' ? 1 : *end == 'm' ? 60 : *end == 'h' ? 3600 : 0;
        if (unit != 0) ++end;
    }
    if (end == text || *end != '\0' || unit == 0) {
        ctx.usage_error("%s must be seconds or a duration such as 90s, 5m or 2h, not '%s'", what, text);
        return false;
    }
    // Durations are never negative: n < 0 also keeps n * unit from overflowing.
    if (errno == ERANGE || n < 0 || n > hi / unit || n * unit < lo) {
        ctx.usage_error("%s must be %" PRId64 " to %" PRId64 " seconds, not %s", what, lo, hi, text);
        return false;
    }
    *out = n * unit;
    return true;
}

int cron_arg_job(cmd_ctx& ctx, crontab_t* ct, const char* text) {
    // "+1", "0123" or " 12" are names: an id has one spelling only.
    if (cron_id_syntax(text)) {
        errno = 0;
        long id = std::strtol(text, nullptr, 10);
        // Whether the job exists the library says when it is asked.
        if (errno == 0 && id <= INT32_MAX) return static_cast<int>(id);
        ctx.fail("no job %s: ids are 1 to %d", text, INT32_MAX);
        return 0;
    }
    std::vector<job_info> jobs;
    if (!cron_read_jobs(ct, &jobs)) {
        ctx.fail("cannot read the job list");
        return 0;
    }
    int found = 0;
    for (const job_info& j : jobs) {
        if (j.name != text) continue;
        if (found != 0) {
            ctx.fail("the name '%s' is taken by jobs %d and %d; name the job by its id", text, found, j.id);
            return 0;
        }
        found = j.id;
    }
    if (found == 0) ctx.fail("no job named '%s' in %s", text, ctx.dir != nullptr ? ctx.dir : "the directory");
    return found;
}
