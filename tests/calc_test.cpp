#include <gtest/gtest.h>

#include <cstdio>

#include "expr/cron_calc.h"
#include "expr/cron_parser.h"
#include "expr/cron_zone.h"
#include "time_util.h"

namespace {

int64_t next(const char* expr, int64_t after) {
    cron_expr_t e;
    char err[CRON_ERRBUF_SIZE];
    EXPECT_EQ(cron_parse(expr, &e, err, sizeof err), 0) << expr << ": " << err;
    return cron_next_time(&e, after);
}

struct next_case {
    const char* tz;
    const char* expr;
    int64_t after;
    int64_t expected;
};

void check(const next_case* cases, size_t n) {
    size_t skipped = 0;
    for (size_t i = 0; i < n; ++i) {
        const next_case& c = cases[i];
        if (!tz_supported(c.tz)) {
            ++skipped;
            continue;
        }
        set_tz(c.tz);
        EXPECT_EQ(next(c.expr, c.after), c.expected) << c.tz << " '" << c.expr << "' after " << c.after;
    }
    if (skipped == n) GTEST_SKIP() << "no zone of these cases exists on this platform";
    if (skipped > 0) std::printf("skipped %zu cases in zones this platform cannot represent\n", skipped);
}

TEST(Calc, PlainCalendarCases) {
    const next_case cases[] = {
        // Always a whole minute strictly after `after`.
        {"UTC", "* * * * *", utc(2025, 6, 1, 12, 0, 0), utc(2025, 6, 1, 12, 1)},
        {"UTC", "* * * * *", utc(2025, 6, 1, 12, 0, 30), utc(2025, 6, 1, 12, 1)},
        {"UTC", "* * * * *", utc(2025, 6, 1, 12, 0, 59), utc(2025, 6, 1, 12, 1)},
        {"UTC", "* * * * *", utc(2025, 6, 1, 11, 59, 59), utc(2025, 6, 1, 12, 0)},
        {"UTC", "*/15 9-17 * * MON-FRI", utc(2025, 6, 6, 17, 45), utc(2025, 6, 9, 9, 0)},  // Friday evening
        {"UTC", "0 0 31 * *", utc(2025, 1, 31), utc(2025, 3, 31)},
        {"UTC", "0 0 1 1 *", utc(2025, 12, 31, 23, 59, 59), utc(2026, 1, 1)},
        {"Asia/Kolkata", "30 5 * * *", utc(2025, 1, 1), utc(2025, 1, 2, 0, 0)},  // 05:30 local is 00:00 UTC
    };
    check(cases, std::size(cases));
}

TEST(Calc, DayOfMonthAndWeekCombine) {
    // 2025-06-13 is a Friday; 2025-06-06 and 2025-06-20 are Fridays, 2025-07-13 a Sunday.
    const next_case cases[] = {
        {"UTC", "0 0 13 * 5", utc(2025, 6, 6), utc(2025, 6, 13)},
        {"UTC", "0 0 13 * 5", utc(2025, 6, 13), utc(2025, 6, 20)},
        {"UTC", "0 0 13 * 5", utc(2025, 7, 11), utc(2025, 7, 13)},  // the 13th although a Sunday
        {"UTC", "0 0 * * 5", utc(2025, 7, 11), utc(2025, 7, 18)},
        {"UTC", "0 0 13 * *", utc(2025, 6, 13), utc(2025, 7, 13)},
        // Full sets written as ranges still count as full.
        {"UTC", "0 0 1-31 * 5", utc(2025, 7, 11), utc(2025, 7, 18)},
        {"UTC", "0 0 13 * 0-6", utc(2025, 6, 13), utc(2025, 7, 13)},
        {"UTC", "0 0 13 * 1-7", utc(2025, 6, 13), utc(2025, 7, 13)},
        // A stepped day of month is restricted: odd days or Fridays.
        {"UTC", "0 0 */2 * 5", utc(2025, 6, 1), utc(2025, 6, 3)},
        {"UTC", "0 0 */2 * 5", utc(2025, 6, 5), utc(2025, 6, 6)},
    };
    check(cases, std::size(cases));
}

TEST(Calc, FiveYearWindow) {
    const next_case cases[] = {
        {"UTC", "0 0 29 2 *", utc(2024, 3, 1), utc(2028, 2, 29)},
        {"UTC", "0 0 29 2 *", utc(2024, 2, 28, 23, 59), utc(2024, 2, 29)},
        {"UTC", "0 0 30 2 *", utc(2025, 1, 1), -1},
        {"UTC", "0 0 31 4 *", utc(2025, 1, 1), -1},
        // 2100 is no leap year, so from 2096 the next 29 February lies beyond the window.
        {"UTC", "0 0 29 2 *", utc(2096, 3, 1), -1},
        {"UTC", "0 0 1 1 *", utc(2030, 1, 1, 0, 0, 1), utc(2031, 1, 1)},
    };
    check(cases, std::size(cases));
}

TEST(Calc, DaylightSavingTransitions) {
    const next_case cases[] = {
        // New York: 2025-03-09 02:00 EST jumps to 03:00 EDT; 2025-11-02 02:00 EDT falls back to 01:00 EST.
        {"America/New_York", "30 2 * * *", utc(2025, 3, 8, 8), utc(2025, 3, 10, 6, 30)},
        {"America/New_York", "0 3 * * *", utc(2025, 3, 9, 5), utc(2025, 3, 9, 7)},
        {"America/New_York", "30 1 * * *", utc(2025, 11, 2, 4), utc(2025, 11, 2, 5, 30)},
        {"America/New_York", "30 1 * * *", utc(2025, 11, 2, 5, 30), utc(2025, 11, 2, 6, 30)},
        {"America/New_York", "30 1 * * *", utc(2025, 11, 2, 6, 30), utc(2025, 11, 3, 6, 30)},
        {"America/New_York", "*/20 * * * *", utc(2025, 3, 9, 6, 40), utc(2025, 3, 9, 7, 0)},
        // Berlin: 2025-03-30 02:00 CET jumps to 03:00 CEST; 2025-10-26 03:00 CEST falls back to 02:00 CET.
        {"Europe/Berlin", "15 2 30 3 *", utc(2025, 3, 1), utc(2026, 3, 30, 0, 15)},
        {"Europe/Berlin", "15 2 * * *", utc(2025, 10, 25, 23), utc(2025, 10, 26, 0, 15)},
        {"Europe/Berlin", "15 2 * * *", utc(2025, 10, 26, 0, 15), utc(2025, 10, 26, 1, 15)},
        // Month jump out of a month in which DST began lands on 00:00 of the new DST offset.
        {"Europe/Berlin", "30 0 1 4 *", utc(2025, 3, 15), utc(2025, 3, 31, 22, 30)},
        {"America/New_York", "30 0 1 4 *", utc(2025, 3, 1), utc(2025, 4, 1, 4, 30)},
        {"America/New_York", "30 0 1 11 *", utc(2025, 10, 15), utc(2025, 11, 1, 4, 30)},
        {"America/New_York", "30 0 1 12 *", utc(2025, 11, 1, 5), utc(2025, 12, 1, 5, 30)},
        // Monrovia left its mean time of -00:44:30 for GMT on 1972-01-07: minutes start on the half minute
        // before and on the minute after.
        {"Africa/Monrovia", "0 12 7 1 *", utc(1972, 1, 1), utc(1972, 1, 7, 12)},
    };
    check(cases, std::size(cases));
}

bool zones_by_name() {
    const cron_zone* z = nullptr;
    return cron_zone_find("UTC", &z) == 0;
}

// Schedules in their own zone while the process is in another: both edges of
// DST in each zone that has it, with the skipped time firing never and the
// repeated one at each occurrence.
TEST(Calc, NamedZones) {
    if (!zones_by_name()) GTEST_SKIP() << "no zones by name on this platform";
    set_tz("Asia/Tokyo");
    const next_case cases[] = {
        // Berlin: 2025-03-30 02:00 CET jumps to 03:00 CEST; 2025-10-26 03:00 CEST falls back to 02:00 CET.
        {"", "CRON_TZ=Europe/Berlin 30 2 * * *", utc(2025, 3, 29, 12), utc(2025, 3, 31, 0, 30)},
        {"", "CRON_TZ=Europe/Berlin 30 2 * * *", utc(2025, 10, 25, 12), utc(2025, 10, 26, 0, 30)},
        {"", "CRON_TZ=Europe/Berlin 30 2 * * *", utc(2025, 10, 26, 0, 30), utc(2025, 10, 26, 1, 30)},
        // New York: 2025-03-09 02:00 EST jumps to 03:00 EDT; 2025-11-02 02:00 EDT falls back to 01:00 EST.
        {"", "TZ=America/New_York 30 2 * * *", utc(2025, 3, 8, 12), utc(2025, 3, 10, 6, 30)},
        {"", "CRON_TZ=America/New_York 30 1 * * *", utc(2025, 11, 2, 4), utc(2025, 11, 2, 5, 30)},
        {"", "CRON_TZ=America/New_York 30 1 * * *", utc(2025, 11, 2, 5, 30), utc(2025, 11, 2, 6, 30)},
        // Lord Howe moves by half an hour: 2025-10-05 02:00 +10:30 jumps to 02:30 +11; 2025-04-06 02:00 +11
        // falls back to 01:30 +10:30.
        {"", "CRON_TZ=Australia/Lord_Howe 15 2 * * *", utc(2025, 10, 4), utc(2025, 10, 5, 15, 15)},
        {"", "CRON_TZ=Australia/Lord_Howe 45 1 * * *", utc(2025, 4, 5, 12), utc(2025, 4, 5, 14, 45)},
        {"", "CRON_TZ=Australia/Lord_Howe 45 1 * * *", utc(2025, 4, 5, 14, 45), utc(2025, 4, 5, 15, 15)},
        // Chatham, at +12:45 and +13:45: 2025-09-28 02:45 jumps to 03:45; 2025-04-06 03:45 falls back to 02:45.
        {"", "CRON_TZ=Pacific/Chatham 0 3 * * *", utc(2025, 9, 27), utc(2025, 9, 28, 13, 15)},
        {"", "CRON_TZ=Pacific/Chatham 0 3 * * *", utc(2025, 4, 5), utc(2025, 4, 5, 13, 15)},
        {"", "CRON_TZ=Pacific/Chatham 0 3 * * *", utc(2025, 4, 5, 13, 15), utc(2025, 4, 5, 14, 15)},
        // Sao Paulo skipped midnight: 2018-11-04 00:00 -03 jumps to 01:00 -02; 2019-02-17 00:00 -02 falls
        // back to 23:00 -03 the day before.
        {"", "CRON_TZ=America/Sao_Paulo 30 0 * * *", utc(2018, 11, 3, 12), utc(2018, 11, 5, 2, 30)},
        {"", "CRON_TZ=America/Sao_Paulo 0 * 4 11 *", utc(2018, 10, 20), utc(2018, 11, 4, 3)},
        {"", "CRON_TZ=America/Sao_Paulo 30 23 * * *", utc(2019, 2, 16, 12), utc(2019, 2, 17, 1, 30)},
        {"", "CRON_TZ=America/Sao_Paulo 30 23 * * *", utc(2019, 2, 17, 1, 30), utc(2019, 2, 17, 2, 30)},
        // No DST: Kolkata at +05:30 all year, and UTC.
        {"", "CRON_TZ=Asia/Kolkata 30 5 * * *", utc(2025, 1, 1), utc(2025, 1, 2)},
        {"", "CRON_TZ=Asia/Kolkata 0 0 1 7 *", utc(2025, 1, 1), utc(2025, 6, 30, 18, 30)},
        {"", "CRON_TZ=UTC 0 12 * * *", utc(2025, 3, 30), utc(2025, 3, 30, 12)},
        {"", "CRON_TZ=Africa/Monrovia 0 12 * * *", utc(1972, 1, 6, 13), utc(1972, 1, 7, 12)},
        // In the last years the calendar converts (2^55 s, about year 1.14e9), the 1st of a month is found.
        {"", "CRON_TZ=America/New_York 0 0 1 4 *", 36026761305244095, 36026761305268800},
        // The same schedule in two zones, and in the process's own.
        {"", "CRON_TZ=Europe/Berlin 0 9 * * *", utc(2025, 6, 2), utc(2025, 6, 2, 7)},
        {"", "CRON_TZ=America/New_York 0 9 * * *", utc(2025, 6, 2), utc(2025, 6, 2, 13)},
        {"", "0 9 * * *", utc(2025, 6, 2), utc(2025, 6, 3, 0)},
    };
    for (const next_case& c : cases)
        EXPECT_EQ(next(c.expr, c.after), c.expected) << c.expr << " after " << c.after;
}

TEST(Calc, EveryAlignsToTheEpoch) {
    const next_case cases[] = {
        {"UTC", "@every 90s", 0, 90},
        {"UTC", "@every 90s", 90, 180},
        {"UTC", "@every 90s", 100, 180},
        {"Asia/Kolkata", "@every 1h", utc(2025, 1, 1, 0, 10), utc(2025, 1, 1, 1)},
        {"Australia/Lord_Howe", "@every 7m", 1000, 1260},
        // Before the epoch the next multiple is still the nearest one above.
        {"UTC", "@every 90s", -100, -90},
        {"UTC", "@every 90s", -90, 0},
        {"UTC", "@every 2147483647s", INT64_MAX - 5, -1},
    };
    check(cases, std::size(cases));
}

TEST(Calc, InvalidRecords) {
    set_tz("UTC");
    EXPECT_EQ(cron_next_time(nullptr, 0), -1);
    cron_expr_t e;
    ASSERT_EQ(cron_parse("* * * * *", &e, nullptr, 0), 0);
    e.valid = 0;
    EXPECT_EQ(cron_next_time(&e, 0), -1);
    e.valid = 1;
    EXPECT_EQ(cron_next_time(&e, INT64_MAX), -1);
    EXPECT_EQ(cron_next_time(&e, INT64_MAX - 1), -1);  // beyond what the calendar converts
}

}  // namespace
