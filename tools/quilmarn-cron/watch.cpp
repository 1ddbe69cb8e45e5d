#include "watch.h"

#include <fcntl.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <utility>

#include "events.h"
#include "run_log.h"
#include "text_util.h"

namespace {

using namespace std::chrono_literals;

constexpr auto LOOK_BUSY = 200ms;   // while a job runs: its attempts, retries, skips
constexpr auto LOOK_SOON = 100ms;   // the least wait for a fire time
constexpr auto LOOK_IDLE = 5000ms;  // the most, whatever the schedule says
constexpr int LOG_CAPACITY = 20;

bool same(const run_record& a, const run_record& b) {
    return a.started_at == b.started_at && a.finished_at == b.finished_at && a.attempt == b.attempt &&
           a.exit_code == b.exit_code && a.duration_ms == b.duration_ms && a.out == b.out && a.err == b.err;
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

job_watch::job_watch(crontab_t* ct, std::string dir, failure_fn on_failure)
    : ct_(ct), dir_(std::move(dir)), on_failure_(std::move(on_failure)) {}

void job_watch::tell_loaded() {
    std::vector<job_info> jobs;
    cron_read_jobs(ct_, &jobs);
    for (const job_info& j : jobs) {
        cron_event_write(event("loaded", j.id, j.name)
                             .text("expr", j.expr)
                             .flag("enabled", j.enabled)
                             .num("next_run", j.next_run));
    }
    look();
}

std::chrono::milliseconds job_watch::look() {
    std::vector<job_info> jobs;
    if (!cron_read_jobs(ct_, &jobs)) return LOOK_BUSY;
    const int64_t now = std::time(nullptr);
    busy_ = false;
    bool pending = false;
    int64_t earliest = 0;
    std::set<int> present;
    live_ids_.clear();
    for (const job_info& j : jobs) live_ids_.push_back(j.id);
    for (const job_info& j : jobs) {
        present.insert(j.id);
        auto [it, added] = jobs_.try_emplace(j.id);
        seen& s = it->second;
        look_at(j, s, now);
        s.name = j.name;
        s.running = j.running;
        s.queued = j.queued_count != 0;
        s.last_run = j.last_run;
        s.log_count = j.log_count;
        busy_ = busy_ || j.running || j.queued_count != 0;
        pending = pending || s.pending;
        if (j.enabled && j.next_run > 0 && (earliest == 0 || j.next_run < earliest)) earliest = j.next_run;
    }
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        // Deleted while a failed attempt waited for its retry: that was the last.
        if (it->second.pending) failure(it->second, it->first, it->second.failed);
        it = jobs_.erase(it);
    }
    look_at_store();
    if (busy_ || pending) return LOOK_BUSY;
    if (earliest == 0) return LOOK_IDLE;
    auto wait = std::chrono::milliseconds(earliest * 1000 - now_ms()) + LOOK_SOON;
    return std::clamp<std::chrono::milliseconds>(wait, LOOK_SOON, LOOK_IDLE);
}

void job_watch::look_at(const job_info& j, seen& s, int64_t now) {
    if (j.running && !s.running && !s.started_told) {
        cron_event_write(event("started", j.id, j.name).num("attempt", 1));
        s.started_told = true;
    }
    if (j.queued_count != 0 && !s.queued) {
        cron_event_write(event("queued", j.id, j.name).text("reason", "still running"));
    }
    // A fire time that has come while the job runs, and that nothing holds
    // for later, is dropped by the scheduler.
    const bool held =
        (j.overlap_policy == CRONTAB_OVERLAP_QUEUE || j.overlap_policy == CRONTAB_OVERLAP_REPLACE) &&
        j.queued_count == 0;
    if (j.running && j.enabled && j.overlap_policy != CRONTAB_OVERLAP_ALLOW && !held && j.next_run > 0 &&
        j.next_run <= now && s.skip_told != j.next_run) {
        cron_event_write(
            event("skipped", j.id, j.name).text("reason", "still running").num("due", j.next_run));
        s.skip_told = j.next_run;
    }
    if (j.log_count != s.log_count || j.last_run != s.last_run || j.running || s.running || s.pending) {
        std::vector<run_record> fresh = fresh_records(j, s);
        for (size_t i = 0; i < fresh.size(); ++i) {
            tell_record(j, s, fresh[i], i + 1 < fresh.size() ? &fresh[i + 1] : nullptr);
        }
    }
    if (s.pending && !j.running && !still_running(j.id)) {
        s.pending = false;
        failure(s, j.id, s.failed);
    }
    if (!j.running) s.started_told = false;
}

std::vector<run_record> job_watch::fresh_records(const job_info& j, seen& s) {
    std::vector<run_record> log;  // newest first
    if (!cron_read_logs(ct_, j.id, LOG_CAPACITY, &log)) return {};
    // Until the ring is full its length tells what is new; after that the
    // newest record seen before marks the end of the new ones.
    size_t limit = log.size();
    if (log.size() < LOG_CAPACITY) limit = log.size() >= s.records ? log.size() - s.records : log.size();
    std::vector<run_record> fresh;
    for (size_t i = 0; i < limit; ++i) {
        if (s.have_newest && same(log[i], s.newest)) break;
        fresh.push_back(log[i]);
    }
    s.records = log.size();
    if (!log.empty()) {
        s.newest = log.front();
        s.have_newest = true;
    }
    // Kept for `logs`; the file forgets jobs that are gone.
    if (!fresh.empty() && !runs_file_prepend(stderr, dir_, j.id, fresh, live_ids_)) {
        cron_event_write(event("error", j.id, j.name).text("reason", "cannot keep run records for 'logs'"));
    }
    std::reverse(fresh.begin(), fresh.end());
    return fresh;
}

void job_watch::tell_record(const job_info& j, seen& s, const run_record& r, const run_record* next) {
    if (r.attempt == 1 && s.pending) {
        // A new execution began: the failed attempt before it was its last.
        s.pending = false;
        failure(s, j.id, s.failed);
    }
    if (r.attempt == 1 && !s.started_told) {
        cron_event_write(event("started", j.id, j.name, r.started_at).num("attempt", 1));
    }
    const char* what = r.exit_code == -3 ? "cancelled" : r.exit_code == -2 ? "timeout" : "finished";
    const std::string out = cron_first_line(r.out.empty() ? r.err : r.out);
    cron_event_write(event(what, j.id, j.name, r.finished_at)
                         .num("exit_code", r.exit_code)
                         .num("duration_ms", r.duration_ms)
                         .num("attempt", r.attempt)
                         .text("output", out));
    const bool failed = r.exit_code != 0 && r.exit_code != -3;
    bool retried = false;
    if (failed && r.attempt <= j.retry_max) {
        retried = next != nullptr ? next->attempt == r.attempt + 1 : still_running(j.id);
    }
    s.pending = failed && retried && next == nullptr;
    if (s.pending) s.failed = r;
    if (retried) {
        cron_event_write(event("retrying", j.id, j.name)
                             .num("attempt", r.attempt + 1)
                             .num("backoff_sec", j.retry_backoff_sec));
    } else {
        if (failed) failure(s, j.id, r);
        s.started_told = false;
    }
}

void job_watch::failure(const seen& s, int id, const run_record& r) {
    if (on_failure_) on_failure_(hook_call{id, s.name, r.exit_code, r.attempt, r.out + r.err});
}

bool job_watch::still_running(int id) {
    // Read after the run log: a record there and "running" here means the
    // execution goes on (a retry), not one that ended just before.
    std::vector<job_info> jobs;
    if (!cron_read_jobs(ct_, &jobs)) return false;
    const job_info* j = cron_find_job(jobs, id);
    return j != nullptr && j->running;
}

void job_watch::look_at_store() {
    struct stat st {};
    const std::string path = dir_ + "/crontab.json";
    if (::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) st = {};
    const bool changed = st.st_ino != store_.st_ino || st.st_size != store_.st_size ||
                         st.st_mtim.tv_sec != store_.st_mtim.tv_sec ||
                         st.st_mtim.tv_nsec != store_.st_mtim.tv_nsec;
    if (store_known_ && changed && st.st_ino != 0) {
        cron_event_write(event("saved").text("file", "crontab.json").num("bytes", st.st_size));
    }
    store_ = st;
    store_known_ = true;
}
