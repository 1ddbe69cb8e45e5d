#include "expr/cron_calc.h"

#include <bit>
#include <ctime>

#include "expr/cron_zone.h"

// Fire times are defined by a minute-by-minute walk in absolute time that
// matches each minute by its local wall-clock fields: a local time skipped
// when DST begins is never seen, one repeated when it ends is seen twice, and
// a month that is not selected is left by a jump to 00:00 on the 1st of the
// next month with that date's own DST state. The search below gives the same
// answers with a few conversions: it computes the next matching local minute
// by calendar arithmetic and takes the jump in absolute time only where the
// UTC offset at the landing point equals the offset at the start. Where it
// differs, a transition lies between, and the search moves to the first
// minute past it and starts over from there.

namespace {

constexpr int days_in_month[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int month_length(int64_t year, int month) { return month == 2 && is_leap(year) ? 29 : days_in_month[month]; }

// Days from 1970-01-01 to a proleptic Gregorian date. Written out because the
// standard calendar types stop at year 32767 and localtime does not.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Local wall-clock time as seconds on the local time line.
int64_t local_seconds(const std::tm& tm) {
    return days_from_civil(tm.tm_year + int64_t{1900}, tm.tm_mon + 1, tm.tm_mday) * 86400 +
           tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

// UTC offset in effect at t, derived from the fields so that any conversion
// behind the OS seam serves.
int64_t utc_offset(int64_t t, const std::tm& tm) { return local_seconds(tm) - t; }

// Bit o: the days 1 + o, 8 + o, 15 + o, ... of a month.
constexpr uint64_t weekly_days(int o) {
    uint64_t days = 0;
    for (int d = 1 + o; d <= 31; d += 7) days |= uint64_t{1} << d;
    return days;
}
constexpr uint64_t days_by_offset[7] = {weekly_days(0), weekly_days(1), weekly_days(2), weekly_days(3),
                                        weekly_days(4), weekly_days(5), weekly_days(6)};

// The days of one month (bit d) that pass the day test: a restricted day of
// month and a restricted weekday combine with "or", a full set defers to the
// other one.
uint64_t matching_days(const cron_expr_t* e, int length, int weekday_of_first) {
    const uint64_t in_month = ((uint64_t{1} << length) - 1) << 1;
    const bool full_dom = e->dom_bits == CRON_FULL_DOM, full_dow = e->dow_bits == CRON_FULL_DOW;
    if (full_dom && full_dow) return in_month;
    uint64_t by_weekday = 0;
    for (int w = 0; w < 7; ++w) {
        if ((e->dow_bits >> w) & 1u) by_weekday |= days_by_offset[(w - weekday_of_first + 7) % 7];
    }
    const uint64_t by_dom = e->dom_bits;
    if (full_dom) return by_weekday & in_month;
    if (full_dow) return by_dom & in_month;
    return (by_dom | by_weekday) & in_month;
}

// The first selected hour and minute at or after hour:minute of one day.
bool next_time_of_day(const cron_expr_t* e, int hour, int minute, int* h, int* m) {
    const uint64_t minutes = e->minute_bits & CRON_FULL_MINUTES;
    const uint32_t hours = e->hour_bits & CRON_FULL_HOURS;
    if (minutes == 0) return false;
    if ((hours >> hour) & 1u) {
        if (uint64_t rest = minutes >> minute << minute; rest != 0) {
            *h = hour, *m = std::countr_zero(rest);
            return true;
        }
    }
    if (uint32_t later = hours & ~((uint32_t{2} << hour) - 1); later != 0) {
        *h = std::countr_zero(later), *m = std::countr_zero(minutes);
        return true;
    }
    return false;
}

// Minutes from the local minute of `tm` to the first matching minute of its
// month, or to 00:00 on the 1st of the next month when none is left. Sets
// *found for a match.
int64_t minutes_to_target(const cron_expr_t* e, const std::tm& tm, bool* found) {
    const int month = tm.tm_mon + 1;
    const int length = month_length(tm.tm_year + int64_t{1900}, month);
    const int first_weekday = ((tm.tm_wday - (tm.tm_mday - 1)) % 7 + 7) % 7;
    const uint64_t days = matching_days(e, length, first_weekday);
    const int64_t now = int64_t{tm.tm_mday} * 1440 + tm.tm_hour * 60 + tm.tm_min;
    int h = 0, m = 0;
    *found = true;
    if (((days >> tm.tm_mday) & 1u) && next_time_of_day(e, tm.tm_hour, tm.tm_min, &h, &m))
        return int64_t{tm.tm_mday} * 1440 + h * 60 + m - now;
    if (uint64_t later = days & ~((uint64_t{2} << tm.tm_mday) - 1);
        later != 0 && next_time_of_day(e, 0, 0, &h, &m))
        return int64_t{std::countr_zero(later)} * 1440 + h * 60 + m - now;
    *found = false;
    return int64_t{length + 1} * 1440 - now;
}

// The first minute in (t, t + 60 * n] whose offset differs from the offset at
// t, given that the one at t + 60 * n does; *tm holds that minute's fields on
// entry and receives those of the result.
int64_t first_minute_past_transition(cron_tz_t tz, int64_t t, int64_t offset, int64_t n, std::tm* tm) {
    int64_t lo = 0, hi = n;
    std::tm probe{};
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        const int64_t at = t + mid * 60;
        if (!cron_tz_localtime(tz, at, &probe)) return -1;
        if (utc_offset(at, probe) == offset) {
            lo = mid;
        } else {
            hi = mid;
            *tm = probe;
        }
    }
    return t + hi * 60;
}

int64_t calendar_search(const cron_expr_t* e, int64_t after) {
    const uint16_t months = e->month_bits & CRON_FULL_MONTHS;
    // One zone for the whole search, even if the host changes TZ meanwhile.
    const cron_tz_t tz = cron_tz_of(e->zone);
    std::tm tm{};
    if (!cron_tz_localtime(tz, after + 1, &tm)) return -1;
    const int start_year = tm.tm_year;
    // The start of that local minute at the same instant's offset, or of the
    // next one.
    int64_t t = after + 1 - tm.tm_sec;
    if (t <= after) t += 60;
    if (!cron_tz_localtime(tz, t, &tm)) return -1;

    // Every round moves t forward; the bound only guards against a calendar
    // conversion that does not.
    for (int64_t round = 0; round < CRON_SEARCH_MAX_STEPS; ++round) {
        if (tm.tm_year > start_year + CRON_SEARCH_MAX_YEARS) return -1;
        int month = tm.tm_mon + 1;
        if (!((months >> month) & 1u)) {
            if (months == 0) return -1;
            // Passing several unselected months one by one would land on the
            // 1st of each; only the last landing counts.
            int year = tm.tm_year;
            do {
                if (++month > 12) month = 1, ++year;
            } while (!((months >> month) & 1u));
            if (year > start_year + CRON_SEARCH_MAX_YEARS) return -1;
            std::tm next{};
            next.tm_year = year;
            next.tm_mon = month - 1;
            next.tm_mday = 1;
            t = cron_tz_mktime(tz, &next);  // with the DST state of that date
            if (t == -1) return -1;
            tm = next;  // normalised to the local time of t
            continue;
        }

        bool found = false;
        const int64_t n = minutes_to_target(e, tm, &found);
        if (found && n == 0) return t;
        const int64_t offset = utc_offset(t, tm);
        std::tm landing{};
        if (!cron_tz_localtime(tz, t + n * 60, &landing)) return -1;
        if (utc_offset(t + n * 60, landing) == offset) {
            if (found) return t + n * 60;
            t += n * 60;  // 00:00 on the 1st of the next month
            tm = landing;
            continue;
        }
        tm = landing;
        t = first_minute_past_transition(tz, t, offset, n, &tm);
        if (t == -1) return -1;
        // An old local mean time has seconds in its offset, so the minutes of
        // the new offset start elsewhere: go on from the first one.
        if (tm.tm_sec != 0) {
            t += 60 - tm.tm_sec;
            if (!cron_tz_localtime(tz, t, &tm)) return -1;
        }
    }
    return -1;
}

// Fire times of "@every": multiples of the interval counted from the epoch.
int64_t next_interval(int64_t interval, int64_t after) {
    if (after > INT64_MAX - interval) return -1;
    int64_t q = after / interval;
    if (after % interval != 0 && after < 0) --q;  // floor, so times before 1970 align too
    int64_t t = (q + 1) * interval;
    if (t <= after) t += interval;
    return t;
}

}  // namespace

int64_t cron_utc_offset(int64_t t, const std::tm& tm) { return utc_offset(t, tm); }

int64_t cron_next_time(const cron_expr_t* expr, int64_t after) {
    if (expr == nullptr || expr->valid == 0 || expr->reboot) return -1;
    if (expr->interval_sec > 0) return next_interval(expr->interval_sec, after);
    if (after == INT64_MAX) return -1;
    return calendar_search(expr, after);
}
