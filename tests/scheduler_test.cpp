// The scheduler thread: starting and stopping, due jobs, the overlap
// policies with executions that outlast a fire time, and the active-run limit.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "job_cmd.h"
#include "proc/cron_os.h"
#include "sched/cron_exec.h"
#include "sched/cron_scheduler.h"
#include "sched_util.h"

using namespace sched_test;

namespace {

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        ct = make_instance();
    }
    int add(const std::string& cmd, const char* expr, int policy = CRONTAB_OVERLAP_SKIP, int enabled = 1) {
        int id = crontab_add_job(ct.get(), "job", expr, cmd.c_str(), enabled);
        EXPECT_GT(id, 0);
        EXPECT_EQ(crontab_set_job_overlap_policy(ct.get(), id, policy), 0);
        return id;
    }
    // Waits until the job has no execution in progress and nothing queued.
    bool settled(int id) {
        return wait_until([&] {
            auto j = job_info(ct.get(), id);
            return !j["running"].GetBool() && j["queued_count"].GetInt() == 0;
        });
    }
    temp_dir dir;
    instance ct;
};

// Records oldest first.
std::vector<std::pair<int64_t, int64_t>> spans(crontab_t* ct, int id) {
    std::vector<std::pair<int64_t, int64_t>> out;
    auto log = logs(ct, id);
    for (const auto& r : log.GetArray()) {
        out.emplace_back(r["started_at"].GetInt64(), r["finished_at"].GetInt64());
    }
    std::reverse(out.begin(), out.end());
    return out;
}

TEST_F(SchedulerTest, StartAndStop) {
    EXPECT_EQ(crontab_start(nullptr), -1);
    EXPECT_EQ(crontab_start(ct.get()), 0);
    EXPECT_EQ(crontab_is_running(ct.get()), 1);
    EXPECT_EQ(crontab_start(ct.get()), -1);
    EXPECT_EQ(crontab_stop(ct.get()), 0);
    EXPECT_EQ(crontab_is_running(ct.get()), 0);
    EXPECT_EQ(crontab_stop(ct.get()), 0);
    EXPECT_EQ(crontab_start(ct.get()), 0);  // a stopped instance starts again
    EXPECT_EQ(crontab_is_running(ct.get()), 1);
}

TEST_F(SchedulerTest, StopEndsThePauseAtOnce) {
    add("exit 0", "0 0 1 1 *");  // far away: the longest pause
    auto total = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(crontab_start(ct.get()), 0);
        std::this_thread::sleep_for(50ms);  // let the thread reach its pause
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(crontab_stop(ct.get()), 0);
        total += std::chrono::steady_clock::now() - t0;
    }
    // Sleeping out the pauses would take about 2 s.
    EXPECT_LT(total, 1000ms);
}

TEST_F(SchedulerTest, RunsEnabledDueJobsOnly) {
    int on = add(job_cmd().print("tick"), "@every 1s");
    int off = add(job_cmd().print("tick"), "@every 1s", CRONTAB_OVERLAP_SKIP, 0);
    int64_t off_next = job_int(ct.get(), off, "next_run");
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_TRUE(wait_until([&] { return log_count(ct.get(), on) >= 3; }));
    EXPECT_EQ(log_count(ct.get(), off), 0u);
    EXPECT_EQ(job_int(ct.get(), off, "next_run"), off_next);
    auto log = logs(ct.get(), on);
    for (const auto& r : log.GetArray()) {
        EXPECT_EQ(r["exit_code"].GetInt(), 0);
        EXPECT_STREQ(r["stdout"].GetString(), "tick\n");
    }
    // Enabled later, it is handled from the next tick on.
    std::string tick = job_cmd().print("tick");
    ASSERT_EQ(crontab_update_job(ct.get(), off, "job", "@every 1s", tick.c_str(), 1), 0);
    EXPECT_TRUE(wait_until([&] { return log_count(ct.get(), off) >= 1; }));
}

