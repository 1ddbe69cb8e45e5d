#include "crontab_text.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <utility>

#include "crontab_stdin.h"
#include "text_util.h"

namespace {

// The library cuts a longer name, which a second import would then not
// find; so it is refused instead. The other fields the library refuses
// itself when they are too long.
constexpr size_t NAME_MAX_BYTES = CRONTAB_NAME_MAX;
constexpr size_t DERIVED_NAME_MAX = 60;
const char kDirective[] = "#:";
const char kDigestLine[] = "# digest: ";
const char* const policy_names[] = {"skip", "queue", "allow", "replace"};  // by CRONTAB_OVERLAP_*

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

// A job's name when the text gives none: its command with runs of blanks
// folded, cut on a character boundary.
std::string name_from(std::string_view cmd) {
    std::string name;
    for (char c : cmd) {
        if (blank(c) && (name.empty() || name.back() == ' ')) continue;
        name += blank(c) ? ' ' : c;
    }
    if (cron_name_like_number(name)) return "job " + name;  // "1" would read as an id
    return name.size() <= DERIVED_NAME_MAX ? name : cron_text_cut(name, DERIVED_NAME_MAX - 3);
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
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    value.assign(v);
    return true;
}

// In a crontab an unescaped "%" ends the command and starts its standard
// input; jobs here read /dev/null, so such a line is refused. "\%" is a
// literal percent sign.
// The library takes "CRON_TZ=<zone> " before a schedule when it knows zones.
bool zones_known() {
    static const bool known = crontab_validate_expr("CRON_TZ=UTC 0 0 * * *", nullptr, 0) == 0;
    return known;
}

using env_list = std::vector<std::pair<std::string, std::string>>;

std::string env_text(const env_list& env) {
    std::string text;
    for (const auto& [name, value] : env) text += (text.empty() ? "" : "\n") + name + "=" + value;
    return text;
}

void env_set(env_list& env, const std::string& name, const std::string& value) {
    for (auto& [n, v] : env) {
        if (n == name) {
            v = value;
            return;
        }
    }
    env.emplace_back(name, value);
}

struct directive_word {
    std::string key, value;
    bool quoted = false;
};

// The words of a "#:" line: key=value, the value bare or in double quotes
// with \" \\ \n \t. False with `why` for a malformed line.
bool directive_words(std::string_view s, std::vector<directive_word>* out, std::string* why) {
    for (s = trim(s); !s.empty(); s = trim(s)) {
        size_t eq = 0;
        while (eq < s.size() && s[eq] != '=' && !blank(s[eq])) ++eq;
        if (eq == s.size() || s[eq] != '=') {
            *why = "expected KEY=VALUE, not '" + std::string(s.substr(0, eq)) + "'";
            return false;
        }
        std::string key(s.substr(0, eq)), value;
        s.remove_prefix(eq + 1);
        const bool quoted = !s.empty() && s[0] == '"';
        if (quoted) {
            size_t i = 1;
            for (; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] != '\\' || i + 1 == s.size()) {
                    value += s[i];
                    continue;
                }
                char e = s[++i];
                value += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            }
            if (i == s.size()) {
                *why = "the value of " + key + " has no closing quote";
                return false;
            }
            s.remove_prefix(i + 1);
            if (!s.empty() && !blank(s[0])) {
                *why = "a blank must follow the quoted value of " + key;
                return false;
            }
        } else {
            value.assign(next_word(s));
        }
        out->push_back({std::move(key), std::move(value), quoted});
    }
    return true;
}

// A name that reads as a number is always quoted: bare, import refuses it.
std::string quote(const std::string& v, bool name = false) {
    bool plain = !v.empty() && v[0] != '"' && !(name && cron_name_like_number(v));
    for (char c : v) plain = plain && !blank(c) && c != '\\' && c != '"' && c != '\n' && c != '\r';
    if (plain) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";  // raw, import would take it for a line break
        else
            out += c;
    }
    return out + "\"";
}

