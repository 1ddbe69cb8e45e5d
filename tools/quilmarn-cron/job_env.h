// What the jobs of the daemon inherit: cron's environment, never the service
// manager's variables.
#pragma once

#include <string>

// Takes NOTIFY_SOCKET, INVOCATION_ID, JOURNAL_STREAM, LISTEN_PID, LISTEN_FDS
// and LISTEN_FDNAMES out of the environment (NOTIFY_SOCKET's value is kept
// for cron_service_notify); sets HOME, LOGNAME and USER of the daemon's
// account, SHELL=/bin/sh and PATH=/usr/bin:/bin; and enters the home
// directory ("/" when it cannot be entered), after making *dir absolute.
// Jobs inherit all of it; a job's own variables and working directory still
// win, and jobs with a user get that account's. Call before any thread
// exists: it changes the environment. False, with *why, when *dir cannot be
// made absolute.
bool cron_job_env_setup(std::string* dir, std::string* why);

// Tells the service manager that started the daemon `state` ("READY=1"):
// one datagram to the NOTIFY_SOCKET the daemon started with. Nothing when
// there was none.
void cron_service_notify(const char* state);
