// Executions through the exports: attempts and their records, retries, time
// limits, cancellation, overlap on run-now, the active-run limit, and the
// instance's life while executions are in progress.
#include <chrono>
#include <string>
#include <vector>

#include "job_cmd.h"
#include "sched/cron_exec.h"
#include "sched_util.h"

using namespace sched_test;

namespace {

class ExecTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        ct = make_instance();
    }
    int add(const std::string& cmd, const char* expr = "@daily", int enabled = 0) {
        int id = crontab_add_job(ct.get(), "job", expr, cmd.c_str(), enabled);
        EXPECT_GT(id, 0);
        return id;
    }
    temp_dir dir;
    instance ct;
};

TEST_F(ExecTest, SuccessfulRunGivesOneRecordAndSetsLastRun) {
    int id = add(job_cmd().print("out").print_err("err"));
    int64_t before = now_sec();
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 1u);
    const auto& r = log[0];
    EXPECT_EQ(r["exit_code"].GetInt(), 0);
    EXPECT_EQ(r["attempt"].GetInt(), 1);
    EXPECT_STREQ(r["stdout"].GetString(), "out\n");
    EXPECT_STREQ(r["stderr"].GetString(), "err\n");
    EXPECT_FALSE(r["truncated"].GetBool());
    EXPECT_FALSE(r["cancelled"].GetBool());
    EXPECT_GE(r["started_at"].GetInt64(), before);
    EXPECT_LE(r["started_at"].GetInt64(), r["finished_at"].GetInt64());
    auto job = job_info(ct.get(), id);
    EXPECT_GE(job["last_run"].GetInt64(), before);
    EXPECT_LE(job["last_run"].GetInt64(), r["started_at"].GetInt64());
    EXPECT_FALSE(job["running"].GetBool());
    EXPECT_EQ(active_runs(ct.get()), 0);
}

TEST_F(ExecTest, FailingCommandIsRetriedWithPauses) {
    int id = add(job_cmd().print("try").exit_with(1));
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 2, 1), 0);
    auto t0 = std::chrono::steady_clock::now();
    // The command's failure is in the records, not in the result.
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 2s);  // two pauses of 1 s
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i]["attempt"].GetInt(), 3 - i);
        EXPECT_EQ(log[i]["exit_code"].GetInt(), 1);
        EXPECT_STREQ(log[i]["stdout"].GetString(), "try\n");
    }
}

TEST_F(ExecTest, SuccessEndsRetries) {
    // Fails once, then succeeds: two attempts of the three allowed.
    std::string mark = dir.file("failed-once");
    int id = add(job_cmd().exit_if(mark, 0).touch(mark).exit_with(7));
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 2, 0), 0);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 2u);
    EXPECT_EQ(log[0]["exit_code"].GetInt(), 0);
    EXPECT_EQ(log[1]["exit_code"].GetInt(), 7);
}

TEST_F(ExecTest, TimeLimitIsRetried) {
    int id = add(job_cmd().sleep_ms(30000));
    ASSERT_EQ(crontab_set_job_timeout(ct.get(), id, 1), 0);
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 1, 0), 0);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 2u);
    for (const auto& r : log.GetArray()) {
        EXPECT_EQ(r["exit_code"].GetInt(), -2);
        EXPECT_TRUE(r["cancelled"].GetBool());
        EXPECT_GE(r["duration_ms"].GetInt(), 1000);
    }
}

TEST_F(ExecTest, ChildThatCannotStartIsRecordedAndRetried) {
    std::string gone = dir.file("gone");
    fs::create_directory(gone);
    int id = add("exit 0");
    ASSERT_EQ(crontab_set_job_paths(ct.get(), id, gone.c_str(), nullptr), 0);
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 1, 0), 0);
    fs::remove(gone);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 2u);
    for (const auto& r : log.GetArray()) {
        EXPECT_EQ(r["exit_code"].GetInt(), -1);
        EXPECT_EQ(r["duration_ms"].GetInt(), 0);
        // The system's words for the cause differ by platform.
        EXPECT_EQ(std::string(r["stderr"].GetString())
                      .rfind("failed to spawn process: working directory " + gone + ": ", 0),
                  0u)
            << r["stderr"].GetString();
        EXPECT_STREQ(r["stdout"].GetString(), "");
        EXPECT_FALSE(r["cancelled"].GetBool());
    }
}

