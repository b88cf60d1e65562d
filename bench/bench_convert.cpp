// convert_frame at every depth over one 320 x 240 frame against memcpy of one
// frame, measured in the same run; prints each as a ratio to memcpy, once per
// instruction-set level (bench_levels.h).  The scalar kernels and a plain
// dither run too, to show what the fast paths gain.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench_levels.h"
#include "bench_ratio.h"
#include "display/convert.h"
#include "display/cpu.h"
#include "display/display.h"
#include "shell/frame.h"

namespace {

constexpr int32_t W = 320, H = 240, N = W * H;

// On 64-byte boundaries, as the stages' frames and the off-screen surfaces are.
struct Frames {
    AlignedVector<uint32_t> source = AlignedVector<uint32_t>(N);
    AlignedVector<uint8_t> surface = AlignedVector<uint8_t>(N * 4);
    Frames()
    {
        std::mt19937 rng(1);
        for (uint32_t& p : source)
            p = rng();
    }
} frames;

// The dither as a plain loop over three separate error rows, for comparison.
void plain_dither(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    static std::vector<int32_t> rows[2];
    rows[0].assign(3 * width, 0);
    rows[1].assign(3 * width, 0);
    int32_t cur = 0;
    for (int32_t y = 0; y < height; y++) {
        int32_t* current = rows[cur].data();
        int32_t* next = rows[1 - cur].data();
        std::memset(next, 0, sizeof(int32_t) * 3 * width);
        for (int32_t x = 0; x < width; x++) {
            const uint32_t p = source[y * width + x];
            int32_t c[3] = {int32_t((p >> 16) & 0xFF) + current[3 * x], int32_t((p >> 8) & 0xFF) + current[3 * x + 1],
                            int32_t(p & 0xFF) + current[3 * x + 2]};
            for (int32_t& v : c)
                v = v > 255 ? 255 : v;
            destination[y * width + x] = uint8_t((c[0] & 0xE0) | ((c[1] & 0xE0) >> 3) | ((c[2] & 0xC0) >> 6));
            const int32_t e[3] = {c[0] & 0x1F, c[1] & 0x1F, c[2] & 0x3F};
            for (int32_t k = 0; k < 3; k++) {
                const int32_t s7 = (7 * e[k]) >> 4, s3 = (3 * e[k]) >> 4, s5 = (5 * e[k]) >> 4;
                if (x + 1 < width) {
                    current[3 * (x + 1) + k] += s7;
                    next[3 * (x + 1) + k] += e[k] - s7 - s3 - s5;
                }
                if (x > 0)
                    next[3 * (x - 1) + k] += s3;
                next[3 * x + k] += s5;
            }
        }
        cur = 1 - cur;
    }
}

void BM_memcpy(benchmark::State& state)
{
    for (auto _ : state) {
        std::memcpy(frames.surface.data(), frames.source.data(), N * 4);
        benchmark::ClobberMemory();
    }
}

void convert_at(benchmark::State& state, int32_t depth, int32_t flag_565)
{
    frame_width = W;
    frame_height = H;
    display_depth = depth;
    rgb565 = flag_565;
    for (auto _ : state) {
        convert_frame(frames.source.data(), frames.surface.data(), N);
        benchmark::ClobberMemory();
    }
}

void BM_convert_32(benchmark::State& state) { convert_at(state, 32, 1); }
void BM_convert_24(benchmark::State& state) { convert_at(state, 24, 1); }
void BM_convert_16_565(benchmark::State& state) { convert_at(state, 16, 1); }
void BM_convert_16_555(benchmark::State& state) { convert_at(state, 16, 0); }
void BM_convert_8(benchmark::State& state) { convert_at(state, 8, 1); }

void BM_pack_24_scalar(benchmark::State& state)
{
    for (auto _ : state) {
        pack_24_scalar(frames.source.data(), frames.surface.data(), N);
        benchmark::ClobberMemory();
    }
}
void BM_pack_24_sse2(benchmark::State& state)
{
    for (auto _ : state) {
        pack_24_sse2(frames.source.data(), frames.surface.data(), N);
        benchmark::ClobberMemory();
    }
}
void BM_pack_24_ssse3(benchmark::State& state)
{
    if (!cpu_has_ssse3()) {
        state.SkipWithError("no SSSE3 at this level");
        return;
    }
    for (auto _ : state) {
        pack_24_ssse3(frames.source.data(), frames.surface.data(), N);
        benchmark::ClobberMemory();
    }
}
void BM_pack_24_avx2(benchmark::State& state)
{
    if (!cpu_has_avx2()) {
        state.SkipWithError("no AVX2 at this level");
        return;
    }
    for (auto _ : state) {
        pack_24_avx2(frames.source.data(), frames.surface.data(), N);
        benchmark::ClobberMemory();
    }
}
void BM_pack_24_avx512(benchmark::State& state)
{
    if (!cpu_has_avx512bw()) {
        state.SkipWithError("no AVX-512 BW at this level");
        return;
    }
    for (auto _ : state) {
        pack_24_avx512(frames.source.data(), frames.surface.data(), N);
        benchmark::ClobberMemory();
    }
}
void BM_pack_16_scalar(benchmark::State& state)
{
    for (auto _ : state) {
        pack_16_scalar(frames.source.data(), reinterpret_cast<uint16_t*>(frames.surface.data()), N, true);
        benchmark::ClobberMemory();
    }
}
void BM_pack_16_sse2(benchmark::State& state)
{
    for (auto _ : state) {
        pack_16_sse2(frames.source.data(), reinterpret_cast<uint16_t*>(frames.surface.data()), N, true);
        benchmark::ClobberMemory();
    }
}
void BM_pack_16_avx2(benchmark::State& state)
{
    if (!cpu_has_avx2()) {
        state.SkipWithError("no AVX2 at this level");
        return;
    }
    for (auto _ : state) {
        pack_16_avx2(frames.source.data(), reinterpret_cast<uint16_t*>(frames.surface.data()), N, true);
        benchmark::ClobberMemory();
    }
}
void BM_dither_plain(benchmark::State& state)
{
    for (auto _ : state) {
        plain_dither(frames.source.data(), frames.surface.data(), W, H);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_memcpy);
BENCHMARK(BM_convert_32);
BENCHMARK(BM_convert_24);
BENCHMARK(BM_convert_16_565);
BENCHMARK(BM_convert_16_555);
BENCHMARK(BM_convert_8);
BENCHMARK(BM_pack_24_scalar);
BENCHMARK(BM_pack_24_sse2);
BENCHMARK(BM_pack_24_ssse3);
BENCHMARK(BM_pack_24_avx2);
BENCHMARK(BM_pack_24_avx512);
BENCHMARK(BM_pack_16_scalar);
BENCHMARK(BM_pack_16_sse2);
BENCHMARK(BM_pack_16_avx2);
BENCHMARK(BM_dither_plain);


}  // namespace

int main(int argc, char** argv)
{
    return run_with_ratios_each(argc, argv, "BM_memcpy", "memcpy of one frame", cpu_level_settings());
}
