#include "sched/cron_scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "quilmarn_crontab.h"
#include "expr/cron_calc.h"
#include "proc/cron_os.h"
#include "sched/cron_error.h"
#include "sched/cron_exec.h"
#include "sched/cron_timing.h"

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
    uint64_t executions[CRON_MAX_ACTIVE];
    int64_t fire_times[CRON_MAX_ACTIVE];  // the fire time each serves, before jitter; claimed in a cluster
    int count = 0;
    int64_t wake_ms = 0;  // earliest end of a jitter delay, 0 for none
};

void note_wake(tick_result* t, int64_t ms) {
    if (t->wake_ms == 0 || ms < t->wake_ms) t->wake_ms = ms;
}

// Whether a due job still waits out its jitter delay. The delay is drawn
// once per fire time, and next_run stays on that fire time meanwhile, so a
// later fire of the job cannot overtake it.
bool jitter_waits(crontab_t* ct, cron_job_t& job, int64_t now_ms, tick_result* t) {
    if (job.jitter_sec <= 0) return false;
    if (job.jitter_for != job.next_run) {
        job.jitter_for = job.next_run;
        job.jitter_at_ms = job.next_run * 1000 + cron_timing_delay_ms(ct, job);
    }
    if (now_ms >= job.jitter_at_ms) return false;
    note_wake(t, job.jitter_at_ms);
    return true;
}

int32_t trigger_of(const cron_job_t& job, bool caught_up) {
    if (job.sched.reboot) return CRON_TRIGGER_REBOOT;
    return caught_up ? CRON_TRIGGER_CATCH_UP : CRON_TRIGGER_SCHEDULE;
}

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

// A due fire time that does not start now is told once, with why.
void tell_skip(crontab_t* ct, cron_job_t& job, int32_t reason) {
    if (job.skip_noted == job.next_run) return;
    job.skip_noted = job.next_run;
    cron_event_t* ev = cron_event_push(ct, cron_event_kind::skipped, &job);
    ev->fire_time = job.next_run;
    ev->count = 1;
    ev->detail = reason;
    cron_stats_count(&job.stats, *ev);
}

// Admission of a fire time some seconds late (after a run, a full table of
// runs or a step of the clock) serves the fire times since then as well:
// they are told as one skip. Capped, so a long gap costs a bounded search;
// the search is the plain one, and what it throws only leaves them untold.
void tell_folded(crontab_t* ct, cron_job_t& job, int64_t served, int64_t now) {
    constexpr int MAX_COUNTED = 1000;
    try {
        int64_t first = 0;
        int count = 0;
        for (int64_t t = served; count < MAX_COUNTED; ++count) {
            t = cron_next_time(&job.sched, t);
            if (t <= 0 || t > now) break;
            if (first == 0) first = t;
        }
        if (count == 0) return;
        cron_event_t* ev = cron_event_push(ct, cron_event_kind::skipped, &job);
        ev->fire_time = first;
        ev->count = count;
        ev->detail = CRON_SKIP_LATE;
        cron_stats_count(&job.stats, *ev);
    } catch (...) {
    }
}

