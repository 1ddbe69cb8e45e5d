// The library's two reports write one buffer per instance, so a process
// that calls them from several threads (the daemon: its scheduler watch and
// each client's command) takes one lock around each call and the copy of
// its text. Every report the tool reads goes through here.
#pragma once

#include <string>

#include "quilmarn_crontab.h"

std::string cron_report_jobs(crontab_t* ct);
std::string cron_report_logs(crontab_t* ct, int id, int limit);