TEST_F(ExecTest, OutputIsCutToTheRecordAndTruncatedOnlyAtTheCaptureLimit) {
    struct {
        int bytes;
        bool truncated;
    } cases[] = {{5000, false}, {65535, false}, {65536, true}, {70000, true}};
    for (const auto& c : cases) {
        int id = add(job_cmd().output(c.bytes));
        ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
        auto log = logs(ct.get(), id);
        ASSERT_EQ(log.Size(), 1u);
        EXPECT_EQ(log[0]["stdout"].GetStringLength(), 4095u) << c.bytes;
        EXPECT_EQ(log[0]["truncated"].GetBool(), c.truncated) << c.bytes;
    }
}

TEST_F(ExecTest, DisabledJobRunsByHand) {
    int id = add("exit 1", "@daily", 0);
    EXPECT_EQ(crontab_run_now(ct.get(), id), 0);
    EXPECT_EQ(log_count(ct.get(), id), 1u);
}

TEST_F(ExecTest, RefusedRuns) {
    EXPECT_EQ(crontab_run_now(nullptr, 1), -1);
    EXPECT_EQ(crontab_run_now(ct.get(), 12345), -1);
}

TEST_F(ExecTest, CancelResultsWithoutAnExecution) {
    int id = add("exit 0");
    EXPECT_EQ(crontab_cancel_job(nullptr, id), -1);
    EXPECT_EQ(crontab_cancel_job(ct.get(), id + 100), -1);
    EXPECT_EQ(crontab_cancel_job(ct.get(), id), 1);
    // The job is untouched: it runs normally afterwards.
    EXPECT_EQ(crontab_run_now(ct.get(), id), 0);
    EXPECT_EQ(newest_int(ct.get(), id, "exit_code"), 0);
}

TEST_F(ExecTest, CancelTerminatesTheChildAndIsNeverRetried) {
    std::string started = dir.file("started");
    int id = add(job_cmd().touch(started).sleep_ms(60000));
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 3, 0), 0);
    background_run run(ct.get(), id);
    ASSERT_TRUE(wait_until([&] { return exists(started); }));
    // The child may still be starting sleep; 0 once it is there to signal.
    ASSERT_TRUE(wait_until([&] { return crontab_cancel_job(ct.get(), id) == 0; }));
    EXPECT_EQ(run.join(), 0);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 1u);
    EXPECT_EQ(log[0]["exit_code"].GetInt(), -3);
    EXPECT_TRUE(log[0]["cancelled"].GetBool());
    EXPECT_EQ(log[0]["attempt"].GetInt(), 1);
    EXPECT_EQ(crontab_cancel_job(ct.get(), id), 1);
}

TEST_F(ExecTest, CancelReachesEveryExecutionOfAnAllowJob) {
    // Two executions side by side, each in its own working directory: the
    // later one ends first, and a cancel still reaches the earlier.
    int id = add(job_cmd().pid_file(".").wait_for("go"));
    ASSERT_EQ(crontab_set_job_overlap_policy(ct.get(), id, CRONTAB_OVERLAP_ALLOW), 0);
    auto started = [&](const std::string& d) {
        int n = 0;
        for (const auto& e : fs::directory_iterator(d)) n += e.path().filename() != "go";
        return n;
    };
    const std::string a = dir.file("a"), b = dir.file("b");
    fs::create_directory(a);
    fs::create_directory(b);
    ASSERT_EQ(crontab_set_job_paths(ct.get(), id, a.c_str(), ""), 0);
    background_run first(ct.get(), id);
    ASSERT_TRUE(wait_until([&] { return started(a) == 1; }));
    ASSERT_EQ(crontab_set_job_paths(ct.get(), id, b.c_str(), ""), 0);
    background_run second(ct.get(), id);
    ASSERT_TRUE(wait_until([&] { return started(b) == 1; }));
    touch(b + "/go");
    EXPECT_EQ(second.join(), 0);
    ASSERT_TRUE(wait_until([&] { return crontab_cancel_job(ct.get(), id) == 0; })) << crontab_last_error();
    EXPECT_EQ(first.join(), 0);
    EXPECT_EQ(newest_int(ct.get(), id, "exit_code"), CRONTAB_EXIT_CANCELLED);
    EXPECT_EQ(crontab_cancel_job(ct.get(), id), 1);
}

