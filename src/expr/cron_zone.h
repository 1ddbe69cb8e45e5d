// Time zones of schedules: a zone named by a CRON_TZ= prefix, or the
// process's own zone as TZ names it at the time of the call. Conversions take
// no lock and never touch the process environment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

// A zone by name, loaded once and kept for the life of the process, so that
// records holding a pointer to it can be copied freely.
struct cron_zone;

constexpr size_t CRON_ZONE_NAME_MAX = 64;

constexpr int CRON_ZONE_UNKNOWN = -1;      // no such zone
constexpr int CRON_ZONE_UNSUPPORTED = -2;  // this platform has no zones by name
constexpr int CRON_ZONE_TOO_MANY = -3;     // the process keeps as many zones as it may

// Finds the zone `name` of the system's zone database: 0 and *out set, or one
// of the codes above. Safe on any thread.
int cron_zone_find(std::string_view name, const cron_zone** out);
// Zones are kept for the life of the process, at most 2048 of them, each under
// its one name (no "." or empty component). A zone whose file has changed is
// read again, looked at no more often than once a minute.
// The number of zones kept, for tests.
size_t cron_zone_count();
// For tests: how often zone files are looked at for a change; 0 every time.
void cron_zone_set_recheck_interval(int64_t ms);

// The name as written in the expression; "" for null (the process zone).
const char* cron_zone_name(const cron_zone* zone);

// The conversions of one zone, settled once per computation so that a search
// sees one zone throughout even while the host changes TZ.
struct cron_tz_t {
    const void* impl;  // null: the C library's local time
};
// Null zone: the process zone as TZ names it now.
cron_tz_t cron_tz_of(const cron_zone* zone);

// Epoch seconds to the zone's calendar time (tm_isdst set, tm_gmtoff left
// alone); false when the time is outside what the calendar converts.
bool cron_tz_localtime(cron_tz_t tz, int64_t t, std::tm* out);
// Calendar time (normalised like mktime; tm_isdst is not consulted) to the
// first instant that has it, or to the instant the clock jumps to when it is
// skipped; *tm receives the calendar time of the result. -1 on failure.
int64_t cron_tz_mktime(cron_tz_t tz, std::tm* tm);
