#include "sched/cron_store.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "expr/cron_calc.h"
#include "proc/cron_os.h"
#include "sched/cron_text.h"

namespace {

using rapidjson::Value;

using store_writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

// Standard JSON only: no comments, no trailing commas, strings checked for
// UTF-8. Iterative, so a deeply nested file cannot overflow the host's stack.
constexpr unsigned kParseFlags =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;

constexpr const char* kJobKeys[] = {
    "id", "name", "expr", "cmd", "enabled", "max_runtime_sec", "workdir", "env",
    "overlap_policy", "retry_max", "retry_backoff_sec",
};
constexpr int kJobKeyCount = sizeof kJobKeys / sizeof kJobKeys[0];

// Refuses invalid UTF-8 instead of writing it, so no field reaches the file
// broken. (This PrettyWriter ignores the writer's validation flag.)
bool put_string(store_writer& w, const char* key, const char* text) {
    std::string_view s(text);
    return cron_utf8_valid(s) && w.Key(key) &&
           w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

bool put_job(store_writer& w, const cron_job_t& job) {
    return w.StartObject() && w.Key("id") && w.Int(job.id) && put_string(w, "name", job.name) &&
           put_string(w, "expr", job.expr) && put_string(w, "cmd", job.cmd) && w.Key("enabled") &&
           w.Bool(job.enabled != 0) && w.Key("max_runtime_sec") && w.Int(job.max_runtime_sec) &&
           put_string(w, "workdir", job.workdir) && put_string(w, "env", job.env) &&
           w.Key("overlap_policy") && w.Int(job.overlap_policy) && w.Key("retry_max") &&
           w.Int(job.retry_max) && w.Key("retry_backoff_sec") && w.Int(job.retry_backoff_sec) &&
           w.EndObject();
}

// Reads one store text into the table and remembers whether anything the
// text holds was left out or changed, so the caller can keep a copy.
struct loader {
    crontab_t* ct;
    int64_t now;
    bool whole = true;

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

    // An integer setting: taken when it is an integer within [lo, hi],
    // otherwise `fallback`. A present member not taken as written is a loss.
    int32_t setting(const Value& job, const char* key, int32_t lo, int32_t hi, int32_t fallback) {
        const Value* v = member(job, key);
        if (v == nullptr) return 0;
        int32_t n = 0;
        if (!int32_of(*v, &n)) {
            whole = false;
            return 0;
        }
        if (!v->IsInt()) whole = false;  // only its low 32 bits were taken
        if (n < lo || n > hi) {
            whole = false;
            return fallback;
        }
        return n;
    }

    // A text member that fits its field whole: valid UTF-8, no zero byte, at
    // most size - 1 bytes. A text cut short would change what the job does.
    static bool fits(const Value& v, size_t size) {
        if (!v.IsString()) return false;
        std::string_view s(v.GetString(), v.GetStringLength());
        return s.size() < size && s.find('\0') == std::string_view::npos && cron_utf8_valid(s);
    }

    // Unknown keys and repeated keys are not written back by the next save.
    void note_keys(const Value& obj, const char* const* known, int count) {
        unsigned seen = 0;
        for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
            int k = 0;
            while (k < count && std::strcmp(it->name.GetString(), known[k]) != 0) ++k;
            if (k == count || (seen & (1u << k))) whole = false;
            if (k < count) seen |= 1u << k;
        }
    }

    // Loads one element of "jobs". False when the table is full.
    bool take_job(const Value& el) {
        if (!el.IsObject() || el.MemberCount() == 0) {
            whole = false;
            return true;
        }
        note_keys(el, kJobKeys, kJobKeyCount);
        const Value* name = member(el, "name");
        const Value* expr = member(el, "expr");
        const Value* cmd = member(el, "cmd");
        if (name == nullptr || !name->IsString() || expr == nullptr || cmd == nullptr ||
            !fits(*expr, CRON_EXPR_SIZE) || !fits(*cmd, CRON_CMD_SIZE)) {
            whole = false;
            return true;
        }
        if (!cron_utf8_valid(std::string_view(name->GetString(), name->GetStringLength()))) {
            whole = false;
            return true;
        }
        const Value* workdir = member(el, "workdir");
        const Value* env = member(el, "env");
        // A path or environment that does not fit would run the command
        // somewhere else or with other values: leave the job out.
        if ((workdir != nullptr && workdir->IsString() && !fits(*workdir, CRON_WORKDIR_SIZE)) ||
            (env != nullptr && env->IsString() && !fits(*env, CRON_ENV_SIZE))) {
            whole = false;
            return true;
        }
        cron_expr_t sched{};
        char err[CRON_ERRBUF_SIZE];
        if (cron_parse(expr->GetString(), &sched, err, sizeof err) != 0) {
            whole = false;
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
            whole = false;
            return false;
        }

        int32_t stored_id = 0;
        const Value* id = member(el, "id");
        if (id != nullptr && (!int32_of(*id, &stored_id) || !id->IsInt() || stored_id < 1)) {
            whole = false;
        }
        if (stored_id < 1) {
            // No counter value is left to hand out.
            if (ct->next_id == INT32_MAX) {
                whole = false;
                return true;
            }
            stored_id = ct->next_id++;
        } else if (stored_id >= ct->next_id) {
            ct->next_id = stored_id == INT32_MAX ? INT32_MAX : stored_id + 1;
        }

        cron_job_clear(job);
        job->id = stored_id;
        // Only the name may be cut to its field: it changes no run.
        cron_copy_text(job->name, sizeof job->name, name->GetString());
        if (!fits(*name, sizeof job->name)) whole = false;
        cron_copy_text(job->expr, sizeof job->expr, expr->GetString());
        cron_copy_text(job->cmd, sizeof job->cmd, cmd->GetString());

        const Value* enabled = member(el, "enabled");
        job->enabled = enabled != nullptr && enabled->IsTrue();
        if (enabled != nullptr && !enabled->IsBool()) whole = false;

        int32_t limit = setting(el, "max_runtime_sec", INT32_MIN, INT32_MAX, 0);
        if (limit < 0) {
            whole = false;
            limit = 0;
        }
        job->max_runtime_sec = limit;
        if (workdir != nullptr) {
            if (workdir->IsString()) {
                cron_copy_text(job->workdir, sizeof job->workdir, workdir->GetString());
            } else {
                whole = false;
            }
        }
        if (env != nullptr) {
            if (env->IsString()) {
                cron_copy_text(job->env, sizeof job->env, env->GetString());
            } else {
                whole = false;
            }
        }
        job->sched = sched;
        job->overlap_policy = setting(el, "overlap_policy", 0, 2, CRON_OVERLAP_SKIP);
        job->in_use = 1;
        job->retry_max = setting(el, "retry_max", 0, 10, 0);
        job->retry_backoff_sec = setting(el, "retry_backoff_sec", 0, 3600, 0);
        cron_recompute_next(job, now);
        return true;
    }

    bool run(const std::string& text) {
        // The zero-terminated parse rejects a byte-order mark (the
        // length-taking one skips it), but would stop at a zero byte. The
        // whole text is checked for UTF-8 first: the parser's own check reads
        // past the end of a string that ends in a cut character.
        if (text.find('\0') != std::string::npos || !cron_utf8_valid(text)) return false;
        rapidjson::Document doc;
        doc.Parse<kParseFlags>(text.c_str());
        if (doc.HasParseError() || !doc.IsObject()) return false;

        static constexpr const char* kRootKeys[] = {"next_id", "jobs"};
        note_keys(doc, kRootKeys, 2);
        ct->next_id = 1;
        if (const Value* next = member(doc, "next_id")) {
            int32_t n = 0;
            if (int32_of(*next, &n) && next->IsInt() && n >= 1) {
                ct->next_id = n;
            } else {
                whole = false;
            }
        }
        const Value* jobs = member(doc, "jobs");
        if (jobs == nullptr) return whole;
        if (!jobs->IsArray()) return false;
        for (const Value& el : jobs->GetArray()) {
            if (!take_job(el)) break;
        }
        return whole;
    }
};

}  // namespace

