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
// with an exact such equivalent (for the years the tests use) map to it.
inline const char* tz_value(const char* zone) {
#ifdef _WIN32
    static const char* const known[][2] = {
        {"UTC", "UTC"}, {"America/New_York", "EST5EDT"}, {"Asia/Kolkata", "IST-5:30"}};
    for (const auto& k : known)
        if (std::strcmp(k[0], zone) == 0) return k[1];
    return nullptr;
#else
    return zone;
#endif
}

inline bool tz_supported(const char* zone) { return tz_value(zone) != nullptr; }

inline void set_tz(const char* zone) {
    const char* value = tz_value(zone);
    setenv("TZ", value != nullptr ? value : zone, 1);
    tzset();
}

// Epoch seconds of a UTC calendar time.
inline int64_t utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    using namespace std::chrono;
    auto date = sys_days{year{y} / month{mo} / day{d}};
    return date.time_since_epoch().count() * int64_t{86400} + h * 3600 + mi * 60 + s;
}
