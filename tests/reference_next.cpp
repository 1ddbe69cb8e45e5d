#include "reference_next.h"

#include <ctime>

#include "expr/cron_calc.h"
#include "proc/cron_os.h"

namespace {

constexpr int days_in_month[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int month_length(int year, int month) {
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days_in_month[month];
}

bool day_matches(const cron_expr_t* e, int mday, int wday) {
    bool in_dom = (e->dom_bits >> mday) & 1u;
    bool in_dow = (e->dow_bits >> wday) & 1u;
    bool full_dom = e->dom_bits == CRON_FULL_DOM, full_dow = e->dow_bits == CRON_FULL_DOW;
    if (full_dom && full_dow) return true;
    if (full_dom) return in_dow;
    if (full_dow) return in_dom;
    return in_dom || in_dow;
}

}  // namespace

int64_t reference_next_time(const cron_expr_t* e, int64_t after) {
    if (e == nullptr || e->valid == 0) return -1;
    if (e->interval_sec > 0) {
        const int64_t interval = e->interval_sec;
        if (after > INT64_MAX - interval) return -1;
        int64_t q = after / interval;
        if (after % interval != 0 && after < 0) --q;
        int64_t t = (q + 1) * interval;
        return t <= after ? t + interval : t;
    }
    if (after == INT64_MAX) return -1;

    std::tm tm{};
    if (!cron_os_localtime(after + 1, &tm)) return -1;
    const int start_year = tm.tm_year;
    tm.tm_sec = 0;
    int64_t t = cron_os_mktime(&tm);
    if (t == -1) return -1;
    if (t <= after) t += 60;

    for (int64_t step = 0; step < CRON_SEARCH_MAX_STEPS; ++step) {
        if (!cron_os_localtime(t, &tm)) return -1;
        if (tm.tm_year > start_year + CRON_SEARCH_MAX_YEARS) return -1;
        const int month = tm.tm_mon + 1;
        if (!((e->month_bits >> month) & 1u)) {
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
