// The run log report: members, order and limits, text that is not UTF-8,
// texts of any length, and where the text lives.
#include <cstring>
#include <string>

#include "job_cmd.h"
#include "sched_util.h"

using namespace sched_test;

namespace {

class LogsReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ct = make_instance();
        id = crontab_add_job(ct.get(), "job", "@daily", "true", 0);
        ASSERT_GT(id, 0);
    }
    // Appends a record as an execution would; started_at tells them apart.
    void push(int64_t started_at, const std::string& out = "", const std::string& err = "",
              int32_t attempt = 1, uint64_t execution = 0) {
        cron_log_entry_t e{};
        e.started_at = started_at;
        e.finished_at = started_at + 1;
        e.duration_ms = 1000;
        e.exit_code = static_cast<int32_t>(started_at % 7) - 3;
        std::memcpy(e.stdout_text, out.data(), std::min(out.size(), sizeof e.stdout_text - 1));
        std::memcpy(e.stderr_text, err.data(), std::min(err.size(), sizeof e.stderr_text - 1));
        e.truncated = started_at % 2;
        e.cancelled = started_at % 3 == 0;
        e.attempt = attempt;
        e.execution = execution;
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        cron_job_push_log(cron_job_find(ct.get(), id), &e);
    }
    instance ct;
    int id = 0;
};

TEST_F(LogsReportTest, CompactTextWithTenMembersInOrder) {
    push(5, "o", "e", 2, 7);
    EXPECT_STREQ(crontab_get_job_logs_json(ct.get(), id, 0),
                 "[{\"started_at\":5,\"finished_at\":6,\"duration_ms\":1000,\"exit_code\":2,"
                 "\"stdout\":\"o\",\"stderr\":\"e\",\"truncated\":true,\"cancelled\":false,"
                 "\"attempt\":2,\"execution\":7}]");
}

TEST_F(LogsReportTest, EscapesAndFullValues) {
    push(1700000000042, "out\n\"quoted\" \\ \t\x7f", "", 3);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 1u);
    const auto& r = log[0];
    EXPECT_EQ(r["started_at"].GetInt64(), 1700000000042);
    EXPECT_EQ(r["exit_code"].GetInt(), -2);  // outcome codes stay negative
    EXPECT_STREQ(r["stdout"].GetString(), "out\n\"quoted\" \\ \t\x7f");
    EXPECT_FALSE(r["cancelled"].GetBool());
}

TEST_F(LogsReportTest, NewestFirstWithinTheLimit) {
    for (int64_t i = 1; i <= 25; ++i) push(i);
    struct {
        int limit;
        int64_t first, last;
        size_t count;
    } cases[] = {{0, 25, 6, 20},  {-1, 25, 6, 20}, {21, 25, 6, 20},
                 {20, 25, 6, 20}, {5, 25, 21, 5},  {1, 25, 25, 1}};
    for (const auto& c : cases) {
        auto log = logs(ct.get(), id, c.limit);
        ASSERT_EQ(log.Size(), c.count) << c.limit;
        EXPECT_EQ(log[0]["started_at"].GetInt64(), c.first) << c.limit;
        EXPECT_EQ(log[log.Size() - 1]["started_at"].GetInt64(), c.last) << c.limit;
        for (size_t k = 1; k < log.Size(); ++k) {
            EXPECT_EQ(log[k]["started_at"].GetInt64(), log[k - 1]["started_at"].GetInt64() - 1);
        }
    }
}

TEST_F(LogsReportTest, FewerRecordsThanAsked) {
    EXPECT_STREQ(crontab_get_job_logs_json(ct.get(), id, 3), "[]");
    push(1);
    push(2);
    EXPECT_EQ(logs(ct.get(), id, 3).Size(), 2u);
}

TEST_F(LogsReportTest, StoredAttemptZeroIsReportedAsOne) {
    push(1, "", "", 0);
    EXPECT_EQ(newest_int(ct.get(), id, "attempt"), 1);
}

TEST_F(LogsReportTest, OutputEndsAtAZeroByte) {
    push(1, std::string("ab\0cd", 5));
    EXPECT_EQ(newest_text(ct.get(), id, "stdout"), "ab");
}

TEST_F(LogsReportTest, InvalidUtf8BecomesReplacementCharacters) {
    // A legacy code page byte, and a three-byte character cut by the record.
    push(1, "caf\xE9 ok", "");
    push(2, std::string(4094, 'a') + "\xE2\x82\xAC", "\xC3\xA9t\xC3\xA9");
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 2u);
    std::string cut = log[0]["stdout"].GetString();
    EXPECT_EQ(cut.size(), 4094u + 3u);
    EXPECT_EQ(cut.substr(4094), "\xEF\xBF\xBD");
    EXPECT_STREQ(log[0]["stderr"].GetString(), "\xC3\xA9t\xC3\xA9");  // valid text unchanged
    EXPECT_STREQ(log[1]["stdout"].GetString(), "caf\xEF\xBF\xBD ok");
}

TEST_F(LogsReportTest, LongReportIsWholeAndValid) {
    // Control bytes are escaped to six characters each: about 1 MB of JSON.
    std::string noisy(4095, '\x01');
    for (int64_t i = 1; i <= 20; ++i) push(i, noisy, noisy);
    const char* text = crontab_get_job_logs_json(ct.get(), id, 20);
    EXPECT_GT(std::strlen(text), 65535u * 4);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 20u);
    EXPECT_EQ(log[19]["stderr"].GetString(), noisy);
}

TEST_F(LogsReportTest, UnknownJobAndNullHandle) {
    EXPECT_STREQ(crontab_get_job_logs_json(nullptr, id, 5), "[]");
    const char* unknown = crontab_get_job_logs_json(ct.get(), id + 1, 5);
    EXPECT_STREQ(unknown, "[]");
    // That "[]" is not in the instance's report buffer: a report of the
    // instance leaves it alone.
    push(1, "x");
    const char* real = crontab_get_job_logs_json(ct.get(), id, 5);
    EXPECT_NE(real, unknown);
    EXPECT_STREQ(unknown, "[]");
}

TEST_F(LogsReportTest, SharesTheBufferWithTheJobList) {
    push(1, "x");
    const char* logs_text = crontab_get_job_logs_json(ct.get(), id, 5);
    std::string logs_copy = logs_text;
    const char* jobs_text = crontab_get_jobs_json(ct.get());
    EXPECT_NE(std::string(jobs_text), logs_copy);
    EXPECT_EQ(std::string(crontab_get_job_logs_json(ct.get(), id, 5)), logs_copy);
}

// ---- Through an execution ----

TEST(LogsReportRunTest, BinaryOutputOfARealRun) {
    auto ct = make_instance();
    std::string cmd = job_cmd()
                          .raw(
                              "A\xFF\xFE"
                              "B")
                          .raw("\x1b[1m", true);
    int id = crontab_add_job(ct.get(), "bin", "@daily", cmd.c_str(), 0);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 1u);
    EXPECT_STREQ(log[0]["stdout"].GetString(),
                 "A\xEF\xBF\xBD\xEF\xBF\xBD"
                 "B");
    EXPECT_STREQ(log[0]["stderr"].GetString(), "\x1b[1m");
}

}  // namespace
