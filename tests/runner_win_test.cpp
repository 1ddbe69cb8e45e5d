// The command runner on the desktop platform: cmd.exe commands, the helper
// qc_child for what cmd.exe cannot do (sleep, exact byte counts, children).
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "proc/cron_proc.h"
#include "runner_util.h"
#include "win/win_util.h"

namespace {

using win_test::bin_dir;
using win_test::process_alive;
using win_test::utf8;

std::string temp_file(const char* name) {
    wchar_t dir[MAX_PATH];
    DWORD n = ::GetTempPathW(MAX_PATH, dir);
    return utf8(std::wstring(dir, n)) + name + std::to_string(::GetCurrentProcessId());
}

void run_helper(run_result& res, const std::string& args, int32_t limit = 0,
                cron_run_ctl_t* ctl = nullptr, const char* env = nullptr) {
    run_cmd(res, ("qc_child " + args).c_str(), limit, ctl, bin_dir().c_str(), env);
}

DWORD read_pid(const std::string& file) {
    unsigned long pid = 0;
    std::ifstream in(file);
    in >> pid;
    return static_cast<DWORD>(pid);
}

TEST(RunnerWin, CapturesBothStreamsApartThroughCmd) {
    run_result res;
    run_cmd(res, "echo out& echo err 1>&2");
    ASSERT_EQ(res.rc, 0);
    EXPECT_EQ(res.r.exit_code, 0);
    EXPECT_EQ(res.out(), "out\r\n");
    EXPECT_NE(res.err().find("err"), std::string::npos);
    EXPECT_EQ(res.out().find("err"), std::string::npos);
    EXPECT_EQ(res.r.killed, 0);
    EXPECT_EQ(res.r.timed_out, 0);
    EXPECT_GE(res.r.duration_ms, 0);
}

TEST(RunnerWin, EmptyOutputGivesPresentEmptyBuffers) {
    run_result res;
    run_cmd(res, "exit /b 0");
    ASSERT_EQ(res.rc, 0);
    ASSERT_NE(res.r.stdout_buf, nullptr);
    ASSERT_NE(res.r.stderr_buf, nullptr);
    EXPECT_EQ(res.r.stdout_len, 0u);
    EXPECT_EQ(res.r.stderr_len, 0u);
    EXPECT_EQ(res.r.stdout_buf[0], '\0');
}

TEST(RunnerWin, CaptureKeepsTheFirst65536BytesAndTheChildRunsToItsEnd) {
    for (long n : {65536L, 70000L, 3000000L}) {
        run_result res;
        run_helper(res, "out " + std::to_string(n));
        ASSERT_EQ(res.rc, 0) << n;
        EXPECT_EQ(res.r.exit_code, 0) << n;  // a stalled writer would need the limit
        EXPECT_EQ(res.r.stdout_len, CRON_CAPTURE_LIMIT) << n;
        EXPECT_EQ(res.r.stdout_buf[CRON_CAPTURE_LIMIT], '\0');
        EXPECT_EQ(res.out(), std::string(CRON_CAPTURE_LIMIT, 'x'));
    }
    run_result err;
    run_helper(err, "err 100");
    EXPECT_EQ(err.err(), std::string(100, 'x'));
    EXPECT_EQ(err.r.stdout_len, 0u);
}

TEST(RunnerWin, TimeLimitTerminatesWith3002) {
    cron_run_ctl_t ctl;
    run_result res;
    run_helper(res, "sleep 20000", 1, &ctl);
    ASSERT_EQ(res.rc, 0);
    EXPECT_EQ(res.r.exit_code, -2);
    EXPECT_EQ(res.r.killed, 1);
    EXPECT_EQ(res.r.timed_out, 1);
    EXPECT_EQ(ctl.terminated.load(), 1);
    EXPECT_GE(res.r.duration_ms, 1000);
    EXPECT_LT(res.r.duration_ms, 15000);
    EXPECT_EQ(ctl.proc_active.load(), 0);
    EXPECT_EQ(ctl.proc_handle, CRON_PROC_NONE);
    EXPECT_EQ(ctl.proc_id, 0u);
}

TEST(RunnerWin, ZeroOrNegativeLimitNeverTerminates) {
    for (int32_t limit : {0, -5}) {
        run_result res;
        run_helper(res, "sleep 300", limit);
        ASSERT_EQ(res.rc, 0);
        EXPECT_EQ(res.r.exit_code, 0) << limit;
        EXPECT_EQ(res.r.killed, 0);
    }
}

TEST(RunnerWin, CancelFromAnotherThreadTerminatesTheChild) {
    cron_run_ctl_t ctl;
    EXPECT_EQ(cron_proc_cancel(&ctl), 1);  // no child yet: only the request is kept
    ctl.cancel_requested.store(0);

    run_result res;
    std::thread runner([&] { run_helper(res, "sleep 30000", 0, &ctl); });
    ASSERT_TRUE(wait_until([&] { return ctl.proc_active.load() == 1; }));
    EXPECT_NE(ctl.proc_id, 0u);
    EXPECT_EQ(cron_proc_cancel(&ctl), 0);
    runner.join();
    ASSERT_EQ(res.rc, 0);
    EXPECT_EQ(res.r.exit_code, -3);
    EXPECT_EQ(res.r.killed, 1);
    EXPECT_EQ(res.r.timed_out, 0);
    EXPECT_LT(res.r.duration_ms, 20000);
    EXPECT_EQ(ctl.proc_active.load(), 0);
    EXPECT_EQ(cron_proc_cancel(&ctl), 1);  // the child is gone
}

TEST(RunnerWin, CancelAndExpiredLimitInOneCycleCountAsCancel) {
    cron_run_ctl_t ctl;
    ctl.cancel_requested.store(1);
    run_result res;
    run_helper(res, "sleep 20000", 1, &ctl);
    ASSERT_EQ(res.rc, 0);
    EXPECT_EQ(res.r.exit_code, -3);
    EXPECT_EQ(res.r.killed, 1);
    EXPECT_EQ(res.r.timed_out, 0);
    EXPECT_EQ(ctl.terminated.load(), 1);
}

// Cancelling while runs start and end: the canceller never acts on a handle
// the runner has closed, and the control block ends up clear.
TEST(RunnerWin, CancelRacingTheEndOfShortRuns) {
    for (int i = 0; i < 10; ++i) {
        cron_run_ctl_t ctl;
        run_result res;
        std::atomic<bool> done{false};
        std::thread runner([&] {
            run_cmd(res, "exit /b 7", 0, &ctl);
            done.store(true);
        });
        while (ctl.proc_active.load() == 0 && !done.load()) std::this_thread::yield();
        cron_proc_cancel(&ctl);
        runner.join();
        ASSERT_EQ(res.rc, 0);
        EXPECT_TRUE(res.r.exit_code == 7 || res.r.exit_code == -3) << res.r.exit_code;
        EXPECT_EQ(ctl.proc_active.load(), 0);
        EXPECT_EQ(ctl.proc_handle, CRON_PROC_NONE);
    }
}

TEST(RunnerWin, ExitCodesAndTheirMapping) {
    struct {
        const char* cmd;
        int32_t code;
        int32_t killed;
        int32_t timed_out;
    } cases[] = {
        {"exit /b 3", 3, 0, 0},
        {"exit /b 3002", -2, 1, 1},  // how a time-limit kill is reported
        {"exit /b 3003", -3, 1, 0},  // how a kill by crontab_cancel_job is reported
        {"exit /b -1", -1, 0, 0},    // only the return value tells it from no child
    };
    for (const auto& c : cases) {
        run_result res;
        run_cmd(res, c.cmd);
        ASSERT_EQ(res.rc, 0) << c.cmd;
        EXPECT_EQ(res.r.exit_code, c.code) << c.cmd;
        EXPECT_EQ(res.r.killed, c.killed) << c.cmd;
        EXPECT_EQ(res.r.timed_out, c.timed_out) << c.cmd;
    }
}

TEST(RunnerWin, WorkingDirectory) {
    run_result missing;
    cron_run_ctl_t ctl;
    run_cmd(missing, "echo x", 0, &ctl, "C:\\no\\such\\dir\\here");
    EXPECT_EQ(missing.rc, -1);
    EXPECT_EQ(missing.r.exit_code, -1);
    EXPECT_EQ(missing.r.stdout_buf, nullptr);
    EXPECT_EQ(missing.r.stderr_buf, nullptr);
    EXPECT_EQ(ctl.proc_handle, CRON_PROC_NONE);

    run_result empty;
    run_cmd(empty, "echo x", 0, nullptr, "");
    EXPECT_EQ(empty.rc, 0);
    EXPECT_EQ(empty.out(), "x\r\n");

    run_result here;
    run_cmd(here, "cd", 0, nullptr, bin_dir().c_str());
    ASSERT_EQ(here.rc, 0);
    EXPECT_EQ(here.out(), bin_dir() + "\r\n");
}

TEST(RunnerWin, NullArgumentsFailWithoutTouchingTheResult) {
    cron_proc_result_t r{};
    r.exit_code = 42;
    EXPECT_EQ(cron_proc_run(nullptr, &r, 0, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(r.exit_code, 42);
    EXPECT_EQ(cron_proc_run("echo", nullptr, 0, nullptr, nullptr, nullptr), -1);
    cron_proc_result_free(nullptr);
    cron_proc_result_free(&r);
    cron_proc_result_free(&r);
}

TEST(RunnerWin, JobEnvironmentReachesTheChild) {
    run_result res;
    run_helper(res, "env QC_JOB_VAR", 0, nullptr, "QC_OTHER=1\nQC_JOB_VAR=a b=c\n");
    ASSERT_EQ(res.rc, 0);
    EXPECT_EQ(res.out(), "a b=c");

    // UTF-8 in the job text arrives as the same characters.
    run_result u;
    run_helper(u, "env QC_JOB_VAR", 0, nullptr, "QC_JOB_VAR=caf\xc3\xa9");
    EXPECT_EQ(u.out(), "caf\xc3\xa9");
}

// A command left running in the background keeps the pipes open; the run
// still ends when the interpreter ends.
TEST(RunnerWin, BackgroundChildHoldingThePipesDoesNotDelayTheEnd) {
    std::string pidfile = temp_file("qc_bg");
    run_result res;
    run_helper(res, "spawn " + pidfile + " 8000");
    ASSERT_EQ(res.rc, 0);
    EXPECT_EQ(res.r.exit_code, 0);
    EXPECT_LT(res.r.duration_ms, 6000);
    DWORD pid = read_pid(pidfile);
    ASSERT_NE(pid, 0u);
    // A run that ended by itself leaves its background commands alone.
    EXPECT_TRUE(process_alive(pid));
    HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (h != nullptr) {
        ::TerminateProcess(h, 0);
        ::CloseHandle(h);
    }
    std::remove(pidfile.c_str());
}

TEST(RunnerWin, TerminationEndsWhatTheInterpreterStarted) {
    std::string pidfile = temp_file("qc_tree");
    cron_run_ctl_t ctl;
    run_result res;
    std::thread runner([&] { run_helper(res, "spawn-wait " + pidfile + " 60000", 0, &ctl); });
    ASSERT_TRUE(wait_until([&] { return read_pid(pidfile) != 0; }));
    DWORD pid = read_pid(pidfile);
    EXPECT_TRUE(process_alive(pid));
    EXPECT_EQ(cron_proc_cancel(&ctl), 0);
    runner.join();
    EXPECT_EQ(res.r.exit_code, -3);
    EXPECT_TRUE(wait_until([&] { return !process_alive(pid); }));
    std::remove(pidfile.c_str());
}

TEST(RunnerWin, RunsOnSeveralThreadsKeepTheirOwnOutput) {
    constexpr int kThreads = 4;
    constexpr int kRuns = 5;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kRuns; ++i) {
                std::string want = std::to_string(t) + ":" + std::to_string(i);
                std::string cmd = "echo " + want + "& echo e" + want + " 1>&2& exit /b " +
                                  std::to_string(t);
                run_result r;
                run_cmd(r, cmd.c_str());
                if (r.rc != 0 || r.out() != want + "\r\n" ||
                    r.err().rfind("e" + want, 0) != 0 || r.r.exit_code != t)
                    failures.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(RunnerWin, CancelReachesOnlyItsOwnRun) {
    cron_run_ctl_t a;
    cron_run_ctl_t b;
    run_result ra;
    run_result rb;
    std::thread ta([&] { run_helper(ra, "sleep 30000", 0, &a); });
    std::thread tb([&] { run_cmd(rb, "qc_child sleep 1000& echo done", 0, &b, bin_dir().c_str()); });
    ASSERT_TRUE(wait_until([&] { return a.proc_active.load() == 1 && b.proc_active.load() == 1; }));
    EXPECT_EQ(cron_proc_cancel(&a), 0);
    ta.join();
    tb.join();
    EXPECT_EQ(ra.r.exit_code, -3);
    EXPECT_EQ(rb.r.exit_code, 0);
    EXPECT_EQ(rb.out(), "done\r\n");
}

TEST(RunnerWin, NoHandleLeakOverManyRuns) {
    run_result warm;
    run_cmd(warm, "echo warm");
    DWORD before = 0, after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int i = 0; i < 20; ++i) {
        cron_run_ctl_t ctl;
        run_result res;
        run_cmd(res, "echo x", 0, &ctl, nullptr, "QC_A=1");
        ASSERT_EQ(res.rc, 0);
    }
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_LE(after, before + 2);
}

}  // namespace
