// Who owns a data directory. The library keeps a second instance out (its
// lock on crontab.lock, taken by crontab_create and held until
// crontab_destroy); beside it the tool notes what the owner does, in
// "quilmarn-cron.lock" as "<pid> <role>", so that a refused command can say
// "a daemon (pid N)" and a reader can tell a run from a change.
#pragma once

#include <string>

enum class lock_role { edit, run, daemon };

// The owner's note, written once crontab_create has given us the directory.
// Never through a link; false when it cannot be written (only messages
// lose by that).
bool cron_owner_note(const std::string& dir, lock_role role);

// The note of the live process `pid` (the owner the library named); false
// when there is none, or it belongs to another process.
bool cron_owner_role(const std::string& dir, long pid, lock_role* role);

// The owner may serve the directory soon: the note names a live daemon or
// run (starting, serving or ending), or a live process holds the library's
// lock and has not written its note yet.
bool cron_owner_may_serve(const std::string& dir);

// "<dir>/quilmarn-cron.lock"
std::string dir_lock_path(const std::string& dir);
