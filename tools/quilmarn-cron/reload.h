// Reloading the jobs of a data directory from crontab.json, in the process
// that owns it: the `reload` command and the daemon's SIGHUP.
#pragma once

#include <string>

#include "quilmarn_crontab.h"

struct reload_counts {
    int added = 0, changed = 0, removed = 0, kept = 0;
};

// crontab_reload on the owner's instance, with what it did taken from its
// events; the labels of the jobs it removed are dropped. False, with the
// library's sentence in *why, when the file was refused and nothing changed.
bool cron_reload_jobs(crontab_t* ct, const std::string& dir, reload_counts* out, std::string* why);
