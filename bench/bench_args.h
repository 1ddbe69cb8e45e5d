// A program's default minimum time per benchmark, passed as if given first
// on the command line: a benchmark's own MinTime() would win over
// --benchmark_min_time, which must stay free to shorten a run (CI runs each
// benchmark once).
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

inline void bench_initialize(int argc, char** argv, const char* min_seconds) {
    static std::string flag = std::string("--benchmark_min_time=") + min_seconds;
    static std::vector<char*> args;
    args.assign(argv, argv + argc);
    // Flags are read in order: one of the same name given later wins.
    args.insert(args.begin() + (argc > 0 ? 1 : 0), flag.data());
    args.push_back(nullptr);
    int n = static_cast<int>(args.size()) - 1;
    benchmark::Initialize(&n, args.data());
}
