// Running the jobs of a data directory: run, logs, cancel and daemon.
#pragma once

#include "job_list.h"

// The exit status that stands for an execution whose last attempt left
// `last`: the command's own status (as a shell gives it, 128 + N for a
// signal), 124 for its time limit, 125 when it could not be started, 130
// when cancelled.
int cron_run_exit_status(const run_record& last);
