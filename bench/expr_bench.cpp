// Parse, describe and next fire time of typical and worst-case expressions.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

#include "expr/cron_calc.h"
#include "expr/cron_describer.h"
#include "expr/cron_parser.h"

namespace {

constexpr int64_t JUNE_2025 = 1748736000;   // 2025-06-01 00:00 UTC
constexpr int64_t MARCH_2024 = 1709251200;  // 2024-03-01 00:00 UTC, just after a leap day

const char* const expressions[] = {"* * * * *", "*/15 9-17 * * MON-FRI", "0 0 13 * 5", "0 0 29 2 *", "0 0 30 2 *"};

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

}  // namespace

BENCHMARK(BM_Parse)->DenseRange(0, 4);
BENCHMARK(BM_Describe)->DenseRange(0, 4);
BENCHMARK(BM_NextTime)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
