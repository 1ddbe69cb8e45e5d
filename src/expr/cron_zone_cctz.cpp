// Zones through cctz. The process zone follows TZ as the C library does,
// except that a TZ value cctz cannot read (a POSIX rule text such as
// "EST5EDT,M3.2.0,M11.1.0") is left to the C library's own conversions.
#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "expr/cron_zone.h"
#include "proc/cron_os.h"

// One version of a zone's rules; never freed, since a computation may still
// use it when a newer one replaces it.
struct zone_rules {
    cctz::time_zone tz;
};

struct cron_zone {
    char name[CRON_ZONE_NAME_MAX + 1];
    std::atomic<const zone_rules*> rules;
    // Below: read and written only by the recheck, under its own lock.
    cron_os_file_id_t id;  // the file the rules were read from
    int generation;        // times the file was read again
};

namespace {

// Conversions stay far inside what the calendar types hold: a year must fit
// in tm_year, and cctz adds offsets to the seconds without overflow checks.
constexpr int64_t TIME_LIMIT = int64_t{1} << 55;  // about a billion years

// More than the names of the zone database (about 1,300 on Debian 12), and a
// bound on what a directory of odd files can make a process keep.
constexpr size_t MAX_ZONES = 2048;
// A zone file is a few KiB; a larger one is not read.
constexpr int64_t MAX_ZONE_FILE = 256 * 1024;

// Names of the zone database only, one spelling per zone: no absolute path,
// no "..", "." or empty component, so that an expression cannot make the
// library open files outside it, nor keep one zone under many names.
bool plausible_name(std::string_view name) {
    if (name.empty() || name.size() > CRON_ZONE_NAME_MAX) return false;
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '/' || c == '_' || c == '-' || c == '+' || c == '.';
        if (!ok) return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

// Every zone ever found, never freed: records and job slots point at them.
struct registry {
    std::mutex lock;
    std::vector<cron_zone*> zones;
    std::mutex recheck;                      // one recheck at a time; never taken inside `lock`
    std::vector<const zone_rules*> retired;  // replaced rules, under `recheck`
    std::atomic<int64_t> next_check_ms{0};
    std::atomic<int64_t> interval_ms{60000};
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

std::string zone_file(std::string_view name) {
    const char* dir = std::getenv("TZDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" +
           std::string(name);
}

// The rules in the zone file `name` as it is now, and the file's identity;
// null when it is missing, not a regular file or too large. Reads files:
// call without the registry's lock. `generation` > 0 asks cctz, which keeps
// every name it loaded, under a new spelling of the same file.
const zone_rules* load_rules(std::string_view name, int generation, cron_os_file_id_t* id) {
    *id = {};
    // "UTC" needs no file; other names must be a regular file now (a FIFO
    // would hold cctz's load for ever).
    if (name != "UTC" && !cron_os_regular_file(zone_file(name).c_str(), MAX_ZONE_FILE, id)) return nullptr;
    std::string spelling;
    for (int i = 0; i < generation; ++i) spelling += "./";
    spelling += name;
    auto* rules = new zone_rules;
    if (!cctz::load_time_zone(spelling, &rules->tz)) {
        delete rules;
        return nullptr;
    }
    return rules;
}

cron_zone* find_shared(std::string_view name) {
    registry& r = zones();
    {
        std::lock_guard<std::mutex> lk(r.lock);
        for (cron_zone* z : r.zones) {
            if (same_name(z, name)) return z;
        }
        if (r.zones.size() >= MAX_ZONES) return nullptr;
    }
    // cctz remembers every name it was asked for, the unknown ones too: ask
    // only for names whose file exists, so that bogus names cost nothing.
    cron_os_file_id_t id;
    const zone_rules* rules = load_rules(name, 0, &id);
    if (rules == nullptr) return nullptr;
    std::lock_guard<std::mutex> lk(r.lock);
    // Another thread may have loaded it meanwhile: its record is the one.
    for (cron_zone* z : r.zones) {
        if (same_name(z, name)) return z;
    }
    if (r.zones.size() >= MAX_ZONES) return nullptr;
    auto* z = new cron_zone{};
    std::memcpy(z->name, name.data(), name.size());
    z->rules.store(rules, std::memory_order_release);
    z->id = id;
    r.zones.push_back(z);
    return z;
}

// A running host follows an update of the zone database: at most once per
// interval, each zone file is looked at and, when it is another file or has
// changed, read again. Computations keep the rules they began with.
void recheck_now(registry& r) {
    std::vector<cron_zone*> list;
    {
        std::lock_guard<std::mutex> lk(r.lock);
        list = r.zones;
    }
    for (cron_zone* z : list) {
        cron_os_file_id_t id;
        if (same_name(z, "UTC") ||
            (cron_os_regular_file(zone_file(z->name).c_str(), MAX_ZONE_FILE, &id) && id == z->id))
            continue;
        // A file gone or unreadable keeps the rules already read.
        if (const zone_rules* rules = load_rules(z->name, z->generation + 1, &id)) {
            ++z->generation;
            z->id = id;
            r.retired.push_back(z->rules.load(std::memory_order_relaxed));
            z->rules.store(rules, std::memory_order_release);
        }
    }
}

void recheck_zones() {
    registry& r = zones();
    const int64_t now = cron_os_coarse_ms();
    if (now < r.next_check_ms.load(std::memory_order_relaxed)) return;
    std::unique_lock<std::mutex> busy(r.recheck, std::try_to_lock);
    if (!busy.owns_lock()) return;
    r.next_check_ms.store(now + r.interval_ms.load(std::memory_order_relaxed), std::memory_order_relaxed);
    // Short of memory, the zones keep their rules until the next look.
    try {
        recheck_now(r);
    } catch (...) {
    }
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
    recheck_zones();
    const cron_zone* z = find_shared(name);
    if (z == nullptr) return cron_zone_count() >= MAX_ZONES ? CRON_ZONE_TOO_MANY : CRON_ZONE_UNKNOWN;
    recent[recent_next] = z;
    recent_next = (recent_next + 1) % THREAD_CACHE;
    *out = z;
    return 0;
}

const char* cron_zone_name(const cron_zone* zone) { return zone != nullptr ? zone->name : ""; }

cron_tz_t cron_tz_of(const cron_zone* zone) {
    if (zone == nullptr) return {process_tz()};
    recheck_zones();
    return {&zone->rules.load(std::memory_order_acquire)->tz};
}

size_t cron_zone_count() {
    registry& r = zones();
    std::lock_guard<std::mutex> lk(r.lock);
    return r.zones.size();
}

void cron_zone_set_recheck_interval(int64_t ms) {
    registry& r = zones();
    r.interval_ms.store(ms >= 0 ? ms : 60000);
    r.next_check_ms.store(0);
}

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
