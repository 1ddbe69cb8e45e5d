// The command runner: capture, exit codes, time limits, the child's setting,
// and what a run leaves behind.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "runner_util.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Process state letter from /proc/<pid>/stat, or 0 when the process is gone.
char proc_state(const std::string& pid) {
    std::string stat = read_file("/proc/" + pid + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

bool gone_or_zombie(const std::string& pid) {
    char s = proc_state(pid);
    return s == 0 || s == 'Z';
}

void kill_pid(const std::string& pid) {
    run_result r;
    run_cmd(r, ("kill -9 " + pid).c_str());
}

size_t open_fds() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Processes, live or zombie, whose parent is this process.
int child_count() {
    std::string self = fs::read_symlink("/proc/self").string();
    int n = 0;
    for (auto& e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = read_file(e.path().string() + "/stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos) continue;
        // ") S ppid ..."
        size_t start = paren + 4;
        if (start < stat.size() && stat.substr(start, stat.find(' ', start) - start) == self) ++n;
    }
    return n;
}

TEST(Runner, CapturesBothStreamsApart) {
    run_result r;
    run_cmd(r, "printf out1; printf err1 >&2; printf out2");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.out(), "out1out2");
    EXPECT_EQ(r.err(), "err1");
    EXPECT_EQ(r.r.exit_code, 0);
    EXPECT_EQ(r.r.killed, 0);
    EXPECT_EQ(r.r.timed_out, 0);
    EXPECT_EQ(r.r.stdout_buf[r.r.stdout_len], '\0');
    EXPECT_EQ(r.r.stderr_buf[r.r.stderr_len], '\0');
}

TEST(Runner, EmptyOutputGivesPresentEmptyBuffers) {
    run_result r;
    run_cmd(r, "true");
    ASSERT_EQ(r.rc, 0);
    ASSERT_NE(r.r.stdout_buf, nullptr);
    ASSERT_NE(r.r.stderr_buf, nullptr);
    EXPECT_EQ(r.r.stdout_len, 0u);
    EXPECT_EQ(r.r.stderr_len, 0u);
    EXPECT_STREQ(r.r.stdout_buf, "");
    EXPECT_STREQ(r.r.stderr_buf, "");
}

TEST(Runner, KeepsTheFirstBytesOfLongOutputAndLetsTheChildFinish) {
    // seq 1 30000 writes 168,894 bytes; the marker on the other stream shows
    // the child was not stalled by the dropped rest.
    std::string all;
    for (int i = 1; i <= 30000; ++i) all += std::to_string(i) + "\n";
    struct {
        const char* cmd;
        size_t out_len;
        size_t err_len;
    } cases[] = {
        {"head -c 70000 /dev/zero; echo done >&2", CRON_CAPTURE_LIMIT, 5},
        {"head -c 65536 /dev/zero; echo done >&2", CRON_CAPTURE_LIMIT, 5},
        {"head -c 65535 /dev/zero; echo done >&2", 65535, 5},
        {"head -c 300000 /dev/zero >&2; echo done", 5, CRON_CAPTURE_LIMIT},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        run_result r;
        run_cmd(r, c.cmd);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.r.exit_code, 0);
        EXPECT_EQ(r.r.stdout_len, c.out_len);
        EXPECT_EQ(r.r.stderr_len, c.err_len);
        EXPECT_EQ(r.r.stdout_buf[r.r.stdout_len], '\0');
        EXPECT_EQ(r.r.stderr_buf[r.r.stderr_len], '\0');
    }
    run_result r;
    run_cmd(r, "seq 1 30000");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.out(), all.substr(0, CRON_CAPTURE_LIMIT));
}

TEST(Runner, ExitStatusAndSignalDeath) {
    struct {
        const char* cmd;
        int code;
    } cases[] = {
        {"exit 3", 3},
        {"exit 255", 255},
        {"kill -9 $$", 137},
        {"kill -TERM $$", 143},  // not sent by the library: a plain signal death
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        run_result r;
        run_cmd(r, c.cmd);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.r.exit_code, c.code);
        EXPECT_EQ(r.r.killed, 0);
        EXPECT_EQ(r.r.timed_out, 0);
    }
}

