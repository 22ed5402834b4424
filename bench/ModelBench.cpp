#include <benchmark/benchmark.h>

#include "Model/Timecode.hpp"

using namespace osterveil;

static void BM_TimecodeDropFrame(benchmark::State& state) {
    const FrameRate rate{30000, 1001};
    double t = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Timecode::string(t, rate));
        t += 1.0 / 29.97;
    }
}
BENCHMARK(BM_TimecodeDropFrame);
