// Dispatch latency of a started instance: 64 jobs on "@every 1s" for 30 s.
// Each child prints its own start time (date +%s%N, as cheap as `true`); the
// latency of a run is that time minus the start of its due second.
//
// For scale on a shared machine, a second phase starts the same children
// straight through the command runner, one thread each, at the start of each
// second: what is left over in the first phase is the scheduler's share
// (including the limit of 32 active runs, which the second phase lacks).
//
// Optional arguments: number of jobs (64), seconds of each phase (30).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "proc/cron_proc.h"
#include "quilmarn_crontab.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
constexpr const char* kCommand = "date +%s%N";

int64_t now_sec() { return duration_cast<seconds>(system_clock::now().time_since_epoch()).count(); }

// Child start (ns) keyed by job and due second, read before the 20-record
// rings overwrite them.
void collect(crontab_t* ct, const std::vector<int>& ids, std::map<std::pair<int, int64_t>, int64_t>* seen) {
    for (int id : ids) {
        rapidjson::Document d;
        d.Parse(crontab_get_job_logs_json(ct, id, 20));
        if (!d.IsArray()) continue;
        for (const auto& r : d.GetArray()) {
            if (r["exit_code"].GetInt() != 0) continue;
            int64_t child_ns = std::strtoll(r["stdout"].GetString(), nullptr, 10);
            (*seen)[{id, r["started_at"].GetInt64()}] = child_ns;
        }
    }
}

void print(const char* what, std::vector<double> ms, size_t expected) {
    if (ms.empty()) {
        std::printf("  %-22s no runs\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    auto pct = [&](double p) { return ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))]; };
    std::printf("  %-22s p50 %7.1f ms   p99 %7.1f ms   max %7.1f ms   (%zu of %zu runs)\n", what, pct(0.50),
                pct(0.99), ms.back(), ms.size(), expected);
}

std::vector<double> scheduled(int jobs, int secs) {
    fs::path dir = fs::temp_directory_path() / ("qc-dispatch-" + std::to_string(std::random_device{}()));
    crontab_t* ct = crontab_create(dir.c_str());
    if (ct == nullptr) return {};
    std::vector<int> ids;
    for (int i = 0; i < jobs; ++i) {
        ids.push_back(crontab_add_job(ct, ("j" + std::to_string(i)).c_str(), "@every 1s", kCommand, 1));
    }
    std::map<std::pair<int, int64_t>, int64_t> seen;
    crontab_start(ct);
    const int64_t begin = now_sec();
    while (now_sec() < begin + secs) {
        std::this_thread::sleep_for(2s);
        collect(ct, ids, &seen);
    }
    crontab_stop(ct);
    collect(ct, ids, &seen);
    crontab_destroy(ct);
    fs::remove_all(dir);
    // Only whole seconds inside the window count; started_at is the second
    // in which the run was admitted.
    std::vector<double> ms;
    for (const auto& [key, child_ns] : seen) {
        const int64_t due = key.second;
        if (due > begin && due < begin + secs)
            ms.push_back(static_cast<double>(child_ns - due * 1000000000) / 1e6);
    }
    return ms;
}

std::vector<double> direct(int jobs, int secs) {
    std::vector<double> ms;
    std::mutex mu;
    for (int s = 0; s < secs; ++s) {
        const auto due = ceil<seconds>(system_clock::now());
        std::this_thread::sleep_until(due);
        const int64_t due_ns = duration_cast<nanoseconds>(due.time_since_epoch()).count();
        std::vector<std::thread> threads;
        for (int i = 0; i < jobs; ++i) {
            threads.emplace_back([&] {
                cron_proc_result_t r{};
                if (cron_proc_run(kCommand, &r, 0, nullptr, nullptr, nullptr) != 0) return;
                const int64_t child_ns = std::strtoll(r.stdout_buf, nullptr, 10);
                cron_proc_result_free(&r);
                std::lock_guard<std::mutex> lk(mu);
                ms.push_back(static_cast<double>(child_ns - due_ns) / 1e6);
            });
        }
        for (auto& t : threads) t.join();
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const int jobs = argc > 1 ? std::atoi(argv[1]) : 64;
    const int secs = argc > 2 ? std::atoi(argv[2]) : 30;
    if (jobs < 1 || jobs > 128 || secs < 3) return 2;
    std::printf("dispatch latency, %d jobs @every 1s, %d s; from the due second to the child's start\n", jobs,
                secs);
    print("scheduled runs", scheduled(jobs, secs), static_cast<size_t>(jobs) * (secs - 1));
    print("runner alone (scale)", direct(jobs, secs), static_cast<size_t>(jobs) * secs);
    return 0;
}