// A job in its own zone fires at that zone's wall-clock time while the
// process is in another (UTC here): Kolkata's local minute of the next whole
// UTC minute lies five and a half hours away from the same fields in UTC.
TEST_F(SchedulerTest, JobFiresInItsOwnZone) {
    if (crontab_validate_expr("CRON_TZ=UTC * * * * *", nullptr, 0) != 0) GTEST_SKIP() << "no zones by name";
    int64_t fire = (now_sec() / 60 + 1) * 60;
    if (fire - now_sec() < 3) fire += 60;  // room to add the job before it is due
    const int64_t local = fire + 5 * 3600 + 30 * 60;
    const std::string expr = "CRON_TZ=Asia/Kolkata " + std::to_string(local / 60 % 60) + " " +
                             std::to_string(local / 3600 % 24) + " * * *";
    int id = add(job_cmd().print("tick"), expr.c_str());
    EXPECT_EQ(job_int(ct.get(), id, "next_run"), fire);
    EXPECT_STREQ(job_info(ct.get(), id)["expr"].GetString(), expr.c_str());  // kept as written
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_TRUE(wait_until([&] { return log_count(ct.get(), id) >= 1; }, 150s));
    EXPECT_GE(logs(ct.get(), id)[0]["started_at"].GetInt64(), fire);
    EXPECT_EQ(job_int(ct.get(), id, "next_run"), fire + 86400);
}

TEST_F(SchedulerTest, StopLeavesExecutionsGoing) {
    std::string started = dir.file("started"), go = dir.file("go");
    int id = add(job_cmd().touch(started).wait_for(go), "@every 1s");
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_TRUE(wait_until([&] { return exists(started); }));
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    EXPECT_TRUE(job_running(ct.get(), id));
    touch(go);
    ASSERT_TRUE(settled(id));
    EXPECT_EQ(newest_int(ct.get(), id, "exit_code"), 0);
}

TEST_F(SchedulerTest, AllowStartsEachFireTimeOnce) {
    // Each execution outlasts the next fire time, so two overlap.
    int id = add(job_cmd().sleep_ms(1500), "@every 1s", CRONTAB_OVERLAP_ALLOW);
    int64_t begin = now_sec();
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_TRUE(wait_until([&] { return active_runs(ct.get()) >= 2; }));
    ASSERT_TRUE(wait_until([&] { return now_sec() >= begin + 4; }));
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    int64_t end = now_sec();
    ASSERT_TRUE(settled(id));
    // One execution per fire time at most, not one per tick of a due second.
    size_t runs = log_count(ct.get(), id);
    EXPECT_GE(runs, 2u);
    EXPECT_LE(runs, static_cast<size_t>(end - begin + 1));
}

TEST_F(SchedulerTest, SkipNeverOverlapsAndRunsAMissedFireTimeRightAfter) {
    // Fire times every 2 s; each run takes 2.5 s, so one fire time passes
    // during every run.
    int id = add(job_cmd().sleep_ms(2500), "@every 2s", CRONTAB_OVERLAP_SKIP);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    int most = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            most = std::max(most, active_runs(ct.get()));
            return log_count(ct.get(), id) >= 2;
        },
        60s));
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    ASSERT_TRUE(settled(id));
    EXPECT_LE(most, 1);
    auto s = spans(ct.get(), id);
    for (size_t i = 1; i < s.size(); ++i) {
        EXPECT_GE(s[i].first, s[i - 1].second);
        // Started right after the previous run, not at the fire time after it.
        EXPECT_LE(s[i].first - s[i - 1].second, 1);
    }
}

TEST_F(SchedulerTest, QueueHoldsOneLaterFireTime) {
    int id = add(job_cmd().sleep_ms(2500), "@every 1s", CRONTAB_OVERLAP_QUEUE);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    int most = 0;
    bool seen_queued = false;
    ASSERT_TRUE(wait_until(
        [&] {
            most = std::max(most, active_runs(ct.get()));
            seen_queued = seen_queued || job_int(ct.get(), id, "queued_count") == 1;
            return log_count(ct.get(), id) >= 2;
        },
        60s));
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    // A waiting run still starts when the execution ends, scheduler or not.
    ASSERT_TRUE(settled(id));
    EXPECT_TRUE(seen_queued);
    EXPECT_LE(most, 1);
    auto s = spans(ct.get(), id);
    for (size_t i = 1; i < s.size(); ++i) EXPECT_GE(s[i].first, s[i - 1].second);
}

TEST_F(SchedulerTest, QueueDoesNotRepeatTheFireTimeItStarted) {
    // A short run well inside the interval: nothing may be queued for the
    // fire time that started it.
    int id = add(job_cmd().sleep_ms(1000), "@every 3s", CRONTAB_OVERLAP_QUEUE);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_TRUE(wait_until([&] { return log_count(ct.get(), id) >= 2; }, 60s));
    auto s = spans(ct.get(), id);
    for (size_t i = 1; i < s.size(); ++i) EXPECT_GE(s[i].first - s[i - 1].first, 2);
}