std::string cron_store_path(const crontab_t* ct) {
    return std::string(ct->data_dir) + "/crontab.json";
}

bool cron_store_format(const crontab_t* ct, std::string* out) {
    rapidjson::StringBuffer buf;
    store_writer w(buf);
    w.SetIndent(' ', 4);
    bool ok = w.StartObject() && w.Key("next_id") && w.Int(ct->next_id) && w.Key("jobs") &&
              w.StartArray();
    for (const cron_job_t& job : ct->jobs) {
        if (ok && job.in_use) ok = put_job(w, job);
    }
    ok = ok && w.EndArray() && w.EndObject();
    if (!ok) return false;
    out->assign(buf.GetString(), buf.GetSize());
    return true;
}

bool cron_store_parse(crontab_t* ct, const std::string& text, int64_t now) {
    loader l{ct, now};
    return l.run(text);
}

void cron_persist_save(crontab_t* ct) {
    if (ct == nullptr || ct->data_dir[0] == '\0') return;
    cron_shared_t& sh = *ct->shared;
    std::string text;
    if (!cron_store_format(ct, &text)) return;
    std::string path = cron_store_path(ct);
    bool exists = cron_os_file_exists(path.c_str());
    // A running scheduler saves on every tick; unchanged text stays on disk.
    if (exists && text == sh.last_saved) return;
    if (sh.keep_backup && exists) {
        // What the load could not take is kept before it is replaced.
        if (cron_os_copy_file(path.c_str(), (path + ".bak").c_str()) != 0) return;
    }
    sh.keep_backup = false;
    // Remembered only once on disk, so a failed write is retried next time.
    if (cron_os_replace_file(path.c_str(), text.data(), text.size()) == 0) {
        sh.last_saved = std::move(text);
    }
}

void cron_persist_load(crontab_t* ct) {
    if (ct == nullptr || ct->data_dir[0] == '\0') return;
    std::string path = cron_store_path(ct);
    // A host killed while saving leaves its temporary file behind.
    cron_os_remove_stale_temps(path.c_str());
    cron_os_remove_stale_temps((path + ".bak").c_str());
    if (!cron_os_file_exists(path.c_str())) return;
    std::string text;
    bool whole = cron_os_read_file(path.c_str(), &text) && cron_store_parse(ct, text, cron_os_now());
    ct->shared->keep_backup = !whole;
}
