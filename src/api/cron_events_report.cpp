// The event feed's exports: reading events as JSON, waiting for them, and the
// descriptor for event loops.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <mutex>
#include <string>

#include "quilmarn_crontab.h"
#include "api/cron_api.h"
#include "api/cron_report_json.h"
#include "base/cron_text.h"
#include "sched/cron_error.h"
#include "sched/cron_events.h"
#include "sched/cron_job.h"

namespace {

const char* const KIND_NAMES[] = {"",
                                  "admitted",
                                  "skipped",
                                  "queued",
                                  "started",
                                  "finished",
                                  "retrying",
                                  "ended",
                                  "cancelled",
                                  "not_started",
                                  "added",
                                  "changed",
                                  "removed",
                                  "save_failed",
                                  "scheduler_started",
                                  "scheduler_stopped",
                                  "lost",
                                  "missed",
                                  "state_damaged",
                                  "claimed_elsewhere",
                                  "reloaded"};
const char* const TRIGGERS[] = {"schedule", "hand", "queue", "replace", "catch_up", "reboot"};
const char* const SKIP_REASONS[] = {"running", "limit", "late"};
const char* const OUTCOMES[] = {"succeeded", "failed",      "timed_out",
                                "cancelled", "not_started", "status_unknown"};
const char* const NO_START[] = {"no_thread", "no_child", "no_user", "cluster_unreachable"};
const char* const CLAIM_REASONS[] = {"claimed", "running"};
const char* const CHANGES[] = {"definition", "timeout", "paths", "overlap_policy", "retry",
                               "catch_up",   "jitter",  "user",  "reload"};
const char* const RELOAD_COUNTS[] = {"added", "changed", "removed", "kept"};

template <size_t N>
const char* name_of(const char* const (&names)[N], int32_t i) {
    return i >= 0 && static_cast<size_t>(i) < N ? names[i] : "";
}

void put_text(cron_report_writer& w, const char* key, const std::string& s) {
    w.Key(key);
    if (cron_utf8_valid(s)) {
        w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
        return;
    }
    const std::string clean = cron_utf8_sanitize(s);
    w.String(clean.data(), static_cast<rapidjson::SizeType>(clean.size()));
}

void put_head(cron_report_writer& w, uint64_t seq, int64_t time_ms, cron_event_kind kind) {
    w.Key("seq");
    w.Uint64(seq);
    w.Key("time_ms");
    w.Int64(time_ms);
    w.Key("kind");
    w.String(name_of(KIND_NAMES, static_cast<int32_t>(kind)));
}

void write_event(cron_report_writer& w, const crontab_t* ct, const cron_event_t& ev) {
    const auto kind = static_cast<cron_event_kind>(ev.kind);
    w.StartObject();
    put_head(w, ev.seq, ev.time_ms, kind);
    if (ev.job_id != 0) {
        w.Key("job_id");
        w.Int(ev.job_id);
        put_text(w, "job_name", std::string(ev.job_name));
    }
    if (ev.execution != 0) {
        w.Key("execution");
        w.Uint64(ev.execution);
    }
    switch (kind) {
        case cron_event_kind::admitted:
            w.Key("trigger");
            w.String(name_of(TRIGGERS, ev.detail));
            if (ev.detail != CRON_TRIGGER_HAND) {
                w.Key("fire_time");
                w.Int64(ev.fire_time);
            }
            if (ev.flag != 0) {
                w.Key("delay_ms");
                w.Int64(ev.pid);
            }
            break;
        case cron_event_kind::missed:
            w.Key("fire_time");
            w.Int64(ev.fire_time);
            w.Key("count");
            w.Int(ev.count);
            break;
        case cron_event_kind::skipped:
            w.Key("fire_time");
            w.Int64(ev.fire_time);
            w.Key("count");
            w.Int(ev.count);
            w.Key("reason");
            w.String(name_of(SKIP_REASONS, ev.detail));
            break;
        case cron_event_kind::queued:
            w.Key("fire_time");
            w.Int64(ev.fire_time);
            break;
        case cron_event_kind::claimed_elsewhere: {
            w.Key("fire_time");
            w.Int64(ev.fire_time);
            w.Key("reason");
            w.String(name_of(CLAIM_REASONS, ev.detail));
            std::string node, none;
            cron_event_copy_text(ct, ev, &node, &none);
            put_text(w, "node", node);
            break;
        }
        case cron_event_kind::started:
            w.Key("attempt");
            w.Int(ev.attempt);
            w.Key("pid");
            w.Int64(ev.pid);
            break;
        case cron_event_kind::finished: {
            w.Key("attempt");
            w.Int(ev.attempt);
            std::string out, err;
            const bool kept = cron_event_copy_text(ct, ev, &out, &err);
            cron_log_entry_t rec;
            rec.started_at = ev.started_at;
            rec.finished_at = ev.finished_at;
            rec.duration_ms = ev.duration_ms;
            rec.exit_code = ev.exit_code;
            rec.truncated = ev.truncated;
            rec.cancelled = ev.cancelled;
            rec.attempt = ev.attempt;
            rec.execution = ev.execution;
            rec.fire_time = ev.fire_time;
            w.Key("record");
            cron_report_record(w, rec, out, err);
            w.Key("output_lost");
            w.Bool(!kept);
            break;
        }
        case cron_event_kind::retrying:
            w.Key("attempt");
            w.Int(ev.attempt);
            w.Key("retry_at_ms");
            w.Int64(ev.fire_time);
            break;
        case cron_event_kind::ended:
            w.Key("outcome");
            w.String(name_of(OUTCOMES, ev.detail));
            w.Key("attempts");
            w.Int(ev.count);
            w.Key("exit_code");
            w.Int(ev.exit_code);
            w.Key("retries_exhausted");
            w.Bool(ev.flag != 0);
            break;
        case cron_event_kind::cancelled:
            w.Key("child_signalled");
            w.Bool(ev.flag != 0);
            break;
        case cron_event_kind::not_started:
            w.Key("attempt");
            w.Int(ev.attempt);
            w.Key("reason");
            w.String(name_of(NO_START, ev.detail));
            break;
        case cron_event_kind::added:
        case cron_event_kind::changed:
        case cron_event_kind::removed:
            if (kind == cron_event_kind::changed) {
                w.Key("change");
                w.String(name_of(CHANGES, ev.detail));
            }
            if (ev.flag != 0) {
                w.Key("cause");
                w.String("reload");
            }
            break;
        case cron_event_kind::reloaded:
            for (int i = 0; i < 4; ++i) {
                w.Key(RELOAD_COUNTS[i]);
                w.Int(ev.reload_counts[i]);
            }
            break;
        case cron_event_kind::state_damaged:
        case cron_event_kind::save_failed: {
            std::string why, unused;
            const bool kept = cron_event_copy_text(ct, ev, &why, &unused);
            put_text(w, "error", why);
            if (kind == cron_event_kind::state_damaged) break;
            w.Key("output_lost");
            w.Bool(!kept);
            break;
        }
        default: break;
    }
    w.EndObject();
}

// Events after `after`, at most `max`, the lock held. A reader that comes
// after the ring has overwritten events it never read first gets one `lost`
// entry counting them, numbered as the last of them, so the numbers it sees
// still go up by one.
std::string events_text(crontab_t* ct, uint64_t after, int max) {
    rapidjson::StringBuffer text;
    cron_report_writer w(text);
    w.StartArray();
    const uint64_t last = ct->feed.last_seq;
    const uint64_t oldest = cron_event_oldest(ct);
    uint64_t seq = after + 1;
    int n = 0;
    if (after < last && seq < oldest) {
        w.StartObject();
        put_head(w, oldest - 1, ct->feed.ring[oldest % CRON_EVENT_CAPACITY].time_ms, cron_event_kind::lost);
        w.Key("count");
        w.Uint64(oldest - seq);
        w.EndObject();
        ++n;
        seq = oldest;
    }
    for (; seq <= last && n < max; ++seq, ++n) write_event(w, ct, ct->feed.ring[seq % CRON_EVENT_CAPACITY]);
    w.EndArray();
    cron_events_mark_read(ct, seq - 1);
    return std::string(text.GetString(), text.GetSize());
}

}  // namespace

