// quilmarn-cron run, logs, cancel and daemon: running the jobs of a data
// directory and reading what their runs left. Each returns the exit status.
#pragma once

// Runs job `id` now, prints the records of that execution and keeps them for
// `logs`. 0 when its last attempt exited with 0.
int cron_tool_run(const char* dir, int id);

// The newest `count` (1..20) kept records of job `id`: one block per attempt,
// oldest first, or the run log JSON (newest first).
int cron_tool_logs(const char* dir, int id, int count, bool json);

// Cancels the execution of job `id` in the process that runs the jobs of
// the directory (a daemon or a run).
int cron_tool_cancel(const char* dir, int id);

// Runs the scheduler until SIGINT or SIGTERM, with one line per finished
// attempt; a second signal cancels the runs still going.
int cron_tool_daemon(const char* dir);
