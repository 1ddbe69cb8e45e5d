#include "sched/cron_store.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "base/cron_text.h"
#include "expr/cron_calc.h"
#include "proc/cron_os.h"
#include "sched/cron_error.h"
#include "sched/cron_job_rules.h"

namespace {

using rapidjson::Value;

using store_writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

// Standard JSON only: no comments, no trailing commas, strings checked for
// UTF-8. Iterative, so a deeply nested file cannot overflow the host's stack.
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;

// Far above the text 128 jobs can make (about 400 KiB with every field
// full), and small enough to read whole into memory.
constexpr size_t kMaxStoreBytes = 8 * 1024 * 1024;

constexpr const char* kJobKeys[] = {
    "id",         "name",         "expr",           "cmd",       "enabled",           "max_runtime_sec",
    "workdir",    "env",          "overlap_policy", "retry_max", "retry_backoff_sec", "catch_up_sec",
    "jitter_sec", "jitter_fixed", "user",
};
constexpr int kJobKeyCount = sizeof kJobKeys / sizeof kJobKeys[0];

// Refuses invalid UTF-8 instead of writing it, so no field reaches the file
// broken. (This PrettyWriter ignores the writer's validation flag.)
bool put_string(store_writer& w, const char* key, const char* text) {
    std::string_view s(text);
    return cron_utf8_valid(s) && w.Key(key) && w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

// Written only when set, so a store without them reads as before.
bool put_timing(store_writer& w, const cron_job_t& job) {
    return (job.catch_up_sec == 0 || (w.Key("catch_up_sec") && w.Int(job.catch_up_sec))) &&
           (job.jitter_sec == 0 || (w.Key("jitter_sec") && w.Int(job.jitter_sec))) &&
           (job.jitter_fixed == 0 || (w.Key("jitter_fixed") && w.Int(job.jitter_fixed)));
}

// Only a job that has a user carries the member: a store without users stays
// byte for byte as older versions wrote it.
bool put_user(store_writer& w, const cron_job_t& job) {
    return job.user[0] == '\0' || put_string(w, "user", job.user);
}

bool put_job(store_writer& w, const cron_job_t& job) {
    return w.StartObject() && w.Key("id") && w.Int(job.id) && put_string(w, "name", job.name) &&
           put_string(w, "expr", job.expr) && put_string(w, "cmd", job.cmd) && w.Key("enabled") &&
           w.Bool(job.enabled != 0) && w.Key("max_runtime_sec") && w.Int(job.max_runtime_sec) &&
           put_string(w, "workdir", job.workdir) && put_string(w, "env", job.env) &&
           w.Key("overlap_policy") && w.Int(job.overlap_policy) && w.Key("retry_max") &&
           w.Int(job.retry_max) && w.Key("retry_backoff_sec") && w.Int(job.retry_backoff_sec) &&
           put_timing(w, job) && put_user(w, job) && w.EndObject();
}

// Reads one store text into the table and remembers whether anything the
// text holds was left out or changed, so the caller can keep a copy, and why
// the first time.
struct loader {
    crontab_t* ct;
    int64_t now;
    bool whole = true;
    std::string lost;  // the first loss: "crontab.json job 2: ..."
    std::string at;    // what is being read, for `lost`

    void lose(const std::string& what) {
        if (whole) lost = at + ": " + what;
        whole = false;
    }

    // The first member with this key (a later duplicate is ignored), or null.
    static const Value* member(const Value& obj, const char* key) {
        auto it = obj.FindMember(key);
        return it == obj.MemberEnd() ? nullptr : &it->value;
    }

    // A JSON integer is a number without fraction or exponent that fits in
    // 64 bits; its low 32 bits are the value. False for every other value.
    static bool int32_of(const Value& v, int32_t* out) {
        if (v.IsInt64()) {
            *out = static_cast<int32_t>(static_cast<uint32_t>(v.GetInt64()));
        } else if (v.IsUint64()) {
            *out = static_cast<int32_t>(static_cast<uint32_t>(v.GetUint64()));
        } else {
            return false;
        }
        return true;
    }

    // An integer setting: taken when it is an integer the rule accepts,
    // otherwise 0. A present member not taken as written is a loss.
    int32_t setting(const Value& job, const char* key, bool (*valid)(int32_t)) {
        const Value* v = member(job, key);
        if (v == nullptr) return 0;
        int32_t n = 0;
        if (!int32_of(*v, &n)) {
            lose(std::string("\"") + key + "\" is not an integer");
            return 0;
        }
        if (!v->IsInt()) lose(std::string("\"") + key + "\" does not fit 32 bits");
        if (!valid(n)) {
            lose(std::string("\"") + key + "\" is out of range: " + std::to_string(n));
            return 0;
        }
        return n;
    }

    static std::string_view view(const Value& v) { return {v.GetString(), v.GetStringLength()}; }

    // Unknown keys and repeated keys are not written back by the next save.
    void note_keys(const Value& obj, const char* const* known, int count) {
        unsigned seen = 0;
        for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
            int k = 0;
            while (k < count && std::strcmp(it->name.GetString(), known[k]) != 0) ++k;
            if (k == count) lose("unknown member \"" + std::string(view(it->name)) + "\"");
            if (k < count && (seen & (1u << k))) lose(std::string("\"") + known[k] + "\" appears twice");
            if (k < count) seen |= 1u << k;
        }
    }

    // Loads one element of "jobs". False when the table is full. A job the
    // job exports would refuse is left out: the same rules decide.
    bool take_job(const Value& el, size_t index) {
        at = "crontab.json job " + std::to_string(index + 1);
        if (!el.IsObject() || el.MemberCount() == 0) {
            lose("not an object with members");
            return true;
        }
        note_keys(el, kJobKeys, kJobKeyCount);
        const Value* name = member(el, "name");
        const Value* expr = member(el, "expr");
        const Value* cmd = member(el, "cmd");
        const Value* workdir = member(el, "workdir");
        const Value* env = member(el, "env");
        const Value* user = member(el, "user");
        if (name != nullptr && name->IsString()) at += " ('" + std::string(view(*name).substr(0, 64)) + "')";
        // A job that cannot run as its user never runs as the host instead.
        if (user != nullptr && !user->IsString()) {
            lose("\"user\" is not a string");
            return true;
        }
        for (auto [v, key] : {std::pair{name, "name"}, {expr, "expr"}, {cmd, "cmd"}}) {
            if (v == nullptr || !v->IsString()) {
                lose(std::string("no \"") + key + "\" string");
                return true;
            }
        }
        cron_expr_t sched{};
        // A text cut short would change what the job does; only the name may
        // be cut to its field. A path or environment that the child would not
        // get as written would run the command somewhere else or with other
        // values.
        if (!cron_rule_name(view(*name)) || !cron_rule_expr(view(*expr), &sched) ||
            !cron_rule_cmd(view(*cmd)) ||
            (workdir != nullptr && workdir->IsString() && !cron_rule_workdir(view(*workdir))) ||
            (env != nullptr && env->IsString() && !cron_rule_env(view(*env))) ||
            (user != nullptr && !cron_rule_user(view(*user)))) {
            lose(cron_error_text());
            return true;
        }

        cron_job_t* job = nullptr;
        for (cron_job_t& slot : ct->jobs) {
            if (!slot.in_use) {
                job = &slot;
                break;
            }
        }
        if (job == nullptr) {
            lose("the table is full: " + std::to_string(CRON_MAX_JOBS) + " jobs");
            return false;
        }

        int32_t stored_id = 0;
        const Value* id = member(el, "id");
        if (id != nullptr && (!int32_of(*id, &stored_id) || !id->IsInt() || stored_id < 1)) {
            lose("\"id\" is not a positive 32-bit integer");
        }
        if (stored_id >= 1 && cron_job_find(ct, stored_id) != nullptr) {
            // Two jobs under one id cannot both be named by it: the first wins.
            lose("id " + std::to_string(stored_id) + " belongs to an earlier job");
            return true;
        }
        if (stored_id < 1) {
            // No counter value is left to hand out.
            if (ct->next_id == INT32_MAX) {
                lose("no job id is left to hand out");
                return true;
            }
            stored_id = ct->next_id++;
        }

        cron_job_clear(job);
        job->id = stored_id;
        cron_copy_text(job->name, sizeof job->name, name->GetString());
        if (name->GetStringLength() >= sizeof job->name)
            lose("the name is longer than " + std::to_string(sizeof job->name - 1) + " bytes");
        cron_copy_text(job->expr, sizeof job->expr, expr->GetString());
        cron_copy_text(job->cmd, sizeof job->cmd, cmd->GetString());

        const Value* enabled = member(el, "enabled");
        job->enabled = enabled != nullptr && enabled->IsTrue();
        if (enabled != nullptr && !enabled->IsBool()) lose("\"enabled\" is not true or false");

        int32_t limit = setting(el, "max_runtime_sec", [](int32_t) { return true; });
        if (limit < 0) {
            lose("\"max_runtime_sec\" is negative");
            limit = 0;
        }
        job->max_runtime_sec = limit;
        if (workdir != nullptr) {
            if (workdir->IsString()) {
                cron_copy_text(job->workdir, sizeof job->workdir, workdir->GetString());
            } else {
                lose("\"workdir\" is not a string");
            }
        }
        if (env != nullptr) {
            if (env->IsString()) {
                cron_copy_text(job->env, sizeof job->env, env->GetString());
            } else {
                lose("\"env\" is not a string");
            }
        }
        job->sched = sched;
        job->overlap_policy = setting(el, "overlap_policy", cron_rule_overlap);
        job->in_use = 1;
        job->retry_max = setting(el, "retry_max", cron_rule_retry_max);
        job->retry_backoff_sec = setting(el, "retry_backoff_sec", cron_rule_backoff);
        job->catch_up_sec = setting(el, "catch_up_sec", cron_rule_catch_up);
        job->jitter_sec = setting(el, "jitter_sec", cron_rule_jitter);
        job->jitter_fixed = setting(el, "jitter_fixed", cron_rule_flag);
        if (user != nullptr) cron_copy_text(job->user, sizeof job->user, user->GetString());
        cron_recompute_next(job, now);
        return true;
    }

    // Every id the file names, whether its job loads or not, stays used:
    // next_id goes above the largest, so no id is ever handed out twice.
    void reserve_ids(const Value& jobs) {
        for (const Value& el : jobs.GetArray()) {
            if (!el.IsObject()) continue;
            const Value* id = member(el, "id");
            int32_t n = 0;
            if (id == nullptr || !int32_of(*id, &n) || n < 1) continue;
            if (n >= ct->next_id) ct->next_id = n == INT32_MAX ? INT32_MAX : n + 1;
        }
    }

    // "crontab.json line 3, column 5": columns count characters.
    static std::string place(const std::string& text, size_t offset) {
        size_t line = 1, column = 1;
        for (size_t i = 0; i < offset && i < text.size(); ++i) {
            if (text[i] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                ++column;
            }
        }
        return "crontab.json line " + std::to_string(line) + ", column " + std::to_string(column);
    }

    // Why the text cannot be read as a whole, or "" when it can.
    static std::string unreadable(const std::string& text, const rapidjson::Document& doc) {
        if (doc.HasParseError()) {
            std::string what = rapidjson::GetParseError_En(doc.GetParseError());
            if (!what.empty() && what.back() == '.') what.pop_back();
            if (!what.empty() && what[0] >= 'A' && what[0] <= 'Z')
                what[0] = static_cast<char>(what[0] - 'A' + 'a');
            return place(text, doc.GetErrorOffset()) + ": " + what;
        }
        if (!doc.IsObject()) return "crontab.json does not hold a JSON object";
        return "";
    }

    bool run(const std::string& text, std::string* why) {
        // The zero-terminated parse rejects a byte-order mark (the
        // length-taking one skips it), but would stop at a zero byte. The
        // whole text is checked for UTF-8 first: the parser's own check reads
        // past the end of a string that ends in a cut character.
        std::string reason;
        size_t valid = cron_utf8_valid_prefix(text);
        size_t zero = text.find('\0');
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            reason = "crontab.json begins with a byte-order mark";
        } else if (zero != std::string::npos && zero <= valid) {
            reason = place(text, zero) + ": a zero byte";
        } else if (valid != text.size()) {
            reason = place(text, valid) + ": not valid UTF-8";
        }
        rapidjson::Document doc;
        if (reason.empty()) {
            doc.Parse<kParseFlags>(text.c_str());
            reason = unreadable(text, doc);
        }
        if (!reason.empty()) {
            if (why != nullptr) *why = std::move(reason);
            return false;
        }

        static constexpr const char* kRootKeys[] = {"next_id", "jobs"};
        note_keys(doc, kRootKeys, 2);
        // A reload's table starts from the instance's counter: a job the
        // file gives no id never takes one used before.
        const int32_t floor = std::max(ct->next_id, 1);
        ct->next_id = floor;
        if (const Value* next = member(doc, "next_id")) {
            int32_t n = 0;
            if (int32_of(*next, &n) && next->IsInt() && n >= 1) {
                ct->next_id = std::max(floor, n);
            } else {
                lose("\"next_id\" is not a positive 32-bit integer");
            }
        }
        const Value* jobs = member(doc, "jobs");
        if (jobs == nullptr) return whole;
        if (!jobs->IsArray()) {
            lose("\"jobs\" is not an array");
            return false;
        }
        reserve_ids(*jobs);
        for (rapidjson::SizeType i = 0; i < jobs->Size(); ++i) {
            if (!take_job((*jobs)[i], i)) break;
        }
        return whole;
    }
};

}  // namespace

