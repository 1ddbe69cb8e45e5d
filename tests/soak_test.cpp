// Soak: 128 jobs firing every second and every minute with commands that are
// quick, slow, failing, time-limited and noisy, under every overlap policy
// and with retries, while host threads keep changing, running, cancelling
// and reading. Afterwards everything must be back where it began: no run
// counted, no process, descriptor or thread left, and a store that loads
// into the same table.
//
// Runs for 180 s; `soak_test --seconds=N` or QC_SOAK_SECONDS=N for longer.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "quilmarn_crontab.h"
#include "sched/cron_job.h"
#include "job_definitions.h"
#include "sched/cron_store.h"
#include "test_dir.h"
#include "time_util.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

int soak_seconds = 180;

int count_entries(const char* dir) {
    int n = 0;
    for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++n;
    return n;
}
int open_fds() { return count_entries("/proc/self/fd"); }
int threads() { return count_entries("/proc/self/task"); }

// Children of this process that still run; zombies (grandchildren that died
// after their parent and came to us as subreaper) are not counted.
int live_children() {
    int n = 0;
    const std::string me = std::to_string(::getpid());
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::ifstream st(e.path() / "stat");
        std::string line;
        if (!std::getline(st, line)) continue;
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
        if (std::to_string(ppid) == me && state != 'Z') ++n;
    }
    return n;
}

