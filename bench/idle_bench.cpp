// Idle cost of a started instance: 128 enabled jobs, none due within the
// next hour, for 20 s. Reports the process's CPU time and how often the job
// store was rewritten, then how long a stop takes.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "quilmarn_crontab.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
constexpr int kJobs = 128;
constexpr int kSeconds = 20;

}  // namespace

int main() {
    fs::path dir = fs::temp_directory_path() / ("qc-idle-" + std::to_string(std::random_device{}()));
    crontab_t* ct = crontab_create(dir.c_str());
    if (ct == nullptr) return 1;
    // Once a day, two hours from now: never due during the run.
    std::time_t t = std::time(nullptr);
    const int hour = std::localtime(&t)->tm_hour;
    std::string expr = "0 " + std::to_string((hour + 2) % 24) + " * * *";
    for (int i = 0; i < kJobs; ++i) {
        crontab_add_job(ct, ("job" + std::to_string(i)).c_str(), expr.c_str(), "true", 1);
    }
    const fs::path store = dir / "crontab.json";
    auto stamp = fs::last_write_time(store);
    int writes = 0;

    crontab_start(ct);
    const std::clock_t cpu0 = std::clock();
    const auto end = clock_type::now() + std::chrono::seconds(kSeconds);
    // Every store write is a rename of a new file: its time changes. Ticks
    // are at least 50 ms apart, so sampling every 25 ms sees each one.
    while (clock_type::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::error_code ec;
        auto now_stamp = fs::last_write_time(store, ec);
        if (!ec && now_stamp != stamp) {
            ++writes;
            stamp = now_stamp;
        }
    }
    const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;

    const auto stop0 = clock_type::now();
    crontab_stop(ct);
    const double stop_ms = std::chrono::duration<double, std::milli>(clock_type::now() - stop0).count();
    crontab_destroy(ct);
    fs::remove_all(dir);

    std::printf("idle cost, %d enabled jobs none due, %d s\n", kJobs, kSeconds);
    std::printf("  CPU time %.1f ms = %.3f%% of one core (includes this sampler)\n", cpu_ms,
                cpu_ms / (10.0 * kSeconds));
    std::printf("  store writes %d\n", writes);
    std::printf("  crontab_stop took %.2f ms\n", stop_ms);
    return 0;
}
