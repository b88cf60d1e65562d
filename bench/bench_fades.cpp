// The fade stages' per-frame passes against memcpy of one 320 x 240 frame,
// measured in the same run; prints each as a ratio to memcpy, once per
// instruction-set level (bench_levels.h).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench_levels.h"
#include "bench_ratio.h"
#include "stages/fades.h"

namespace {

constexpr int32_t N = 320 * 240;

// On 64-byte boundaries, as the stages allocate their frames.
struct Frames {
    AlignedVector<uint32_t> src = AlignedVector<uint32_t>(N), dst = AlignedVector<uint32_t>(N);
    Frames()
    {
        std::mt19937 rng(1);
        for (auto& p : src) p = rng();
    }
} frames;

void BM_memcpy(benchmark::State& state)
{
    for (auto _ : state) {
        std::memcpy(frames.dst.data(), frames.src.data(), N * 4);
        benchmark::ClobberMemory();
    }
}
void BM_ceiling_pass(benchmark::State& state)
{
    for (auto _ : state) {
        ceiling_pass(frames.dst.data(), frames.src.data(), 100, N);
        benchmark::ClobberMemory();
    }
}
void BM_darken_in_place(benchmark::State& state)
{
    for (auto _ : state) {
        darken(frames.dst.data(), 3, N);
        benchmark::ClobberMemory();
    }
}
void BM_fadeout_copy_and_darken(benchmark::State& state)
{
    for (auto _ : state) {
        darken_copy(frames.dst.data(), frames.src.data(), 100, N);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_memcpy);
BENCHMARK(BM_ceiling_pass);
BENCHMARK(BM_darken_in_place);
BENCHMARK(BM_fadeout_copy_and_darken);


}  // namespace

int main(int argc, char** argv)
{
    return run_with_ratios_each(argc, argv, "BM_memcpy", "memcpy of one frame", cpu_level_settings());
}
