#include "feed.h"

#include <cmath>
#include <string>
#include <utility>

#include "events.h"
#include "job_list.h"
#include "text_util.h"

namespace {

// Events read at once: a drain ends with a shorter batch.
constexpr int kBatch = 256;
// Executions whose end was never seen (their events lost) are forgotten past this.
constexpr size_t kPendingMax = 2 * CRONTAB_MAX_ACTIVE * (CRONTAB_RETRY_MAX + 1);

using rapidjson::Value;

int64_t int_of(const Value& o, const char* k) {
    auto it = o.FindMember(k);
    return it != o.MemberEnd() && it->value.IsInt64() ? it->value.GetInt64() : 0;
}

uint64_t uint_of(const Value& o, const char* k) {
    auto it = o.FindMember(k);
    return it != o.MemberEnd() && it->value.IsUint64() ? it->value.GetUint64() : 0;
}

std::string text_of(const Value& o, const char* k) {
    auto it = o.FindMember(k);
    return it != o.MemberEnd() && it->value.IsString()
               ? std::string(it->value.GetString(), it->value.GetStringLength())
               : std::string();
}

bool flag_of(const Value& o, const char* k) {
    auto it = o.FindMember(k);
    return it != o.MemberEnd() && it->value.IsBool() && it->value.GetBool();
}

// A kind's line name: the library's word, with "-" for "_" as the daemon's
// own lines have it.
std::string line_name(std::string kind) {
    for (char& c : kind) c = c == '_' ? '-' : c;
    return kind;
}

}  // namespace

event_feed::event_feed(crontab_t* ct, runs_store* runs, bool log_lines, failure_fn on_failure)
    : ct_(ct), runs_(runs), log_(log_lines), on_failure_(std::move(on_failure)) {}

void event_feed::drain() {
    for (;;) {
        char* text = crontab_read_events_json(ct_, after_, kBatch);
        if (text == nullptr) return;
        rapidjson::Document doc;
        const bool parsed = cron_json_parse(text, std::char_traits<char>::length(text), &doc);
        crontab_free(text);
        if (!parsed || !doc.IsArray()) return;
        for (const Value& e : doc.GetArray()) {
            if (!e.IsObject()) continue;
            handle(&e);
            after_ = std::max(after_, uint_of(e, "seq"));
        }
        if (doc.Size() < static_cast<rapidjson::SizeType>(kBatch)) return;
    }
}

void event_feed::keep(int id, const run_record& r) {
    if (runs_ == nullptr) return;
    auto& kept = kept_[id];
    if (r.execution != 0 && !kept.insert({r.execution, r.attempt}).second) return;
    // More than the ring holds, so a record the ring still has is found here.
    if (kept.size() > 2 * CRONTAB_LOG_CAPACITY) kept.erase(kept.begin());
    runs_->append(id, r);
}

// The records of dropped `finished` events are taken from the jobs' rings,
// which keep the newest of each job.
void event_feed::recover_lost() {
    if (runs_ == nullptr) return;
    std::vector<job_info> jobs;
    if (!cron_read_jobs(ct_, &jobs)) return;
    for (const job_info& j : jobs) {
        std::vector<run_record> ring;  // newest first
        if (!cron_read_logs(ct_, j.id, CRONTAB_LOG_CAPACITY, &ring)) continue;
        const auto& kept = kept_[j.id];
        const std::pair<uint64_t, int> oldest_kept =
            kept.empty() ? std::pair<uint64_t, int>{0, 0} : *kept.begin();
        for (auto it = ring.rbegin(); it != ring.rend(); ++it) {
            // Older than what was kept: written before, or by an earlier process.
            if (it->execution != 0 && std::pair<uint64_t, int>{it->execution, it->attempt} > oldest_kept)
                keep(j.id, *it);
        }
    }
}

