// The whole 50 s photograph show on the headless display at 60 fps (3,001
// frames), against ffmpeg's xfade filter making the same show (ten pictures
// held to their cues, 1.78 s cross-fades, 60 fps, 320 x 240, raw frames to
// /dev/null); the show captured to PNG files against the same capture to
// uncompressed PPM files, and to PNG files and an H.264 video against real
// time.  All in the same run; prints the ratios at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "platform/platform.h"
#include "capture/capture.h"
#include "shell/options.h"
#include "stages/show_stages.h"
#include "shell/shell.h"
#include "shell/run.h"

namespace fs = std::filesystem;

namespace {

constexpr double SHOW_SECONDS = 50.0;
constexpr double FADE_SECONDS = 1.78;  // 127 ticks of 14 ms

struct InSourceDir {
    fs::path old = fs::current_path();
    InSourceDir() { fs::current_path(YURN_SOURCE_DIR); }
    ~InSourceDir() { fs::current_path(old); }
};

Options headless_options()
{
    Options options;
    options.headless = true;
    options.fps_numerator = 60;
    options.fps_denominator = 1;
    return options;
}

void BM_show_headless_60fps(benchmark::State& state)
{
    InSourceDir here;
    int32_t code = 0;
    for (auto _ : state)
        code = run_show(headless_options());
    if (code != 19)
        state.SkipWithError("the show did not end with 19");
    state.counters["frames"] = double(frame_counter);
}

// Photograph k (1-10) is on screen from the start of the fade into it (cue
// k-1 = 5 (k-1) s) to the end of the fade out of it (5 k + 1.78 s); xfade
// overlaps the last 1.78 s of one input with the first of the next.
std::string xfade_command()
{
    std::string command = "ffmpeg -nostdin -v error -y";
    char part[256];
    for (int32_t k = 1; k <= PHOTO_COUNT; ++k) {
        const double length = k == PHOTO_COUNT ? SHOW_SECONDS - 5.0 * (k - 1) + 1.0 / 60 : 5.0 + FADE_SECONDS;
        std::snprintf(part, sizeof part, " -loop 1 -framerate 60 -t %.4f -i %s", length, PHOTO_FILES[k - 1]);
        command += part;
    }
    command += " -filter_complex \"";
    for (int32_t k = 1; k < PHOTO_COUNT; ++k) {
        std::snprintf(part, sizeof part, "%s[%d]xfade=transition=fade:duration=%.2f:offset=%d[v%d]%s",
                      k == 1 ? "[0]" : ("[v" + std::to_string(k - 1) + "]").c_str(), k, FADE_SECONDS, 5 * k, k,
                      k + 1 < PHOTO_COUNT ? ";" : "");
        command += part;
    }
    command += "\" -map \"[v9]\" -frames:v 3001 -pix_fmt bgra -f rawvideo /dev/null";
    return command;
}

void BM_ffmpeg_xfade_60fps(benchmark::State& state)
{
    InSourceDir here;
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const std::string command = xfade_command();
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError(("ffmpeg failed: " + command).c_str());
            return;
        }
    }
}

// The show captured at 60 fps into a folder in the given format.
void capture_60fps(benchmark::State& state, int32_t format)
{
    InSourceDir here;
    const fs::path dir = fs::temp_directory_path() / "yurn-bench-capture";
    const std::string target = dir.string();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(dir);
        state.ResumeTiming();
        capture_begin({.target = target.c_str(), .format = format, .fps_numerator = 60, .fps_denominator = 1});
        capture_end(run_show(headless_options()));
    }
    state.counters["frames"] = double(capture_frames_written());
    fs::remove_all(dir);
}

// The show captured at 60 fps to an H.264 video through ffmpeg.
void BM_capture_mp4_60fps(benchmark::State& state)
{
    InSourceDir here;
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
        state.SkipWithError("ffmpeg is not installed");
        return;
    }
    const fs::path video = fs::temp_directory_path() / "yurn-bench-capture.mp4";
    const std::string target = video.string();
    for (auto _ : state) {
        capture_begin({.target = target.c_str(), .format = CAPTURE_PNG, .fps_numerator = 60, .fps_denominator = 1});
        capture_end(run_show(headless_options()));
    }
    state.counters["frames"] = double(capture_frames_written());
    fs::remove(video);
}

// The same frames, files and table with no compression: what PNG encoding
// adds is the ratio of the two.
void BM_capture_ppm_60fps(benchmark::State& state) { capture_60fps(state, CAPTURE_PPM); }
void BM_capture_png_60fps(benchmark::State& state) { capture_60fps(state, CAPTURE_PNG); }

BENCHMARK(BM_show_headless_60fps)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ffmpeg_xfade_60fps)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_capture_ppm_60fps)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_capture_png_60fps)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_capture_mp4_60fps)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();


}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    // Wall time: ffmpeg works in a child process, whose CPU time this one does not see.
    RatioReporter reporter;
    reporter.wall_time = true;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double show = reporter.time_of("BM_show_headless_60fps"), xfade = reporter.time_of("BM_ffmpeg_xfade_60fps"),
                 png = reporter.time_of("BM_capture_png_60fps"), ppm = reporter.time_of("BM_capture_ppm_60fps");
    if (show > 0)
        std::printf("show headless 60 fps: %.3f s for 50 s of show (%.0fx real time)\n", show, SHOW_SECONDS / show);
    if (show > 0 && xfade > 0)
        std::printf("ratio ffmpeg xfade / show: %.1fx (ffmpeg %.3f s)\n", xfade / show, xfade);
    if (png > 0)
        std::printf("capture to PNG at 60 fps: %.2f s for 50 s of show (%.1fx faster than real time)\n", png,
                    SHOW_SECONDS / png);
    const double mp4 = reporter.time_of("BM_capture_mp4_60fps");
    if (mp4 > 0)
        std::printf("capture to MP4 at 60 fps: %.2f s for 50 s of show (%.1fx faster than real time)\n", mp4,
                    SHOW_SECONDS / mp4);
    if (png > 0 && ppm > 0)
        std::printf("ratio capture PNG / capture PPM (no compression): %.2fx (PPM %.2f s)\n", png / ppm, ppm);
    benchmark::Shutdown();
    return 0;
}