char* crontab_read_events_json(crontab_t* ct, uint64_t after, int max_events) {
    return cron_api_guard(static_cast<char*>(nullptr), [&]() -> char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return nullptr;
        }
        if (max_events <= 0 || max_events > CRON_EVENT_CAPACITY) max_events = CRON_EVENT_CAPACITY;
        std::string text;
        {
            std::lock_guard<std::mutex> lk(ct->shared->lock);
            text = events_text(ct, after, max_events);
        }
        return cron_report_copy(text);
    });
}

int crontab_wait_events(crontab_t* ct, uint64_t after, int timeout_ms) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (ct == nullptr) return cron_error_no_instance();
        return cron_events_wait(ct, after, timeout_ms);
    });
}

uint64_t crontab_get_last_event_seq(crontab_t* ct) {
    return cron_api_guard(uint64_t{0}, [&]() -> uint64_t {
        if (ct == nullptr) {
            cron_error_no_instance();
            return 0;
        }
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        return ct->feed.last_seq;
    });
}

int crontab_get_events_fd(crontab_t* ct) {
    return cron_api_guard(CRONTAB_ERROR, [&] {
        if (ct == nullptr) return cron_error_no_instance();
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        const intptr_t fd = cron_events_fd(ct);
        if (fd < 0 || fd > INT_MAX)
            return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_NOT_AVAILABLE,
                                        "no event descriptor is available on this platform or now");
        return static_cast<int>(fd);
    });
}
