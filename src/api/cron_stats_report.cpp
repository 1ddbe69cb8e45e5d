// The statistics report: per-job counters and the instance's totals, as
// compact JSON in the instance's report buffer or in a copy.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "quilmarn_crontab.h"
#include "api/cron_api.h"
#include "api/cron_report_json.h"
#include "base/cron_text.h"
#include "proc/cron_os.h"
#include "sched/cron_job.h"

namespace {

void put_count(cron_report_writer& w, const char* key, uint64_t n) {
    w.Key(key);
    w.Uint64(n);
}

// What the report needs of a job and of the instance, copied under the lock
// so that the text is written after it is released: a scrape never holds up
// the scheduler for more than the copy.
struct job_row {
    int32_t id;
    bool enabled;
    int32_t running;
    int64_t next_run;
    char name[CRON_NAME_SIZE];
    cron_job_stats_t stats;
};

struct snapshot {
    int64_t created_ms;
    bool scheduler_running;
    int32_t active_runs;
    uint64_t events;
    uint64_t events_lost;
    std::vector<job_row> jobs;
};

// The lock is held; may throw std::bad_alloc.
void take(const crontab_t* ct, snapshot* s) {
    s->created_ms = ct->feed.created_ms;
    s->scheduler_running = ct->running != 0;
    s->active_runs = ct->active_runs;
    s->events = ct->feed.last_seq;
    s->events_lost = ct->feed.lost;
    s->jobs.reserve(CRON_MAX_JOBS);
    for (const cron_job_t& job : ct->jobs) {
        if (!job.in_use) continue;
        job_row& r = s->jobs.emplace_back();
        r.id = job.id;
        r.enabled = job.enabled != 0;
        r.running = job.running_count;
        r.next_run = job.enabled && job.next_run > 0 ? job.next_run : 0;
        std::memcpy(r.name, job.name, sizeof r.name);
        r.name[sizeof r.name - 1] = '\0';
        r.stats = job.stats;
    }
}

void put_job(cron_report_writer& w, const job_row& job) {
    const cron_job_stats_t& s = job.stats;
    w.StartObject();
    w.Key("id");
    w.Int(job.id);
    w.Key("name");
    const std::string name = cron_utf8_sanitize(job.name);
    w.String(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    w.Key("enabled");
    w.Bool(job.enabled);
    uint64_t executions = 0;
    for (uint64_t n : s.outcomes) executions += n;
    put_count(w, "executions", executions);
    put_count(w, "succeeded", s.outcomes[CRON_OUTCOME_SUCCEEDED]);
    put_count(w, "failed", s.outcomes[CRON_OUTCOME_FAILED]);
    put_count(w, "timed_out", s.outcomes[CRON_OUTCOME_TIMED_OUT]);
    put_count(w, "cancelled", s.outcomes[CRON_OUTCOME_CANCELLED]);
    put_count(w, "not_started", s.outcomes[CRON_OUTCOME_NOT_STARTED]);
    put_count(w, "status_unknown", s.outcomes[CRON_OUTCOME_STATUS_UNKNOWN]);
    put_count(w, "skipped",
              s.skipped[CRON_SKIP_RUNNING] + s.skipped[CRON_SKIP_LIMIT] + s.skipped[CRON_SKIP_LATE]);
    put_count(w, "skipped_running", s.skipped[CRON_SKIP_RUNNING]);
    put_count(w, "skipped_limit", s.skipped[CRON_SKIP_LIMIT]);
    put_count(w, "skipped_late", s.skipped[CRON_SKIP_LATE]);
    put_count(w, "queued", s.queued);
    put_count(w, "missed", s.missed);
    put_count(w, "claimed_elsewhere", s.claimed_elsewhere);
    put_count(w, "attempts", s.attempts);
    put_count(w, "retries", s.retries);
    w.Key("last_success_ms");
    w.Int64(s.last_success_ms);
    w.Key("last_failure_ms");
    w.Int64(s.last_failure_ms);
    w.Key("running");
    w.Int(job.running);
    w.Key("next_run");
    w.Int64(job.next_run);
    w.Key("duration_counts");
    w.StartArray();
    for (uint64_t n : s.durations) w.Uint64(n);
    w.EndArray();
    put_count(w, "duration_sum_ms", s.duration_sum_ms);
    w.EndObject();
}

// The report of `ct`, taking its lock for the copy only.
std::string stats_text(crontab_t* ct) {
    snapshot snap;
    {
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        take(ct, &snap);
    }
    rapidjson::StringBuffer text;
    cron_report_writer w(text);
    w.StartObject();
    w.Key("created_ms");
    w.Int64(snap.created_ms);
    w.Key("now_ms");
    w.Int64(cron_os_now_ms());
    w.Key("scheduler_running");
    w.Bool(snap.scheduler_running);
    w.Key("active_runs");
    w.Int(snap.active_runs);
    put_count(w, "events", snap.events);
    put_count(w, "events_lost", snap.events_lost);
    w.Key("duration_bounds_sec");
    w.StartArray();
    for (int32_t b : CRON_DURATION_BOUNDS_SEC) w.Int(b);
    w.EndArray();
    w.Key("jobs");
    w.StartArray();
    for (const job_row& job : snap.jobs) put_job(w, job);
    w.EndArray();
    w.EndObject();
    return std::string(text.GetString(), text.GetSize());
}

const char* no_stats() {
    thread_local char buf[64] = "{}";
    return buf;
}

}  // namespace

const char* crontab_get_stats_json(crontab_t* ct) {
    return cron_api_guard(no_stats(), [&]() -> const char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return no_stats();
        }
        std::string text = stats_text(ct);
        // The buffer is the instance's: replaced under its lock.
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        ct->shared->jobs_json_buf = std::move(text);
        return ct->shared->jobs_json_buf.c_str();
    });
}

char* crontab_copy_stats_json(crontab_t* ct) {
    return cron_api_guard(static_cast<char*>(nullptr), [&]() -> char* {
        if (ct == nullptr) {
            cron_error_no_instance();
            return cron_report_copy("{}");
        }
        return cron_report_copy(stats_text(ct));
    });
}