TEST_F(ExecTest, CancelDuringRetryPause) {
    int id = add("exit 1");
    ASSERT_EQ(crontab_set_job_retry(ct.get(), id, 5, 3600), 0);
    auto t0 = std::chrono::steady_clock::now();
    background_run run(ct.get(), id);
    ASSERT_TRUE(wait_until([&] { return log_count(ct.get(), id) == 1; }));
    // In the pause, with no child: the cancel is recorded, nothing to kill.
    EXPECT_EQ(crontab_cancel_job(ct.get(), id), 1);
    EXPECT_EQ(run.join(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 60s);
    auto log = logs(ct.get(), id);
    ASSERT_EQ(log.Size(), 2u);
    const auto& r = log[0];
    EXPECT_EQ(r["exit_code"].GetInt(), -3);
    EXPECT_TRUE(r["cancelled"].GetBool());
    EXPECT_EQ(r["attempt"].GetInt(), 2);  // the attempt that did not take place
    EXPECT_EQ(r["duration_ms"].GetInt(), 0);
    EXPECT_EQ(r["started_at"].GetInt64(), r["finished_at"].GetInt64());
    EXPECT_STREQ(r["stderr"].GetString(), "cancelled during retry backoff");
    EXPECT_FALSE(job_running(ct.get(), id));
}

TEST_F(ExecTest, DeleteWhileTheCommandRuns) {
    std::string started = dir.file("started"), go = dir.file("go");
    int id = add(job_cmd().touch(started).wait_for(go));
    background_run run(ct.get(), id);
    ASSERT_TRUE(wait_until([&] { return exists(started); }));
    EXPECT_EQ(active_runs(ct.get()), 1);
    EXPECT_EQ(crontab_delete_job(ct.get(), id), 0);  // at once, the command still blocked
    EXPECT_FALSE(run.done());
    EXPECT_EQ(job_info(ct.get(), id).IsObject(), false);
    EXPECT_EQ(crontab_cancel_job(ct.get(), id), -1);
    touch(go);
    EXPECT_EQ(run.join(), -1);  // the job was gone at the end
    EXPECT_EQ(active_runs(ct.get()), 0);
    // A job added later does not inherit anything from the vanished run.
    int next = add("exit 0");
    EXPECT_EQ(log_count(ct.get(), next), 0u);
}

TEST_F(ExecTest, RunNowWhileRunningFollowsThePolicy) {
    struct {
        int policy;
        bool second_runs;
    } cases[] = {
        {CRONTAB_OVERLAP_SKIP, false}, {CRONTAB_OVERLAP_QUEUE, false}, {CRONTAB_OVERLAP_ALLOW, true}};
    for (const auto& c : cases) {
        std::string p = dir.file("p" + std::to_string(c.policy));
        fs::create_directory(p);
        std::string go = p + "/go";
        int id = add(job_cmd().pid_file(p).wait_for(go));
        ASSERT_EQ(crontab_set_job_overlap_policy(ct.get(), id, c.policy), 0);
        auto started = [&] {
            int n = 0;
            for (const auto& e : fs::directory_iterator(p)) n += e.path().filename() != "go";
            return n;
        };
        background_run first(ct.get(), id);
        ASSERT_TRUE(wait_until([&] { return started() == 1; }));
        if (c.second_runs) {
            background_run second(ct.get(), id);
            ASSERT_TRUE(wait_until([&] { return started() == 2; })) << c.policy;
            EXPECT_EQ(active_runs(ct.get()), 2);
            touch(go);
            EXPECT_EQ(second.join(), 0);
        } else {
            EXPECT_EQ(crontab_run_now(ct.get(), id), -1) << c.policy;
            EXPECT_EQ(job_int(ct.get(), id, "queued_count"), 0);
            touch(go);
        }
        EXPECT_EQ(first.join(), 0);
        EXPECT_EQ(log_count(ct.get(), id), c.second_runs ? 2u : 1u);
    }
}

TEST_F(ExecTest, LimitOfActiveRuns) {
    std::vector<int> ids;
    std::vector<std::unique_ptr<background_run>> runs;
    for (int i = 0; i < CRON_MAX_ACTIVE; ++i) {
        ids.push_back(add(job_cmd().sleep_ms(600000)));
        runs.push_back(std::make_unique<background_run>(ct.get(), ids.back()));
    }
    ASSERT_TRUE(wait_until([&] { return active_runs(ct.get()) == CRON_MAX_ACTIVE; }));
    int extra = add("exit 0");
    EXPECT_EQ(crontab_run_now(ct.get(), extra), -1);
    EXPECT_EQ(log_count(ct.get(), extra), 0u);
    // Room again once one run has ended.
    ASSERT_TRUE(wait_until([&] { return crontab_cancel_job(ct.get(), ids[0]) == 0; }));
    EXPECT_EQ(runs[0]->join(), 0);
    EXPECT_EQ(crontab_run_now(ct.get(), extra), 0);
    for (size_t i = 1; i < ids.size(); ++i) {
        ASSERT_TRUE(wait_until([&] { return crontab_cancel_job(ct.get(), ids[i]) == 0; }));
    }
    for (size_t i = 1; i < runs.size(); ++i) EXPECT_EQ(runs[i]->join(), 0);
    EXPECT_EQ(active_runs(ct.get()), 0);
}

TEST_F(ExecTest, NextRunFollowsTheStartOfALongExecution) {
    // Disabled, so only the hand-started run moves its times.
    int id = add(job_cmd().sleep_ms(2200), "@every 1s", 0);
    ASSERT_EQ(crontab_run_now(ct.get(), id), 0);
    auto job = job_info(ct.get(), id);
    int64_t last = job["last_run"].GetInt64();
    // The fire times that passed during the run are not skipped: due at once.
    EXPECT_EQ(job["next_run"].GetInt64(), last + 1);
    EXPECT_LT(job["next_run"].GetInt64(), now_sec());
}

TEST_F(ExecTest, ExecutionOfAVanishedJobGivesBackItsAdmission) {
    // What a worker meets when the job was deleted between admission and start.
    int id = add("exit 0");
    {
        std::lock_guard<std::mutex> lk(ct->shared->lock);
        cron_exec_admit(ct.get(), cron_job_find(ct.get(), id));
    }
    ASSERT_EQ(crontab_delete_job(ct.get(), id), 0);
    EXPECT_EQ(cron_scheduler_execute_job(ct.get(), id, 1), -1);
    cron_exec_leave(ct.get());
    EXPECT_EQ(active_runs(ct.get()), 0);
    EXPECT_EQ(live_execs(ct.get()), 0);
}

// ---- Destroy while executions are in progress ----

TEST(ExecDestroyTest, WaitsForARunThatEndsByItself) {
    temp_dir dir;
    std::string started = dir.file("started"), done = dir.file("done");
    crontab_t* ct = crontab_create(nullptr);
    ASSERT_NE(ct, nullptr);
    int id = crontab_add_job(ct, "j", "@daily",
                             std::string(job_cmd().touch(started).sleep_ms(1000).touch(done)).c_str(), 0);
    background_run run(ct, id);
    // A run that ends without its first step says why in its record.
    ASSERT_TRUE(wait_until([&] { return exists(started) || run.done(); }));
    ASSERT_TRUE(exists(started)) << "run_now gave " << run.join() << ", records "
                                 << crontab_get_job_logs_json(ct, id, CRONTAB_LOG_CAPACITY);
    crontab_destroy(ct);
    EXPECT_TRUE(exists(done));
    EXPECT_EQ(run.join(), 0);
}

TEST(ExecDestroyTest, CancelsEveryRunStillGoingAfterTheGrace) {
    temp_dir dir;
    crontab_t* ct = crontab_create(dir.str().c_str());
    ASSERT_NE(ct, nullptr);
    ct->shared->runs_grace = 200ms;
    // Two runs of one job side by side: only the latest is reachable by a
    // cancel of the job, both must end. A third job waits in a retry pause.
    std::string p = dir.file("pids");
    fs::create_directory(p);
    int allow =
        crontab_add_job(ct, "a", "@daily", std::string(job_cmd().pid_file(p).sleep_ms(600000)).c_str(), 0);
    ASSERT_EQ(crontab_set_job_overlap_policy(ct, allow, CRONTAB_OVERLAP_ALLOW), 0);
    int retry = crontab_add_job(ct, "r", "@daily", "exit 1", 0);
    ASSERT_EQ(crontab_set_job_retry(ct, retry, 10, 3600), 0);
    background_run a1(ct, allow), a2(ct, allow), r(ct, retry);
    ASSERT_TRUE(
        wait_until([&] { return std::distance(fs::directory_iterator(p), fs::directory_iterator()) == 2; }));
    ASSERT_TRUE(wait_until([&] { return log_count(ct, retry) == 1; }));
    std::vector<std::string> pids;
    for (const auto& e : fs::directory_iterator(p)) pids.push_back(e.path().filename().string());
    auto t0 = std::chrono::steady_clock::now();
    crontab_destroy(ct);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
    // Every run has left; the host threads get their results.
    a1.join();
    a2.join();
    r.join();
    for (const auto& pid : pids) EXPECT_FALSE(process_alive(std::stol(pid))) << pid;
}

}  // namespace