TEST_F(SchedulerTest, DueJobWaitsForRoomUnderTheLimit) {
    std::vector<int> sleepers;
    std::vector<std::unique_ptr<background_run>> runs;
    for (int i = 0; i < CRON_MAX_ACTIVE; ++i) {
        sleepers.push_back(add(job_cmd().sleep_ms(600000), "@daily", CRONTAB_OVERLAP_SKIP, 0));
        runs.push_back(std::make_unique<background_run>(ct.get(), sleepers.back()));
    }
    // A failed assertion must not leave the runs above to sleep out their
    // ten minutes before `runs` is joined.
    struct cancel_at_exit {
        crontab_t* ct;
        const std::vector<int>& ids;
        ~cancel_at_exit() {
            for (int id : ids) crontab_cancel_job(ct, id);
        }
    } cancel_all{ct.get(), sleepers};
    // A sleeper that ended early makes room; its record says why.
    auto ended = [&] {
        std::string text;
        for (int id : sleepers) {
            if (log_count(ct.get(), id) > 0) text += crontab_get_job_logs_json(ct.get(), id, 1);
        }
        return text;
    };
    ASSERT_TRUE(wait_until([&] { return active_runs(ct.get()) == CRON_MAX_ACTIVE; }));
    int due = add("exit 0", "@every 1s");
    int64_t first = job_int(ct.get(), due, "next_run");
    ASSERT_EQ(crontab_start(ct.get()), 0);
    // Well past its fire time it has neither a record nor a run.
    ASSERT_TRUE(wait_until([&] { return now_sec() >= first + 2; }));
    EXPECT_EQ(log_count(ct.get(), due), 0u) << "sleepers that ended: " << ended();
    EXPECT_FALSE(job_running(ct.get(), due)) << "sleepers that ended: " << ended();
    ASSERT_TRUE(wait_until([&] { return crontab_cancel_job(ct.get(), sleepers[0]) == 0; }));
    EXPECT_TRUE(wait_until([&] { return log_count(ct.get(), due) >= 1; }));
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    for (size_t i = 1; i < sleepers.size(); ++i) {
        ASSERT_TRUE(wait_until([&] { return crontab_cancel_job(ct.get(), sleepers[i]) == 0; }));
    }
    for (auto& r : runs) EXPECT_EQ(r->join(), 0);
}

TEST_F(SchedulerTest, MoreDueThanTheLimitAllRunInTurn) {
    // 40 jobs due every second, each run outlasting the next fire time: the
    // first 32 are due again whenever a place comes free, and must not keep
    // the other 8 out.
    for (int policy : {CRONTAB_OVERLAP_SKIP, CRONTAB_OVERLAP_ALLOW}) {
        SCOPED_TRACE(policy);
        ct = make_instance();
        std::vector<int> ids;
        for (int i = 0; i < 40; ++i) ids.push_back(add(job_cmd().sleep_ms(2000), "@every 1s", policy));
        ASSERT_EQ(crontab_start(ct.get()), 0);
        EXPECT_TRUE(wait_until(
            [&] {
                return std::all_of(ids.begin(), ids.end(),
                                   [&](int id) { return log_count(ct.get(), id) >= 1; });
            },
            60s));
        ct.reset();
    }
}

// A run without a worker thread, or whose runner throws, leaves a record and
// gives back its counts, so the job runs again under SKIP.
TEST_F(SchedulerTest, RunThatCannotStartIsRecorded) {
    const struct {
        void (*fail)(int);
        const char* why;
    } cases[] = {
        {cron_exec_fail_spawns, "failed to start a worker thread"},
        {cron_exec_fail_attempts, "failed to run the command: out of memory"},
    };
    for (const auto& c : cases) {
        int id = add(job_cmd().print("tick"), "@every 1s");
        c.fail(1);
        ASSERT_EQ(crontab_start(ct.get()), 0);
        ASSERT_TRUE(wait_until([&] { return log_count(ct.get(), id) >= 2; })) << c.why;
        c.fail(0);
        ASSERT_EQ(crontab_stop(ct.get()), 0);
        auto log = logs(ct.get(), id);
        const auto& failed = log[log.Size() - 1];
        EXPECT_EQ(failed["exit_code"].GetInt(), -1);
        EXPECT_STREQ(failed["stderr"].GetString(), c.why);
        EXPECT_EQ(log[log.Size() - 2]["exit_code"].GetInt(), 0);
        // The fire time was used: the next run is a later one.
        EXPECT_GT(log[log.Size() - 2]["started_at"].GetInt64(), failed["started_at"].GetInt64());
        EXPECT_TRUE(settled(id));
        EXPECT_EQ(active_runs(ct.get()), 0);
        EXPECT_EQ(live_execs(ct.get()), 0);
        ASSERT_EQ(crontab_delete_job(ct.get(), id), 0);
    }
}