TEST(Runner, CommandTextReachesTheShellUnchanged) {
    run_result r;
    run_cmd(r, R"(printf '%s|' "a b" 'c"d' $((2+3)) \$HOME)");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.out(), R"(a b|c"d|5|$HOME|)");
}

TEST(Runner, NullArgumentsFailWithoutTouchingTheResult) {
    cron_proc_result_t r{};
    r.exit_code = 42;
    EXPECT_EQ(cron_proc_run(nullptr, &r, 0, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(r.exit_code, 42);
    EXPECT_EQ(cron_proc_run("true", nullptr, 0, nullptr, nullptr, nullptr), -1);
    cron_proc_result_free(nullptr);
}

TEST(Runner, ResultFreeTwiceIsHarmless) {
    run_result r;
    run_cmd(r, "echo x");
    cron_proc_result_free(&r.r);
    EXPECT_EQ(r.r.stdout_buf, nullptr);
    EXPECT_EQ(r.r.stderr_buf, nullptr);
    EXPECT_EQ(r.r.stdout_len, 2u);  // lengths keep their values
    cron_proc_result_free(&r.r);
}

TEST(Runner, TimeLimitTerminatesTheChild) {
    cron_run_ctl_t ctl;
    run_result r;
    run_cmd(r, "echo started; sleep 30", 1, &ctl);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, -2);
    EXPECT_EQ(r.r.killed, 1);
    EXPECT_EQ(r.r.timed_out, 1);
    EXPECT_GE(r.r.duration_ms, 1000);
    EXPECT_EQ(r.out(), "started\n");  // output before the end is kept
    EXPECT_EQ(ctl.terminated.load(), 1);
    EXPECT_EQ(ctl.proc_active.load(), 0);
    EXPECT_EQ(ctl.proc_id, 0u);
    EXPECT_EQ(ctl.proc_handle, CRON_PROC_NONE);
}

TEST(Runner, ChildIgnoringSigtermDiesAtTheSecondTermination) {
    run_result r;
    run_cmd(r, "trap '' TERM; sleep 30", 1);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, -2);
    EXPECT_EQ(r.r.killed, 1);
    EXPECT_EQ(r.r.timed_out, 1);
    // SIGTERM at 1 s had no effect; only the SIGKILL 3 s later ended it.
    EXPECT_GT(r.r.duration_ms, 4000);
}

TEST(Runner, ZeroOrNegativeLimitMeansNone) {
    for (int32_t limit : {0, -1, -5}) {
        SCOPED_TRACE(limit);
        run_result r;
        run_cmd(r, "sleep 0.3; echo done", limit);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.r.exit_code, 0);
        EXPECT_EQ(r.r.killed, 0);
        EXPECT_EQ(r.out(), "done\n");
    }
}

TEST(Runner, WorkingDirectory) {
    fs::path dir = fs::temp_directory_path() / ("qc_runner_wd_" + fs::read_symlink("/proc/self").string());
    fs::create_directories(dir);
    {
        run_result r;
        run_cmd(r, "pwd -P", 0, nullptr, dir.c_str());
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.out(), fs::canonical(dir).string() + "\n");
    }
    for (const char* wd : {"", static_cast<const char*>(nullptr)}) {
        run_result r;
        run_cmd(r, "pwd -P", 0, nullptr, wd);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.out(), fs::canonical(fs::current_path()).string() + "\n");
    }
    fs::remove_all(dir);
}

TEST(Runner, MissingWorkingDirectoryFailsTheStart) {
    cron_run_ctl_t ctl;
    cron_proc_result_t r{};
    r.exit_code = 42;
    r.duration_ms = 7;
    EXPECT_EQ(cron_proc_run("echo hi", &r, 0, &ctl, "/nonexistent/qc/dir", nullptr), -1);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_EQ(r.duration_ms, 0);
    EXPECT_EQ(r.stdout_buf, nullptr);
    EXPECT_EQ(r.stderr_buf, nullptr);
    EXPECT_EQ(r.stdout_len, 0u);
    EXPECT_EQ(ctl.proc_active.load(), 0);
    EXPECT_EQ(ctl.proc_id, 0u);
    EXPECT_EQ(ctl.terminated.load(), 0);
}

