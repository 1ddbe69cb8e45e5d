// Job management and lifecycle exports: results, the order of their checks,
// what they keep, and that every change reaches the store.
#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "expr/cron_parser.h"
#include "quilmarn_crontab.h"
#include "sched/cron_job.h"
#include "test_dir.h"

namespace {

class Jobs : public ::testing::Test {
protected:
    void SetUp() override {
        ct = crontab_create(dir.c_str());
        ASSERT_NE(ct, nullptr);
    }
    void TearDown() override { crontab_destroy(ct); }

    cron_job_t& job(int id) {
        cron_job_t* j = cron_job_find(ct, id);
        EXPECT_NE(j, nullptr);
        return *j;
    }
    std::string store() const { return read_file(dir.store()); }

    test_dir dir;
    crontab_t* ct = nullptr;
};

}  // namespace

TEST(JobsNull, EveryExportRefusesAMissingInstance) {
    EXPECT_EQ(crontab_add_job(nullptr, "n", "@daily", "c", 1), -1);
    EXPECT_EQ(crontab_update_job(nullptr, 1, "n", "@daily", "c", 1), -1);
    EXPECT_EQ(crontab_delete_job(nullptr, 1), -1);
    EXPECT_EQ(crontab_set_job_timeout(nullptr, 1, 5), -1);
    // A missing instance is checked before the values.
    EXPECT_EQ(crontab_set_job_paths(nullptr, 1, "/no/such/dir", "bad"), -1);
    EXPECT_EQ(crontab_set_job_overlap_policy(nullptr, 1, 9), -1);
    EXPECT_EQ(crontab_set_job_retry(nullptr, 1, 99, 0), -1);
    EXPECT_EQ(crontab_stop(nullptr), -1);
    EXPECT_EQ(crontab_is_running(nullptr), 0);
    crontab_destroy(nullptr);
}

// Each failure names its cause and value; a success clears the text. The
// text is the calling thread's own.
TEST_F(Jobs, LastErrorNamesTheCause) {
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    const std::string long_cmd(1204, 'x');
    struct {
        std::function<int()> call;
        int result;
        const char* text;
    } cases[] = {
        {[&] { return crontab_delete_job(ct, 7); }, -1, "no job with id 7"},
        {[&] { return crontab_add_job(ct, "a", "61 * * * *", "c", 1); }, -1,
         "Invalid minute field '61': value must be between 0 and 59"},
        {[&] { return crontab_add_job(ct, "a", "@daily", long_cmd.c_str(), 1); }, -1,
         "command is 1204 bytes long; at most 1023 fit"},
        {[&] { return crontab_update_job(ct, 1, nullptr, "@daily", "c", 1); }, -1,
         "the name is missing (null)"},
        {[&] { return crontab_set_job_paths(ct, 1, nullptr, "=x"); }, -2,
         "environment line 1 has an empty name"},
        {[&] { return crontab_set_job_overlap_policy(ct, 1, 4); }, -2,
         "overlap policy 4 is not 0 (skip), 1 (queue), 2 (allow) or 3 (replace)"},
        {[&] { return crontab_set_job_catch_up(ct, 1, -1); }, -2,
         "catch-up window -1 s is outside 0 to 2678400 s"},
        {[&] { return crontab_set_job_jitter(ct, 1, 86401, 0); }, -2,
         "jitter 86401 s is outside 0 to 86400 s"},
        {[&] { return crontab_set_job_retry(ct, 1, 11, 0); }, -2, "retry count 11 is outside 0 to 10"},
        {[&] { return crontab_cancel_job(ct, 1); }, 1, "job 1 is not running"},
        {[&] { return crontab_stop(nullptr); }, -1, "no instance given: the handle is null"},
        {[&] { return crontab_set_job_timeout(ct, 1, 5); }, 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.result) << c.text;
        EXPECT_STREQ(crontab_last_error(), c.text);
    }
    EXPECT_EQ(crontab_delete_job(ct, 7), -1);
    std::string other = "unset";
    std::thread([&] { other = crontab_last_error(); }).join();
    EXPECT_EQ(other, "");
    EXPECT_STREQ(crontab_last_error(), "no job with id 7");
}

