// Loading one of the show's 320 x 240 three-plane run-length photographs:
// read_pcx (open, decode, close) next to SDL2_image's IMG_Load of the same
// file in the same run; prints the ratio.  Uses datos/Foto1.pcx, or when it is
// missing a photo-like picture (gradients and noise) from our own writer.
#include <benchmark/benchmark.h>

#include <SDL.h>
#include <SDL_image.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "files/files.h"

namespace {

std::string picture_path;

// Smooth gradients with sensor-like noise: runs are short, as in a photo.
std::string make_photo_like()
{
    std::mt19937 rng(1);
    std::vector<uint32_t> px(320 * 240);
    for (uint32_t y = 0; y < 240; ++y)
        for (uint32_t x = 0; x < 320; ++x) {
            auto noisy = [&](uint32_t v) { return std::min<uint32_t>(255, v + rng() % 6); };
            uint32_t r = noisy(x * 240 / 320), g = noisy(y * 240 / 240), b = noisy((x + y) * 200 / 560);
            // A flat patch of sky, where runs grow long.
            if (y < 40)
                r = 90, g = 140, b = 220;
            px[y * 320 + x] = r << 16 | g << 8 | b;
        }
    std::vector<uint8_t> file = encode_pcx_rgb(px.data(), 320, 240);
    std::string path = (std::filesystem::temp_directory_path() /
                        ("yurn-bench-" + std::to_string(getpid()) + ".pcx"))
                           .string();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(file.data(), 1, file.size(), f) != file.size()) {
        std::fprintf(stderr, "bench_pcx: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::fclose(f);
    return path;
}

void BM_read_pcx(benchmark::State& state)
{
    std::vector<uint32_t> px(320 * 240);
    for (auto _ : state) {
        read_pcx(picture_path.c_str(), px.data(), px.size() * 4, nullptr);
        benchmark::DoNotOptimize(px.data());
    }
}

void BM_IMG_Load(benchmark::State& state)
{
    for (auto _ : state) {
        SDL_Surface* s = IMG_Load(picture_path.c_str());
        if (!s) {
            state.SkipWithError(IMG_GetError());
            return;
        }
        benchmark::DoNotOptimize(s->pixels);
        SDL_FreeSurface(s);
    }
}

BENCHMARK(BM_read_pcx)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IMG_Load)->Unit(benchmark::kMicrosecond);


} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const std::string photo = std::string(YURN_SOURCE_DIR) + "/datos/Foto1.pcx";
    const bool generated = !std::filesystem::exists(photo);
    picture_path = generated ? make_photo_like() : photo;
    std::printf("picture: %s\n", picture_path.c_str());
    IMG_Init(0);  // PCX needs no optional loader library
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.time_of("BM_read_pcx"), theirs = reporter.time_of("BM_IMG_Load");
    if (ours > 0 && theirs > 0)
        std::printf("ratio read_pcx / IMG_Load: %.3f (%.0f us against %.0f us; IMG_Load takes "
                    "%.1fx as long)\n",
                    ours / theirs, ours, theirs, theirs / ours);
    IMG_Quit();
    if (generated)
        std::filesystem::remove(picture_path);
    benchmark::Shutdown();
    return 0;
}
