#include "expr/cron_describer.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "expr/cron_zone.h"

namespace {

constexpr const char* day_names[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

bool single_bit(uint64_t bits) { return std::has_single_bit(bits); }
int lowest_bit(uint64_t bits) { return std::countr_zero(bits); }

// "Every N minutes" only when the minutes are exactly 0, s, 2s, ... below 60
// for the distance s between the two lowest minutes.
int minute_step(uint64_t minutes) {
    if (std::popcount(minutes) < 2 || (minutes & 1u) == 0) return 0;
    int step = lowest_bit(minutes & ~uint64_t{1});
    if (step < 2) return 0;
    uint64_t multiples = 0;
    for (int m = 0; m < 60; m += step) multiples |= uint64_t{1} << m;
    return minutes == multiples ? step : 0;
}

// The selected weekdays (one to six) as English text, in Sunday-to-Saturday
// order: neighbours joined by "and", a run of three or more by "through",
// anything else listed.
void day_text(uint8_t dow, char* out, size_t size) {
    const int count = std::popcount(static_cast<unsigned>(dow));
    const int first = lowest_bit(dow);
    const int last = 31 - std::countl_zero(static_cast<uint32_t>(dow));
    const bool unbroken = last - first + 1 == count;
    if (count == 2 && unbroken) {
        std::snprintf(out, size, "%s and %s", day_names[first], day_names[last]);
        return;
    }
    if (count >= 3 && unbroken) {
        std::snprintf(out, size, "%s through %s", day_names[first], day_names[last]);
        return;
    }
    out[0] = '\0';
    for (int d = 0; d < 7; ++d) {
        if (!((dow >> d) & 1u)) continue;
        size_t used = std::strlen(out);
        std::snprintf(out + used, size - used, "%s%s", used > 0 ? ", " : "", day_names[d]);
    }
}

void describe_interval(int seconds, char* out, size_t size) {
    int n = 0;
    const char* unit = cron_interval_unit(seconds, &n);
    std::snprintf(out, size, "Every %d %s%s", n, unit, n == 1 ? "" : "s");
}

void describe_minutes(uint64_t minutes, char* out, size_t size) {
    if (int step = minute_step(minutes); step != 0) {
        std::snprintf(out, size, "Every %d minutes", step);
    } else if (minutes == CRON_FULL_MINUTES) {
        std::snprintf(out, size, "Every minute");
    } else if (single_bit(minutes)) {
        int m = lowest_bit(minutes);
        if (m == 0) {
            std::snprintf(out, size, "Every hour");
        } else {
            std::snprintf(out, size, "Every hour at minute %d", m);
        }
    } else {
        std::snprintf(out, size, "Custom schedule");
    }
}

void describe_daily(const cron_expr_t* e, char* out, size_t size) {
    const int h = lowest_bit(e->hour_bits), m = lowest_bit(e->minute_bits);
    const bool midnight = h == 0 && m == 0;
    const bool dom_full = e->dom_bits == CRON_FULL_DOM, month_full = e->month_bits == CRON_FULL_MONTHS;
    const bool dow_full = e->dow_bits == CRON_FULL_DOW;
    if (dom_full && month_full && dow_full) {
        if (midnight) {
            std::snprintf(out, size, "At midnight every day");
        } else {
            std::snprintf(out, size, "At %02d:%02d every day", h, m);
        }
    } else if (dom_full && month_full) {
        char days[128];
        day_text(e->dow_bits, days, sizeof days);
        if (midnight) {
            std::snprintf(out, size, "At midnight, %s", days);
        } else {
            std::snprintf(out, size, "At %02d:%02d, %s", h, m, days);
        }
    } else if (single_bit(e->dom_bits) && month_full && dow_full) {
        std::snprintf(out, size, "At %02d:%02d on day %d of every month", h, m, lowest_bit(e->dom_bits));
    } else if (single_bit(e->dom_bits) && single_bit(e->month_bits) && dow_full) {
        std::snprintf(out, size, "At %02d:%02d on day %d of month %d", h, m, lowest_bit(e->dom_bits),
                      lowest_bit(e->month_bits));
    } else {
        std::snprintf(out, size, "At %02d:%02d matching the given schedule", h, m);
    }
}

}  // namespace

char* cron_describe(const cron_expr_t* e, const char*, char* out, size_t size) {
    if (out == nullptr) return nullptr;
    if (size == 0) return out;
    if (e == nullptr || e->valid == 0) {
        std::snprintf(out, size, "Invalid expression");
    } else if (e->reboot) {
        std::snprintf(out, size, "Once after the machine starts");
    } else if (e->interval_sec > 0) {
        describe_interval(e->interval_sec, out, size);
    } else if (e->hour_bits == CRON_FULL_HOURS && e->dom_bits == CRON_FULL_DOM &&
               e->month_bits == CRON_FULL_MONTHS && e->dow_bits == CRON_FULL_DOW) {
        describe_minutes(e->minute_bits, out, size);
    } else if (single_bit(e->hour_bits) && single_bit(e->minute_bits)) {
        describe_daily(e, out, size);
    } else {
        std::snprintf(out, size, "Custom schedule");
    }
    if (e != nullptr && e->valid != 0 && e->zone != nullptr) {
        const size_t used = std::strlen(out);
        std::snprintf(out + used, size - used, ", %s time", cron_zone_name(e->zone));
    }
    return out;
}
