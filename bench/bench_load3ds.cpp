// The 3DS loader on files of many empty meshes, 10,000 against 80,000, in the
// same run: with lists that grow in proportion the larger file costs about 8
// times the smaller; lists grown one slot at a time made it about 64 times.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_ratio.h"
#include "engine/engine.h"

namespace {

// main { editor { n x (named object "" { mesh {} }) } }
std::vector<uint8_t> empty_meshes(uint32_t n)
{
    std::vector<uint8_t> b;
    auto header = [&b](uint16_t id, uint32_t length) {
        const uint8_t h[6] = {uint8_t(id), uint8_t(id >> 8), uint8_t(length), uint8_t(length >> 8),
                              uint8_t(length >> 16), uint8_t(length >> 24)};
        b.insert(b.end(), h, h + 6);
    };
    const uint32_t body = 13 * n;
    header(0x4D4D, 6 + 6 + body);
    header(0x3D3D, 6 + body);
    for (uint32_t i = 0; i < n; ++i) {
        header(0x4000, 13);
        b.push_back(0);  // the name
        header(0x4100, 6);
    }
    return b;
}

void load(benchmark::State& state, uint32_t n)
{
    const std::vector<uint8_t> bytes = empty_meshes(n);
    for (auto _ : state) {
        Scene scene;
        load_3ds_bytes(scene, bytes.data(), bytes.size(), "bench.3ds");
        benchmark::DoNotOptimize(scene.objects);
    }
}

void BM_load_10000_meshes(benchmark::State& state) { load(state, 10000); }
void BM_load_80000_meshes(benchmark::State& state) { load(state, 80000); }
BENCHMARK(BM_load_10000_meshes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_load_80000_meshes)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    return run_with_ratios(argc, argv, "BM_load_10000_meshes", "of 10,000 empty meshes (8 = linear)");
}
