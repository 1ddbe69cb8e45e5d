// The command runner on every platform: capture, exit codes, time limits, the
// child's working directory and environment, and what a run leaves behind.
// What only one platform has is in runner_posix_test.cpp / runner_win_test.cpp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "job_cmd.h"
#include "runner_util.h"
#include "test_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(Runner, CapturesBothStreamsApart) {
    run_result r;
    run_cmd(r, job_cmd().raw("out1").raw("err1", true).raw("out2"));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.out(), "out1out2");
    EXPECT_EQ(r.err(), "err1");
    EXPECT_EQ(r.r.exit_code, 0);
    EXPECT_EQ(r.r.killed, 0);
    EXPECT_GE(r.r.duration_ms, 0);
    EXPECT_EQ(r.r.stdout_buf[r.r.stdout_len], '\0');
    EXPECT_EQ(r.r.stderr_buf[r.r.stderr_len], '\0');
}

TEST(Runner, EmptyOutputGivesPresentEmptyBuffers) {
    run_result r;
    run_cmd(r, job_cmd().exit_with(0));
    ASSERT_EQ(r.rc, 0);
    ASSERT_NE(r.r.stdout_buf, nullptr);
    ASSERT_NE(r.r.stderr_buf, nullptr);
    EXPECT_EQ(r.r.stdout_len, 0u);
    EXPECT_EQ(r.r.stderr_len, 0u);
    EXPECT_STREQ(r.r.stdout_buf, "");
    EXPECT_STREQ(r.r.stderr_buf, "");
}

TEST(Runner, KeepsTheFirstBytesOfLongOutputAndLetsTheChildFinish) {
    // The marker on the other stream shows the child was not stalled by the
    // dropped rest.
    auto a = [](size_t n) { return std::string(n, 'a'); };
    struct {
        std::string cmd;
        std::string out;
        std::string err;
    } cases[] = {
        {job_cmd().output(70000).print_err("done"), a(CRON_CAPTURE_LIMIT), "done\n"},
        {job_cmd().output(65536).print_err("done"), a(CRON_CAPTURE_LIMIT), "done\n"},
        {job_cmd().output(65535).print_err("done"), a(65535), "done\n"},
        {job_cmd().output(3000000).print_err("done"), a(CRON_CAPTURE_LIMIT), "done\n"},
        {job_cmd().output(300000, true).print("done"), "done\n", a(CRON_CAPTURE_LIMIT)},
        {job_cmd().output(100, true), "", a(100)},
        {job_cmd().print("first").output(70000), "first\n" + a(CRON_CAPTURE_LIMIT - 6), ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        run_result r;
        run_cmd(r, c.cmd);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.r.exit_code, 0);
        EXPECT_EQ(r.r.stdout_len, c.out.size());
        EXPECT_EQ(r.r.stderr_len, c.err.size());
        EXPECT_TRUE(r.out() == c.out && r.err() == c.err);
        EXPECT_EQ(r.r.stdout_buf[r.r.stdout_len], '\0');
        EXPECT_EQ(r.r.stderr_buf[r.r.stderr_len], '\0');
    }
}

TEST(Runner, ExitStatus) {
    for (int code : {3, 255}) {
        run_result r;
        run_cmd(r, job_cmd().exit_with(code));
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.r.exit_code, code);
        EXPECT_EQ(r.r.killed, 0);
    }
}

TEST(Runner, NullArgumentsFailWithoutTouchingTheResult) {
    cron_proc_result_t r{};
    r.exit_code = 42;
    EXPECT_EQ(cron_proc_run(nullptr, &r, 0, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(r.exit_code, 42);
    std::string cmd = job_cmd().exit_with(0);
    EXPECT_EQ(cron_proc_run(cmd.c_str(), nullptr, 0, nullptr, nullptr, nullptr), -1);
    cron_proc_result_free(nullptr);
    cron_proc_result_free(&r);
    cron_proc_result_free(&r);
}

TEST(Runner, ResultFreeTwiceIsHarmless) {
    run_result r;
    run_cmd(r, job_cmd().print("x"));
    cron_proc_result_free(&r.r);
    EXPECT_EQ(r.r.stdout_buf, nullptr);
    EXPECT_EQ(r.r.stderr_buf, nullptr);
    EXPECT_EQ(r.r.stdout_len, 2u);  // lengths keep their values
    cron_proc_result_free(&r.r);
}

TEST(Runner, TimeLimitTerminatesTheChild) {
    cron_run_ctl_t ctl;
    run_result r;
    run_cmd(r, job_cmd().print("started").sleep_ms(30000), 1, &ctl);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, CRONTAB_EXIT_TIME_LIMIT);
    EXPECT_EQ(r.r.killed, 1);
    EXPECT_GE(r.r.duration_ms, 1000);
    EXPECT_LT(r.r.duration_ms, 15000);
    EXPECT_EQ(r.out(), "started\n");  // output before the end is kept
    expect_cleared(ctl);
}

TEST(Runner, ZeroOrNegativeLimitMeansNone) {
    for (int32_t limit : {0, -1, -5}) {
        SCOPED_TRACE(limit);
        run_result r;
        run_cmd(r, job_cmd().sleep_ms(300).print("done"), limit);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.r.exit_code, 0);
        EXPECT_EQ(r.r.killed, 0);
        EXPECT_EQ(r.out(), "done\n");
    }
}

