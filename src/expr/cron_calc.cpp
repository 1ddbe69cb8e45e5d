#include "expr/cron_calc.h"

#include <ctime>

#include "proc/cron_os.h"

namespace {

constexpr int days_in_month[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int month_length(int year, int month) {
    return month == 2 && is_leap(year) ? 29 : days_in_month[month];
}

bool full_dom(const cron_expr_t* e) { return e->dom_bits == CRON_FULL_DOM; }
bool full_dow(const cron_expr_t* e) { return e->dow_bits == CRON_FULL_DOW; }

// A restricted day of month and a restricted weekday combine with "or"; a full
// set defers to the other one.
bool day_matches(const cron_expr_t* e, int mday, int wday) {
    bool in_dom = (e->dom_bits >> mday) & 1u;
    bool in_dow = (e->dow_bits >> wday) & 1u;
    if (full_dom(e) && full_dow(e)) return true;
    if (full_dom(e)) return in_dow;
    if (full_dow(e)) return in_dom;
    return in_dom || in_dow;
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

// The calendar search: minute steps in absolute time, each candidate matched
// by its local wall-clock fields, so a local time skipped when DST begins is
// never seen and one repeated when it ends is seen twice. Months that are not
// selected are passed over in one jump.
int64_t calendar_search(const cron_expr_t* e, int64_t after) {
    std::tm tm{};
    if (!cron_os_localtime(after + 1, &tm)) return -1;
    const int start_year = tm.tm_year;
    tm.tm_sec = 0;  // tm_isdst stays as converted: the same instant's offset
    int64_t t = cron_os_mktime(&tm);
    if (t == -1) return -1;
    if (t <= after) t += 60;

    for (int64_t step = 0; step < CRON_SEARCH_MAX_STEPS; ++step) {
        if (!cron_os_localtime(t, &tm)) return -1;
        if (tm.tm_year > start_year + CRON_SEARCH_MAX_YEARS) return -1;
        const int month = tm.tm_mon + 1;
        if (!((e->month_bits >> month) & 1u)) {
            // Midnight of the 1st with that date's own DST state, whatever the
            // state of the month being left.
            std::tm next{};
            next.tm_year = month == 12 ? tm.tm_year + 1 : tm.tm_year;
            next.tm_mon = month == 12 ? 0 : month;
            next.tm_mday = 1;
            next.tm_isdst = -1;
            t = cron_os_mktime(&next);
            if (t == -1) return -1;
            continue;
        }
        if (!((e->minute_bits >> tm.tm_min) & 1u) || !((e->hour_bits >> tm.tm_hour) & 1u) ||
            !day_matches(e, tm.tm_mday, tm.tm_wday) || tm.tm_mday > month_length(tm.tm_year + 1900, month)) {
            t += 60;
            continue;
        }
        return t;
    }
    return -1;
}

}  // namespace

int64_t cron_next_time(const cron_expr_t* expr, int64_t after) {
    if (expr == nullptr || expr->valid == 0) return -1;
    if (expr->interval_sec > 0) return next_interval(expr->interval_sec, after);
    if (after == INT64_MAX) return -1;
    return calendar_search(expr, after);
}