bool cron_store_format(const crontab_t* ct, std::string* out) {
    rapidjson::StringBuffer buf;
    store_writer w(buf);
    w.SetIndent(' ', 4);
    bool ok = w.StartObject() && w.Key("next_id") && w.Int(ct->next_id) && w.Key("jobs") && w.StartArray();
    for (const cron_job_t& job : ct->jobs) {
        if (ok && job.in_use) ok = put_job(w, job);
    }
    ok = ok && w.EndArray() && w.EndObject();
    if (!ok) return false;
    out->assign(buf.GetString(), buf.GetSize());
    return true;
}

bool cron_store_format_job(const cron_job_t& job, std::string* out) {
    rapidjson::StringBuffer buf;
    store_writer w(buf);
    if (!put_job(w, job)) return false;
    out->assign(buf.GetString(), buf.GetSize());
    return true;
}

bool cron_store_parse(crontab_t* ct, const std::string& text, int64_t now, std::string* unreadable,
                      std::string* lost) {
    loader l{ct, now, true, {}, "crontab.json"};
    const bool whole = l.run(text, unreadable);
    if (lost != nullptr) *lost = std::move(l.lost);
    return whole;
}

namespace {

constexpr char kStoreName[] = "crontab.json";

// "crontab.json.bak", then "crontab.json.bak.1", ...
std::string backup_name(int n) {
    std::string name = kStoreName;
    name += ".bak";
    if (n > 0) {
        name += '.';
        name += std::to_string(n);
    }
    return name;
}

// Keeps the store as it is on disk under a backup name before it is first
// replaced. An earlier, different backup is never overwritten: the copy takes
// the next free name, crontab.json.bak, then .bak.1, .bak.2, ... A name
// taken by anything but a trusted regular file stops the save: a link, a
// FIFO or a device there is refused, never followed, waited on or read.
bool keep_backup(const cron_os_dir_t& dir) {
    std::string original, why;
    if (cron_os_read_at(dir, kStoreName, &original, kMaxStoreBytes, &why) != cron_os_read_status::ok) {
        cron_error_set("the job store could not be saved: it could not be read for its backup: %s",
                       why.c_str());
        return false;
    }
    for (int n = 0; n < 10000; ++n) {
        const std::string name = backup_name(n);
        // A backup longer than the store cannot equal it: one byte past its
        // size is all that is read.
        std::string earlier;
        switch (cron_os_read_at(dir, name.c_str(), &earlier, original.size(), &why)) {
            case cron_os_read_status::ok:
                if (earlier == original) return true;
                continue;
            case cron_os_read_status::failed:
                cron_error_set("the job store could not be saved: %s", why.c_str());
                return false;
            case cron_os_read_status::missing: break;
        }
        if (cron_os_replace_at(dir, name.c_str(), original.data(), original.size(), &why) == 0) return true;
        cron_error_set("the job store could not be saved: its backup %s could not be written: %s",
                       name.c_str(), why.c_str());
        return false;
    }
    cron_error_set("the job store could not be saved: no free name is left for its backup");
    return false;
}

// Names a later save may write a backup to: their writers' temporary files.
void remove_stale_backup_temps(const cron_os_dir_t& dir) {
    for (int n = 0; n < 10000; ++n) {
        const std::string name = backup_name(n);
        cron_os_remove_stale_temps_at(dir, name.c_str());
        if (!cron_os_exists_at(dir, name.c_str())) return;
    }
}

}  // namespace

