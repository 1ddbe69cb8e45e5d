// Per-job counters since the instance was created, kept in the job slot and
// counted where the feed's events are made, under the same lock hold: they
// agree with the feed exactly and cost a few additions per event.
#pragma once

#include <cstdint>

#include "sched/cron_events.h"

// Upper bounds of the execution duration buckets in seconds: cron work runs
// from a second to a couple of hours. A last bucket holds the longer ones.
inline constexpr int32_t CRON_DURATION_BOUNDS_SEC[] = {1, 5, 15, 30, 60, 300, 900, 1800, 3600, 7200};
constexpr int CRON_DURATION_BUCKETS =
    sizeof CRON_DURATION_BOUNDS_SEC / sizeof CRON_DURATION_BOUNDS_SEC[0] + 1;
constexpr int CRON_OUTCOME_KINDS = CRON_OUTCOME_STATUS_UNKNOWN + 1;
constexpr int CRON_SKIP_KINDS = CRON_SKIP_LATE + 1;

// Plain data: zero in a free slot, gone with the slot.
struct cron_job_stats_t {
    uint64_t outcomes[CRON_OUTCOME_KINDS];  // ended executions, by cron_event_outcome
    uint64_t skipped[CRON_SKIP_KINDS];      // fire times told as skipped, by cron_event_skip
    uint64_t queued;
    uint64_t attempts;  // finished attempts
    uint64_t retries;
    uint64_t missed;             // fire times told as missed (outside a catch-up window)
    uint64_t claimed_elsewhere;  // fire times another node of the cluster ran
    int64_t last_success_ms;
    int64_t last_failure_ms;
    uint64_t durations[CRON_DURATION_BUCKETS];  // executions that began, by duration
    uint64_t duration_sum_ms;
};

// Counts `ev`, just made and filled, for its job. `duration_ms` is the
// length of an ended execution that began, -1 for one that never did.
void cron_stats_count(cron_job_stats_t* s, const cron_event_t& ev, int64_t duration_ms = -1);
