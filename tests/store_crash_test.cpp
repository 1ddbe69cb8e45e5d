// Crash safety of the job store: a host process that keeps changing jobs is
// killed without warning at random moments. After every kill the store must load
// and hold exactly the table of the last change the host saw completed, or
// of the change in flight; never a mix, never empty, and no temporary files
// left to pile up.
#include <gtest/gtest.h>

#ifdef _WIN32
#    include <windows.h>

#    include "win/win_util.h"
#else
#    include <signal.h>
#    include <spawn.h>
#    include <sys/wait.h>
#    include <unistd.h>

extern "C" char** environ;
#endif

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
#include "test_dir.h"

namespace fs = std::filesystem;

namespace {

// The host program with its standard output on a pipe, killed without
// warning: SIGKILL on POSIX, TerminateProcess on the desktop platform.
class crash_host {
public:
#ifdef _WIN32
    crash_host(const std::string& dir, const std::string& seed) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE out_w = nullptr;
        EXPECT_TRUE(::CreatePipe(&out_, &out_w, &sa, 0));
        ::SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out_w;
        si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
        std::string line = "\"" + win_test::bin_dir() + "\\store_crash_host.exe\" \"" + dir + "\" " + seed;
        PROCESS_INFORMATION pi{};
        // Under Wine a start has failed now and then on a loaded machine;
        // a start is not what this test is about, so it gets a few tries.
        DWORD error = 0;
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                                 &pi)) {
                error = 0;
                break;
            }
            error = ::GetLastError();
            std::fprintf(stderr, "the host did not start (error %lu), trying again\n", error);
            ::Sleep(200);
        }
        EXPECT_EQ(error, 0u) << "the host did not start";
        ::CloseHandle(out_w);
        ::CloseHandle(pi.hThread);
        process_ = pi.hProcess;
    }
    ~crash_host() {
        ::CloseHandle(out_);
        ::CloseHandle(process_);
    }
    // The next line without its end; false at the end of the output.
    bool read_line(std::string* line) {
        for (;;) {
            size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                *line = pending_.substr(0, end);
                if (!line->empty() && line->back() == '\r') line->pop_back();
                pending_.erase(0, end + 1);
                return true;
            }
            char buf[256];
            DWORD n = 0;
            if (!::ReadFile(out_, buf, sizeof buf, &n, nullptr) || n == 0) return false;
            pending_.append(buf, n);
        }
    }
    void kill() { ::TerminateProcess(process_, KILLED); }
    long pid() const { return static_cast<long>(::GetProcessId(process_)); }
    // Waits for its end: whether the kill above ended it.
    bool ended_by_kill() {
        ::WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        return ::GetExitCodeProcess(process_, &code) && code == KILLED;
    }

private:
    static constexpr UINT KILLED = 0xDEAD;
    HANDLE out_ = nullptr;
    HANDLE process_ = nullptr;
    std::string pending_;
#else
    crash_host(const std::string& dir, std::string seed) {
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        char* argv[] = {const_cast<char*>(STORE_CRASH_HOST), const_cast<char*>(dir.c_str()), seed.data(),
                        nullptr};
        EXPECT_EQ(posix_spawn(&pid_, STORE_CRASH_HOST, &fa, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        in_ = ::fdopen(out[0], "r");
    }
    ~crash_host() { std::fclose(in_); }
    bool read_line(std::string* line) {
        char buf[64];
        if (std::fgets(buf, sizeof buf, in_) == nullptr) return false;
        *line = buf;
        if (!line->empty() && line->back() == '\n') line->pop_back();
        return true;
    }
    void kill() { ::kill(pid_, SIGKILL); }
    long pid() const { return static_cast<long>(pid_); }
    bool ended_by_kill() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

private:
    pid_t pid_ = -1;
    FILE* in_ = nullptr;
#endif
    crash_host(const crash_host&) = delete;
    crash_host& operator=(const crash_host&) = delete;
};

struct host_run {
    std::vector<std::string> lines;  // "P <digest>" / "A <digest>"
    bool killed = false;             // ended by our kill, not on its own
};

// Starts the host, lets it complete `changes` changes (plus a random few
// microseconds), kills it and collects everything it said.
host_run run_and_kill(const std::string& dir, unsigned seed, int changes, int extra_us) {
    crash_host host(dir, std::to_string(seed));
    host_run run;
    std::string line;
    int acks = 0;
    bool sent = false;
    while (host.read_line(&line)) {
        run.lines.push_back(line);
        if (!line.empty() && line[0] == 'A' && ++acks > changes && !sent) {
            std::this_thread::sleep_for(std::chrono::microseconds(extra_us));
            host.kill();
            sent = true;
        }
    }
    if (!sent) host.kill();  // it left on its own: reported by the caller
    run.killed = host.ended_by_kill() && sent;
    return run;
}

uint64_t digest_of(const std::string& line) { return std::strtoull(line.c_str() + 2, nullptr, 16); }

std::vector<std::string> temporaries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name != "crontab.json" && name != "crontab.json.bak" && name != "crontab.lock")
            names.push_back(name);
    }
    return names;
}

TEST(StoreCrash, KilledHostLeavesTheLastSavedTable) {
    test_dir temp;
    const std::string dir = temp.str();
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
        ASSERT_TRUE(run.killed) << "the host ended on its own";

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
}

TEST(StoreCrash, AnotherProcessOwnsTheDirectoryUntilItEnds) {
    test_dir dir;
    crash_host host(dir.str(), "1");
    std::string line;
    ASSERT_TRUE(host.read_line(&line));  // its first report: it has opened the directory
    EXPECT_EQ(crontab_create(dir.c_str()), nullptr);
    EXPECT_EQ(std::string(crontab_last_error()),
              "data directory " + dir.str() + " is in use by process " + std::to_string(host.pid()));
    // An owner killed without warning leaves no lock behind.
    host.kill();
    ASSERT_TRUE(host.ended_by_kill());
    crontab_t* ct = crontab_create(dir.c_str());
    EXPECT_NE(ct, nullptr);
    crontab_destroy(ct);
}

}  // namespace
