#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "expr/cron_parser.h"

namespace {

uint64_t bits(std::initializer_list<int> values) {
    uint64_t b = 0;
    for (int v : values) b |= uint64_t{1} << v;
    return b;
}

uint64_t range(int lo, int hi) {
    uint64_t b = 0;
    for (int v = lo; v <= hi; ++v) b |= uint64_t{1} << v;
    return b;
}

std::string message_of(const char* expr) {
    char err[CRON_ERRBUF_SIZE];
    cron_expr_t e;
    EXPECT_EQ(cron_parse(expr, &e, err, sizeof err), -1) << expr;
    EXPECT_EQ(e.valid, 0) << expr;
    return err;
}

cron_expr_t parsed(const char* expr) {
    cron_expr_t e;
    char err[CRON_ERRBUF_SIZE];
    EXPECT_EQ(cron_parse(expr, &e, err, sizeof err), 0) << expr << ": " << err;
    EXPECT_STREQ(err, "");
    return e;
}

struct message_case {
    std::string expr;
    std::string message;
};

TEST(Parser, EveryMessageWordForWord) {
    const std::string long_expr(256, '*');
    const std::string long_field = "* * * * " + std::string(128, '1');
    const std::string long_base = std::string(64, '1') + "/2 * * * *";
    const std::string long_step = "*/" + std::string(16, '1') + " * * * *";
    const std::string long_range_end = "1-" + std::string(32, '1') + " * * * *";
    const message_case cases[] = {
        {"", "Expression is empty"},
        {" \t\r\n ", "Expression is empty"},
        {long_expr, "Expression is too long"},
        {"* * * * * *", "Expression has too many fields (expected 5)"},
        {"* * *", "Expression has 3 fields (expected 5)"},
        {"*", "Expression has 1 fields (expected 5)"},
        {"* * , * *", "Expression matches no times"},
        {",,, * * * *", "Expression matches no times"},
        {"@reboots", "Unknown macro '@reboots'"},
        {"@daily x", "Unknown macro '@daily x'"},
        {"@every", "Invalid @every: missing interval"},
        {"@every   ", "Invalid @every: missing interval"},
        {"@every x", "Invalid @every: interval must be a positive integer"},
        {"@every 0s", "Invalid @every: interval must be a positive integer"},
        {"@every -5m", "Invalid @every: interval must be a positive integer"},
        {"@every 5", "Invalid @every: missing unit (s, m, or h)"},
        {"@every 5d", "Invalid @every: expected unit s, m, or h"},
        {"@every 5sec", "Invalid @every: expected unit s, m, or h"},
        {long_field, "Invalid day-of-week field: too long"},
        {long_base, "Invalid minute field '" + long_base.substr(0, 66) + "'"},
        {long_step, "Invalid minute field '" + long_step.substr(0, 18) + "'"},
        {long_range_end, "Invalid minute field '" + long_range_end.substr(0, 34) + "'"},
        {"*/0 * * * *", "Invalid minute field '*/0': step must be a positive integer"},
        {"*/x * * * *", "Invalid minute field '*/x': step must be a positive integer"},
        {"*/5x * * * *", "Invalid minute field '*/5x': step must be a positive integer"},
        {"* * * JAN-X *", "Invalid month field 'JAN-X': cannot parse range"},
        {"-5 * * * *", "Invalid minute field '-5': cannot parse range"},
        {"* * * * ?", "Invalid day-of-week field '?': cannot parse value"},
        {"MON * * * *", "Invalid minute field 'MON': cannot parse value"},
        {"5L * * * *", "Invalid minute field '5L': cannot parse value"},
        {"* * 1#2 * *", "Invalid day-of-month field '1#2': cannot parse value"},
        {"* * * JA *", "Invalid month field 'JA': cannot parse value"},
        // Names are letters only: no quiet "every Monday" for a ported "MON#2".
        {"0 0 * * MON#2", "Invalid day-of-week field 'MON#2': cannot parse value"},
        {"0 0 * * FRI#L", "Invalid day-of-week field 'FRI#L': cannot parse value"},
        {"0 0 * * MON5", "Invalid day-of-week field 'MON5': cannot parse value"},
        {"0 0 * JAN1-MAR *", "Invalid month field 'JAN1-MAR': cannot parse range"},
        {"60/5 * * * *", "Invalid minute field '60/5': value must be between 0 and 59"},
        {"* * * * 8/2", "Invalid day-of-week field '8/2': value must be between 0 and 7"},
        {"60 * * * *", "Invalid minute field '60': value must be between 0 and 59"},
        {"* 24 * * *", "Invalid hour field '24': value must be between 0 and 23"},
        {"* * 0 * *", "Invalid day-of-month field '0': value must be between 1 and 31"},
        {"* * * 13 *", "Invalid month field '13': value must be between 1 and 12"},
        {"99999999999 * * * *", "Invalid minute field '99999999999': value must be between 0 and 59"},
        {"5-3 * * * *", "Invalid minute field '5-3': range start greater than end"},
        {"* * * * 8", "Invalid day-of-week field '8': value must be between 0 and 7"},
        {"* * * * 1-9/2", "Invalid day-of-week field '1-9/2': value must be between 0 and 7"},
    };
    for (const message_case& c : cases) EXPECT_EQ(message_of(c.expr.c_str()), c.message) << c.expr;
}

TEST(Parser, NullArguments) {
    char err[CRON_ERRBUF_SIZE] = "untouched";
    EXPECT_EQ(cron_parse("* * * * *", nullptr, err, sizeof err), -1);
    EXPECT_STREQ(err, "untouched");
    cron_expr_t e;
    EXPECT_EQ(cron_parse(nullptr, &e, err, sizeof err), -1);
    EXPECT_STREQ(err, "Expression is NULL");
    EXPECT_EQ(cron_parse(nullptr, &e, nullptr, 0), -1);
    EXPECT_EQ(cron_parse("bad", &e, nullptr, 256), -1);
    EXPECT_EQ(cron_parse("* * * * *", &e, nullptr, 256), 0);
}

TEST(Parser, ErrorBufferContract) {
    cron_expr_t e;
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(cron_parse("* * *", &e, buf, 10), -1);
    EXPECT_STREQ(buf, "Expressio");  // 9 characters and the zero
    EXPECT_EQ(buf[10], 'x');

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(cron_parse("* * *", &e, buf, 0), -1);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(cron_parse("* * * * *", &e, buf, -1), 0);
    EXPECT_EQ(buf[0], 'x');

    EXPECT_EQ(cron_parse("* * * * *", &e, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(cron_validate("* * *", buf, 1), -1);
    EXPECT_STREQ(buf, "");
}

TEST(Parser, MessageQuotingALongExpressionIsCutToTheBuffer) {
    std::string expr = "@" + std::string(254, 'z');
    char err[CRON_ERRBUF_SIZE];
    cron_expr_t e;
    ASSERT_EQ(cron_parse(expr.c_str(), &e, err, sizeof err), -1);
    EXPECT_EQ(std::strlen(err), sizeof err - 1);
    EXPECT_EQ(std::string(err).rfind("Unknown macro '@zzz", 0), 0u);
}

TEST(Parser, FullSetsAndWhiteSpace) {
    for (const char* expr :
         {"* * * * *", "  0-59\t0-23   1-31 \t 1-12 0-6 \n", "*/1 * * * 1-7", "* * * * 0-6"}) {
        cron_expr_t e = parsed(expr);
        EXPECT_EQ(e.minute_bits, CRON_FULL_MINUTES) << expr;
        EXPECT_EQ(e.hour_bits, CRON_FULL_HOURS) << expr;
        EXPECT_EQ(e.dom_bits, CRON_FULL_DOM) << expr;
        EXPECT_EQ(e.month_bits, CRON_FULL_MONTHS) << expr;
        EXPECT_EQ(e.dow_bits, CRON_FULL_DOW) << expr;
        EXPECT_EQ(e.interval_sec, 0) << expr;
        EXPECT_EQ(e.valid, 1) << expr;
    }
    // A 255-character expression is examined, not refused for length.
    std::string padded = "* * * * " + std::string(247, '1');
    ASSERT_EQ(padded.size(), 255u);
    EXPECT_EQ(message_of(padded.c_str()), "Invalid day-of-week field: too long");
    // Vertical tab inside the text joins two fields into one.
    EXPECT_EQ(message_of("*\v* * * * *"), "Invalid minute field '*\v*': cannot parse value");
}

TEST(Parser, FieldValues) {
    struct field_case {
        const char* expr;
        uint64_t minutes, hours, dom, months, dow;
    };
    const uint64_t H = CRON_FULL_HOURS, D = CRON_FULL_DOM, M = CRON_FULL_MONTHS, W = CRON_FULL_DOW;
    const field_case cases[] = {
        {"*/15 9-17 * * MON-FRI", bits({0, 15, 30, 45}), range(9, 17), D, M, bits({1, 2, 3, 4, 5})},
        // A single value with a step runs to the field's end, as "*/n" does.
        {"5/15 * * * *", bits({5, 20, 35, 50}), H, D, M, W},
        {"0 20/2 5/10 2/5 MON/2", bits({0}), bits({20, 22}), bits({5, 15, 25}), bits({2, 7, 12}),
         bits({1, 3, 5})},
        {"0 0 * * 7/3", bits({0}), bits({0}), D, M, bits({0, 3, 6})},
        {"0 0 * * 6/2", bits({0}), bits({0}), D, M, bits({6})},
        {"5-30/10 0 * * 5-1/2", bits({5, 15, 25}), bits({0}), D, M, bits({5, 0})},
        {"1,,3 * * * *", bits({1, 3}), H, D, M, W},
        {"59-59/100 0-23/7 */10 2-12/5 *", bits({59}), bits({0, 7, 14, 21}), bits({1, 11, 21, 31}),
         bits({2, 7, 12}), W},
        {"0 0 * jan,Mar,DECEMBER *", bits({0}), bits({0}), D, bits({1, 3, 12}), W},
        {"0 0 * * 7", bits({0}), bits({0}), D, M, bits({0})},
        {"0 0 * * SUN", bits({0}), bits({0}), D, M, bits({0})},
        {"0 0 * * 0-7", bits({0}), bits({0}), D, M, W},
        {"0 0 * * 0-7/2", bits({0}), bits({0}), D, M, bits({0, 2, 4, 6})},
        {"0 0 * * 1-7", bits({0}), bits({0}), D, M, W},
        {"0 0 * * 5-7", bits({0}), bits({0}), D, M, bits({5, 6, 0})},
        {"0 0 * * 7-2", bits({0}), bits({0}), D, M, bits({0, 1, 2})},
        {"0 0 * * FRI-MON", bits({0}), bits({0}), D, M, bits({5, 6, 0, 1})},
        {"0 0 * * SAT-SUN", bits({0}), bits({0}), D, M, bits({6, 0})},
        {"0 0 * * 5-1/2", bits({0}), bits({0}), D, M, bits({5, 0})},
        {"0 0 * * monday,Wed", bits({0}), bits({0}), D, M, bits({1, 3})},
        {"+5 * * * *", bits({5}), H, D, M, W},
        {"*/2147483648 * * * *", bits({0}), H, D, M, W},
    };
    for (const field_case& c : cases) {
        cron_expr_t e = parsed(c.expr);
        EXPECT_EQ(e.minute_bits, c.minutes) << c.expr;
        EXPECT_EQ(e.hour_bits, c.hours) << c.expr;
        EXPECT_EQ(e.dom_bits, c.dom) << c.expr;
        EXPECT_EQ(e.month_bits, c.months) << c.expr;
        EXPECT_EQ(e.dow_bits, c.dow) << c.expr;
    }
}

TEST(Parser, FailedParseClearsValidButKeepsEarlierFields) {
    cron_expr_t e;
    ASSERT_EQ(cron_parse("5 3,x * * *", &e, nullptr, 0), -1);
    EXPECT_EQ(e.valid, 0);
    EXPECT_EQ(e.minute_bits, bits({5}));
    EXPECT_EQ(e.hour_bits, bits({3}));  // the item before the failing one
    EXPECT_EQ(e.dom_bits, 0u);
}

TEST(Parser, OverlongItemIsRefusedRatherThanCut) {
    // Read through a 63-character window this would be minute 0.
    std::string zeros = std::string(70, '0') + "5";
    std::string expr = zeros + " * * * *";
    EXPECT_EQ(message_of(expr.c_str()), "Invalid minute field '" + zeros + "'");
    std::string exact = std::string(62, '0') + "7 * * * *";
    EXPECT_EQ(parsed(exact.c_str()).minute_bits, bits({7}));
}

TEST(Parser, MacrosParseAsTheirExpansion) {
    const std::pair<const char*, const char*> cases[] = {
        {"@yearly", "0 0 1 1 *"}, {"@ANNUALLY", "0 0 1 1 *"}, {"@monthly", "0 0 1 * *"},
        {"@Weekly", "0 0 * * 0"}, {"@Daily", "0 0 * * *"},    {" @midnight ", "0 0 * * *"},
        {"@hourly", "0 * * * *"},
    };
    for (const auto& [macro, expansion] : cases) {
        cron_expr_t a = parsed(macro), b = parsed(expansion);
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << macro;
    }
}

TEST(Parser, EveryIntervals) {
    const std::pair<const char*, int> cases[] = {
        {"@every 90s", 90},
        {"@every 5M", 300},
        {"@every 1 h", 3600},
        {"@EVERY5m", 300},
        {"@every 5min", 300},
        {"@every 2hours", 7200},
        {"@every 7s  ", 7},
        {"@every 7s trailing", 7},
        {"@every +3s", 3},
        {"@every 2147483647s", 2147483647},
        {"@every 35791394m", 2147483640},
    };
    for (const auto& [expr, seconds] : cases) {
        cron_expr_t e = parsed(expr);
        EXPECT_EQ(e.interval_sec, seconds) << expr;
        EXPECT_EQ(e.minute_bits, CRON_FULL_MINUTES) << expr;
        EXPECT_EQ(e.dow_bits, CRON_FULL_DOW) << expr;
    }
    // Intervals that do not fit in 32-bit seconds are refused, not clamped.
    for (const char* expr :
         {"@every 40000000m", "@every 596524h", "@every 2147483648s", "@every 99999999999999999999h"})
        EXPECT_EQ(message_of(expr), "Invalid @every: interval must be a positive integer") << expr;
}

TEST(Parser, ZonePrefix) {
#ifdef _WIN32
    EXPECT_EQ(message_of("CRON_TZ=UTC 0 0 * * *"), "Time zones by name are not available on this platform");
#else
    const message_case cases[] = {
        {"CRON_TZ=Mars/Olympus 0 0 * * *", "Unknown time zone 'Mars/Olympus'"},
        {"CRON_TZ= 0 0 * * *", "Unknown time zone ''"},
        // Zone names only, never a path to some other file.
        {"TZ=../../../etc/localtime 0 0 * * *", "Unknown time zone '../../../etc/localtime'"},
        {"TZ=/usr/share/zoneinfo/UTC 0 0 * * *", "Unknown time zone '/usr/share/zoneinfo/UTC'"},
        {"CRON_TZ=UTC @every 5m", "A time zone has no meaning for @every"},
        {"TZ=UTC @reboot", "A time zone has no meaning for @reboot"},
        {"CRON_TZ=UTC", "Expression is empty"},
        {"CRON_TZ=UTC 0 0 * *", "Expression has 4 fields (expected 5)"},
        {"CRON_TZ=UTC TZ=UTC 0 0 * * *", "Expression has too many fields (expected 5)"},
        {"cron_tz=UTC 0 0 * * *", "Expression has too many fields (expected 5)"},
    };
    for (const message_case& c : cases) EXPECT_EQ(message_of(c.expr.c_str()), c.message) << c.expr;
    // The prefix changes the zone only: the same bits as without it.
    for (const char* expr :
         {"CRON_TZ=Europe/Berlin 30 2 * * 1-5", "  TZ=Asia/Tokyo\t 30 2 * * 1-5 ", "CRON_TZ=UTC @daily"}) {
        cron_expr_t zoned = parsed(expr), plain = parsed(std::strchr(expr, '@') ? "@daily" : "30 2 * * 1-5");
        EXPECT_NE(zoned.zone, nullptr) << expr;
        EXPECT_EQ(zoned.minute_bits, plain.minute_bits) << expr;
        EXPECT_EQ(zoned.dow_bits, plain.dow_bits) << expr;
    }
    EXPECT_EQ(parsed("CRON_TZ=Europe/Berlin * * * * *").zone, parsed("TZ=Europe/Berlin * * * * *").zone);
#endif
}

}  // namespace
