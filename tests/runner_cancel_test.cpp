// Cancelling a run from another thread, and runs on several threads at once,
// on every platform.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "job_cmd.h"
#include "runner_util.h"
#include "test_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(RunnerCancel, CancelFromAnotherThreadEndsTheRun) {
    cron_run_ctl_t ctl;
    run_result r;
    std::thread t([&] { run_cmd(r, job_cmd().sleep_ms(30000), 0, &ctl); });
    ASSERT_TRUE(wait_until([&] { return ctl.proc_active.load() == 1; }));
    {
        std::lock_guard<std::mutex> lk(ctl.mu);
        EXPECT_NE(ctl.proc_id, 0u);
    }
    EXPECT_EQ(cron_proc_cancel(&ctl), 0);
    t.join();
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, CRONTAB_EXIT_CANCELLED);
    EXPECT_EQ(r.r.killed, 1);
    EXPECT_LT(r.r.duration_ms, 20000);
    EXPECT_EQ(ctl.cancel_requested.load(), 1);
    expect_cleared(ctl);
    EXPECT_EQ(cron_proc_cancel(&ctl), 1);  // nothing left to signal
}

TEST(RunnerCancel, CancelWithoutChildIsRecordedAndSeenByTheNextStart) {
    EXPECT_EQ(cron_proc_cancel(nullptr), 1);
    cron_run_ctl_t ctl;
    EXPECT_EQ(cron_proc_cancel(&ctl), 1);
    EXPECT_EQ(ctl.cancel_requested.load(), 1);
    run_result r;
    run_cmd(r, job_cmd().sleep_ms(30000), 0, &ctl);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, CRONTAB_EXIT_CANCELLED);
    EXPECT_EQ(r.r.killed, 1);
    expect_cleared(ctl);
}

TEST(RunnerCancel, CancelAndExpiredLimitInOneCycleCountAsCancel) {
    // Holding the control block's lock keeps the runner from publishing its
    // child and so from its first cycle until the 1 s limit has passed; by
    // then the cancel is recorded too.
    test_dir dir;
    std::string marker = dir.file("started");
    cron_run_ctl_t ctl;
    run_result r;
    std::unique_lock<std::mutex> hold(ctl.mu);
    ctl.cancel_requested.store(1);
    std::thread t([&] { run_cmd(r, job_cmd().touch(marker).sleep_ms(30000), 1, &ctl); });
    ASSERT_TRUE(wait_until([&] { return fs::exists(marker); }));
    // The start tick was read before the child existed.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    hold.unlock();
    t.join();
    ASSERT_EQ(r.rc, 0);
    EXPECT_GE(r.r.duration_ms, 1300);
    EXPECT_EQ(r.r.exit_code, CRONTAB_EXIT_CANCELLED);
    EXPECT_EQ(r.r.killed, 1);
}

TEST(RunnerCancel, CancelRacingTheEndOfRuns) {
    // The canceller hammers the control block while short runs start and end;
    // it must never act on a child already reaped or a handle already closed
    // (ThreadSanitizer watches the rest).
    std::string cmd = job_cmd().exit_with(7);
    for (int i = 0; i < (kSlowStart ? 10 : 100); ++i) {
        cron_run_ctl_t ctl;
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            while (!done.load()) cron_proc_cancel(&ctl);
        });
        run_result r;
        run_cmd(r, cmd, 0, &ctl);
        done.store(true);
        canceller.join();
        ASSERT_EQ(r.rc, 0);
        // Either it ran to its end, or a cancel reached it: a death by the
        // cancel's signal is never reported as that signal.
        EXPECT_TRUE(r.r.exit_code == 7 || r.r.exit_code == CRONTAB_EXIT_CANCELLED) << r.r.exit_code;
        expect_cleared(ctl);
    }
}

TEST(RunnerCancel, RunsOnSeveralThreadsKeepTheirOwnOutput) {
    const int threads_n = kSlowStart ? 4 : 6;
    const int runs = kSlowStart ? 5 : 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threads_n; ++t) {
        threads.emplace_back([t, runs, &failures] {
            for (int i = 0; i < runs; ++i) {
                std::string want = std::to_string(t) + ":" + std::to_string(i);
                run_result r;
                run_cmd(r, job_cmd().raw(want).raw("e" + want, true).exit_with(t));
                if (r.rc != 0 || r.out() != want || r.err() != "e" + want || r.r.exit_code != t)
                    failures.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(RunnerCancel, CancelReachesOnlyItsOwnRun) {
    cron_run_ctl_t a;
    cron_run_ctl_t b;
    run_result ra;
    run_result rb;
    std::thread ta([&] { run_cmd(ra, job_cmd().sleep_ms(30000), 0, &a); });
    std::thread tb([&] { run_cmd(rb, job_cmd().sleep_ms(1000).print("done"), 0, &b); });
    ASSERT_TRUE(wait_until([&] { return a.proc_active.load() == 1 && b.proc_active.load() == 1; }));
    EXPECT_EQ(cron_proc_cancel(&a), 0);
    ta.join();
    tb.join();
    EXPECT_EQ(ra.r.exit_code, CRONTAB_EXIT_CANCELLED);
    EXPECT_EQ(rb.r.exit_code, 0);
    EXPECT_EQ(rb.out(), "done\n");
}

TEST(RunnerCancel, TerminationEndsWhatTheCommandStarted) {
    // A process the command left in the background ends with a terminated
    // run, by its time limit or by a cancel.
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancel" : "time limit");
        test_dir dir;
        std::string pid_file = dir.file("bg");
        run_result r;
        run_terminated(r, job_cmd().spawn(pid_file, 60000).sleep_ms(60000), cancel, [&] {
            long pid = read_pid(pid_file);
            return pid != 0 && process_alive(pid);
        });
        long pid = read_pid(pid_file);
        ASSERT_NE(pid, 0);
        EXPECT_EQ(r.r.exit_code, cancel ? CRONTAB_EXIT_CANCELLED : CRONTAB_EXIT_TIME_LIMIT);
        bool ended = wait_until([&] { return !process_alive(pid); });
        if (!ended) end_process(pid);
        EXPECT_TRUE(ended);
    }
}

}  // namespace
