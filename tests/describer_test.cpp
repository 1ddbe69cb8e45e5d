#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "expr/cron_describer.h"
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

}  // namespace
