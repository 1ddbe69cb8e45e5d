// Creating and destroying an instance.
#pragma once

#include "sched/cron_job.h"

// A stopped instance bound to `data_dir` (null or "": no store), made
// absolute, with the directory and its parents created and the store loaded.
// Null, with the reason in the error text, when memory cannot be obtained,
// the directory does not fit its field, cannot be created, is not a
// directory or cannot be written, or the store cannot be read as a whole.
crontab_t* cron_instance_create(const char* data_dir);

// Stops the scheduler, gives runs in progress up to 60 s, cancels the rest
// and waits until no execution can touch the instance, then releases
// everything. Writes no file. Call without the lock.
void cron_instance_destroy(crontab_t* ct);
