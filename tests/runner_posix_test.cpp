// The command runner on POSIX only: shell text, signals, the child's signal
// masks, descriptors and process group, and leaks of descriptors and children.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "job_cmd.h"
#include "runner_util.h"
#include "test_dir.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

TEST(RunnerPosix, CommandTextReachesTheShellUnchanged) {
    run_result r;
    run_cmd(r, R"(printf '%s|' "a b" 'c"d' $((2+3)) \$HOME)");
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.out(), R"(a b|c"d|5|$HOME|)");
}

TEST(RunnerPosix, SignalDeathIsReportedAsTheShellDoes) {
    struct {
        const char* cmd;
        int code;
    } cases[] = {
        {"kill -9 $$", 137}, {"kill -TERM $$", 143},  // not sent by the library: a plain signal death
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        run_result r;
        run_cmd(r, c.cmd);
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.r.exit_code, c.code);
        EXPECT_EQ(r.r.killed, 0);
    }
}

TEST(RunnerPosix, ChildIgnoringSigtermIsKilledAfterTheGrace) {
    // SIGTERM at the time limit or the cancel has no effect; only the SIGKILL
    // 3 s later ends it. The marker shows the trap is in place before the
    // cancel is sent.
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancel" : "time limit");
        test_dir dir;
        std::string marker = dir.file("trapped");
        run_result r;
        run_terminated(r, "trap '' TERM; touch '" + marker + "'; sleep 30", cancel,
                       [&] { return fs::exists(marker); });
        ASSERT_EQ(r.rc, 0);
        EXPECT_EQ(r.r.exit_code, cancel ? CRONTAB_EXIT_CANCELLED : CRONTAB_EXIT_TIME_LIMIT);
        EXPECT_EQ(r.r.killed, 1);
        EXPECT_GT(r.r.duration_ms, cancel ? 3000 : 4000);
    }
}

TEST(RunnerPosix, ChildStartsClean) {
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
    run_cmd(r, cmd);

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

TEST(RunnerPosix, TerminatedRunTakesItsWholeGroupAlong) {
    // The background process ignores SIGTERM, the interpreter does not: once
    // the interpreter has died of it, the rest of the group gets SIGKILL.
    run_result r;
    run_cmd(r, "(trap '' TERM; exec sleep 60) & echo $!; sleep 60", 1);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.r.exit_code, CRONTAB_EXIT_TIME_LIMIT);
    long pid = std::atol(r.out().c_str());
    ASSERT_NE(pid, 0);
    bool ended = wait_until([&] { return !process_alive(pid); });
    if (!ended) end_process(pid);
    EXPECT_TRUE(ended);
}

TEST(RunnerPosix, NoDescriptorOrChildLeftAfterManyRuns) {
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
