// The command runner on the desktop platform only: cmd.exe's own command
// text, the exit codes that stand for a termination, and handle leaks.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "runner_util.h"
#include "win/win_util.h"

namespace {

using win_test::bin_dir;

TEST(RunnerWin, CommandTextReachesCmd) {
    run_result res;
    run_cmd(res, "echo out& echo err 1>&2");
    ASSERT_EQ(res.rc, 0);
    EXPECT_EQ(res.r.exit_code, 0);
    EXPECT_EQ(res.out(), "out\r\n");
    EXPECT_NE(res.err().find("err"), std::string::npos);
    EXPECT_EQ(res.out().find("err"), std::string::npos);

    run_result here;
    run_cmd(here, "cd", 0, nullptr, bin_dir().c_str());
    ASSERT_EQ(here.rc, 0);
    EXPECT_EQ(here.out(), bin_dir() + "\r\n");
}

TEST(RunnerWin, ExitCodesAndTheirMapping) {
    struct {
        const char* cmd;
        int32_t code;
        int32_t killed;
    } cases[] = {
        {"exit /b 3", 3, 0},
        {"exit /b 3002", CRONTAB_EXIT_TIME_LIMIT, 1},  // how a time-limit kill is reported
        {"exit /b 3003", CRONTAB_EXIT_CANCELLED, 1},   // how a kill by crontab_cancel_job is reported
        {"exit /b -1", -1, 0},                         // only the return value tells it from no child
    };
    for (const auto& c : cases) {
        run_result res;
        run_cmd(res, c.cmd);
        ASSERT_EQ(res.rc, 0) << c.cmd;
        EXPECT_EQ(res.r.exit_code, c.code) << c.cmd;
        EXPECT_EQ(res.r.killed, c.killed) << c.cmd;
    }
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