class reader {
public:
    reader(const char* file, const crontab_read_options& opts, FILE* err)
        : file_(file), opts_(opts), err_(err) {}

    crontab_parsed read(const std::string& text) {
        int line = 0;
        // A byte-order mark some editors write is no part of the first line.
        const size_t bom = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
        for (size_t at = bom; at <= text.size();) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            ++line;
            if (!take_line(line, std::string_view(text).substr(at, end - at))) ++out_.bad_lines;
            at = end + 1;
            if (end == text.size()) break;
        }
        if (pending_ && !pending_bad_) {
            error(pending_line_, "no job line after this #: line");
            ++out_.bad_lines;
        }
        // A command may well start with a word that is also a user ("mail");
        // a file whose every line does looks like a system crontab.
        if (user_first_line_ > 0 && user_lines_ == job_lines_) {
            warning(user_first_line_, "'" + user_first_word_ +
                                          "' is a user, as is the first word of every line: if this is a "
                                          "system crontab, import it with --system");
        }
        return std::move(out_);
    }

private:
    bool error(int line, const std::string& message) {
        std::fprintf(err_, "%s:%d: %s\n", file_, line, message.c_str());
        return false;
    }
    void warning(int line, const std::string& message) {
        std::fprintf(err_, "%s:%d: warning: %s\n", file_, line, message.c_str());
    }

    bool take_line(int line, std::string_view raw) {
        if (raw.find('\0') != std::string_view::npos) return error(line, "a NUL byte");
        if (raw.size() > CRONTAB_LINE_MAX) return error(line, "the line is longer than 8192 bytes");
        std::string_view text = trim(raw);
        // A comment is never read: its bytes may be in any encoding.
        if (!text.empty() && text[0] == '#' && text.rfind(kDirective, 0) != 0) return true;
        if (!cron_text_utf8(text)) return error(line, "not valid UTF-8");
        // Inside a line a carriage return is a line break to other tools (and
        // to export, which could not write it back).
        if (text.find('\r') != std::string_view::npos && (text.rfind(kDirective, 0) == 0 || text[0] != '#'))
            return error(line, "a carriage return inside the line");
        if (text.rfind(kDirective, 0) == 0) return directive(line, text.substr(sizeof kDirective - 1));
        if (text.empty() || text[0] == '#') return true;
        std::string name, value;
        if (env_assignment(text, name, value)) return set_env(line, name, value);
        job_def job = pending_ ? pending_def_ : job_def{};
        const bool bad_settings = pending_ && pending_bad_;
        const bool named = pending_ && pending_named_;
        const bool had_directive = pending_;
        pending_ = false;
        const std::vector<std::string> directive_env = std::move(pending_env_);
        pending_env_.clear();
        job.line = line;
        if (!parse_job(line, text, job, had_directive)) return false;
        if (bad_settings) return true;  // its #: line is the one counted
        env_list env = env_;
        for (const std::string& e : directive_env) {
            size_t eq = e.find('=');
            env_set(env, e.substr(0, eq), e.substr(eq + 1));
        }
        job.env = env_text(env);
        if (!named) {
            job.name = opts_.label.empty() ? unique_name(name_from(cron_percent_command(job.cmd)))
                                           : opts_.label + ":" + std::to_string(line);
        }
        if (!claim_name(line, job.name)) return false;
        out_.jobs.push_back(std::move(job));
        return true;
    }

    bool directive(int line, std::string_view rest) {
        if (pending_) {
            error(pending_line_, "no job line after this #: line");
            ++out_.bad_lines;
        }
        pending_ = true;
        pending_bad_ = true;  // until it is read whole
        pending_line_ = line;
        pending_def_ = job_def{};
        pending_named_ = false;
        pending_env_.clear();
        std::vector<directive_word> words;
        std::string why;
        if (!directive_words(rest, &words, &why)) return error(line, why);
        for (const directive_word& w : words) {
            if (!setting(line, w)) return false;
        }
        pending_bad_ = false;
        return true;
    }

    bool number(int line, const std::string& key, const std::string& value, int64_t lo, int64_t hi,
                bool duration, int* out) {
        char* end = nullptr;
        long long n = std::strtoll(value.c_str(), &end, 10);
        int64_t unit = 1;
        if (duration && end != value.c_str() && *end != '\0' && end[1] == '\0') {
            unit = *end == 's' ? 1 : *end == 'm' ? 60 : *end == 'h' ? 3600 : 0;
            if (unit != 0) ++end;
        }
        if (value.empty() || end == value.c_str() || *end != '\0' || unit == 0 || n < 0 || n > hi / unit ||
            n * unit < lo) {
            return error(line, key + " must be " + std::to_string(lo) + " to " + std::to_string(hi) +
                                   (duration ? " seconds" : "") + ", not '" + value + "'");
        }
        *out = static_cast<int>(n * unit);
        return true;
    }

    bool setting(int line, const directive_word& w) {
        const std::string &key = w.key, &value = w.value;
        job_def& d = pending_def_;
        if (key == "name") {
            // An empty name only quoted: one a job already had.
            if ((value.empty() && !w.quoted) || value.size() > NAME_MAX_BYTES)
                return error(line, "a name is 1 to " + std::to_string(NAME_MAX_BYTES) + " bytes");
            // Quoted, such a name is one a job already had: export writes it so.
            if (!w.quoted && cron_name_like_number(value)) {
                return error(line,
                             "a job name must not read as a number, which the command line takes for "
                             "an id: '" +
                                 value + "'");
            }
            d.name = value;
            pending_named_ = true;
        } else if (key == "enabled") {
            if (value != "yes" && value != "no")
                return error(line, "enabled must be yes or no, not '" + value + "'");
            d.enabled = value == "yes";
        } else if (key == "timeout") {
            if (value != "none" && !number(line, key, value, 0, INT32_MAX, true, &d.timeout)) return false;
        } else if (key == "retries") {
            if (!number(line, key, value, 0, CRONTAB_RETRY_MAX, false, &d.retry_max)) return false;
        } else if (key == "backoff") {
            if (!number(line, key, value, 0, CRONTAB_BACKOFF_MAX_SEC, true, &d.retry_backoff)) return false;
        } else if (key == "overlap") {
            int p = -1;
            for (int k = 0; k < 4; ++k) p = value == policy_names[k] ? k : p;
            if (p < 0)
                return error(line, "overlap must be skip, queue, allow or replace, not '" + value + "'");
            d.overlap = p;
        } else if (key == "catch-up") {
            if (!number(line, key, value, 0, CRONTAB_CATCH_UP_MAX_SEC, true, &d.catch_up)) return false;
        } else if (key == "jitter") {
            if (!number(line, key, value, 0, CRONTAB_JITTER_MAX_SEC, true, &d.jitter)) return false;
        } else if (key == "fixed-jitter") {
            if (value != "yes" && value != "no")
                return error(line, "fixed-jitter must be yes or no, not '" + value + "'");
            d.jitter_fixed = value == "yes";
        } else if (key == "workdir") {
            d.workdir = value;
        } else if (key == "user") {
            d.user = value;
        } else if (key == "label") {
            if (value.find_first_of("\t\n") != std::string::npos)
                return error(line, "a label holds no line break or tab");
            d.label = value;
            d.labelled = true;
        } else if (key == "env") {
            size_t eq = value.find('=');
            if (eq == 0 || eq == std::string::npos)
                return error(line, "env takes NAME=VALUE, not '" + value + "'");
            pending_env_.push_back(value);
        } else {
            static const char* const keys[] = {"name",    "enabled",      "timeout", "retries", "backoff",
                                               "overlap", "workdir",      "env",     "user",    "catch-up",
                                               "jitter",  "fixed-jitter", "label"};
            std::string near;
            for (const char* k : keys) near = cron_edit_distance(key, k) <= 2 ? k : near;
            return error(line, "unknown setting '" + key + "'" +
                                   (near.empty() ? "" : "; did you mean '" + near + "'?"));
        }
        return true;
    }

    bool set_env(int line, const std::string& name, const std::string& value) {
        if ((name == "CRON_TZ" || name == "TZ") && zones_known()) {
            if (!value.empty() &&
                crontab_validate_expr(("CRON_TZ=" + value + " 0 0 * * *").c_str(), nullptr, 0) != 0) {
                return error(line, "unknown time zone '" + value + "'");
            }
            zone_ = value;
            if (name == "CRON_TZ") return true;  // TZ is the commands' too
        } else if ((name == "SHELL" && value != "/bin/sh") || name == "CRON_TZ") {
            static const char* const why[] = {"commands still run under /bin/sh",
                                              "schedules follow the host's local time"};
            int k = name == "SHELL" ? 0 : 1;
            warning(line, name + " is only passed to the commands; " + why[k]);
        }
        env_set(env_, name, value);
        return true;
    }

    bool parse_job(int line, std::string_view text, job_def& job, bool from_directive) {
        std::string_view rest = text;
        std::string expr;
        if (text[0] == '@') {
            std::string_view word = next_word(rest);
            expr.assign(word);
            // "@every 5m cmd": the interval is the word after "@every".
            if (lower(word) == "@every") expr += " " + std::string(next_word(rest));
        } else {
            for (int field = 0; field < 5 && !rest.empty(); ++field) {
                if (field > 0) expr += ' ';
                expr += next_word(rest);
            }
        }
        // Fields are apart by blanks; other white space export could not write.
        if (expr.find_first_of("\v\f") != std::string::npos)
            return error(line, "white space other than blanks in the schedule");
        job.expr = zone_.empty() ? expr : "CRON_TZ=" + zone_ + " " + expr;
        char err[256];
        if (crontab_validate_expr(job.expr.c_str(), err, sizeof err) != 0) return error(line, err);
        if (opts_.system) {
            // Whether it exists and may be run as is the library's to say
            // (import checks every job before it changes anything).
            job.user = next_word(rest);
            if (job.user.empty()) return error(line, "no user after the schedule (a system crontab line)");
        } else if (!from_directive) {
            // A line of our own export never has a user field.
            ++job_lines_;
            if (std::string word(rest.substr(0, rest.find_first_of(" \t"))); !word.empty() && is_user(word)) {
                if (++user_lines_ == 1) {
                    user_first_line_ = line;
                    user_first_word_ = word;
                }
            }
        }
        if (rest.empty()) return error(line, "no command after the schedule");
        if (std::string why; !cron_percent_read(rest, &job.cmd, &why)) return error(line, why);
        return true;
    }

    static bool is_user(const std::string& word) { return ::getpwnam(word.c_str()) != nullptr; }

    // A derived name that another job of the text already has gets " #2", " #3"...
    std::string unique_name(const std::string& base) {
        std::string name = base;
        for (int k = 2; names_.count(name) != 0; ++k) name = base + " #" + std::to_string(k);
        return name;
    }

    bool claim_name(int line, const std::string& name) {
        auto [it, fresh] = names_.emplace(name, line);
        if (!fresh)
            return error(line, "the name '" + name + "' is also on line " + std::to_string(it->second));
        return true;
    }

    const char* file_;
    crontab_read_options opts_;
    FILE* err_;
    crontab_parsed out_;
    env_list env_;
    std::string zone_;
    std::map<std::string, int> names_;
    bool pending_ = false, pending_bad_ = false, pending_named_ = false;
    int job_lines_ = 0, user_lines_ = 0, user_first_line_ = 0;  // for the warning on user fields
    std::string user_first_word_;
    int pending_line_ = 0;
    job_def pending_def_;
    std::vector<std::string> pending_env_;
};

}  // namespace

