// The desktop platform has no zone database the C runtime can read by name:
// only the process zone, through the C runtime's local time.
#include "expr/cron_zone.h"
#include "proc/cron_os.h"

int cron_zone_find(std::string_view, const cron_zone**) { return CRON_ZONE_UNSUPPORTED; }

const char* cron_zone_name(const cron_zone*) { return ""; }

size_t cron_zone_count() { return 0; }

void cron_zone_set_recheck_interval(int64_t) {}

cron_tz_t cron_tz_of(const cron_zone*) { return {nullptr}; }

bool cron_tz_localtime(cron_tz_t, int64_t t, std::tm* out) { return cron_os_localtime(t, out); }

int64_t cron_tz_mktime(cron_tz_t, std::tm* tm) {
    tm->tm_isdst = -1;
    return cron_os_mktime(tm);
}
