// The scheduler thread of an instance.
#pragma once

#include "sched/cron_job.h"

// Creates the scheduler thread. 0, or -1 when it already runs or cannot be
// created. The caller holds the instance lock.
int cron_scheduler_start(crontab_t* ct);

// Asks the scheduler thread to leave and joins it; executions in progress go
// on. Always 0. The caller must not hold the instance lock.
int cron_scheduler_stop(crontab_t* ct);

// For tests: the scheduler thread's `nth` fire-time computation from now on
// throws std::bad_alloc, as when the zone code finds no memory.
void cron_scheduler_fail_conversion(int nth);
