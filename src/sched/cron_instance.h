// Creating and destroying an instance.
#pragma once

#include "sched/cron_job.h"

// A stopped instance bound to `data_dir` (null or "": no store), with the
// directory and its parents created and the store loaded. Null when memory
// cannot be obtained or data_dir does not fit its field.
crontab_t* cron_instance_create(const char* data_dir);

// Stops the scheduler, gives runs in progress up to 60 s, cancels the rest
// and waits until no execution can touch the instance, then saves the store
// and releases everything. Call without the lock.
void cron_instance_destroy(crontab_t* ct);