TEST_F(SchedulerTest, TickThatThrowsIsRetried) {
    // Due in the same tick: the second one's fire-time search throws after
    // the first was admitted.
    int first = add(job_cmd().print("a"), "@every 2s");
    int second = add(job_cmd().print("b"), "@every 2s");
    cron_scheduler_fail_conversion(2);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    // The admitted run was started, and the thread goes on ticking.
    ASSERT_TRUE(
        wait_until([&] { return log_count(ct.get(), first) >= 2 && log_count(ct.get(), second) >= 2; }));
    cron_scheduler_fail_conversion(0);
    EXPECT_EQ(crontab_is_running(ct.get()), 1);
    ASSERT_EQ(crontab_stop(ct.get()), 0);
    EXPECT_TRUE(settled(first));
    EXPECT_TRUE(settled(second));
    EXPECT_EQ(active_runs(ct.get()), 0);
    EXPECT_EQ(live_execs(ct.get()), 0);
}

// Moves the library's wall clock for the life of the object.
class clock_step {
public:
    explicit clock_step(int64_t seconds) { cron_os_set_clock_shift(seconds * 1000); }
    ~clock_step() { cron_os_set_clock_shift(0); }
    clock_step(const clock_step&) = delete;
    clock_step& operator=(const clock_step&) = delete;
};

TEST_F(SchedulerTest, ClockStepBackRecomputesFireTimes) {
    int minutely = add(job_cmd().print("tick"), "@every 1m");
    // Runs long enough that the step falls inside one of them.
    int busy = add(job_cmd().sleep_ms(1500), "@every 1s");
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_TRUE(wait_until([&] { return job_running(ct.get(), busy); }));
    clock_step back(-3600);
    EXPECT_TRUE(wait_until([&] { return job_int(ct.get(), minutely, "next_run") <= now_sec() - 3600 + 60; }));
    // The run that began before the step counts its next fire time from the
    // new clock too.
    const size_t before = log_count(ct.get(), busy);
    EXPECT_TRUE(wait_until([&] { return log_count(ct.get(), busy) >= before + 2; }, 20s));
}

TEST_F(SchedulerTest, ClockStepForwardRunsEachDueJobOnce) {
    int hourly = add(job_cmd().print("tick"), "0 * * * *");
    int minutely = add(job_cmd().print("tick"), "@every 1m");
    // Some hours on, to half past: no fire time of either comes soon after.
    const int64_t target = (now_sec() / 3600 + 3) * 3600 + 1800;
    clock_step forward(target - now_sec());
    ASSERT_EQ(crontab_start(ct.get()), 0);
    auto done = [&](int id) {
        return log_count(ct.get(), id) >= 1 && !job_running(ct.get(), id) &&
               job_int(ct.get(), id, "next_run") > target;
    };
    ASSERT_TRUE(wait_until([&] { return done(hourly) && done(minutely); }));
    EXPECT_EQ(log_count(ct.get(), hourly), 1u);
    EXPECT_EQ(log_count(ct.get(), minutely), 1u);
}

TEST_F(SchedulerTest, DestroyWhileTheSchedulerRunsAndRunsAreGoing) {
    int a = add(job_cmd().sleep_ms(300), "@every 1s", CRONTAB_OVERLAP_ALLOW);
    add(job_cmd().sleep_ms(300), "@every 1s", CRONTAB_OVERLAP_QUEUE);
    ASSERT_EQ(crontab_start(ct.get()), 0);
    ASSERT_TRUE(wait_until([&] { return job_running(ct.get(), a); }));
    ct.reset();  // must neither hang nor leave a thread behind on the instance
}

}  // namespace