TEST_F(Jobs, AddRejectsWithoutChangeOrSave) {
    const char* bad_utf8 = "caf\xC3";
    std::string long_expr;  // valid, 177 bytes
    for (int m = 0; m < 40; ++m) long_expr += std::to_string(m) + (m < 39 ? "," : " ");
    for (int h = 0; h < 24; ++h) long_expr += std::to_string(h) + (h < 23 ? "," : " * * *");
    ASSERT_EQ(cron_validate(long_expr.c_str(), nullptr, 0), 0);
    std::string long_cmd(1024, 'c');
    struct {
        const char *name, *expr, *cmd;
    } cases[] = {
        {nullptr, "@daily", "c"},          {"n", nullptr, "c"},       {"n", "@daily", nullptr},
        {"n", "not an expression", "c"},   {bad_utf8, "@daily", "c"}, {"n", "@daily", bad_utf8},
        {"n", long_expr.c_str(), "c"},  // parses, but would be stored cut
        {"n", "@daily", long_cmd.c_str()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crontab_add_job(ct, c.name, c.expr, c.cmd, 1), -1);
    }
    EXPECT_EQ(ct->next_id, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.store()));
    // Empty name and command are fine; cmd of 1023 bytes fits.
    EXPECT_EQ(crontab_add_job(ct, "", "@daily", std::string(1023, 'c').c_str(), 7), 1);
    EXPECT_EQ(job(1).enabled, 1);
    EXPECT_STREQ(job(1).name, "");
}

TEST_F(Jobs, NameIsCutOnACharacterBoundary) {
    std::string name = std::string(126, 'n') + "\xE2\x82\xAC";
    ASSERT_EQ(crontab_add_job(ct, name.c_str(), "@daily", "c", 0), 1);
    EXPECT_EQ(std::string(job(1).name), std::string(126, 'n'));
    EXPECT_EQ(job(1).enabled, 0);
}

TEST_F(Jobs, IdsAreNeverReused) {
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    ASSERT_EQ(crontab_add_job(ct, "b", "@daily", "c", 1), 2);
    ASSERT_EQ(crontab_delete_job(ct, 2), 0);
    EXPECT_EQ(crontab_delete_job(ct, 2), -1);
    EXPECT_EQ(crontab_add_job(ct, "c", "@daily", "c", 1), 3);
    crontab_destroy(ct);
    ct = crontab_create(dir.c_str());
    ASSERT_EQ(crontab_delete_job(ct, 3), 0);
    EXPECT_EQ(crontab_add_job(ct, "d", "@daily", "c", 1), 4);
}

TEST_F(Jobs, FullTableKeepsNextIdAndFreedSlotIsReused) {
    for (int i = 1; i <= CRON_MAX_JOBS; ++i) ASSERT_EQ(crontab_add_job(ct, "j", "@daily", "c", 1), i);
    EXPECT_EQ(crontab_add_job(ct, "j", "@daily", "c", 1), -1);
    EXPECT_EQ(ct->next_id, CRON_MAX_JOBS + 1);
    ASSERT_EQ(crontab_delete_job(ct, 40), 0);
    EXPECT_EQ(crontab_add_job(ct, "j", "@daily", "c", 1), CRON_MAX_JOBS + 1);
    EXPECT_EQ(ct->jobs[39].id, CRON_MAX_JOBS + 1);
}

TEST_F(Jobs, NoIdLeftToHandOut) {
    ct->next_id = INT_MAX;
    EXPECT_EQ(crontab_add_job(ct, "j", "@daily", "c", 1), -1);
    EXPECT_EQ(ct->next_id, INT_MAX);
}

TEST_F(Jobs, UpdateKeepsRecordsAndSettings) {
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "old", 1), 1);
    ASSERT_EQ(crontab_set_job_timeout(ct, 1, 30), 0);
    ASSERT_EQ(crontab_set_job_paths(ct, 1, dir.c_str(), "A=1"), 0);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct, 1, 1), 0);
    ASSERT_EQ(crontab_set_job_retry(ct, 1, 2, 5), 0);
    cron_log_entry_t entry{};
    for (int i = 0; i < 25; ++i) {
        entry.attempt = i;
        cron_job_push_log(&job(1), &entry);
    }
    job(1).last_run = 99;
    job(1).queued = 1;

    EXPECT_EQ(crontab_update_job(ct, 1, "b", "not an expression", "new", 0), -1);
    EXPECT_EQ(crontab_update_job(ct, 2, "b", "@hourly", "new", 0), -1);
    EXPECT_STREQ(job(1).cmd, "old");
    ASSERT_EQ(crontab_update_job(ct, 1, "b", "@hourly", "new", 0), 0);
    cron_job_t& j = job(1);
    EXPECT_STREQ(j.name, "b");
    EXPECT_STREQ(j.expr, "@hourly");
    EXPECT_STREQ(j.cmd, "new");
    EXPECT_EQ(j.enabled, 0);
    EXPECT_EQ(j.next_run % 3600, 0);
    EXPECT_EQ(j.log_count, 20);
    EXPECT_EQ(j.log_head, 5);
    EXPECT_EQ(j.logs[4].attempt, 24);
    EXPECT_EQ(j.last_run, 99);
    EXPECT_EQ(j.queued, 1);
    EXPECT_EQ(j.max_runtime_sec, 30);
    EXPECT_EQ(std::string(j.workdir), dir.str());
    EXPECT_STREQ(j.env, "A=1");
    EXPECT_EQ(j.overlap_policy, 1);
    EXPECT_EQ(j.retry_max, 2);
    EXPECT_EQ(j.retry_backoff_sec, 5);
    EXPECT_NE(store().find("\"cmd\": \"new\""), std::string::npos);
}

