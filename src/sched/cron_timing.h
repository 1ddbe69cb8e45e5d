// Catch-up after downtime, jitter and @reboot: the stamps kept in the state
// file beside the store, and the decisions the scheduler takes from them.
// Everything here runs with the instance lock held unless it says otherwise.
#pragma once

#include <cstdint>
#include <string>

#include "sched/cron_job.h"

constexpr char CRON_STATE_FILE[] = "crontab.state.json";

// Whether the job's admissions are stamped in the state file. Other jobs
// never cause a write of it.
inline bool cron_timing_stamped(const cron_job_t& job) { return job.catch_up_sec > 0 || job.sched.reboot; }

// At scheduler start: reads the state file (a damaged one is told once as
// `state_damaged` and ignored), marks jobs that missed fire times since their
// stamp for the catch-up decision, and makes each @reboot job not yet run in
// this boot due at `now`. May throw (allocation, the zone code).
void cron_timing_start(crontab_t* ct, int64_t now);

// After a forward step of the wall clock: the catch-up jobs whose fire time
// passed in the gap wait for the catch-up decision.
void cron_timing_clock_forward(crontab_t* ct, int64_t now);

// The decision for a due job marked by the two above. True: it runs once,
// serving the latest missed fire time (now in next_run; earlier ones are told
// as skipped late). False: that time lies outside the window; the misses are
// told as one `missed` event and next_run moves past now. May throw.
bool cron_timing_decide(crontab_t* ct, cron_job_t& job, int64_t now);

// Notes the admission of a scheduled run of `job` serving `fire`; the state
// file is written by the scheduler's next pass.
void cron_timing_stamp(crontab_t* ct, cron_job_t& job, int64_t fire);

// When stamps changed: the state file's text in *out and true (dirty mark
// cleared). May throw std::bad_alloc.
bool cron_timing_take_text(crontab_t* ct, std::string* out);

// Writes the text to the state file atomically. Call without the lock; a
// failure is told as `state_damaged` under the lock.
void cron_timing_write(crontab_t* ct, const std::string& text);

// The delay before a scheduled fire of a job with a jitter: random, or fixed
// per machine and job. Milliseconds in [0, jitter_sec * 1000].
int64_t cron_timing_delay_ms(const crontab_t* ct, const cron_job_t& job);
int64_t cron_jitter_draw_ms(int32_t max_sec);
int64_t cron_jitter_fixed_ms(const std::string& machine_id, const char* name, int32_t max_sec);

// For tests: the boot id the next scheduler starts see (null: the kernel's).
void cron_timing_set_boot_id(const char* boot_id);
