#include "sched/cron_scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include "quilmarn_crontab.h"
#include "expr/cron_calc.h"
#include "proc/cron_os.h"
#include "sched/cron_error.h"
#include "sched/cron_exec.h"

namespace {

constexpr int64_t PAUSE_IDLE_MS = 200;  // no enabled job with a future fire time
constexpr int64_t PAUSE_DUE_MS = 50;    // the earliest fire time has come
constexpr int64_t PAUSE_NEAR_MS = 200;  // it comes within the next second
constexpr int64_t PAUSE_FAR_MS = 500;

// Whole seconds of a millisecond time, rounded down also before the epoch.
int64_t seconds_of(int64_t ms) { return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000); }

struct tick_result {
    int64_t earliest = 0;  // earliest future next_run, 0 for none
    int32_t ids[CRON_MAX_ACTIVE];
    int count = 0;
};

void note_future(tick_result* t, int64_t next_run) {
    if (t->earliest == 0 || next_run < t->earliest) t->earliest = next_run;
}

std::atomic<int> conversion_to_fail{0};  // see cron_scheduler_fail_conversion

// The job's first fire time after `now`. The search may throw (the zone code
// allocates): callers compute it before they change anything of the job.
int64_t next_fire(const cron_job_t& job, int64_t now) {
    if (conversion_to_fail.load() > 0 && conversion_to_fail.fetch_sub(1) == 1) throw std::bad_alloc();
    return cron_next_time(&job.sched, now);
}

// One pass over the table in slot order; the lock is held. Admission uses up
// the due time at once, so a fire time starts at most one execution and only
// a later one can be queued.
void scan(crontab_t* ct, int64_t now, tick_result* t) {
    cron_job_t* due[CRON_MAX_JOBS];
    int due_count = 0;
    for (cron_job_t& job : ct->jobs) {
        if (!job.in_use || !job.enabled) continue;
        if (job.next_run <= 0) {
            job.next_run = next_fire(job, now);
            if (job.next_run <= 0) continue;  // no fire time ahead
        }
        if (now < job.next_run) {
            note_future(t, job.next_run);
            continue;
        }
        if (job.running_count == 0 || job.overlap_policy == CRON_OVERLAP_ALLOW) {
            due[due_count++] = &job;
        } else if (job.overlap_policy == CRON_OVERLAP_QUEUE && !job.queued) {
            const int64_t next = next_fire(job, now);
            job.queued = 1;
            job.next_run = next;
            if (next > 0) note_future(t, next);
        }
        // Otherwise skipped while it runs; due again when its run ends.
    }
    // More due than the limit has room for: the jobs due longest go first,
    // ties in slot order, so a job in a late slot cannot be kept waiting by
    // earlier slots that are due again at every tick. The rest stay due and
    // are first in line at a later tick.
    std::sort(due, due + due_count, [](const cron_job_t* a, const cron_job_t* b) {
        return a->next_run != b->next_run ? a->next_run < b->next_run : a < b;
    });
    for (int i = 0; i < due_count && ct->active_runs < CRON_MAX_ACTIVE; ++i) {
        cron_job_t& job = *due[i];
        const int64_t next = next_fire(job, now);
        cron_exec_admit(ct, &job);
        t->ids[t->count++] = job.id;
        job.next_run = next;
        if (next > 0) note_future(t, next);
    }
}

// A step of the wall clock shows as a change of its distance to the monotonic
// clock. Backwards, every fire time computed before it lies too far ahead (an
// hour back would hold an "@every 1m" job for an hour), so the future ones are
// computed again; due ones stay due. Without a step that gives the same times,
// so a small wobble of the distance costs only the scan. Forwards, the jobs
// that came due in the gap are due now and run once each.
constexpr int64_t CLOCK_STEP_BACK_MS = 1000;