TEST_F(Jobs, DeleteFreesTheWholeSlot) {
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    cron_log_entry_t entry{};
    std::memset(entry.stdout_text, 'x', sizeof entry.stdout_text - 1);
    for (int i = 0; i < CRON_LOG_CAPACITY; ++i) cron_job_push_log(&job(1), &entry);
    ASSERT_EQ(crontab_delete_job(ct, 1), 0);
    static const cron_job_t zero{};
    EXPECT_EQ(std::memcmp(&ct->jobs[0], &zero, sizeof zero), 0);
    EXPECT_EQ(store().find("\"id\": 1"), std::string::npos);
}

TEST_F(Jobs, SettingValuesAreCheckedBeforeTheId) {
    std::string file = dir.file("plain");
    write_file(file, "x");
    EXPECT_EQ(crontab_set_job_paths(ct, 42, file.c_str(), nullptr), -2);
    EXPECT_EQ(crontab_set_job_paths(ct, 42, "/no/such/dir", nullptr), -2);
    EXPECT_EQ(crontab_set_job_paths(ct, 42, nullptr, "NOEQUALS"), -2);
    EXPECT_EQ(crontab_set_job_paths(ct, 42, dir.c_str(), "A=1"), -1);
    EXPECT_EQ(crontab_set_job_overlap_policy(ct, 42, 4), -2);
    EXPECT_EQ(crontab_set_job_overlap_policy(ct, 42, -1), -2);
    EXPECT_EQ(crontab_set_job_overlap_policy(ct, 42, 2), -1);
    EXPECT_EQ(crontab_set_job_retry(ct, 42, 11, 0), -2);
    EXPECT_EQ(crontab_set_job_retry(ct, 42, 0, 3601), -2);
    EXPECT_EQ(crontab_set_job_retry(ct, 42, -1, 0), -2);
    EXPECT_EQ(crontab_set_job_retry(ct, 42, 0, -1), -2);
    EXPECT_EQ(crontab_set_job_retry(ct, 42, 10, 3600), -1);
    EXPECT_EQ(crontab_set_job_timeout(ct, 42, 5), -1);
}

TEST_F(Jobs, SettingsAreStoredAndSaved) {
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    EXPECT_EQ(crontab_set_job_timeout(ct, 1, -5), 0);
    EXPECT_EQ(job(1).max_runtime_sec, 0);
    EXPECT_EQ(crontab_set_job_timeout(ct, 1, 90), 0);
    EXPECT_NE(store().find("\"max_runtime_sec\": 90"), std::string::npos);
    EXPECT_EQ(crontab_set_job_retry(ct, 1, 10, 3600), 0);
    EXPECT_NE(store().find("\"retry_backoff_sec\": 3600"), std::string::npos);
    EXPECT_EQ(crontab_set_job_retry(ct, 1, 11, 0), -2);
    EXPECT_EQ(job(1).retry_max, 10);
}

// Only text the child receives whole is taken: every line a variable it gets
// uncut, no more variables than it gets.
TEST_F(Jobs, EnvironmentRules) {
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    auto vars = [](int n) {
        std::string t;
        for (int i = 0; i < n; ++i) t += "V" + std::to_string(i) + "=x\n";
        return t;
    };
    // Four lines of 255 bytes: 1023 bytes with their line feeds.
    std::string four = "A=" + std::string(253, 'v') + "\nB=" + std::string(253, 'v') +
                       "\nC=" + std::string(253, 'v') + "\nD=" + std::string(253, 'v');
    struct {
        std::string env;
        int result;
    } cases[] = {
        {"A=1\n\nB=2\n", 0},
        {"A=1\nB", -2},
        {"=odd", -2},
        {"\n\n", 0},
        {"A=1\r\nB=2\r", 0},
        {"A=\xC3", -2},
        {four, 0},
        {four + "v", -2},  // 1024 bytes: would lose its last byte
        {"A=" + std::string(255, 'v'), 0},
        {"A=" + std::string(256, 'v'), -2},
        {std::string(255, 'N') + "=1", 0},
        {std::string(256, 'N') + "=1", -2},
        {vars(32), 0},
        {vars(33), -2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crontab_set_job_paths(ct, 1, nullptr, c.env.c_str()), c.result) << c.env;
        if (c.result == 0) {
            EXPECT_EQ(std::string(job(1).env), c.env);
        } else {
            EXPECT_STRNE(crontab_last_error(), "");
        }
    }
}