bool cron_persist_save(crontab_t* ct) {
    if (ct == nullptr || ct->data_dir[0] == '\0') return true;
    cron_shared_t& sh = *ct->shared;
    std::string text;
    if (!cron_store_format(ct, &text)) {
        cron_error_set("the job store could not be saved: a job holds text that is not valid UTF-8");
        return false;
    }
    // Opened afresh: a directory replaced or remounted since create is the
    // one written, and one that can no longer be trusted is refused.
    cron_os_dir_t dir;
    std::string why;
    if (!cron_os_dir_open(ct->data_dir, &dir, &why, nullptr)) {
        cron_error_set("the job store could not be saved: %s", why.c_str());
        return false;
    }
    const bool exists = cron_os_exists_at(dir, kStoreName);
    // Unchanged text stays on disk.
    if (exists && text == sh.last_saved) return true;
    // What the load could not take is kept before it is replaced.
    if (sh.keep_backup && exists && !keep_backup(dir)) return false;
    sh.keep_backup = false;
    if (cron_os_replace_at(dir, kStoreName, text.data(), text.size(), &why) != 0) {
        cron_error_set("the job store could not be saved: %s", why.c_str());
        return false;
    }
    sh.last_saved = std::move(text);
    return true;
}

cron_os_read_status cron_store_read(const cron_os_dir_t& dir, std::string* text,
                                    std::vector<std::string>* exposed) {
    std::string why;
    const cron_os_read_status st = cron_os_read_at(dir, kStoreName, text, kMaxStoreBytes, &why, exposed);
    if (st == cron_os_read_status::failed) cron_error_set("%s", why.c_str());
    if (st != cron_os_read_status::ok || text->size() <= kMaxStoreBytes) return st;
    cron_error_set("crontab.json is larger than %zu MiB", kMaxStoreBytes / (1024 * 1024));
    return cron_os_read_status::failed;
}

bool cron_persist_load(crontab_t* ct, const cron_os_dir_t& dir, std::vector<std::string>* exposed) {
    if (ct == nullptr || ct->data_dir[0] == '\0') return true;
    std::string text;
    switch (cron_store_read(dir, &text, exposed)) {
        case cron_os_read_status::missing:
            // A host killed during its first save leaves only its temporary file.
            cron_os_remove_stale_temps_at(dir, kStoreName);
            return true;
        case cron_os_read_status::failed: return false;
        case cron_os_read_status::ok: break;
    }
    std::string unreadable;
    bool whole = cron_store_parse(ct, text, cron_os_now(), &unreadable);
    if (!unreadable.empty()) {
        // Nothing is touched: the host learns why and the file waits for a
        // person to mend it.
        cron_error_set("%s", unreadable.c_str());
        return false;
    }
    // A host killed while saving leaves its temporary file behind.
    cron_os_remove_stale_temps_at(dir, kStoreName);
    remove_stale_backup_temps(dir);
    ct->shared->keep_backup = !whole;
    if (whole) ct->shared->last_saved = std::move(text);
    return true;
}
