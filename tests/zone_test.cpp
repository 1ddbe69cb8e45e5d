// Zones by name as a long-running process keeps them: one entry per zone
// whatever the spelling, no FIFO waited on, a changed zone file read again.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "expr/cron_zone.h"
#include "quilmarn_crontab.h"
#include "test_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr char kZoneInfo[] = "/usr/share/zoneinfo";

bool have_zones() {
    const cron_zone* z = nullptr;
    return cron_zone_find("UTC", &z) == 0 && fs::exists(std::string(kZoneInfo) + "/Europe/Berlin") &&
           fs::exists(std::string(kZoneInfo) + "/America/New_York");
}

TEST(Zones, SpellingsOfOneZoneAreRefusedAndKeepNothing) {
    if (!have_zones()) GTEST_SKIP() << "no zone database here";
    char err[256];
    ASSERT_EQ(crontab_validate_expr("CRON_TZ=Europe/Berlin 0 12 * * *", err, sizeof err), 0) << err;
    const size_t kept = cron_zone_count();
    // 10,000 spellings of the same file: a run of "./" and "/" before the
    // name, a doubled or dotted separator inside it, or a final one.
    const char* inside[] = {"Europe//Berlin", "Europe/./Berlin", "Europe/Berlin/", "Europe/Berlin/."};
    for (int i = 0; i < 10000; ++i) {
        std::string name;
        for (int bits = i / 4; bits > 0; bits >>= 1) name += (bits & 1) ? "/" : "./";
        name += inside[i % 4];
        const std::string expr = "CRON_TZ=" + name + " 0 12 * * *";
        ASSERT_EQ(crontab_validate_expr(expr.c_str(), err, sizeof err), -1) << name;
        ASSERT_EQ(std::string(err), "Unknown time zone '" + name + "'");
    }
    EXPECT_EQ(cron_zone_count(), kept);
}

TEST(Zones, AFifoInTheZoneDirectoryIsNotWaitedOn) {
    if (!have_zones()) GTEST_SKIP() << "no zone database here";
    test_dir tzdir;
    ASSERT_EQ(::mkfifo(tzdir.file("Fifo").c_str(), 0600), 0);
    ::setenv("TZDIR", tzdir.c_str(), 1);
    ::alarm(60);  // a wait on the FIFO ends the program
    char err[256];
    EXPECT_EQ(crontab_validate_expr("CRON_TZ=Fifo 0 12 * * *", err, sizeof err), -1);
    ::alarm(0);
    ::unsetenv("TZDIR");
    EXPECT_STREQ(err, "Unknown time zone 'Fifo'");
}

int64_t noon_in(const char* expr) {
    int64_t next = 0;
    // 2025-01-01 00:00 UTC: noon in Berlin is 11:00 UTC, in New York 17:00.
    EXPECT_EQ(crontab_calc_next(expr, 1735689600, &next), 0) << expr;
    return next;
}

TEST(Zones, AReplacedZoneFileIsReadAgain) {
    if (!have_zones()) GTEST_SKIP() << "no zone database here";
    test_dir tzdir;
    fs::create_directory(tzdir.file("Test"));
    const std::string file = tzdir.file("Test/Zone");
    fs::copy_file(std::string(kZoneInfo) + "/Europe/Berlin", file);
    ::setenv("TZDIR", tzdir.c_str(), 1);
    const char* expr = "CRON_TZ=Test/Zone 0 12 * * *";
    cron_zone_set_recheck_interval(3600 * 1000);
    EXPECT_EQ(noon_in(expr), 1735689600 + 11 * 3600);
    // As a package update does: a new file renamed over the old one.
    fs::copy_file(std::string(kZoneInfo) + "/America/New_York", file + ".new");
    fs::rename(file + ".new", file);
    // Not looked at again within the interval...
    EXPECT_EQ(noon_in(expr), 1735689600 + 11 * 3600);
    // ...and read again once it has passed.
    cron_zone_set_recheck_interval(0);
    EXPECT_EQ(noon_in(expr), 1735689600 + 17 * 3600);
    // A file gone keeps the rules already read.
    fs::remove(file);
    EXPECT_EQ(noon_in(expr), 1735689600 + 17 * 3600);
    cron_zone_set_recheck_interval(60 * 1000);
    ::unsetenv("TZDIR");
}

}  // namespace
