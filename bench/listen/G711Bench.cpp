// G.711 expansion throughput, in bytes of G.711 input per second.
// The monitor expands blocks of 4096 bytes (512 ms); larger blocks show the
// steady-state rate.

#include "G711.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

template <void (*Expand)(const uint8_t*, int16_t*, size_t)>
void BM_Expand(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> in(n);
    std::mt19937 random(711);
    for (auto& b : in)
        b = static_cast<uint8_t>(random());
    std::vector<int16_t> out(n);
    for (auto _ : state) {
        Expand(in.data(), out.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

BENCHMARK(BM_Expand<corvane::ExpandALaw>)->Name("ExpandALaw")->Arg(4096)->Arg(8192)->Arg(1 << 20);
BENCHMARK(BM_Expand<corvane::ExpandULaw>)->Name("ExpandULaw")->Arg(4096)->Arg(8192)->Arg(1 << 20);

} // namespace

BENCHMARK_MAIN();
