// Parse, describe and next fire time of typical and worst-case expressions.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

#include "expr/cron_calc.h"
#include "expr/cron_describer.h"
#include "expr/cron_explain.h"
#include "expr/cron_parser.h"
#include "quilmarn_crontab.h"

namespace {

constexpr int64_t JUNE_2025 = 1748736000;   // 2025-06-01 00:00 UTC
constexpr int64_t MARCH_2024 = 1709251200;  // 2024-03-01 00:00 UTC, just after a leap day

const char* const expressions[] = {"* * * * *", "*/15 9-17 * * MON-FRI", "0 0 13 * 5", "0 0 29 2 *",
                                   "0 0 30 2 *"};

void use_berlin() {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
}

void BM_Parse(benchmark::State& state) {
    const char* expr = expressions[state.range(0)];
    state.SetLabel(expr);
    cron_expr_t e;
    char err[CRON_ERRBUF_SIZE];
    for (auto _ : state) benchmark::DoNotOptimize(cron_parse(expr, &e, err, sizeof err));
}

void BM_Describe(benchmark::State& state) {
    const char* expr = expressions[state.range(0)];
    state.SetLabel(expr);
    cron_expr_t e;
    cron_parse(expr, &e, nullptr, 0);
    char out[512];
    for (auto _ : state) benchmark::DoNotOptimize(cron_describe(&e, expr, out, sizeof out));
}

void BM_NextTime(benchmark::State& state) {
    use_berlin();
    const char* expr = expressions[state.range(0)];
    state.SetLabel(expr);
    cron_expr_t e;
    cron_parse(expr, &e, nullptr, 0);
    const int64_t after = state.range(0) >= 3 ? MARCH_2024 : JUNE_2025;
    for (auto _ : state) benchmark::DoNotOptimize(cron_next_time(&e, after));
}

// The export, parse included.
void BM_Explain(benchmark::State& state) {
    const char* expr = expressions[state.range(0)];
    state.SetLabel(expr);
    for (auto _ : state) benchmark::DoNotOptimize(crontab_explain_expr(expr));
}

// Next times on several threads at once (parse included): conversions take
// no shared lock, so the time per call should stay flat as threads are added.
void BM_CalcNextThreads(benchmark::State& state) {
    if (state.thread_index() == 0) use_berlin();
    const char* expr =
        state.range(0) == 0 ? "*/15 9-17 * * MON-FRI" : "CRON_TZ=America/New_York */15 9-17 * * MON-FRI";
    state.SetLabel(expr);
    int64_t after = JUNE_2025 + state.thread_index() * 7919;
    for (auto _ : state) {
        int64_t next = 0;
        benchmark::DoNotOptimize(crontab_calc_next(expr, after, &next));
        after += 3607;
    }
}

}  // namespace

BENCHMARK(BM_Parse)->DenseRange(0, 4);
BENCHMARK(BM_Explain)->DenseRange(0, 4);
BENCHMARK(BM_CalcNextThreads)
    ->DenseRange(0, 1)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Describe)->DenseRange(0, 4);
BENCHMARK(BM_NextTime)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
