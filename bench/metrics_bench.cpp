// A scrape of /metrics with a full table of 128 jobs: the statistics report
// copied out of the instance and rendered as Prometheus text, as the daemon's
// listener does for each request (target: well under 5 ms).
#include <string>

#include <benchmark/benchmark.h>

#include "bench_args.h"
#include "http_metrics.h"
#include "quilmarn_crontab.h"

namespace {

// 128 jobs, each run once so every counter and bucket has a value.
crontab_t* full_table() {
    crontab_t* ct = crontab_create(nullptr);
    for (int i = 0; i < CRONTAB_MAX_JOBS; ++i) {
        const std::string name = "nightly-backup-of-volume-" + std::to_string(i);
        const int id = crontab_add_job(ct, name.c_str(), "*/5 * * * *", "true", 1);
        crontab_run_now(ct, id);
    }
    return ct;
}

void BM_Scrape128Jobs(benchmark::State& state) {
    crontab_t* ct = full_table();
    std::string text;
    for (auto _ : state) {
        char* stats = crontab_copy_stats_json(ct);
        if (!http_metrics_text(stats, "1.5.0", crontab_version(), &text)) state.SkipWithError("not rendered");
        crontab_free(stats);
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(text.size());
    crontab_destroy(ct);
}

}  // namespace

BENCHMARK(BM_Scrape128Jobs)->Unit(benchmark::kMillisecond);
int main(int argc, char** argv) {
    bench_initialize(argc, argv, "1");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
