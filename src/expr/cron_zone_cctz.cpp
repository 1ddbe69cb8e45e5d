// Zones through cctz. The process zone follows TZ as the C library does,
// except that a TZ value cctz cannot read (a POSIX rule text such as
// "EST5EDT,M3.2.0,M11.1.0") is left to the C library's own conversions.
#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "expr/cron_zone.h"
#include "proc/cron_os.h"

struct cron_zone {
    cctz::time_zone tz;
    char name[CRON_ZONE_NAME_MAX + 1];
};

namespace {

// Conversions stay far inside what the calendar types hold: a year must fit
// in tm_year, and cctz adds offsets to the seconds without overflow checks.
constexpr int64_t TIME_LIMIT = int64_t{1} << 55;  // about a billion years

// Names of the zone database only: no absolute paths and no "..", so an
// expression cannot make the library open files outside it.
bool plausible_name(std::string_view name) {
    if (name.empty() || name.size() > CRON_ZONE_NAME_MAX || name.front() == '/') return false;
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '/' || c == '_' || c == '-' || c == '+' || c == '.';
        if (!ok) return false;
    }
    return name.find("..") == std::string_view::npos;
}

// Every zone ever found, never freed: records and job slots point at them.
struct registry {
    std::mutex lock;
    std::vector<const cron_zone*> zones;
};
registry& zones() {
    static registry* r = new registry;  // outlives every thread, also at exit
    return *r;
}

// The few zones a thread used last, so that a parse takes no lock.
constexpr int THREAD_CACHE = 8;
thread_local const cron_zone* recent[THREAD_CACHE];
thread_local int recent_next;

bool same_name(const cron_zone* z, std::string_view name) {
    return std::strlen(z->name) == name.size() && std::memcmp(z->name, name.data(), name.size()) == 0;
}

const cron_zone* find_shared(std::string_view name) {
    registry& r = zones();
    std::lock_guard<std::mutex> lk(r.lock);
    for (const cron_zone* z : r.zones) {
        if (same_name(z, name)) return z;
    }
    // cctz remembers every name it was asked for, the unknown ones too: ask
    // only for names whose file exists, so that bogus names cost nothing.
    const char* dir = std::getenv("TZDIR");
    const std::string file =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + std::string(name);
    if (name != "UTC" && !cron_os_file_exists(file.c_str())) return nullptr;
    auto* z = new cron_zone{};
    if (!cctz::load_time_zone(std::string(name), &z->tz)) {
        delete z;
        return nullptr;
    }
    std::memcpy(z->name, name.data(), name.size());
    r.zones.push_back(z);
    return z;
}

// The process zone of this thread, reloaded when TZ changes. getenv is safe
// beside a host's setenv of a TZ that exists: the C library swaps the entry
// and never frees the strings it held.
struct process_zone {
    bool known = false;
    bool unset = false;
    char value[256] = {};
    bool by_cctz = false;
    cctz::time_zone tz;
};
thread_local process_zone process;

const void* process_tz() {
    const char* env = std::getenv("TZ");
    process_zone& p = process;
    if (p.known && (env == nullptr ? p.unset : !p.unset && std::strcmp(env, p.value) == 0)) {
        return p.by_cctz ? &p.tz : nullptr;
    }
    p.known = false;
    if (env != nullptr && std::strlen(env) >= sizeof p.value) return nullptr;  // odd enough for the C library
    p.unset = env == nullptr;
    std::strcpy(p.value, env != nullptr ? env : "");
    // As the C library reads TZ: unset is /etc/localtime, a leading ':' is
    // dropped, empty is UTC (left to the C library, which says so too).
    const char* name = env == nullptr ? "/etc/localtime" : env;
    if (*name == ':') ++name;
    p.by_cctz = *name != '\0' && cctz::load_time_zone(name, &p.tz);
    p.known = true;
    return p.by_cctz ? &p.tz : nullptr;
}

int weekday_of(const cctz::civil_day& d) {
    switch (cctz::get_weekday(d)) {
        case cctz::weekday::sunday: return 0;
        case cctz::weekday::monday: return 1;
        case cctz::weekday::tuesday: return 2;
        case cctz::weekday::wednesday: return 3;
        case cctz::weekday::thursday: return 4;
        case cctz::weekday::friday: return 5;
        default: return 6;
    }
}

bool fill_tm(const cctz::civil_second& cs, bool is_dst, std::tm* out) {
    const int64_t year = cs.year();
    if (year - 1900 > INT32_MAX || year - 1900 < INT32_MIN) return false;
    out->tm_year = static_cast<int>(year - 1900);
    out->tm_mon = cs.month() - 1;
    out->tm_mday = cs.day();
    out->tm_hour = cs.hour();
    out->tm_min = cs.minute();
    out->tm_sec = cs.second();
    const cctz::civil_day day(cs);
    out->tm_wday = weekday_of(day);
    out->tm_yday = cctz::get_yearday(day) - 1;
    out->tm_isdst = is_dst ? 1 : 0;
    return true;
}

using seconds_point = cctz::time_point<cctz::seconds>;

}  // namespace

int cron_zone_find(std::string_view name, const cron_zone** out) {
    for (const cron_zone* z : recent) {
        if (z != nullptr && same_name(z, name)) {
            *out = z;
            return 0;
        }
    }
    if (!plausible_name(name)) return CRON_ZONE_UNKNOWN;
    const cron_zone* z = find_shared(name);
    if (z == nullptr) return CRON_ZONE_UNKNOWN;
    recent[recent_next] = z;
    recent_next = (recent_next + 1) % THREAD_CACHE;
    *out = z;
    return 0;
}

const char* cron_zone_name(const cron_zone* zone) { return zone != nullptr ? zone->name : ""; }

cron_tz_t cron_tz_of(const cron_zone* zone) { return {zone != nullptr ? &zone->tz : process_tz()}; }

bool cron_tz_localtime(cron_tz_t tz, int64_t t, std::tm* out) {
    if (tz.impl == nullptr) return cron_os_localtime(t, out);
    if (t > TIME_LIMIT || t < -TIME_LIMIT) return false;
    const auto* zone = static_cast<const cctz::time_zone*>(tz.impl);
    const auto al = zone->lookup(seconds_point(cctz::seconds(t)));
    return fill_tm(al.cs, al.is_dst, out);
}

int64_t cron_tz_mktime(cron_tz_t tz, std::tm* tm) {
    if (tz.impl == nullptr) {
        tm->tm_isdst = -1;
        return cron_os_mktime(tm);
    }
    // Every year with instants inside TIME_LIMIT passes, so that what
    // localtime gives converts back; the instant itself is checked below.
    constexpr int64_t year_limit = TIME_LIMIT / (365 * 86400) + 1;
    const int64_t year = int64_t{tm->tm_year} + 1900;
    if (year > year_limit || year < -year_limit) return -1;
    const auto* zone = static_cast<const cctz::time_zone*>(tz.impl);
    const cctz::civil_second cs(year, tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
    const auto cl = zone->lookup(cs);
    // A skipped time becomes the instant the clock jumps; a repeated one
    // its first occurrence.
    const seconds_point at = cl.kind == cctz::time_zone::civil_lookup::SKIPPED ? cl.trans : cl.pre;
    const int64_t t = at.time_since_epoch().count();
    if (!cron_tz_localtime(tz, t, tm)) return -1;
    return t;
}