void event_feed::handle(const void* object) {
    const Value& e = *static_cast<const Value*>(object);
    const std::string kind = text_of(e, "kind");
    const int id = static_cast<int>(int_of(e, "job_id"));
    const std::string job = text_of(e, "job_name");
    const uint64_t execution = uint_of(e, "execution");
    std::string name = line_name(kind);
    event line("", id, job);
    line.at_ms(int_of(e, "time_ms")).num("seq", static_cast<int64_t>(uint_of(e, "seq")));
    if (execution != 0) line.num("execution", static_cast<int64_t>(execution));

    if (kind == "admitted") {
        line.text("trigger", text_of(e, "trigger"));
        if (e.HasMember("fire_time")) line.num("due", int_of(e, "fire_time"));
        if (e.HasMember("delay_ms")) line.num("delay_ms", int_of(e, "delay_ms"));
    } else if (kind == "missed") {
        line.text("level", "warning")
            .num("due", int_of(e, "fire_time"))
            .num("count", int_of(e, "count"))
            .text("reason", "outside the catch-up window");
    } else if (kind == "state_damaged") {
        line.text("level", "warning").text("reason", text_of(e, "error"));
    } else if (kind == "skipped") {
        line.text("reason", text_of(e, "reason"))
            .num("due", int_of(e, "fire_time"))
            .num("count", int_of(e, "count"));
    } else if (kind == "queued") {
        line.text("reason", "still running").num("due", int_of(e, "fire_time"));
    } else if (kind == "started") {
        line.num("attempt", int_of(e, "attempt")).num("pid", int_of(e, "pid"));
    } else if (kind == "not_started") {
        line.num("attempt", int_of(e, "attempt")).text("reason", text_of(e, "reason"));
    } else if (kind == "finished") {
        run_record r;
        auto rec = e.FindMember("record");
        if (rec == e.MemberEnd() || !cron_record_from_json(rec->value, &r)) return;
        const bool lost = flag_of(e, "output_lost");
        if (lost) {
            // Later texts took the feed's copy; the job's ring may still have it.
            std::vector<run_record> ring;
            if (cron_read_logs(ct_, id, CRONTAB_LOG_CAPACITY, &ring)) {
                for (const run_record& x : ring) {
                    if (x.execution == r.execution && x.attempt == r.attempt) r = x;
                }
            }
        }
        r.finished_ms = int_of(e, "time_ms");
        keep(id, r);
        if (execution != 0) {
            if (last_attempt_.size() >= kPendingMax) last_attempt_.erase(last_attempt_.begin());
            last_attempt_[execution] = hook_call{id, job, r.exit_code, r.attempt, r.out + r.err};
        }
        name = r.exit_code == CRONTAB_EXIT_TIME_LIMIT  ? "timeout"
               : r.exit_code == CRONTAB_EXIT_CANCELLED ? "cancelled"
                                                       : "finished";
        line.num("exit_code", r.exit_code)
            .num("duration_ms", r.duration_ms)
            .num("attempt", r.attempt)
            .json_only("stdout", r.out)
            .json_only("stderr", r.err)
            .body(record_output(r));
        if (r.truncated) line.flag("truncated", true);
        if (lost && r.out.empty() && r.err.empty()) line.flag("output_lost", true);
    } else if (kind == "retrying") {
        const int64_t wait_ms = int_of(e, "retry_at_ms") - int_of(e, "time_ms");
        line.num("attempt", int_of(e, "attempt"))
            .num("backoff_sec", static_cast<int64_t>(std::llround(static_cast<double>(wait_ms) / 1000.0)));
    } else if (kind == "ended") {
        const std::string outcome = text_of(e, "outcome");
        line.text("outcome", outcome)
            .num("attempts", int_of(e, "attempts"))
            .num("exit_code", int_of(e, "exit_code"))
            .flag("retries_exhausted", flag_of(e, "retries_exhausted"));
        auto it = last_attempt_.find(execution);
        hook_call call{
            id, job, static_cast<int>(int_of(e, "exit_code")), static_cast<int>(int_of(e, "attempts")), {}};
        if (it != last_attempt_.end()) {
            call.input = std::move(it->second.input);
            last_attempt_.erase(it);
        }
        if (outcome != "cancelled" && on_ended_) on_ended_(call);
        // Once per execution, at its end: never for a cancel.
        if (flag_of(e, "retries_exhausted") && outcome != "cancelled" && on_failure_) {
            if (log_) cron_event_write(line.rename(name));
            on_failure_(call);
            return;
        }
    } else if (kind == "cancelled") {
        name = "cancel";  // "cancelled" is the line of the attempt it ends
        line.flag("child_signalled", flag_of(e, "child_signalled"));
    } else if (kind == "added" || kind == "changed" || kind == "removed") {
        if (kind == "changed") line.text("change", text_of(e, "change"));
        // Taken from a reload of the file: the daemon wrote nothing.
        if (e.HasMember("cause")) line.text("cause", text_of(e, "cause"));
        if (kind == "removed") {
            kept_.erase(id);
            if (runs_ != nullptr) runs_->forget(id);
        }
    } else if (kind == "reloaded") {
        // The line every reload of the tool writes, whatever reads the file.
        if (log_) {
            cron_event_write(event("reloaded")
                                 .at_ms(int_of(e, "time_ms"))
                                 .text("source", "crontab.json")
                                 .num("added", int_of(e, "added"))
                                 .num("changed", int_of(e, "changed"))
                                 .num("removed", int_of(e, "removed"))
                                 .num("kept", int_of(e, "kept")));
        }
        return;
    } else if (kind == "save_failed") {
        line.text("level", "warning").text("reason", text_of(e, "error"));
    } else if (kind == "lost") {
        line.text("level", "warning")
            .num("count", int_of(e, "count"))
            .text("reason", "events were dropped before the daemon read them");
        if (log_) cron_event_write(line.rename(name));
        recover_lost();
        return;
    }
    if (log_) cron_event_write(line.rename(name));
}
