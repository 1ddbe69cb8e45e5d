// Idle cost of a started instance: 128 enabled jobs, none due within the
// next hour, for 20 s (or the seconds given as the argument). Reports the
// process's CPU time and how often the job store or the state file beside
// it was rewritten, then how long a stop takes.
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (seconds < 1) return 2;
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
    // Every store write ends in a rename onto crontab.json. The kernel queues
    // the events; reading them once at the end costs nothing while idle.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) return 1;

    crontab_start(ct);
    const std::clock_t cpu0 = std::clock();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;

    const auto stop0 = clock_type::now();
    crontab_stop(ct);
    const double stop_ms = std::chrono::duration<double, std::milli>(clock_type::now() - stop0).count();
    auto count_writes = [&] {
        int writes = 0;
        alignas(inotify_event) char buf[4096];
        for (ssize_t n; (n = ::read(watch, buf, sizeof buf)) > 0;) {
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                // The state file beside the store counts too: idle jobs
                // without catch-up or @reboot must never write it.
                const std::string name = e->len > 0 ? e->name : "";
                if (name == "crontab.json" || name == "crontab.state.json") ++writes;
                p += sizeof(inotify_event) + e->len;
            }
        }
        return writes;
    };
    const int writes = count_writes();
    // A change afterwards shows that the count sees writes.
    crontab_set_job_timeout(ct, 1, 5);
    const int control = count_writes();
    ::close(watch);
    crontab_destroy(ct);
    fs::remove_all(dir);

    std::printf("idle cost, %d enabled jobs none due, %d s\n", kJobs, seconds);
    std::printf("  CPU time %.1f ms = %.3f%% of one core\n", cpu_ms, cpu_ms / (10.0 * seconds));
    std::printf("  store and state file writes %d (a change afterwards counted %d)\n", writes, control);
    std::printf("  crontab_stop took %.2f ms\n", stop_ms);
    return 0;
}
