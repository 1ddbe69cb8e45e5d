// Crash safety of the job store: a host process that keeps changing jobs is
// killed with SIGKILL at random moments. After every kill the store must load
// and hold exactly the table of the last change the host saw completed, or
// of the change in flight; never a mix, never empty, and no temporary files
// left to pile up.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quilmarn_crontab.h"
#include "store_crash_util.h"

extern "C" char** environ;

namespace fs = std::filesystem;

namespace {

struct host_run {
    std::vector<std::string> lines;  // "P <digest>" / "A <digest>"
    int status = 0;
};

// Starts the host, lets it complete `changes` changes (plus a random few
// microseconds), kills it and collects everything it said.
host_run run_and_kill(const std::string& dir, unsigned seed, int changes, int extra_us) {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::string seed_text = std::to_string(seed);
    char* argv[] = {const_cast<char*>(STORE_CRASH_HOST), const_cast<char*>(dir.c_str()), seed_text.data(), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, STORE_CRASH_HOST, &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);

    host_run run;
    FILE* in = ::fdopen(out[0], "r");
    char line[64];
    int acks = 0;
    bool killed = false;
    while (std::fgets(line, sizeof line, in) != nullptr) {
        run.lines.emplace_back(line, std::strlen(line) > 0 ? std::strlen(line) - 1 : 0);
        if (line[0] == 'A' && ++acks > changes && !killed) {
            std::this_thread::sleep_for(std::chrono::microseconds(extra_us));
            ::kill(pid, SIGKILL);
            killed = true;
        }
    }
    if (!killed) ::kill(pid, SIGKILL);  // it left on its own: reaped below, reported by the caller
    std::fclose(in);
    ::waitpid(pid, &run.status, 0);
    return run;
}

uint64_t digest_of(const std::string& line) { return std::strtoull(line.c_str() + 2, nullptr, 16); }

std::vector<std::string> temporaries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename();
        if (name != "crontab.json" && name != "crontab.json.bak") names.push_back(name);
    }
    return names;
}

TEST(StoreCrash, KilledHostLeavesTheLastSavedTable) {
    char tmpl[] = "/tmp/qc_crash_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const unsigned seed = static_cast<unsigned>(std::time(nullptr));
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    crash_table table;
    uint64_t on_disk = crash_table_digest(table);  // no file yet: the empty table
    size_t max_jobs = 0;
    for (int kill_no = 0; kill_no < 200; ++kill_no) {
        SCOPED_TRACE("kill " + std::to_string(kill_no));
        int changes = std::uniform_int_distribution<int>(0, 12)(rng);
        int extra_us = std::uniform_int_distribution<int>(0, 3000)(rng);
        host_run run = run_and_kill(dir, rng(), changes, extra_us);
        ASSERT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGKILL)
            << "the host ended on its own, status " << run.status;

        uint64_t acked = on_disk;
        uint64_t pending = on_disk;
        for (const std::string& l : run.lines) {
            if (l[0] == 'A') acked = pending = digest_of(l);
            if (l[0] == 'P') pending = digest_of(l);
        }

        ASSERT_TRUE(crash_table_read(dir + "/crontab.json", &table)) << "store unreadable after the kill";
        uint64_t now = crash_table_digest(table);
        ASSERT_TRUE(now == acked || now == pending) << "the store holds a table the host never saved";
        on_disk = now;
        max_jobs = std::max(max_jobs, table.jobs.size());
        // The one left by the host just killed may remain until the next open.
        EXPECT_LE(temporaries(dir).size(), 1u);
    }
    EXPECT_GE(max_jobs, 8u);

    // A clean open and close: the library loads the same table and leaves no
    // temporary file behind.
    crontab_t* ct = crontab_create(dir.c_str());
    ASSERT_NE(ct, nullptr);
    crontab_destroy(ct);
    ASSERT_TRUE(crash_table_read(dir + "/crontab.json", &table));
    EXPECT_EQ(crash_table_digest(table), on_disk);
    EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
    fs::remove_all(dir);
}

}  // namespace