void follow_clock(crontab_t* ct, int64_t now_ms) {
    cron_shared_t& sh = *ct->shared;
    const int64_t offset = now_ms - cron_os_monotonic_ms();
    if (offset >= sh.clock_offset_ms - CLOCK_STEP_BACK_MS) {
        sh.clock_offset_ms = offset;
        return;
    }
    const int64_t now = seconds_of(now_ms);
    for (cron_job_t& job : ct->jobs) {
        if (job.in_use && job.next_run > now) job.next_run = next_fire(job, now);
    }
    // Only now: a tick that fails on the way sees the step again.
    sh.clock_offset_ms = offset;
}

// 50, 200 or 500 ms by the distance to the earliest fire time, but never past
// the start of that second, so a run starts close to its due second.
int64_t pause_ms(int64_t earliest) {
    if (earliest <= 0) return PAUSE_IDLE_MS;
    const int64_t ms = cron_os_now_ms();
    const int64_t d = earliest - seconds_of(ms);
    const int64_t pause = d <= 0 ? PAUSE_DUE_MS : d == 1 ? PAUSE_NEAR_MS : PAUSE_FAR_MS;
    return std::clamp<int64_t>(earliest * 1000 - ms, 0, pause);
}

// One pass with the lock held; false when it ended early. Nothing escapes the
// thread: what a conversion throws ends the pass where it was, the runs it
// admitted still start, and what it did not reach is still due, so the next
// pass, soon after, does it. No save: a tick changes nothing the store holds.
bool tick(crontab_t* ct, tick_result* t) {
    try {
        const int64_t now_ms = cron_os_now_ms();
        follow_clock(ct, now_ms);
        scan(ct, seconds_of(now_ms), t);
        return true;
    } catch (...) {
        return false;
    }
}

void scheduler_thread(crontab_t* ct) {
    cron_shared_t& sh = *ct->shared;
    std::unique_lock<std::mutex> lk(sh.lock);
    while (!ct->stop_requested) {
        sh.rescan = false;
        tick_result t;
        const bool whole = tick(ct, &t);
        lk.unlock();
        for (int i = 0; i < t.count; ++i) sched_spawn_worker(ct, t.ids[i]);
        const auto pause = std::chrono::milliseconds(whole ? pause_ms(t.earliest) : PAUSE_DUE_MS);
        lk.lock();
        // A stop ends the pause at once; so does a run that has ended and
        // may have made a job admissible.
        sh.wake.wait_for(lk, pause, [&] { return ct->stop_requested || sh.rescan; });
    }
}

}  // namespace

int cron_scheduler_start(crontab_t* ct) {
    if (ct == nullptr || ct->shared == nullptr) return cron_error_no_instance();
    cron_shared_t& sh = *ct->shared;
    if (ct->running) return cron_error_fail(CRONTAB_ERROR, "the scheduler is already running");
    if (sh.destroying) return cron_error_fail(CRONTAB_ERROR, "the instance is being destroyed");
    ct->stop_requested = 0;
    try {
        sh.sched_thread = std::thread(scheduler_thread, ct);
    } catch (const std::system_error& e) {
        return cron_error_fail(CRONTAB_ERROR, "the scheduler thread could not be created: %s",
                               e.code().message().c_str());
    }
    ct->running = 1;
    return CRONTAB_OK;
}

void cron_scheduler_fail_conversion(int nth) { conversion_to_fail.store(nth); }

int cron_scheduler_stop(crontab_t* ct) {
    if (ct == nullptr || ct->shared == nullptr) return CRONTAB_OK;
    cron_shared_t& sh = *ct->shared;
    // Two stopping threads must not join the same thread object.
    std::lock_guard<std::mutex> stopping(sh.stop_lock);
    if (!ct->running) return CRONTAB_OK;
    {
        // Under the lock, so the request cannot slip between the scheduler's
        // test of the flag and its wait on `wake`.
        std::lock_guard<std::mutex> lk(sh.lock);
        ct->stop_requested = 1;
    }
    sh.wake.notify_all();
    if (sh.sched_thread.joinable()) sh.sched_thread.join();
    ct->running = 0;
    return CRONTAB_OK;
}
