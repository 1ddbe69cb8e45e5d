// quilmarn-cron import FILE [--skip-bad]
#pragma once

#include "quilmarn_crontab.h"

// Adds one job per schedule line of the crontab-style file at `path` ("-" for
// standard input). Reports each line it cannot take with its number and the
// reason; adds nothing then unless `skip_bad`. Returns the exit status.
int cron_tool_import(crontab_t* ct, const char* path, bool skip_bad);
