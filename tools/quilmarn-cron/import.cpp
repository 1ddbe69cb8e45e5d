// quilmarn-cron import: jobs from a crontab-style file.

#include "cli.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Field sizes of a job: longer texts would be cut by the library and change
// meaning, so the import refuses them instead.
constexpr size_t EXPR_MAX = 127;
constexpr size_t CMD_MAX = 1023;
constexpr size_t ENV_MAX = 1023;
constexpr size_t JOB_NAME_MAX = 60;

struct parsed_job {
    int line;
    std::string expr, cmd, env;
};

struct parse_result {
    std::vector<parsed_job> jobs;
    int bad_lines = 0;
};

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && (blank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Next blank-separated word of `s`, which is advanced past it and the blanks after it.
std::string_view next_word(std::string_view& s) {
    size_t end = 0;
    while (end < s.size() && !blank(s[end])) ++end;
    std::string_view word = s.substr(0, end);
    while (end < s.size() && blank(s[end])) ++end;
    s.remove_prefix(end);
    return word;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool utf8_valid(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        unsigned cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr unsigned min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_for_len[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

// A job's name: its command with runs of blanks folded, cut on a character
// boundary.
std::string name_from(std::string_view cmd) {
    std::string name;
    for (char c : cmd) {
        if (blank(c) && (name.empty() || name.back() == ' ')) continue;
        name += blank(c) ? ' ' : c;
    }
    if (name.size() <= JOB_NAME_MAX) return name;
    size_t cut = JOB_NAME_MAX - 3;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut) + "...";
}

// An environment line: NAME, blanks allowed around "=", the value unquoted.
bool env_assignment(std::string_view line, std::string& name, std::string& value) {
    size_t i = 0;
    if (line.empty() || !(std::isalpha(static_cast<unsigned char>(line[0])) || line[0] == '_')) return false;
    while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_')) ++i;
    size_t name_end = i;
    while (i < line.size() && blank(line[i])) ++i;
    if (i == line.size() || line[i] != '=') return false;
    name.assign(line.substr(0, name_end));
    std::string_view v = trim(line.substr(i + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    value.assign(v);
    return true;
}

// In a crontab an unescaped "%" ends the command and starts its standard
// input; jobs here read /dev/null, so such a line is refused. "\%" is a
// literal percent sign.
bool unescape_percent(std::string_view cmd, std::string& out) {
    out.clear();
    for (size_t i = 0; i < cmd.size(); ++i) {
        if (cmd[i] == '\\' && i + 1 < cmd.size() && cmd[i + 1] == '%') {
            out += '%';
            ++i;
        } else if (cmd[i] == '%') {
            return false;
        } else {
            out += cmd[i];
        }
    }
    return true;
}

class importer {
public:
    importer(cmd_ctx& ctx, const char* file) : ctx_(ctx), file_(file) {}

    void error(int line, const std::string& message) {
        std::fprintf(ctx_.err, "%s:%d: %s\n", file_, line, message.c_str());
    }

    parse_result parse(std::istream& in) {
        parse_result r;
        std::vector<std::pair<std::string, std::string>> env;
        std::string raw;
        for (int line = 1; std::getline(in, raw); ++line) {
            std::string_view text = trim(raw);
            if (text.empty() || text[0] == '#') continue;
            if (!utf8_valid(text)) {
                error(line, "not valid UTF-8");
                ++r.bad_lines;
                continue;
            }
            std::string name, value;
            if (env_assignment(text, name, value)) {
                if (!set_env(line, env, name, value)) ++r.bad_lines;
                continue;
            }
            parsed_job job{line, {}, {}, env_text(env)};
            if (!parse_job(line, text, job)) {
                ++r.bad_lines;
                continue;
            }
            r.jobs.push_back(std::move(job));
        }
        return r;
    }

private:
    static std::string env_text(const std::vector<std::pair<std::string, std::string>>& env) {
        std::string text;
        for (const auto& [name, value] : env) {
            if (!text.empty()) text += '\n';
            text += name + "=" + value;
        }
        return text;
    }

    bool set_env(int line, std::vector<std::pair<std::string, std::string>>& env, const std::string& name,
                 const std::string& value) {
        if (name == "SHELL" || name == "CRON_TZ" || name == "MAILTO") {
            static const char* const why[] = {"commands still run under /bin/sh",
                                              "schedules follow the host's local time",
                                              "output is kept in the run log, not mailed"};
            int k = name == "SHELL" ? 0 : name == "CRON_TZ" ? 1 : 2;
            std::fprintf(ctx_.err, "%s:%d: warning: %s is only passed to the commands; %s\n", file_, line,
                         name.c_str(), why[k]);
        }
        auto next = env;
        bool replaced = false;
        for (auto& [n, v] : next) {
            if (n == name) {
                v = value;
                replaced = true;
            }
        }
        if (!replaced) next.emplace_back(name, value);
        if (env_text(next).size() > ENV_MAX) {
            error(line, "the environment of the jobs would be longer than 1023 bytes");
            return false;
        }
        env = std::move(next);
        return true;
    }

    bool parse_job(int line, std::string_view text, parsed_job& job) {
        std::string_view rest = text;
        if (text[0] == '@') {
            std::string_view word = next_word(rest);
            job.expr.assign(word);
            // "@every 5m cmd": the interval is the word after "@every".
            if (lower(word) == "@every")
                job.expr += " " + std::string(next_word(rest));
        } else {
            for (int field = 0; field < 5 && !rest.empty(); ++field) {
                if (field > 0) job.expr += ' ';
                job.expr += next_word(rest);
            }
        }
        char err[256];
        if (crontab_validate_expr(job.expr.c_str(), err, sizeof err) != 0) {
            error(line, err);
            return false;
        }
        if (job.expr.size() > EXPR_MAX) {
            error(line, "the schedule is longer than 127 bytes");
            return false;
        }
        if (rest.empty()) {
            error(line, "no command after the schedule");
            return false;
        }
        if (!unescape_percent(rest, job.cmd)) {
            error(line, "'%' would start the command's standard input, which jobs do not have; "
                        "write '\\%' for a percent sign");
            return false;
        }
        if (job.cmd.size() > CMD_MAX) {
            error(line, "the command is longer than 1023 bytes");
            return false;
        }
        return true;
    }

    cmd_ctx& ctx_;
    const char* file_;
};

struct added_job {
    int line, id;
};

// Adds one job; -1 and a message when the library refuses it.
int add(crontab_t* ct, importer& imp, const parsed_job& job) {
    int id = crontab_add_job(ct, name_from(job.cmd).c_str(), job.expr.c_str(), job.cmd.c_str(), 1);
    if (id < 0) {
        imp.error(job.line, crontab_last_error());
        return -1;
    }
    if (!job.env.empty() && crontab_set_job_paths(ct, id, nullptr, job.env.c_str()) != 0) {
        imp.error(job.line, crontab_last_error());
        crontab_delete_job(ct, id);
        return -1;
    }
    return id;
}

}  // namespace

namespace {

int cmd_import(cmd_ctx& ctx, int, char** argv) {
    const char* path = argv[0];
    const bool skip_bad = ctx.args.has("--skip-bad");
    bool from_stdin = std::strcmp(path, "-") == 0;
    FILE* f = from_stdin ? ctx.in : std::fopen(path, "rb");
    if (f == nullptr) return ctx.fail("cannot read %s: %s", path, std::strerror(errno));
    std::string text;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    if (!from_stdin) std::fclose(f);
    crontab_t* ct = ctx.instance();
    if (ct == nullptr) return EXIT_FAILED;
    importer imp(ctx, from_stdin ? "<stdin>" : path);
    std::istringstream in(text);
    parse_result parsed = imp.parse(in);
    if (parsed.bad_lines > 0 && !skip_bad) {
        return ctx.fail("nothing imported: %d line%s could not be taken (--skip-bad imports the rest)",
                        parsed.bad_lines, parsed.bad_lines == 1 ? "" : "s");
    }

    std::vector<added_job> added;
    for (const parsed_job& job : parsed.jobs) {
        int id = add(ct, imp, job);
        if (id >= 0) {
            added.push_back({job.line, id});
            continue;
        }
        ++parsed.bad_lines;
        if (!skip_bad) {
            // All or nothing: take back what this import added.
            for (const added_job& a : added) crontab_delete_job(ct, a.id);
            return ctx.fail("nothing imported");
        }
    }
    for (const added_job& a : added) std::fprintf(ctx.out, "line %d: added job %d\n", a.line, a.id);
    std::fprintf(ctx.out, "imported %zu job%s", added.size(), added.size() == 1 ? "" : "s");
    if (parsed.bad_lines > 0) {
        std::fprintf(ctx.out, ", skipped %d line%s", parsed.bad_lines, parsed.bad_lines == 1 ? "" : "s");
    }
    std::fprintf(ctx.out, "\n");
    return EXIT_OK;
}

const cmd_option import_options[] = {
    {"--skip-bad", nullptr, "import the lines that can be taken, report the rest"},
};

const command commands[] = {
    {"import", "FILE [--skip-bad]", "add the jobs of a crontab-style file (- for standard input)", 1, 1,
     CMD_NEEDS_DIR | CMD_FORWARD, cmd_import, import_options,
     "Environment lines (NAME=VALUE) apply to the jobs after them. A line that\n"
     "cannot be taken is reported with its number; then nothing is imported.\n"},
};

}  // namespace

std::span<const command> cron_cmds_import() { return commands; }
