// The few libpq calls the cluster module makes, reached through dlopen so
// that the library never links libpq: a host that never joins a cluster needs
// neither libpq nor a server. Every call that waits on the server does so
// with poll and a deadline, never in libpq's blocking calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Loads libpq.so.5 once per process; false with the reason in *why.
bool cron_pq_load(std::string* why);
// Whether `conninfo` parses as a connection string or URI; else the reason.
bool cron_pq_conninfo_valid(const char* conninfo, std::string* why);

struct cron_pq_conn;  // one connection; not shared between threads at once
void cron_pq_close(cron_pq_conn* c);

// Connects before `deadline_ms` (monotonic); null with the reason in *why.
cron_pq_conn* cron_pq_connect(const char* conninfo, int64_t deadline_ms, std::string* why);

// One statement with text parameters, its result read before `deadline_ms`.
// True when the server answered with success; the rows' text values go to
// *rows (a null value as ""). False with the reason in *why; *broken is then
// true when the connection must not be used again (lost, timed out).
bool cron_pq_exec(cron_pq_conn* c, const char* sql, const std::vector<std::string>& params,
                  int64_t deadline_ms, std::vector<std::vector<std::string>>* rows, std::string* why,
                  bool* broken);
