// The player's seek: a frame back, which replays the show from its start up
// to there without drawing it and then draws the frame (from the last second
// of the photograph show; from 15 s of the engine show, where every frame is
// a 3D scene), against a paused show presenting its frame again with no seek
// (the keys' list turned on or off) at the same place, measured in the same
// run.  The goals: any seek in the photograph show within one frame
// period at 60 fps (16.7 ms), in the engine show within 100 ms; the last
// lines print each seek's time as a fraction of its goal.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "platform/platform.h"
#include "shell/options.h"
#include "shell/run.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t SAMPLES = 40;

struct InSourceDir {
    fs::path old = fs::current_path();
    InSourceDir() { fs::current_path(YURN_SOURCE_DIR); }
    ~InSourceDir() { fs::current_path(old); }
};

struct Timing {
    int32_t command;
    std::vector<double> gaps;  // ms from the present that sent the command to the next present
    double last = -1.0;
    int32_t sent = 0;
};

void time_presents(const PresentedFrame&, void* user)
{
    Timing& t = *static_cast<Timing*>(user);
    const double now = steady_ms();
    if (t.last >= 0.0)
        t.gaps.push_back(now - t.last);
    t.last = now;
    if (t.sent++ < SAMPLES)
        headless_queue_event({.type = EVENT_PLAYER, .key = t.command, .minimised = 0}, 0);
    else
        headless_queue_event({.type = EVENT_KEY_DOWN, .key = KEY_ESCAPE, .minimised = 0}, 0);
}

// The show paused at from_ms, then SAMPLES commands, each timed to the frame
// it puts on the screen.
std::vector<double> time_commands(const char* script, double from_ms, int32_t command)
{
    InSourceDir here;
    Options options;
    options.headless = true;
    options.fps_numerator = 60;
    options.script = script;
    options.from_ms = from_ms;
    options.paused = true;
    Timing timing{.command = command, .gaps = {}};
    headless_set_present_hook(time_presents, &timing);
    run_show(options);
    headless_set_present_hook(nullptr, nullptr);
    return timing.gaps;
}

std::map<std::string, double> medians;

void report(benchmark::State& state, const char* name, std::vector<double> gaps)
{
    if (gaps.empty()) {
        state.SkipWithError("no frame was timed");
        return;
    }
    size_t i = 0;
    for (auto _ : state)
        state.SetIterationTime(gaps[i++ % gaps.size()] / 1000.0);
    std::sort(gaps.begin(), gaps.end());
    medians[name] = gaps[gaps.size() / 2];
    state.counters["median_ms"] = gaps[gaps.size() / 2];
    state.counters["max_ms"] = gaps.back();
}

void BM_photo_frame_again(benchmark::State& state)
{
    report(state, "photo_again", time_commands("show", 49900.0, PLAYER_KEYS));
}

void BM_photo_seek_back_from_the_end(benchmark::State& state)
{
    report(state, "photo_seek", time_commands("show", 49900.0, PLAYER_FRAME_BACK));
}

void BM_engine_frame_again(benchmark::State& state)
{
    report(state, "engine_again", time_commands("engine", 15000.0, PLAYER_KEYS));
}

void BM_engine_seek_back_into_the_lit_scene(benchmark::State& state)
{
    report(state, "engine_seek", time_commands("engine", 15000.0, PLAYER_FRAME_BACK));
}

}  // namespace

BENCHMARK(BM_photo_frame_again)->Unit(benchmark::kMillisecond)->Iterations(SAMPLES)->UseManualTime();
BENCHMARK(BM_photo_seek_back_from_the_end)->Unit(benchmark::kMillisecond)->Iterations(SAMPLES)->UseManualTime();
BENCHMARK(BM_engine_frame_again)->Unit(benchmark::kMillisecond)->Iterations(SAMPLES)->UseManualTime();
BENCHMARK(BM_engine_seek_back_into_the_lit_scene)->Unit(benchmark::kMillisecond)->Iterations(SAMPLES)->UseManualTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [](const char* seek, const char* again, const char* show) {
        if (medians.count(seek) && medians.count(again) && medians[again] > 0.0)
            std::printf("ratio %-28s %6.2fx a frame presented again without a seek (%s)\n", seek,
                        medians[seek] / medians[again], show);
    };
    ratio("photo_seek", "photo_again", "photograph show");
    ratio("engine_seek", "engine_again", "engine show");
    if (medians.count("photo_seek"))
        std::printf("goal  %-28s %8.4f of one frame period at 60 fps (16.7 ms)\n", "photo_seek",
                    medians["photo_seek"] / (1000.0 / 60.0));
    if (medians.count("engine_seek"))
        std::printf("goal  %-28s %8.4f of 100 ms\n", "engine_seek", medians["engine_seek"] / 100.0);
    benchmark::Shutdown();
    return 0;
}
