// The library's two reports as copies of their own (crontab_copy_*), so
// threads of the tool (the daemon's main loop and each client's command)
// need no lock around them. Every report the tool reads goes through here.
#pragma once

#include <string>

#include "quilmarn_crontab.h"

std::string cron_report_jobs(crontab_t* ct);
std::string cron_report_logs(crontab_t* ct, int id, int limit);
