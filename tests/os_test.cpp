// The operating-system seam under the job store and the clocks, on both
// platforms: paths are UTF-8 text on each.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "proc/cron_os.h"

namespace fs = std::filesystem;

namespace {

std::string utf8(const fs::path& p) {
    std::u8string s = p.u8string();
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

fs::path from_utf8(const std::string& s) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(s.data()), s.size()));
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class OsTest : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir = fs::temp_directory_path() / ("qc_os_" + std::to_string(stamp));
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

TEST_F(OsTest, ReplaceAtWritesReplacesAndLeavesNoTemporary) {
    cron_os_dir_t d;
    std::string why;
    ASSERT_TRUE(cron_os_dir_open(utf8(dir).c_str(), &d, &why, nullptr)) << why;
    ASSERT_EQ(cron_os_replace_at(d, "crontab.json", "first", 5, &why), 0) << why;
    EXPECT_EQ(slurp(dir / "crontab.json"), "first");
    std::string big(300000, 'z');
    ASSERT_EQ(cron_os_replace_at(d, "crontab.json", big.data(), big.size(), &why), 0);
    EXPECT_EQ(slurp(dir / "crontab.json"), big);
    ASSERT_EQ(cron_os_replace_at(d, "crontab.json", "", 0, &why), 0);
    EXPECT_EQ(slurp(dir / "crontab.json"), "");
    EXPECT_TRUE(cron_os_exists_at(d, "crontab.json"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    // A directory in the target's place is never replaced.
    fs::create_directories(dir / "taken");
    EXPECT_EQ(cron_os_replace_at(d, "taken", "x", 1, &why), -1);
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    cron_os_dir_close(&d);
}

TEST_F(OsTest, MkdirsAndIsDirWithNonAsciiNames) {
    std::string nested = utf8(dir) + "/d\xc3\xa9j\xc3\xa0/b/c";
    cron_os_mkdirs(nested.c_str());
    EXPECT_TRUE(fs::is_directory(from_utf8(nested)));
    EXPECT_TRUE(cron_os_is_dir(nested.c_str()));
    cron_os_mkdirs(nested.c_str());  // existing: no change, no failure
    EXPECT_TRUE(cron_os_is_dir(nested.c_str()));

    std::string file = nested + "/f.txt";
    std::ofstream(from_utf8(file)) << "x";
    EXPECT_FALSE(cron_os_is_dir(file.c_str()));
    EXPECT_TRUE(cron_os_file_exists(file.c_str()));
    EXPECT_FALSE(cron_os_is_dir((nested + "/nope").c_str()));
    EXPECT_FALSE(cron_os_file_exists((nested + "/nope").c_str()));
    EXPECT_FALSE(cron_os_is_dir(""));
    EXPECT_FALSE(cron_os_is_dir(nullptr));
    cron_os_mkdirs("");
    cron_os_mkdirs(nullptr);
}

TEST_F(OsTest, ReadAtReadsWholeFiles) {
    cron_os_dir_t d;
    std::string why;
    ASSERT_TRUE(cron_os_dir_open(utf8(dir).c_str(), &d, &why, nullptr)) << why;
    std::string big(100000, 'r');
    ASSERT_EQ(cron_os_replace_at(d, "r.json", big.data(), big.size(), &why), 0);
    std::string got = "stale";
    ASSERT_EQ(cron_os_read_at(d, "r.json", &got, SIZE_MAX, &why), cron_os_read_status::ok);
    EXPECT_EQ(got, big);
    EXPECT_EQ(cron_os_read_at(d, "none", &got, SIZE_MAX, &why), cron_os_read_status::missing);
    ASSERT_TRUE(cron_os_read_file(utf8(dir / "r.json").c_str(), &got));
    EXPECT_EQ(got, big);
    EXPECT_FALSE(cron_os_read_file(utf8(dir / "none").c_str(), &got));
    EXPECT_FALSE(cron_os_read_file(utf8(dir).c_str(), &got));  // a directory
    cron_os_dir_close(&d);
}

// Zeroing hands whole pages back; the bytes around the range stay.
TEST(OsMemory, ZeroClearsExactlyTheRange) {
    constexpr size_t size = 1 << 20;
    auto* block = static_cast<unsigned char*>(cron_os_alloc_zeroed(size));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[size - 1], 0);
    std::memset(block, 0xAB, size);
    const size_t from = 1000, len = 300000;  // starts and ends inside pages
    cron_os_zero(block + from, len);
    for (size_t i = 0; i < size; ++i) {
        unsigned char want = (i >= from && i < from + len) ? 0 : 0xAB;
        ASSERT_EQ(block[i], want) << i;
    }
    cron_os_free_zeroed(block, size);

    // Heap memory is cleared as well, and stays usable.
    std::vector<unsigned char> heap(100000, 0xCD);
    cron_os_zero(heap.data() + 10, 90000);
    EXPECT_EQ(heap[9], 0xCD);
    EXPECT_EQ(heap[10], 0);
    EXPECT_EQ(heap[90009], 0);
    EXPECT_EQ(heap[90010], 0xCD);
    heap.assign(200000, 1);
    cron_os_zero(nullptr, 10);
}

TEST(OsClock, LocalTimeConversionsFollowTz) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::tm tm{};
    ASSERT_TRUE(cron_os_localtime(1720000000, &tm));
    EXPECT_EQ(tm.tm_year, 124);
    EXPECT_EQ(tm.tm_mon, 6);
    EXPECT_EQ(tm.tm_mday, 3);
    EXPECT_EQ(tm.tm_hour, 9);
    EXPECT_EQ(tm.tm_min, 46);
    EXPECT_EQ(tm.tm_sec, 40);
    tm.tm_isdst = -1;
    EXPECT_EQ(cron_os_mktime(&tm), 1720000000);

    // A zone both platforms' C libraries read: US Eastern with its DST rules.
    setenv("TZ", "EST5EDT", 1);
    tzset();
    ASSERT_TRUE(cron_os_localtime(1720000000, &tm));
    EXPECT_EQ(tm.tm_hour, 5);
    EXPECT_EQ(tm.tm_isdst, 1);
    ASSERT_TRUE(cron_os_localtime(1710053999, &tm));  // 2024-03-10 01:59:59 EST
    EXPECT_EQ(tm.tm_hour, 1);
    EXPECT_EQ(tm.tm_isdst, 0);
    ASSERT_TRUE(cron_os_localtime(1710054000, &tm));  // one second later: 03:00 EDT
    EXPECT_EQ(tm.tm_hour, 3);
    EXPECT_EQ(tm.tm_isdst, 1);

    // mktime normalises out-of-range fields like the C library does.
    std::tm carry{};
    carry.tm_year = 124;
    carry.tm_mon = 11;
    carry.tm_mday = 32;
    carry.tm_hour = 12;
    carry.tm_isdst = -1;
    EXPECT_EQ(cron_os_mktime(&carry), 1735750800);  // 2025-01-01 12:00 EST
    EXPECT_EQ(carry.tm_year, 125);
    EXPECT_EQ(carry.tm_mon, 0);
    EXPECT_EQ(carry.tm_mday, 1);
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST(OsClock, ClocksAdvance) {
    int64_t now = cron_os_now();
    auto sys = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_LE(std::llabs(now - std::chrono::duration_cast<std::chrono::seconds>(sys).count()), 2);
    int64_t a = cron_os_monotonic_ms();
    int64_t b = cron_os_monotonic_ms();
    EXPECT_GE(b, a);
}

}  // namespace
