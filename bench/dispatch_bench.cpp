// Dispatch latency of a started instance: 64 jobs on "@every 1s" for 30 s.
// Each child prints its own start time (date +%s%N, as cheap as `true`); the
// latency of a run is that time minus the start of its due second.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "quilmarn_crontab.h"

namespace {

namespace fs = std::filesystem;
constexpr int kJobs = 64;
constexpr int kSeconds = 30;

int64_t now_sec() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

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

}  // namespace

int main() {
    fs::path dir = fs::temp_directory_path() / ("qc-dispatch-" + std::to_string(std::random_device{}()));
    crontab_t* ct = crontab_create(dir.c_str());
    if (ct == nullptr) return 1;
    std::vector<int> ids;
    for (int i = 0; i < kJobs; ++i) {
        ids.push_back(crontab_add_job(ct, ("j" + std::to_string(i)).c_str(), "@every 1s", "date +%s%N", 1));
    }
    std::map<std::pair<int, int64_t>, int64_t> seen;
    crontab_start(ct);
    const int64_t begin = now_sec();
    while (now_sec() < begin + kSeconds) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        collect(ct, ids, &seen);
    }
    crontab_stop(ct);
    collect(ct, ids, &seen);
    crontab_destroy(ct);
    fs::remove_all(dir);

    // Only full seconds inside the window count.
    std::vector<double> ms;
    std::set<std::pair<int, int64_t>> due_seconds;
    for (const auto& [key, child_ns] : seen) {
        int64_t due = key.second;
        if (due <= begin || due >= begin + kSeconds) continue;
        ms.push_back(static_cast<double>(child_ns - due * 1000000000) / 1e6);
        due_seconds.insert({key.first, child_ns / 1000000000});
    }
    if (ms.empty()) return 1;
    std::sort(ms.begin(), ms.end());
    auto pct = [&](double p) { return ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))]; };
    const size_t expected = static_cast<size_t>(kJobs) * (kSeconds - 1);
    std::printf("dispatch latency, %d jobs @every 1s, %d s\n", kJobs, kSeconds);
    std::printf("  runs measured   %zu of %zu due (distinct due seconds %zu)\n", ms.size(), expected,
                due_seconds.size());
    std::printf("  p50 %.1f ms   p90 %.1f ms   p99 %.1f ms   max %.1f ms\n", pct(0.50), pct(0.90), pct(0.99),
                ms.back());
    return 0;
}