TEST(Runner, WorkingDirectory) {
    // The child creates a file by a relative name: it lands in its directory.
    test_dir dir;
    {
        run_result r;
        run_cmd(r, job_cmd().touch("here"), 0, nullptr, dir.c_str());
        ASSERT_EQ(r.rc, 0);
        EXPECT_TRUE(fs::exists(dir.file("here")));
    }
    // Without one it is the host's.
    test_dir cwd;
    fs::path old = fs::current_path();
    fs::current_path(cwd.file(""));
    for (const char* wd : {"", static_cast<const char*>(nullptr)}) {
        fs::remove(cwd.file("here"));
        run_result r;
        run_cmd(r, job_cmd().touch("here"), 0, nullptr, wd);
        EXPECT_EQ(r.rc, 0);
        EXPECT_TRUE(fs::exists(cwd.file("here")));
    }
    fs::current_path(old);
}

TEST(Runner, MissingWorkingDirectoryFailsTheStart) {
    test_dir dir;
    cron_run_ctl_t ctl;
    cron_proc_result_t r{};
    r.exit_code = 42;
    r.duration_ms = 7;
    std::string cmd = job_cmd().print("hi");
    EXPECT_EQ(cron_proc_run(cmd.c_str(), &r, 0, &ctl, dir.file("missing").c_str(), nullptr), -1);
    EXPECT_EQ(r.exit_code, CRONTAB_EXIT_NOT_STARTED);
    EXPECT_EQ(r.duration_ms, 0);
    EXPECT_EQ(r.stdout_buf, nullptr);
    EXPECT_EQ(r.stderr_buf, nullptr);
    EXPECT_EQ(r.stdout_len, 0u);
    expect_cleared(ctl);
}

TEST(Runner, ChildEnvironment) {
    ::setenv("QC_RUNNER_INHERITED", "host", 1);
    {
        run_result r;
        run_cmd(r, job_cmd().env("QC_RUNNER_INHERITED").raw("|").env("QC_A").raw("|").env("QC_B"), 0, nullptr,
                nullptr, "QC_A=one\nQC_RUNNER_INHERITED=job\nQC_B=a b=c\n");
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.out(), "job|one|a b=c");
    }
    {
        // UTF-8 in the job's text arrives as the same characters.
        run_result r;
        run_cmd(r, job_cmd().env("QC_A"), 0, nullptr, nullptr, "QC_A=caf\xc3\xa9");
        EXPECT_EQ(r.out(), "caf\xc3\xa9");
    }
    for (const char* env : {static_cast<const char*>(nullptr), "", "no equals sign"}) {
        run_result r;
        run_cmd(r, job_cmd().env("QC_RUNNER_INHERITED"), 0, nullptr, nullptr, env);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.out(), "host");
    }
    ::unsetenv("QC_RUNNER_INHERITED");
}

TEST(Runner, BackgroundChildHoldingThePipesDoesNotDelayTheReturn) {
    // The background child keeps the output pipes open for 60 s; a run that
    // ends by itself leaves it alone.
    test_dir dir;
    run_result r;
    run_cmd(r, job_cmd().spawn(dir.file("bg"), 60000));
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, 0);
    EXPECT_LT(r.r.duration_ms, 6000);
    long pid = read_pid(dir.file("bg"));
    ASSERT_NE(pid, 0);
    EXPECT_TRUE(process_alive(pid));
    end_process(pid);
}

}  // namespace