long peak_rss_kb() {
    std::ifstream st("/proc/self/status");
    std::string line;
    while (std::getline(st, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

template <class Pred>
bool wait_until(Pred pred, std::chrono::seconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The kinds of job: each appends one byte to the run counter file first.
struct kind {
    const char* name;
    const char* cmd;
    int timeout, retries, backoff;
};
const kind kinds[] = {
    {"quick", "echo ok", 0, 0, 0},
    {"slow", "sleep 1.5; echo done", 0, 0, 0},
    {"failing", "echo failed >&2; exit 3", 0, 2, 1},
    // Short enough to end by itself once an update has dropped its limit.
    {"limited", "sleep 4", 1, 1, 0},
    {"noisy", "yes noisy | head -c 200000; seq 1 4000 >&2", 0, 0, 0},
    {"not utf-8", "printf '\\377\\376 ok \\300'", 0, 0, 0},
};
constexpr int kind_count = sizeof kinds / sizeof kinds[0];

struct soak {
    crontab_t* ct = nullptr;
    std::string counter;
    std::mutex ids_mu;
    std::vector<int> ids;
    std::mutex report_mu;  // one report text per instance: readers take turns
    std::atomic<long> ops[10] = {};
    std::atomic<long> reports{0};

    int add(std::mt19937& rng) {
        const kind& k = kinds[rng() % kind_count];
        const char* expr = rng() % 2 ? "@every 1s" : "* * * * *";
        std::string cmd = "printf . >>'" + counter + "'; " + k.cmd;
        int id = crontab_add_job(ct, k.name, expr, cmd.c_str(), 1);
        if (id < 0) return id;
        crontab_set_job_timeout(ct, id, k.timeout);
        crontab_set_job_retry(ct, id, k.retries, k.backoff);
        crontab_set_job_overlap_policy(ct, id, static_cast<int>(rng() % 3));
        std::lock_guard<std::mutex> lk(ids_mu);
        ids.push_back(id);
        return id;
    }

    int any_id(std::mt19937& rng) {
        std::lock_guard<std::mutex> lk(ids_mu);
        if (ids.empty() || rng() % 50 == 0) return static_cast<int>(rng() % 1000) - 10;  // sometimes no job
        return ids[rng() % ids.size()];
    }

    void check_reports(int id, int limit) {
        std::lock_guard<std::mutex> lk(report_mu);
        rapidjson::Document d;
        d.Parse<rapidjson::kParseValidateEncodingFlag>(crontab_get_jobs_json(ct));
        ASSERT_FALSE(d.HasParseError());
        ASSERT_TRUE(d.IsArray());
        ASSERT_LE(d.Size(), 128u);
        d.Parse<rapidjson::kParseValidateEncodingFlag>(crontab_get_job_logs_json(ct, id, limit));
        ASSERT_FALSE(d.HasParseError());
        ASSERT_TRUE(d.IsArray());
        ASSERT_LE(d.Size(), 20u);
        reports += 2;
    }

    void host(unsigned seed, std::chrono::steady_clock::time_point end) {
        std::mt19937 rng(seed);
        while (std::chrono::steady_clock::now() < end && !::testing::Test::HasFatalFailure()) {
            int op = static_cast<int>(rng() % 10);
            int id = any_id(rng);
            int rc = 0;
            switch (op) {
                case 0: {  // replace a job: the table stays near full
                    if (crontab_delete_job(ct, id) == 0) {
                        std::lock_guard<std::mutex> lk(ids_mu);
                        std::erase(ids, id);
                    }
                    rc = add(rng) > 0 ? 0 : -1;
                    break;
                }
                case 1:
                case 2: {  // enable or disable, with a new command of some kind
                    const kind& k = kinds[rng() % kind_count];
                    std::string cmd = "printf . >>'" + counter + "'; " + k.cmd;
                    rc = crontab_update_job(ct, id, k.name, rng() % 2 ? "@every 1s" : "* * * * *",
                                            cmd.c_str(), op == 1);
                    break;
                }
                case 3: rc = crontab_run_now(ct, id); break;
                case 4:
                    rc = crontab_cancel_job(ct, id);
                    EXPECT_TRUE(rc == 0 || rc == 1 || rc == -1) << rc;
                    rc = 0;
                    break;
                case 5: rc = crontab_set_job_overlap_policy(ct, id, static_cast<int>(rng() % 3)); break;
                case 6:
                    rc = crontab_set_job_retry(ct, id, static_cast<int>(rng() % 3),
                                               static_cast<int>(rng() % 2));
                    break;
                case 7:
                    rc = crontab_set_job_paths(ct, id, rng() % 2 ? "/tmp" : nullptr,
                                               rng() % 2 ? "SOAK=1\nX=y" : "");
                    break;
                default: check_reports(id, static_cast<int>(rng() % 25) - 2); break;
            }
            EXPECT_TRUE(rc == 0 || rc == -1) << "op " << op << " gave " << rc;
            ++ops[op];
        }
    }
};

int active_runs(crontab_t* ct) {
    std::lock_guard<std::mutex> lk(ct->shared->lock);
    return ct->active_runs;
}

std::string definitions(crontab_t* ct) {
    rapidjson::Document d;
    d.Parse(crontab_get_jobs_json(ct));
    return job_definitions(d);
}

TEST(Soak, ManyJobsUnderLoad) {
    set_tz("Europe/Berlin");
    // Grandchildren orphaned by a killed shell come to us, so none escapes
    // the count of leftover processes.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    test_dir dir;
    // Sanitizer runtimes start a helper thread with the first thread.
    std::thread([] {}).join();
    const int fds_before = open_fds();
    const int threads_before = threads();

    soak s;
    s.counter = dir.file("runs");
    s.ct = crontab_create(dir.c_str());
    ASSERT_NE(s.ct, nullptr);
    std::mt19937 rng(12345);
    for (int i = 0; i < CRON_MAX_JOBS; ++i) ASSERT_GT(s.add(rng), 0);
    ASSERT_EQ(crontab_start(s.ct), 0);

    const auto t0 = std::chrono::steady_clock::now();
    const auto end = t0 + std::chrono::seconds(soak_seconds);
    std::vector<std::thread> hosts;
    for (unsigned h = 0; h < 4; ++h) hosts.emplace_back([&, h] { s.host(1000 + h, end); });
    int peak_active = 0;
    while (std::chrono::steady_clock::now() < end && !HasFatalFailure()) {
        peak_active = std::max(peak_active, active_runs(s.ct));
        EXPECT_LE(active_runs(s.ct), CRON_MAX_ACTIVE);
        std::this_thread::sleep_for(100ms);
    }
    for (std::thread& t : hosts) t.join();
    auto phase = [&](const char* what) {
        std::fprintf(stderr, "%s at %.1f s\n", what,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    };
    phase("hosts joined");
    ASSERT_EQ(crontab_stop(s.ct), 0);
    phase("stopped");

    // Every run started by the scheduler or by hand comes to its end.
    EXPECT_TRUE(wait_until([&] { return active_runs(s.ct) == 0; }, 120s)) << active_runs(s.ct);
    {
        std::lock_guard<std::mutex> lk(s.ct->shared->lock);
        for (const cron_job_t& j : s.ct->jobs) EXPECT_EQ(j.running_count, 0) << j.id;
        std::string table;
        ASSERT_TRUE(cron_store_format(s.ct, &table));
        EXPECT_EQ(read_file(dir.store()), table);
    }
    s.check_reports(s.any_id(rng), 20);
    const std::string defs = definitions(s.ct);
    phase("runs ended");
    crontab_destroy(s.ct);
    phase("destroyed");

    EXPECT_TRUE(wait_until([&] { return threads() == threads_before; }, 30s)) << threads() << " threads";
    EXPECT_EQ(open_fds(), fds_before);
    EXPECT_TRUE(wait_until([] { return live_children() == 0; }, 30s)) << live_children() << " processes";
    int zombies = 0;
    while (::waitpid(-1, nullptr, WNOHANG) > 0) ++zombies;

    // The store loads into the table it was written from.
    crontab_t* again = crontab_create(dir.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(definitions(again), defs);
    crontab_destroy(again);

    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long total = 0;
    for (auto& o : s.ops) total += o;
    std::printf(
        "soak: %.0f s, %ld child runs, %ld host calls (replace %ld, enable/disable %ld, run-now %ld, "
        "cancel %ld, settings %ld, report pairs %ld), %ld report texts, peak active runs %d, "
        "orphans reaped %d, peak RSS %ld KB, fds %d, threads %d\n",
        secs, static_cast<long>(fs::exists(s.counter) ? fs::file_size(s.counter) : 0), total, s.ops[0].load(),
        s.ops[1] + s.ops[2], s.ops[3].load(), s.ops[4].load(), s.ops[5] + s.ops[6] + s.ops[7],
        s.ops[8] + s.ops[9], s.reports.load(), peak_active, zombies, peak_rss_kb(), fds_before,
        threads_before);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (const char* env = std::getenv("QC_SOAK_SECONDS")) soak_seconds = std::atoi(env);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0) soak_seconds = std::atoi(argv[i] + 10);
    }
    if (soak_seconds < 1) soak_seconds = 1;
    return RUN_ALL_TESTS();
}