TEST_F(Jobs, PathsAreWrittenTogether) {
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    ASSERT_EQ(crontab_set_job_paths(ct, 1, dir.c_str(), "A=1"), 0);
    EXPECT_EQ(crontab_set_job_paths(ct, 1, "/no/such/dir", nullptr), -2);
    EXPECT_STREQ(job(1).env, "A=1");
    ASSERT_EQ(crontab_set_job_paths(ct, 1, nullptr, "B=2"), 0);
    EXPECT_STREQ(job(1).workdir, "");
    EXPECT_STREQ(job(1).env, "B=2");
    ASSERT_EQ(crontab_set_job_paths(ct, 1, "", nullptr), 0);
    EXPECT_STREQ(job(1).env, "");
    // A directory whose path does not fit the 511-byte field is refused.
    std::string deep = dir.str();
    while (deep.size() < 520) deep += "/" + std::string(50, 'd');
    std::filesystem::create_directories(deep);
    EXPECT_EQ(crontab_set_job_paths(ct, 1, deep.c_str(), nullptr), -2);
}

TEST_F(Jobs, OverlapPolicyAndTheQueuedRun) {
    ASSERT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct, 1, CRON_OVERLAP_QUEUE), 0);
    job(1).queued = 1;
    ASSERT_EQ(crontab_set_job_overlap_policy(ct, 1, CRON_OVERLAP_ALLOW), 0);
    EXPECT_EQ(job(1).queued, 1);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct, 1, CRON_OVERLAP_SKIP), 0);
    EXPECT_EQ(job(1).queued, 0);
}

TEST(JobTable, RingKeepsTheLastTwentyRecords) {
    static cron_job_t job{};
    cron_log_entry_t entry{};
    for (int i = 1; i <= 25; ++i) {
        entry.attempt = i;
        cron_job_push_log(&job, &entry);
    }
    cron_job_push_log(&job, nullptr);
    cron_job_push_log(nullptr, &entry);
    EXPECT_EQ(job.log_count, 20);
    EXPECT_EQ(job.log_head, 5);
    EXPECT_EQ(job.logs[4].attempt, 25);  // newest
    EXPECT_EQ(job.logs[5].attempt, 6);   // oldest kept
}

TEST_F(Jobs, LookupAndNextRun) {
    ASSERT_EQ(crontab_add_job(ct, "a", "0 0 30 2 *", "c", 1), 1);
    EXPECT_EQ(job(1).next_run, -1);            // February 30th never comes
    EXPECT_EQ(cron_job_find(ct, 0), nullptr);  // free slots hold id 0
    EXPECT_EQ(cron_job_find(nullptr, 1), nullptr);
    cron_recompute_next(&ct->jobs[5], 1000);
    EXPECT_EQ(ct->jobs[5].next_run, 0);  // a free slot stays untouched
}

TEST(Lifecycle, CreateMakesMissingParents) {
    test_dir dir;
    std::string nested = dir.file("a/b/c");
    crontab_t* ct = crontab_create(nested.c_str());
    ASSERT_NE(ct, nullptr);
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    EXPECT_TRUE(std::filesystem::exists(nested + "/crontab.json"));
    crontab_destroy(ct);
}

TEST(Lifecycle, DataDirectoryThatDoesNotFitIsRefused) {
    test_dir dir;
    std::string path = dir.str();
    while (path.size() < 511) path += "/" + std::string(std::min<size_t>(60, 510 - path.size()), 'd');
    ASSERT_EQ(path.size(), 511u);
    crontab_t* ct = crontab_create(path.c_str());
    ASSERT_NE(ct, nullptr);
    EXPECT_EQ(std::string(ct->data_dir), path);
    crontab_destroy(ct);
    // Cut to its field it would name another directory.
    EXPECT_EQ(crontab_create((path + "e").c_str()), nullptr);
}

// A host that changes its directory later must not split its jobs over two
// stores.
TEST(Lifecycle, RelativeDataDirectoryIsFixedAtCreate) {
    test_dir first, second;
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(first.str());
    crontab_t* ct = crontab_create("data");
    std::filesystem::current_path(second.str());
    ASSERT_NE(ct, nullptr);
    EXPECT_EQ(crontab_add_job(ct, "a", "@daily", "c", 1), 1);
    crontab_destroy(ct);
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(std::filesystem::exists(first.file("data/crontab.json")));
    EXPECT_TRUE(second.entries().empty());
}

TEST(Lifecycle, StoppedInstance) {
    test_dir dir;
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    EXPECT_EQ(crontab_is_running(ct), 0);
    EXPECT_EQ(crontab_stop(ct), 0);
    EXPECT_EQ(crontab_stop(ct), 0);
    EXPECT_EQ(crontab_is_running(ct), 0);
    crontab_destroy(ct);
}
