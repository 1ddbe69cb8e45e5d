#include "sched/cron_stats.h"

void cron_stats_count(cron_job_stats_t* s, const cron_event_t& ev, int64_t duration_ms) {
    switch (static_cast<cron_event_kind>(ev.kind)) {
        case cron_event_kind::ended: {
            if (ev.detail >= 0 && ev.detail < CRON_OUTCOME_KINDS) ++s->outcomes[ev.detail];
            if (ev.detail == CRON_OUTCOME_SUCCEEDED) s->last_success_ms = ev.time_ms;
            // A cancel is the operator's, an unknown status may have been a success.
            if (ev.detail == CRON_OUTCOME_FAILED || ev.detail == CRON_OUTCOME_TIMED_OUT ||
                ev.detail == CRON_OUTCOME_NOT_STARTED)
                s->last_failure_ms = ev.time_ms;
            if (duration_ms < 0) break;
            int b = 0;
            while (b < CRON_DURATION_BUCKETS - 1 && duration_ms > int64_t{CRON_DURATION_BOUNDS_SEC[b]} * 1000)
                ++b;
            ++s->durations[b];
            s->duration_sum_ms += static_cast<uint64_t>(duration_ms);
            break;
        }
        case cron_event_kind::skipped:
            if (ev.detail >= 0 && ev.detail < CRON_SKIP_KINDS && ev.count > 0)
                s->skipped[ev.detail] += static_cast<uint64_t>(ev.count);
            break;
        case cron_event_kind::queued: ++s->queued; break;
        case cron_event_kind::finished: ++s->attempts; break;
        case cron_event_kind::retrying: ++s->retries; break;
        case cron_event_kind::missed:
            if (ev.count > 0) s->missed += static_cast<uint64_t>(ev.count);
            break;
        case cron_event_kind::claimed_elsewhere: ++s->claimed_elsewhere; break;
        default: break;
    }
}
