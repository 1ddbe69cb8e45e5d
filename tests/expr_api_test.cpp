#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "quilmarn_crontab.h"
#include "time_util.h"

namespace {

rapidjson::Document parse_json(const char* text) {
    rapidjson::Document d;
    d.Parse(text);
    EXPECT_FALSE(d.HasParseError()) << text;
    return d;
}

TEST(ExprApi, Version) { EXPECT_STREQ(crontab_version(), QC_VERSION); }

TEST(ExprApi, ValidateUsesTheCallersBuffer) {
    char buf[64];
    EXPECT_EQ(crontab_validate_expr("*/5 * * * *", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(crontab_validate_expr("* * 32 * *", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "Invalid day-of-month field '32': value must be between 1 and 31");
    EXPECT_EQ(crontab_validate_expr("* * 32 * *", buf, 10), -1);
    EXPECT_STREQ(buf, "Invalid d");
    std::strcpy(buf, "keep");
    EXPECT_EQ(crontab_validate_expr("bad", buf, 0), -1);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(crontab_validate_expr("bad", nullptr, 64), -1);
    EXPECT_EQ(crontab_validate_expr("@daily", nullptr, 64), 0);
    EXPECT_EQ(crontab_validate_expr(nullptr, nullptr, 0), -1);
}

TEST(ExprApi, CalcNext) {
    if (!tz_supported("Europe/Berlin")) GTEST_SKIP() << "no Europe/Berlin zone on this platform";
    set_tz("Europe/Berlin");
    int64_t out = 42;
    EXPECT_EQ(crontab_calc_next("* * * * *", 0, nullptr), -1);
    EXPECT_EQ(crontab_calc_next("bad", 0, &out), -1);
    EXPECT_EQ(crontab_calc_next("0 0 30 2 *", 0, &out), -1);
    EXPECT_EQ(out, 42);
    EXPECT_EQ(crontab_calc_next("30 9 * * 1-5", utc(2025, 7, 4, 8), &out), 0);  // Friday 10:00 CEST
    EXPECT_EQ(out, utc(2025, 7, 7, 7, 30));
}

TEST(ExprApi, NextRunsList) {
    set_tz("America/New_York");
    int64_t before = std::time(nullptr);
    rapidjson::Document d = parse_json(crontab_get_next_runs_json("*/10 * * * *", 5));
    ASSERT_TRUE(d.IsArray());
    ASSERT_EQ(d.Size(), 5u);
    int64_t prev = before;
    for (const auto& entry : d.GetArray()) {
        ASSERT_TRUE(entry.IsObject());
        ASSERT_EQ(entry.MemberCount(), 3u);
        auto m = entry.MemberBegin();
        EXPECT_STREQ(m->name.GetString(), "unix");
        EXPECT_STREQ((m + 1)->name.GetString(), "iso");
        EXPECT_STREQ((m + 2)->name.GetString(), "offset");
        int64_t t = m->value.GetInt64();
        EXPECT_GT(t, prev);
        EXPECT_EQ(t % 600, 0);
        prev = t;
        time_t tt = t;
        std::tm tm{};
        localtime_r(&tt, &tm);
        char iso[64];
        std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &tm);
        EXPECT_STREQ((m + 1)->value.GetString(), iso);
    }
    const char* text = crontab_get_next_runs_json("*/10 * * * *", 1);
    EXPECT_EQ(std::strchr(text, ' '), nullptr);  // compact
}

// "iso" read as UTC, less "offset", is "unix".
int64_t instant_of(const rapidjson::Value& entry) {
    int y, mo, d, h, mi, sec, oh, om;
    char sign;
    EXPECT_EQ(std::sscanf(entry["iso"].GetString(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &sec), 6);
    EXPECT_EQ(std::sscanf(entry["offset"].GetString(), "%c%2d:%2d", &sign, &oh, &om), 3);
    EXPECT_EQ(std::strlen(entry["offset"].GetString()), 6u);
    const int64_t offset = (sign == '-' ? -1 : 1) * (oh * 3600 + om * 60);
    return utc(y, mo, d, h, mi, sec) - offset;
}

TEST(ExprApi, NextRunsOffsetTellsRepeatedLocalTimesApart) {
    set_tz("America/New_York");
    // 01:30 on the Sundays of November: the first of them comes twice.
    rapidjson::Document d = parse_json(crontab_get_next_runs_json("30 1 * 11 0", 6));
    ASSERT_TRUE(d.IsArray());
    int repeats = 0;
    for (rapidjson::SizeType i = 0; i < d.Size(); ++i) {
        EXPECT_EQ(instant_of(d[i]), d[i]["unix"].GetInt64()) << d[i]["iso"].GetString();
        if (i > 0 && std::strcmp(d[i]["iso"].GetString(), d[i - 1]["iso"].GetString()) == 0) {
            ++repeats;
            EXPECT_STREQ(d[i - 1]["offset"].GetString(), "-04:00");
            EXPECT_STREQ(d[i]["offset"].GetString(), "-05:00");
        }
    }
    EXPECT_EQ(repeats, 1);
}

TEST(ExprApi, NextRunsInTheExpressionsZone) {
    if (crontab_validate_expr("CRON_TZ=UTC * * * * *", nullptr, 0) != 0) GTEST_SKIP() << "no zones by name";
    set_tz("America/New_York");
    rapidjson::Document d = parse_json(crontab_get_next_runs_json("CRON_TZ=Asia/Kolkata 0 * * * *", 3));
    ASSERT_TRUE(d.IsArray());
    ASSERT_EQ(d.Size(), 3u);
    for (const auto& entry : d.GetArray()) {
        EXPECT_STREQ(entry["offset"].GetString(), "+05:30");
        EXPECT_EQ(instant_of(entry), entry["unix"].GetInt64());
        EXPECT_STREQ(entry["iso"].GetString() + 13, ":00:00");  // whole hours of Kolkata
    }
}

// A host thread switching TZ while others compute: no crash, and every
// result is right for one of the two zones.
TEST(ExprApi, ProcessZoneFollowsTzWhileOtherThreadsCompute) {
#ifdef _WIN32
    GTEST_SKIP() << "the desktop C runtime reads TZ itself, and some zones only as the system's zone";
#endif
    set_tz("Europe/Berlin");  // TZ exists from here on: later changes replace it in place
    const int64_t after = utc(2025, 6, 2);
    const int64_t berlin = utc(2025, 6, 2, 10), new_york = utc(2025, 6, 2, 16);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, seen_berlin{0}, seen_new_york{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            while (!stop) {
                int64_t t = 0;
                if (crontab_calc_next("0 12 * * *", after, &t) != 0 || (t != berlin && t != new_york))
                    ++wrong;
                ++(t == berlin ? seen_berlin : seen_new_york);
            }
        });
    }
    for (int k = 0; k < 400; ++k) {
        set_tz(k % 2 == 0 ? "America/New_York" : "Europe/Berlin");
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    set_tz("America/New_York");
    // The host's change is seen at the next call.
    int64_t t = 0;
    EXPECT_EQ(crontab_calc_next("0 12 * * *", after, &t), 0);
    EXPECT_EQ(t, new_york);
    stop = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(seen_berlin + seen_new_york, 0);
}

TEST(ExprApi, NextRunsCountIsClamped) {
    set_tz("UTC");
    const std::pair<int, unsigned> cases[] = {{0, 1}, {-5, 1}, {1, 1}, {100, 100}, {500, 100}};
    for (const auto& [count, expected] : cases) {
        rapidjson::Document d = parse_json(crontab_get_next_runs_json("* * * * *", count));
        ASSERT_TRUE(d.IsArray());
        EXPECT_EQ(d.Size(), expected) << count;
    }
    EXPECT_STREQ(crontab_get_next_runs_json("0 0 30 2 *", 3), "[]");
}

TEST(ExprApi, NextRunsErrorIsAlwaysValidJson) {
    const std::pair<const char*, const char*> cases[] = {
        {"* * *", "Expression has 3 fields (expected 5)"},
        {"@x\"y", "Unknown macro '@x\"y'"},
        {"@a\\b", "Unknown macro '@a\\b'"},
        {"@bad\xFF\xC3", "Unknown macro '@bad\xEF\xBF\xBD\xEF\xBF\xBD'"},
        {nullptr, "Expression is NULL"},
    };
    for (const auto& [expr, message] : cases) {
        rapidjson::Document d = parse_json(crontab_get_next_runs_json(expr, 3));
        ASSERT_TRUE(d.IsObject());
        ASSERT_EQ(d.MemberCount(), 1u);
        ASSERT_TRUE(d.HasMember("error"));
        EXPECT_STREQ(d["error"].GetString(), message);
    }
    // A message cut inside a multi-byte character still yields valid JSON.
    std::string expr = "@" + std::string(250, 'z') + "\xE2\x82\xAC";
    rapidjson::Document d = parse_json(crontab_get_next_runs_json(expr.c_str(), 1));
    ASSERT_TRUE(d.IsObject());
}

TEST(ExprApi, Describe) {
    EXPECT_STREQ(crontab_describe_expr("30 9 * * MON-FRI"), "At 09:30, Monday through Friday");
    EXPECT_STREQ(crontab_describe_expr("* * * * * *"),
                 "Invalid expression: Expression has too many fields (expected 5)");
    EXPECT_STREQ(crontab_describe_expr(nullptr), "Invalid expression: Expression is NULL");
    std::string expr = "@" + std::string(254, 'q');
    std::string text = crontab_describe_expr(expr.c_str());
    // The parser's 256-byte buffer cuts the message, not the 512-byte output.
    EXPECT_EQ(text, "Invalid expression: Unknown macro '" + expr.substr(0, 255 - 15));
}

TEST(ExprApi, BuffersBelongToTheCallingThread) {
    const char* expressions[] = {"@hourly", "@daily", "*/15 * * * *", "@every 90s"};
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            std::string expected = crontab_describe_expr(expressions[i]);
            for (int k = 0; k < 2000; ++k) {
                const char* text = crontab_describe_expr(expressions[i]);
                const char* json = crontab_get_next_runs_json(expressions[i], 2);
                if (expected != text || json[0] != '[') ++failures[i];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(failures[i], 0) << expressions[i];
}

}  // namespace
