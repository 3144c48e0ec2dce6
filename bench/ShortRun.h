#pragma once

#include <benchmark/benchmark.h>
#include <cstring>
#include <vector>

namespace kestrane::bench {

// Runs the registered benchmarks; "--short" makes a quick run that only checks
// they work (as ctest runs them).
inline int RunBenchmarks(int argc, char** argv) {
    std::vector<char*> arguments(argv, argv + argc);
    static char quick[] = "--benchmark_min_time=0.001";
    for (char*& argument : arguments) {
        argument = std::strcmp(argument, "--short") == 0 ? quick : argument;
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace kestrane::bench
