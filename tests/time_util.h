// Time helpers shared by the tests: an explicit zone and UTC calendar times.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>

inline void set_tz(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

// Epoch seconds of a UTC calendar time.
inline int64_t utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
    using namespace std::chrono;
    auto date = sys_days{year{y} / month{mo} / day{d}};
    return date.time_since_epoch().count() * int64_t{86400} + h * 3600 + mi * 60 + s;
}
