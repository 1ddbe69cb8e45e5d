// Scheduler start with 128 jobs that all need a catch-up decision: each job
// runs every minute with a 10 s window, and the state file stamps it three
// minutes back, so every job decides "missed" at start (or, in the first
// 10 s of a minute, runs). Times crontab_start until all 128 decisions have
// been told (`missed` or `admitted`), over 50 starts; reports the median and
// the slowest. The instance is made before the clock starts.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "quilmarn_crontab.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
constexpr int kJobs = 128;
constexpr int kStarts = 50;

int decisions(crontab_t* ct, uint64_t* after) {
    char* text = crontab_read_events_json(ct, *after, 0);
    rapidjson::Document d;
    d.Parse(text);
    crontab_free(text);
    int n = 0;
    for (auto& e : d.GetArray()) {
        *after = e["seq"].GetUint64();
        const char* kind = e["kind"].GetString();
        n += std::strcmp(kind, "missed") == 0 || std::strcmp(kind, "admitted") == 0;
    }
    return n;
}

}  // namespace

int main() {
    fs::path dir = fs::temp_directory_path() / ("qc-catch-up-" + std::to_string(std::random_device{}()));
    std::string state = "{\"jobs\":[";
    {
        crontab_t* ct = crontab_create(dir.c_str());
        if (ct == nullptr) return 1;
        const int64_t stamp = (std::time(nullptr) / 60 - 3) * 60;
        for (int i = 0; i < kJobs; ++i) {
            const int id = crontab_add_job(ct, ("job" + std::to_string(i)).c_str(), "* * * * *", "true", 1);
            crontab_set_job_catch_up(ct, id, 10);
            state += (i ? "," : "") + std::string("{\"id\":") + std::to_string(id) +
                     ",\"fire\":" + std::to_string(stamp) + "}";
        }
        crontab_destroy(ct);
    }
    state += "]}";
    std::vector<double> ms;
    for (int n = 0; n < kStarts; ++n) {
        std::ofstream(dir / "crontab.state.json", std::ios::trunc) << state;
        fs::permissions(dir / "crontab.state.json", fs::perms::owner_read | fs::perms::owner_write);
        crontab_t* ct = crontab_create(dir.c_str());
        if (ct == nullptr) return 1;
        uint64_t after = crontab_get_last_event_seq(ct);
        const auto t0 = clock_type::now();
        crontab_start(ct);
        int seen = 0;
        while (seen < kJobs) {
            crontab_wait_events(ct, after, 1000);
            seen += decisions(ct, &after);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
        crontab_destroy(ct);
    }
    fs::remove_all(dir);
    std::sort(ms.begin(), ms.end());
    std::printf("scheduler start, %d jobs each deciding a catch-up, %d starts\n", kJobs, kStarts);
    std::printf("  start to the last decision: median %.3f ms, slowest %.3f ms\n", ms[ms.size() / 2],
                ms.back());
    return 0;
}