crontab_parsed cron_crontab_read(const std::string& text, const char* file, const crontab_read_options& opts,
                                 FILE* err) {
    return reader(file, opts, err).read(text);
}

job_def cron_job_def(const job_info& j) {
    job_def d;
    d.name = j.name;
    d.expr = j.expr;
    d.cmd = j.cmd;
    d.workdir = j.workdir;
    d.env = j.env;
    d.enabled = j.enabled;
    d.timeout = j.max_runtime_sec;
    d.retry_max = j.retry_max;
    d.retry_backoff = j.retry_backoff_sec;
    d.overlap = j.overlap_policy;
    d.catch_up = j.catch_up_sec;
    d.jitter = j.jitter_sec;
    d.jitter_fixed = j.jitter_fixed;
    d.user = j.user;
    return d;
}

namespace {

// An expression with its blanks as one space: "0\t0 * * *" is "0 0 * * *",
// which is how a crontab line reads it back.
std::string folded(std::string_view expr) {
    std::string out;
    for (std::string_view rest = trim(expr); !rest.empty();)
        out += (out.empty() ? "" : " ") + std::string(next_word(rest));
    return out;
}

// An environment text without its empty lines, which set nothing and which
// a crontab text does not keep.
std::string env_folded(std::string_view env) {
    std::string out;
    for (size_t at = 0; at < env.size();) {
        size_t end = std::min(env.find('\n', at), env.size());
        if (end > at) out += std::string(out.empty() ? "" : "\n") + std::string(env.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

}  // namespace

bool cron_same_def(const job_def& a, const job_def& b) {
    return a.name == b.name && folded(a.expr) == folded(b.expr) && a.cmd == b.cmd && a.workdir == b.workdir &&
           env_folded(a.env) == env_folded(b.env) && a.enabled == b.enabled && a.timeout == b.timeout &&
           a.retry_max == b.retry_max && a.retry_backoff == b.retry_backoff && a.overlap == b.overlap &&
           a.catch_up == b.catch_up && a.jitter == b.jitter && a.jitter_fixed == b.jitter_fixed &&
           a.user == b.user;
}

std::string cron_jobs_digest(const std::vector<job_info>& jobs, const std::map<int, std::string>& labels) {
    std::vector<std::string> defs;
    for (const job_info& j : jobs) {
        const job_def d = cron_job_def(j);
        std::string one;
        // Each field with its length, so that no two tables give one text.
        const std::string expr = folded(d.expr), env = env_folded(d.env);
        for (const std::string* f : {&d.name, &expr, &d.cmd, &d.workdir, &env})
            one += std::to_string(f->size()) + ":" + *f;
        // Only when set, so the digests of tables without users stay as they were.
        if (!d.user.empty()) one += "user " + std::to_string(d.user.size()) + ":" + d.user;
        // A job moved to another table is a change that edit must not undo.
        if (auto l = labels.find(j.id); l != labels.end() && !l->second.empty())
            one += "label " + std::to_string(l->second.size()) + ":" + l->second;
        for (int n : {int(d.enabled), d.timeout, d.retry_max, d.retry_backoff, d.overlap})
            one += std::to_string(n) + ";";
        // Only when set, so the digest of a table without them stays as it was.
        if (d.catch_up != 0 || d.jitter != 0 || d.jitter_fixed)
            one += "t" + std::to_string(d.catch_up) + ";" + std::to_string(d.jitter) + ";" +
                   std::to_string(int(d.jitter_fixed)) + ";";
        defs.push_back(std::move(one));
    }
    std::sort(defs.begin(), defs.end());
    std::string all;
    for (const std::string& d : defs) all += std::to_string(d.size()) + ":" + d;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(std::hash<std::string>{}(all)));
    return hex;
}

std::string cron_crontab_digest(const std::string& text) {
    const std::string_view key = kDigestLine;
    for (size_t at = 0; at < text.size() && text[at] == '#';) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string_view line = std::string_view(text).substr(at, end - at);
        if (line.rfind(key, 0) == 0) {
            line.remove_prefix(key.size());
            return std::string(next_word(line));
        }
        at = end + 1;
    }
    return "";
}

std::string cron_crontab_write(const std::vector<job_info>& jobs, std::vector<std::string>* problems,
                               const std::map<int, std::string>& labels) {
    std::string text =
        "# The jobs of quilmarn-cron. Each \"#:\" line holds the settings of the job\n"
        "# line after it; a job line without one gets the defaults.\n" +
        std::string(kDigestLine) + cron_jobs_digest(jobs, labels) +
        " (import --expect takes it: the text is applied only to these jobs)\n";
    std::string zone;
    for (const job_info& j : jobs) {
        // A crontab line ends at a line break and loses blanks around the command.
        std::string cmd;
        if (!cron_percent_write(j.cmd, &cmd) || cmd.empty() || blank(cmd.front()) || blank(cmd.back())) {
            problems->push_back("the command of job " + std::to_string(j.id) +
                                " has a line break or blanks at an end, which a crontab line cannot hold");
        }
        // The library takes any white space between fields; a crontab line
        // only blanks.
        if (j.expr.find_first_of("\r\n\v\f") != std::string::npos) {
            problems->push_back("the expression of job " + std::to_string(j.id) +
                                " has a line break or other white space that a crontab line cannot hold");
        }
        std::string expr = j.expr;
        std::string job_zone;
        for (const char* prefix : {"CRON_TZ=", "TZ="}) {
            if (expr.rfind(prefix, 0) != 0) continue;
            size_t end = expr.find_first_of(" \t");
            job_zone = expr.substr(std::strlen(prefix), end - std::strlen(prefix));
            expr = std::string(
                trim(std::string_view(expr).substr(end == std::string::npos ? expr.size() : end)));
        }
        if (job_zone != zone) {
            text += "\nCRON_TZ=" + job_zone + "\n";
            zone = job_zone;
        }
        text += "\n#: name=" + quote(j.name, true);
        if (auto l = labels.find(j.id); l != labels.end() && !l->second.empty())
            text += " label=" + quote(l->second);
        if (!j.enabled) text += " enabled=no";
        if (j.max_runtime_sec > 0) text += " timeout=" + cron_format_duration(j.max_runtime_sec);
        if (j.retry_max > 0) text += " retries=" + std::to_string(j.retry_max);
        if (j.retry_backoff_sec > 0) text += " backoff=" + cron_format_duration(j.retry_backoff_sec);
        if (j.overlap_policy != CRONTAB_OVERLAP_SKIP && j.overlap_policy >= 0 && j.overlap_policy < 4) {
            text += std::string(" overlap=") + policy_names[j.overlap_policy];
        }
        if (j.catch_up_sec > 0) text += " catch-up=" + cron_format_duration(j.catch_up_sec);
        if (j.jitter_sec > 0) text += " jitter=" + cron_format_duration(j.jitter_sec);
        if (j.jitter_fixed) text += " fixed-jitter=yes";
        if (!j.workdir.empty()) text += " workdir=" + quote(j.workdir);
        if (!j.user.empty()) text += " user=" + quote(j.user);
        std::map<std::string, int> env_names;
        for (size_t at = 0; at < j.env.size();) {
            size_t end = j.env.find('\n', at);
            if (end == std::string::npos) end = j.env.size();
            const std::string entry = j.env.substr(at, end - at);
            if (!entry.empty()) text += " env=" + quote(entry);
            // Read back, the last of a name would win; run, the first does.
            if (!entry.empty() && ++env_names[entry.substr(0, entry.find('='))] == 2) {
                problems->push_back("the environment of job " + std::to_string(j.id) + " sets " +
                                    entry.substr(0, entry.find('=')) +
                                    " twice, which a crontab text cannot hold");
            }
            at = end + 1;
        }
        text += "\n" + expr + " " + cmd + "\n";
    }
    return text;
}