TEST(Runner, ChildEnvironment) {
    ::setenv("QC_RUNNER_INHERITED", "host", 1);
    {
        run_result r;
        run_cmd(r, R"(printf '%s|%s|%s' "$QC_RUNNER_INHERITED" "$QC_A" "$QC_B")", 0, nullptr, nullptr,
                "QC_A=one\nQC_RUNNER_INHERITED=job\nQC_B=x=y\n");
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.out(), "job|one|x=y");
    }
    for (const char* env : {static_cast<const char*>(nullptr), "", "no equals sign"}) {
        run_result r;
        run_cmd(r, R"(printf '%s' "$QC_RUNNER_INHERITED")", 0, nullptr, nullptr, env);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.out(), "host");
    }
    ::unsetenv("QC_RUNNER_INHERITED");
}

TEST(Runner, ChildStartsClean) {
    // The host's input, descriptors, blocked signals, ignored signals and
    // process group must not reach the job.
    FILE* held = std::fopen("/dev/null", "r");  // inheritable: no close-on-exec
    ASSERT_NE(held, nullptr);
    std::string fd = std::to_string(fileno(held));
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &usr1, &old);
    auto old_int = std::signal(SIGINT, SIG_IGN);

    run_result r;
    // The masks are read by the job's own process after exec: the shell
    // itself blocks signals for moments while it forks and waits.
    std::string cmd = "readlink /proc/$$/fd/0; ls /proc/$$/fd/" + fd +
                      " 2>/dev/null || echo closed; set -- $(cat /proc/$$/stat);"
                      " [ \"$5\" = $$ ] && echo leader; exec grep -E '^Sig(Blk|Ign)' /proc/self/status";
    run_cmd(r, cmd.c_str());

    std::signal(SIGINT, old_int);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    std::fclose(held);
    ASSERT_EQ(r.rc, 0);
    std::string out = r.out();
    // The C library's posix_spawn leaves its two internal signals (32 and 33,
    // below SIGRTMIN) ignored; no program can use them.
    size_t ign = out.find("SigIgn:\t");
    ASSERT_NE(ign, std::string::npos) << out;
    unsigned long long ignored = std::stoull(out.substr(ign + 8, 16), nullptr, 16);
    EXPECT_EQ(ignored & ~0x180000000ull, 0u) << out;
    out.erase(ign, 8 + 16 + 1);
    EXPECT_EQ(out, "/dev/null\nclosed\nleader\nSigBlk:\t0000000000000000\n");
}

TEST(Runner, BackgroundChildHoldingThePipeDoesNotDelayTheReturn) {
    // The background sleep keeps the output pipe open for 60 s; a run that
    // ends by itself leaves it alone.
    run_result r;
    run_cmd(r, "sleep 60 & echo $!");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, 0);
    std::string pid = r.out().substr(0, r.out().find('\n'));
    ASSERT_FALSE(pid.empty());
    EXPECT_LT(r.r.duration_ms, 30000);
    EXPECT_FALSE(gone_or_zombie(pid));
    kill_pid(pid);
}

TEST(Runner, TerminatedRunTakesItsWholeGroupAlong) {
    // The background process ignores SIGTERM, the interpreter does not: once
    // the interpreter has died of it, the rest of the group gets SIGKILL.
    run_result r;
    run_cmd(r, "(trap '' TERM; exec sleep 60) & echo $!; sleep 60", 1);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, -2);
    std::string pid = r.out().substr(0, r.out().find('\n'));
    ASSERT_FALSE(pid.empty());
    bool ended = wait_until([&] { return gone_or_zombie(pid); });
    if (!ended) kill_pid(pid);
    EXPECT_TRUE(ended);
}

TEST(Runner, NoDescriptorOrChildLeftAfterManyRuns) {
    {
        run_result warm;  // first-use allocations of the C library
        run_cmd(warm, "true");
    }
    size_t fds = open_fds();
    const char* cmds[] = {"true", "echo out; echo err >&2", "exit 7", "kill -9 $$"};
    for (int i = 0; i < 500; ++i) {
        run_result r;
        run_cmd(r, cmds[i % 4]);
        ASSERT_EQ(r.rc, 0) << "run " << i;
    }
    {
        run_result r;  // a failed start must not leak either
        run_cmd(r, "true", 0, nullptr, "/nonexistent/qc/dir");
        EXPECT_EQ(r.rc, -1);
    }
    EXPECT_EQ(open_fds(), fds);
    EXPECT_EQ(child_count(), 0);
}

}  // namespace
