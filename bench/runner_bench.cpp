// The command runner against a bare posix_spawn + waitpid of the same shell:
// (a) the fixed cost of one run, (b) the cost of capturing a 200 MB stream
// against a pipe into cat. Prints the two ratios after the table.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench_args.h"
#include "proc/cron_proc.h"

namespace {

constexpr const char* kBigOutput = "head -c 200000000 /dev/zero";
constexpr const char* kBigPipe = "head -c 200000000 /dev/zero | cat >/dev/null";

void run_or_fail(benchmark::State& state, const char* cmd) {
    cron_proc_result_t r{};
    if (cron_proc_run(cmd, &r, 0, nullptr, nullptr, nullptr) != 0 || r.exit_code != 0) {
        state.SkipWithError("cron_proc_run failed");
    }
    cron_proc_result_free(&r);
}

void spawn_and_wait(benchmark::State& state, const char* cmd) {
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || status != 0) {
        state.SkipWithError("posix_spawn failed");
    }
}

void BM_RunnerTrue(benchmark::State& state) {
    for (auto _ : state) run_or_fail(state, "true");
}

void BM_BareSpawnTrue(benchmark::State& state) {
    for (auto _ : state) spawn_and_wait(state, "true");
}

void BM_Runner200MB(benchmark::State& state) {
    for (auto _ : state) run_or_fail(state, kBigOutput);
    state.SetBytesProcessed(state.iterations() * 200000000);
}

void BM_BarePipe200MB(benchmark::State& state) {
    for (auto _ : state) spawn_and_wait(state, kBigPipe);
    state.SetBytesProcessed(state.iterations() * 200000000);
}

// Side by side, alternating, so that load from other processes falls on both.
BENCHMARK(BM_BareSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RunnerTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BarePipe200MB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Runner200MB)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps each benchmark's real time per iteration for the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    ratio_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                std::string name = r.benchmark_name();
                times[name.substr(0, name.find('/'))] = r.GetAdjustedRealTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

void print_ratio(const ratio_reporter& rep, const char* what, const char* runner, const char* bare,
                 double bound) {
    auto a = rep.times.find(runner);
    auto b = rep.times.find(bare);
    if (a == rep.times.end() || b == rep.times.end() || b->second <= 0) return;
    double ratio = a->second / b->second;
    std::printf("%-34s %.3f  (bound %.1f: %s)\n", what, ratio, bound, ratio <= bound ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    bench_initialize(argc, argv, "3");
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    std::printf("\n");
    print_ratio(rep, "runner/bare spawn (true)", "BM_RunnerTrue", "BM_BareSpawnTrue", 1.3);
    print_ratio(rep, "runner/pipe into cat (200 MB)", "BM_Runner200MB", "BM_BarePipe200MB", 1.5);
    benchmark::Shutdown();
    return 0;
}
