// The cross-fade's blend over one 320 x 240 frame against memcpy of one frame,
// measured in the same run; prints each kernel as a ratio to memcpy, once per
// instruction-set level (bench_levels.h).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench_levels.h"
#include "bench_ratio.h"
#include "display/cpu.h"
#include "stages/show_stages.h"

namespace {

constexpr int32_t N = 320 * 240;

// Frames on 64-byte boundaries, as the stages allocate theirs.
using Frame = AlignedVector<uint32_t>;

struct Frames {
    Frame a = Frame(N), b = Frame(N), dst = Frame(N);
    Frames()
    {
        std::mt19937 rng(1);
        for (auto& p : a) p = rng();
        for (auto& p : b) p = rng();
    }
} frames;

void BM_memcpy(benchmark::State& state)
{
    for (auto _ : state) {
        std::memcpy(frames.dst.data(), frames.a.data(), N * 4);
        benchmark::ClobberMemory();
    }
}
void BM_blend(benchmark::State& state)
{
    uint8_t c = 0;
    for (auto _ : state) {
        blend(frames.dst.data(), frames.a.data(), frames.b.data(), N, c++);
        benchmark::ClobberMemory();
    }
}
void BM_blend_sse2(benchmark::State& state)
{
    uint8_t c = 0;
    for (auto _ : state) {
        blend_sse2(frames.dst.data(), frames.a.data(), frames.b.data(), N, c++);
        benchmark::ClobberMemory();
    }
}
void BM_blend_avx2(benchmark::State& state)
{
    if (!cpu_has_avx2()) {
        state.SkipWithError("no AVX2 at this level");
        return;
    }
    uint8_t c = 0;
    for (auto _ : state) {
        blend_avx2(frames.dst.data(), frames.a.data(), frames.b.data(), N, c++);
        benchmark::ClobberMemory();
    }
}
void BM_blend_avx512(benchmark::State& state)
{
    if (!cpu_has_avx512bw()) {
        state.SkipWithError("no AVX-512 BW at this level");
        return;
    }
    uint8_t c = 0;
    for (auto _ : state) {
        blend_avx512(frames.dst.data(), frames.a.data(), frames.b.data(), N, c++);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_memcpy);
BENCHMARK(BM_blend);
BENCHMARK(BM_blend_sse2);
BENCHMARK(BM_blend_avx2);
BENCHMARK(BM_blend_avx512);


}  // namespace

int main(int argc, char** argv)
{
    return run_with_ratios_each(argc, argv, "BM_memcpy", "memcpy of one frame", cpu_level_settings());
}
