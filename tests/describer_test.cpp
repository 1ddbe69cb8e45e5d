#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "expr/cron_describer.h"
#include "expr/cron_explain.h"
#include "quilmarn_crontab.h"
#include "expr/cron_parser.h"

namespace {

std::string describe(const char* expr) {
    cron_expr_t e;
    char err[CRON_ERRBUF_SIZE];
    EXPECT_EQ(cron_parse(expr, &e, err, sizeof err), 0) << expr << ": " << err;
    char out[512];
    return cron_describe(&e, expr, out, sizeof out);
}

TEST(Describer, Examples) {
    const std::pair<const char*, const char*> cases[] = {
        {"@every 90s", "Every 90 seconds"},
        {"@every 1s", "Every 1 second"},
        {"@every 2m", "Every 2 minutes"},
        {"@every 60m", "Every 1 hour"},
        {"@every 3h", "Every 3 hours"},
        {"@every 3600s", "Every 1 hour"},
        {"@hourly", "Every hour"},
        {"@daily", "At midnight every day"},
        {"@midnight", "At midnight every day"},
        {"@weekly", "At midnight, Sunday"},
        {"@monthly", "At 00:00 on day 1 of every month"},
        {"@yearly", "At 00:00 on day 1 of month 1"},
        {"* * * * *", "Every minute"},
        {"*/1 * * * *", "Every minute"},
        {"0-59 * * * *", "Every minute"},
        {"*/15 * * * *", "Every 15 minutes"},
        {"*/7 * * * *", "Every 7 minutes"},
        {"0,40 * * * *", "Every 40 minutes"},
        {"5-59/15 * * * *", "Custom schedule"},
        {"0-30/10 * * * *", "Custom schedule"},
        {"0,20 * * * *", "Custom schedule"},  // 40 is missing
        {"30 * * * *", "Every hour at minute 30"},
        {"0 * * * *", "Every hour"},
        {"5 4 * * *", "At 04:05 every day"},
        {"30 9 * * 1-5", "At 09:30, Monday through Friday"},
        {"0 12 * * 1,2", "At 12:00, Monday and Tuesday"},
        {"0 12 * * 1,3", "At 12:00, Monday, Wednesday"},
        {"0 0 * * 6,0", "At midnight, Sunday, Saturday"},
        {"0 0 * * 0-5", "At midnight, Sunday through Friday"},
        {"0 0 * * 1-3,5", "At midnight, Monday, Tuesday, Wednesday, Friday"},
        {"15 8 1 6 *", "At 08:15 on day 1 of month 6"},
        {"15 8 1,15 * *", "At 08:15 matching the given schedule"},
        {"15 8 1 6 1", "At 08:15 matching the given schedule"},
        {"0 0 * 6 *", "At 00:00 matching the given schedule"},
        {"* * * * 1-5", "Custom schedule"},
        {"0 * * * 1-5", "Custom schedule"},
        {"0 9-17 * * *", "Custom schedule"},
        {"0 */2 * * *", "Custom schedule"},
        {"0 0 1-31 * *", "At midnight every day"},
        {"0 0 * 1-12 *", "At midnight every day"},
        {"0 0 * * 0-6", "At midnight every day"},
    };
    for (const auto& [expr, text] : cases) EXPECT_EQ(describe(expr), text) << expr;
}

TEST(Describer, BufferContract) {
    cron_expr_t e;
    ASSERT_EQ(cron_parse("30 9 * * 1-5", &e, nullptr, 0), 0);
    EXPECT_EQ(cron_describe(&e, nullptr, nullptr, 10), nullptr);

    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(cron_describe(&e, nullptr, out, 0), out);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(cron_describe(&e, nullptr, out, 6), out);
    EXPECT_STREQ(out, "At 09");

    char wide[64];
    EXPECT_STREQ(cron_describe(nullptr, nullptr, wide, sizeof wide), "Invalid expression");
    e.valid = 0;
    EXPECT_STREQ(cron_describe(&e, nullptr, wide, sizeof wide), "Invalid expression");
}

// Every field shape: the sentence must let a reader get the schedule right.
TEST(Explain, OneSentencePerShape) {
    const std::pair<const char*, const char*> cases[] = {
        // Times of day.
        {"* * * * *", "Every minute"},
        {"0-59 0-23 1-31 1-12 0-6", "Every minute"},
        {"*/15 * * * *", "Every 15 minutes"},
        {"*/30 * * * *", "Every 30 minutes"},
        {"*/7 * * * *", "Every 7 minutes from minute 0 through minute 56 of every hour"},
        {"5/15 * * * *", "Every 15 minutes from minute 5 through minute 50 of every hour"},
        {"0,40 * * * *", "At minutes 0 and 40 of every hour"},
        {"0-5,10,20-25 * * * *", "At minutes 0 through 5, 10 and 20 through 25 of every hour"},
        {"10-20 * * * *", "Every minute from minute 10 through minute 20 of every hour"},
        {"0 * * * *", "Every hour on the hour"},
        {"30 * * * *", "Every hour at minute 30"},
        {"0 9 * * *", "At 09:00 every day"},
        {"0 0,12 * * *", "At 00:00 and 12:00 every day"},
        {"0 9,12,18 * * *", "At 09:00, 12:00 and 18:00 every day"},
        {"0,30 9 * * *", "At 09:00 and 09:30 every day"},
        {"1-5 0 * * *", "At 00:01, 00:02, 00:03, 00:04 and 00:05 every day"},
        {"0 6-18/3 * * *", "At 06:00, 09:00, 12:00, 15:00 and 18:00 every day"},
        {"0 9-17 * * *", "Every hour from 09:00 through 17:00"},
        {"30 */2 * * *", "Every 2 hours from 00:30 through 22:30"},
        {"0 1,3,5,7,9,11,13 * * *", "Every 2 hours from 01:00 through 13:00"},
        {"0 0-3,9,12-15 * * *",
         "At 00:00, 01:00, 02:00, 03:00, 09:00, 12:00, 13:00, 14:00 and 15:00"
         " every day"},
        {"*/15 9-17 * * *", "Every 15 minutes, from 09:00 through 17:59"},
        {"* 9 * * *", "Every minute, from 09:00 through 09:59"},
        {"10-20 9-11,14-17 * * *",
         "Every minute from minute 10 through minute 20 of each hour, from 09:00 through"
         " 11:59 and from 14:00 through 17:59"},
        {"5-30/10 */8 * * *",
         "Every 10 minutes from minute 5 through minute 25 of each hour, from 00:00 through"
         " 00:59, from 08:00 through 08:59 and from 16:00 through 16:59"},
        {"0,30 8-10,17 * * *", "Every 30 minutes, from 08:00 through 10:59 and from 17:00 through 17:59"},
        {"0,45 8-10,17 * * *",
         "At minutes 0 and 45 of each hour, from 08:00 through 10:59 and from 17:00"
         " through 17:59"},
        // Days of the week.
        {"*/15 9-17 * * MON-FRI", "Every 15 minutes, from 09:00 through 17:59, Monday through Friday"},
        {"* * * * 1-5", "Every minute, Monday through Friday"},
        {"0 12 * * 1,2", "At 12:00, Monday and Tuesday"},
        {"0 0 * * 1,3,5", "At 00:00, Monday, Wednesday and Friday"},
        {"0 0 * * 1/2", "At 00:00, Monday, Wednesday and Friday"},
        {"0 0 * * WED,sun", "At 00:00, Sunday and Wednesday"},
        {"0 0 * * 0-5", "At 00:00, Sunday through Friday"},
        {"0 0 * * FRI-MON", "At 00:00, Friday through Monday"},
        {"0 0 * * 6,0", "At 00:00, Saturday and Sunday"},
        {"0 0 * * SAT-SUN", "At 00:00, Saturday and Sunday"},
        {"0 0 * * 5-1/2", "At 00:00, Sunday and Friday"},
        {"0 0 * * 7", "At 00:00, Sunday"},
        {"0 0 * * 0-7", "At 00:00 every day"},
        {"0 0 * * 1-7", "At 00:00 every day"},
        // Days of the month and months.
        {"0 0 13 * *", "At 00:00 on day 13 of the month"},
        {"15 8 1,15 * *", "At 08:15 on days 1 and 15 of the month"},
        {"0 0 1-7 * *", "At 00:00 on days 1 through 7 of the month"},
        {"0 0 */2 * *",
         "At 00:00 on days 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29 and 31 of the month"},
        {"0 0 29 2 *", "At 00:00 on February 29"},
        {"59 23 31 12 *", "At 23:59 on December 31"},
        {"0 0 24-26 12 *", "At 00:00 on December 24 through 26"},
        {"* * 1 1 *", "Every minute on January 1"},
        {"0 0 1 1,4,7,10 *", "At 00:00 on day 1 of January, April, July and October"},
        {"0 12 1 */3 *", "At 12:00 on day 1 of January, April, July and October"},
        {"0 0 * 6 *", "At 00:00 every day in June"},
        {"0 0 * jan,Mar,DEC *", "At 00:00 every day in January, March and December"},
        {"0 0 * 1-6,9 *", "At 00:00 every day in January through June and September"},
        {"0 0 * 3-5 1-5", "At 00:00, Monday through Friday, in March through May"},
        {"*/5 9-17 * 3-5 MON-FRI",
         "Every 5 minutes, from 09:00 through 17:59, Monday through Friday, in March"
         " through May"},
        // Both day fields restricted: either one matches.
        {"0 0 13 * 5", "At 00:00 on day 13 of the month, or on Friday"},
        {"0 0 1,15 * MON", "At 00:00 on days 1 and 15 of the month, or on Monday"},
        {"0 0 1 * 1-5", "At 00:00 on day 1 of the month, or on Monday through Friday"},
        {"0 0 1-7 * 1", "At 00:00 on days 1 through 7 of the month, or on Monday"},
        {"15 8 1 6 1", "At 08:15 on June 1, or on Monday in June"},
        {"0 0 13 6,7 5", "At 00:00 on day 13 of June and July, or on Friday in June and July"},
        // Macros and intervals.
        {"@hourly", "Every hour on the hour"},
        {"@daily", "At 00:00 every day"},
        {"@weekly", "At 00:00, Sunday"},
        {"@monthly", "At 00:00 on day 1 of the month"},
        {"@yearly", "At 00:00 on January 1"},
        {"@every 1s", "Every second, counted from 1970-01-01 00:00:00 UTC"},
        {"@every 90s", "Every 90 seconds, counted from 1970-01-01 00:00:00 UTC"},
        {"@every 7m", "Every 7 minutes, counted from 1970-01-01 00:00:00 UTC"},
        {"@every 60m", "Every hour, counted from 1970-01-01 00:00:00 UTC"},
        {"@every 3h", "Every 3 hours, counted from 1970-01-01 00:00:00 UTC"},
        // What does not parse.
        {"0 0 L * *", "Invalid expression: Invalid day-of-month field 'L': cannot parse value"},
        {"* * *", "Invalid expression: Expression has 3 fields (expected 5)"},
    };
    for (const auto& [expr, text] : cases) EXPECT_STREQ(crontab_explain_expr(expr), text) << expr;
    EXPECT_STREQ(crontab_explain_expr(nullptr), "Invalid expression: Expression is NULL");
}

TEST(Explain, ZoneIsNamed) {
#ifdef _WIN32
    EXPECT_STREQ(crontab_explain_expr("CRON_TZ=Asia/Tokyo 0 9 * * *"),
                 "Invalid expression: Time zones by name are not available on this platform");
#else
    EXPECT_STREQ(crontab_explain_expr("CRON_TZ=Asia/Tokyo 0 9 * * *"), "At 09:00 every day, Asia/Tokyo time");
    EXPECT_STREQ(crontab_explain_expr("TZ=America/New_York */15 9-17 * * MON-FRI"),
                 "Every 15 minutes, from 09:00 through 17:59, Monday through Friday, America/New_York time");
    EXPECT_STREQ(crontab_describe_expr("CRON_TZ=Europe/Berlin 30 9 * * 1-5"),
                 "At 09:30, Monday through Friday, Europe/Berlin time");
    EXPECT_STREQ(crontab_explain_expr("CRON_TZ=UTC @every 1h"),
                 "Invalid expression: A time zone has no meaning for @every");
#endif
}

}  // namespace