// One pass over the table in slot order; the lock is held. Admission uses up
// the due time at once, so a fire time starts at most one execution and only
// a later one can be queued.
void scan(crontab_t* ct, int64_t now_ms, tick_result* t) {
    const int64_t now = seconds_of(now_ms);
    cron_job_t* due[CRON_MAX_JOBS];
    bool caught_up[CRON_MAX_JOBS] = {};
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
        if (job.catch_up_due == 1 && !cron_timing_decide(ct, job, now)) {
            if (job.next_run > 0) note_future(t, job.next_run);
            continue;
        }
        if (jitter_waits(ct, job, now_ms, t)) continue;
        if (job.running_count == 0 || job.overlap_policy == CRON_OVERLAP_ALLOW) {
            caught_up[due_count] = job.catch_up_due != 0;
            due[due_count++] = &job;
        } else if ((job.overlap_policy == CRON_OVERLAP_QUEUE || job.overlap_policy == CRON_OVERLAP_REPLACE) &&
                   !job.queued) {
            const int64_t next = next_fire(job, now);
            job.queued = 1;
            job.queued_fire = job.next_run;
            cron_event_t* ev = cron_event_push(ct, cron_event_kind::queued, &job);
            ev->fire_time = job.next_run;
            cron_timing_stamp(ct, job, job.next_run);
            cron_stats_count(&job.stats, *ev);
            job.next_run = next;
            if (next > 0) note_future(t, next);
            // The new run wins: the running ones are cancelled and it starts
            // when the last of them has ended.
            if (job.overlap_policy == CRON_OVERLAP_REPLACE) cron_exec_cancel_runs(ct, &job);
        } else {
            // Skipped while it runs; due again when its run ends.
            tell_skip(ct, job, CRON_SKIP_RUNNING);
        }
    }
    // More due than the limit has room for: the jobs due longest go first,
    // ties in slot order, so a job in a late slot cannot be kept waiting by
    // earlier slots that are due again at every tick. The rest stay due and
    // are first in line at a later tick.
    int order[CRON_MAX_JOBS];
    for (int k = 0; k < due_count; ++k) order[k] = k;
    std::sort(order, order + due_count, [&](int a, int b) {
        return due[a]->next_run != due[b]->next_run ? due[a]->next_run < due[b]->next_run : due[a] < due[b];
    });
    int i = 0;
    for (; i < due_count && ct->active_runs < CRON_MAX_ACTIVE; ++i) {
        cron_job_t& job = *due[order[i]];
        const int64_t next = next_fire(job, now);
        const uint64_t execution = cron_exec_admit(ct, &job);
        cron_event_t* ev = cron_event_push(ct, cron_event_kind::admitted, &job);
        ev->execution = execution;
        ev->detail = trigger_of(job, caught_up[order[i]]);
        ev->fire_time = job.next_run;
        if (job.jitter_sec > 0) {
            ev->flag = 1;
            ev->pid = job.jitter_at_ms - job.next_run * 1000;
        }
        cron_timing_stamp(ct, job, job.next_run);
        job.catch_up_due = 0;
        if (now > job.next_run && !job.sched.reboot) tell_folded(ct, job, job.next_run, now);
        t->ids[t->count] = job.id;
        t->fire_times[t->count] = job.next_run;
        t->executions[t->count++] = execution;
        job.next_run = next;
        if (next > 0) note_future(t, next);
    }
    for (; i < due_count; ++i) tell_skip(ct, *due[order[i]], CRON_SKIP_LIMIT);
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
        // Forwards (also the first look, from 0): jobs with a catch-up
        // window whose fire time has passed decide on what they missed.
        if (offset > sh.clock_offset_ms + CLOCK_STEP_BACK_MS)
            cron_timing_clock_forward(ct, seconds_of(now_ms));
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
int64_t pause_ms(int64_t earliest, int64_t wake_ms) {
    const int64_t ms = cron_os_now_ms();
    // A jitter delay ends between seconds: wake for it.
    if (wake_ms > 0) {
        const int64_t rest = std::max<int64_t>(wake_ms - ms, 0);
        return std::min(rest, earliest > 0 ? pause_ms(earliest, 0) : PAUSE_IDLE_MS);
    }
    if (earliest <= 0) return PAUSE_IDLE_MS;
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
        scan(ct, now_ms, t);
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
        std::string state;
        bool write_state = false;
        try {
            write_state = cron_timing_take_text(ct, &state);
        } catch (...) {
        }
        lk.unlock();
        for (int i = 0; i < t.count; ++i) sched_spawn_worker(ct, t.ids[i], t.executions[i], t.fire_times[i]);
        // After the spawns, so no run waits for the disk: a crash in between
        // may run those fire times again at the next start.
        if (write_state) cron_timing_write(ct, state);
        const auto pause = std::chrono::milliseconds(whole ? pause_ms(t.earliest, t.wake_ms) : PAUSE_DUE_MS);
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
    if (ct->running)
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_BAD_STATE, "the scheduler is already running");
    if (sh.destroying)
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_BAD_STATE, "the instance is being destroyed");
    ct->stop_requested = 0;
    try {
        cron_timing_start(ct, cron_os_now());
    } catch (...) {
        // Without memory for the stamps the jobs still run on their schedule.
    }
    try {
        sh.sched_thread = std::thread(scheduler_thread, ct);
    } catch (const std::system_error& e) {
        return cron_error_fail_code(CRONTAB_ERROR, CRONTAB_E_SYSTEM,
                                    "the scheduler thread could not be created: %s",
                                    e.code().message().c_str());
    }
    ct->running = 1;
    cron_event_push(ct, cron_event_kind::scheduler_started, nullptr);
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
    std::lock_guard<std::mutex> lk(sh.lock);
    ct->running = 0;
    cron_event_push(ct, cron_event_kind::scheduler_stopped, nullptr);
    return CRONTAB_OK;
}
