// Time helpers shared by the tests: an explicit zone and UTC calendar times.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

// The TZ value for a zone name, or null where this platform cannot represent
// the zone. The desktop platform's C library reads only POSIX-style values
// with the US daylight-saving rules ("EST5EDT"), not zone names: the names
// with an exact such equivalent (for the years the tests use) map to it. Any
// other zone is reachable as the system's own zone, used with TZ unset: a
// test program started with QC_SYSTEM_ZONE naming it (under Wine, with TZ
// naming it on the host side too) gets an empty value for it.
inline const char* tz_value(const char* zone) {
#ifdef _WIN32
    static const char* const known[][2] = {
        {"UTC", "UTC"}, {"America/New_York", "EST5EDT"}, {"Asia/Kolkata", "IST-5:30"}};
    for (const auto& k : known)
        if (std::strcmp(k[0], zone) == 0) return k[1];
    const char* system_zone = std::getenv("QC_SYSTEM_ZONE");
    if (system_zone != nullptr && std::strcmp(system_zone, zone) == 0) return "";
    return nullptr;
#else
    return zone;
#endif
}

inline bool tz_supported(const char* zone) { return tz_value(zone) != nullptr; }

inline void set_tz(const char* zone) {
    const char* value = tz_value(zone);
    if (value != nullptr && *value == '\0') {
        unsetenv("TZ");
    } else {
        setenv("TZ", value != nullptr ? value : zone, 1);
    }
    tzset();
}

// Epoch seconds of a UTC calendar time.
inline int64_t utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    using namespace std::chrono;
    auto date = sys_days{year{y} / month{mo} / day{d}};
    return date.time_since_epoch().count() * int64_t{86400} + h * 3600 + mi * 60 + s;
}
