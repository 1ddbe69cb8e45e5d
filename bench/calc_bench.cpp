// crontab_calc_next (parse included) against the minute-stepping reference
// search, on the same 2,000 random times in Europe/Berlin, and with a
// CRON_TZ= prefix naming another zone.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "expr/cron_parser.h"
#include "quilmarn_crontab.h"
#include "reference_next.h"

namespace {

const char* const expressions[] = {"* * * * *",  "*/15 9-17 * * MON-FRI", "0 0 13 * 5", "0 0 29 2 *",
                                   "30 2 * * *", "0 12 1 */3 *"};

std::vector<int64_t> random_afters() {
    std::mt19937_64 rng(20250330);
    std::uniform_int_distribution<int64_t> in(1577836800, 1893456000);  // 2020 to 2030
    std::vector<int64_t> out(2000);
    for (int64_t& t : out) t = in(rng);
    return out;
}

void report(benchmark::State& state, size_t calls) {
    state.counters["per_call"] =
        benchmark::Counter(static_cast<double>(calls) * state.iterations(),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Fast(benchmark::State& state, const char* expr) {
    const std::vector<int64_t> afters = random_afters();
    for (auto _ : state) {
        for (int64_t after : afters) {
            int64_t next = 0;
            benchmark::DoNotOptimize(crontab_calc_next(expr, after, &next));
            benchmark::DoNotOptimize(next);
        }
    }
    report(state, afters.size());
}

void BM_Reference(benchmark::State& state, const char* expr) {
    const std::vector<int64_t> afters = random_afters();
    for (auto _ : state) {
        for (int64_t after : afters) {
            cron_expr_t e;
            char err[CRON_ERRBUF_SIZE];
            benchmark::DoNotOptimize(cron_parse(expr, &e, err, sizeof err));
            benchmark::DoNotOptimize(reference_next_time(&e, after));
        }
    }
    report(state, afters.size());
}

}  // namespace

int main(int argc, char** argv) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    static std::vector<std::string> zoned;  // outlives the runs that point into it
    for (const char* expr : expressions) zoned.push_back(std::string("CRON_TZ=America/New_York ") + expr);
    for (const char* expr : expressions) {
        benchmark::RegisterBenchmark((std::string("fast      ") + expr).c_str(), BM_Fast, expr)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("reference ") + expr).c_str(), BM_Reference, expr)
            ->Unit(benchmark::kMillisecond);
    }
    // A zone of its own, while the process is in Berlin.
    for (const std::string& expr : zoned)
        benchmark::RegisterBenchmark(("fast      " + expr).c_str(), BM_Fast, expr.c_str())
            ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
