// The main loop against the schedule, on the headless display and its
// virtual clock: cues, early ends, passes, readiness, the end of the show.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "files/files.h"
#include "platform/platform.h"
#include "shell/options.h"
#include "shell/run.h"
#include "shell/shell.h"
#include "shell/shell_local.h"
#include "stages/stages.h"
#include "stages/standin.h"
#include "test_support.h"

// Every allocation of this test program can be counted.
namespace {
std::atomic<bool> counting_allocations{false};
std::atomic<int64_t> allocations{0};
// Through a pointer, so the compiler does not pair this free with its own new.
void (*volatile free_memory)(void*) = std::free;
}  // namespace

void* operator new(size_t size)
{
    if (counting_allocations.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { free_memory(p); }
void operator delete(void* p, size_t) noexcept { free_memory(p); }

namespace {

// A stage that counts what the shell does to it.
struct Probe {
    uint32_t passes = 1;
    bool becomes_ready = true;
    int32_t done_at_render = 0;  // render returns 1 from this call on (1-based); 0: never
    int32_t prepares = 0;
    int32_t renders = 0;
    int32_t ticks = 0;
    std::vector<double> render_times;
    std::vector<int32_t> ticks_at_render;
    std::vector<uint32_t> frame;
};

Probe probes[STAGE_COUNT];
int32_t probe_count = 0;
float test_schedule[SCHEDULE_LENGTH];

struct Shown {
    int64_t frame;
    double time_ms;
    int32_t stage;
};
std::vector<Shown> shown;

void probe_prepare(int32_t i)
{
    probes[i].prepares++;
    if (probes[i].becomes_ready)
        stage_table[i].ready.store(1, std::memory_order_relaxed);
}

int32_t probe_render(int32_t i)
{
    Probe& p = probes[i];
    p.renders++;
    p.render_times.push_back(headless_time_ms());
    p.ticks_at_render.push_back(p.ticks);
    return p.done_at_render && p.renders >= p.done_at_render ? 1 : 0;
}

void probe_tick(int32_t i) { probes[i].ticks++; }

void probe_create(int32_t i, int32_t width, int32_t height)
{
    Stage& s = stage_table[i];
    probes[i].frame.assign(size_t(width) * size_t(height), 0x00102030u + uint32_t(i));
    s.passes = probes[i].passes;
    s.ready.store(0, std::memory_order_relaxed);
    s.output = probes[i].frame.data();
    s.data = &probes[i];
    s.prepare = probe_prepare;
    s.render = probe_render;
    s.tick.store(probe_tick, std::memory_order_relaxed);
    s.release = nullptr;
}

void build_probes()
{
    std::memcpy(schedule, test_schedule, sizeof schedule);
    stage_table = clear_stage_table();
    for (int32_t i = 0; i < probe_count; i++)
        stage_table[i].create = probe_create;
    for (int32_t i = 0; i < probe_count; i++)
        stage_table[i].create(i, frame_width, frame_height);
    stage_table[probe_count].data = nullptr;
}

void record(const PresentedFrame& f, void*) { shown.push_back({f.frame, f.time_ms, f.stage}); }

// Sets up count probes and the schedule (missing cues are left far away).
void setup(int32_t count, std::initializer_list<float> cues)
{
    for (Probe& p : probes)
        p = Probe{};
    probe_count = count;
    for (float& c : test_schedule)
        c = 1000.0f;
    int32_t k = 0;
    for (float c : cues)
        test_schedule[k++] = c;
    shown.clear();
    headless_set_present_hook(record, nullptr);
}

Options headless(int64_t fps = 60)
{
    Options o;
    o.headless = true;
    o.fps_numerator = fps;
    o.script = "standin";
    return o;
}

struct ClearHook {
    ~ClearHook() { headless_set_present_hook(nullptr, nullptr); }
};

}  // namespace

TEST(Schedule, AnIntervalEndsOnlyWhenItsCueIsStrictlyPassed)
{
    ClearHook clear;
    setup(1, {0.125f});  // 125 ms exactly; frames every 125 ms at 8 fps
    EXPECT_EQ(run_show_script(headless(8), build_probes), 1);
    // At T = 125 the cue has not passed yet: a second frame is rendered.
    EXPECT_EQ(probes[0].render_times, (std::vector<double>{0.0, 125.0}));
    EXPECT_EQ(cue_index, 1);
}

TEST(Schedule, AnEarlyEndKeepsTheCueForTheNextInterval)
{
    ClearHook clear;
    setup(2, {1.0f, 2.0f});
    probes[0].done_at_render = 1;
    EXPECT_EQ(run_show_script(headless(10), build_probes), 2);
    EXPECT_EQ(probes[0].renders, 1);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0].stage, 0) << "the frame of the finishing render is still shown";
    // Stage 1 runs until cue 0 (1 s), not cue 1.
    EXPECT_EQ(probes[1].render_times.back(), 1000.0);
    EXPECT_EQ(cue_index, 1);
}

TEST(Schedule, AnIntervalThatStartsAfterItsCueEndsWithoutAFrame)
{
    ClearHook clear;
    setup(3, {0.5f, 0.25f, 1.0f});
    EXPECT_EQ(run_show_script(headless(), build_probes), 3);
    EXPECT_EQ(probes[1].prepares, 1);
    EXPECT_EQ(probes[1].renders, 0);
    EXPECT_GT(probes[2].renders, 0);
    EXPECT_EQ(cue_index, 3);
}

TEST(Schedule, PassesSayHowManyIntervalsAStageStays)
{
    ClearHook clear;
    setup(3, {0.5f, 1.0f, 1.5f});
    probes[0].passes = 0;
    probes[1].passes = 2;
    EXPECT_EQ(run_show_script(headless(), build_probes), 3);
    EXPECT_EQ(probes[0].prepares, 1);
    EXPECT_EQ(probes[0].renders, 0);
    EXPECT_LE(probes[1].render_times.back(), 1000.0);
    EXPECT_GT(probes[1].render_times.back(), 500.0);
    EXPECT_GT(probes[2].render_times.front(), 1000.0);
}

TEST(Schedule, ASpentScheduleEndsEveryIntervalWithoutReadingPastIt)
{
    ClearHook clear;
    setup(1, {});
    for (float& c : test_schedule)
        c = 0.0f;
    probes[0].passes = 40;
    EXPECT_EQ(run_show_script(headless(), build_probes), 1);
    EXPECT_EQ(cue_index, SCHEDULE_LENGTH);
    EXPECT_EQ(probes[0].renders, 1) << "one frame until cue 0 passed, none after";
    EXPECT_EQ(cue_pending(), 0);
    EXPECT_EQ(cue_index, SCHEDULE_LENGTH);
}

TEST(Stages, NotReadyIsNeitherRenderedNorTickedButShown)
{
    ClearHook clear;
    setup(1, {0.5f});
    probes[0].becomes_ready = false;
    static uint32_t first_pixel;
    headless_set_present_hook(
        [](const PresentedFrame& f, void*) { std::memcpy(&first_pixel, f.pixels, 4); }, nullptr);
    EXPECT_EQ(run_show_script(headless(), build_probes), 1);
    EXPECT_EQ(probes[0].renders, 0);
    EXPECT_EQ(probes[0].ticks, 0);
    EXPECT_EQ(frame_counter, 31);
    EXPECT_EQ(first_pixel, 0x00102030u);
}

TEST(Stages, TicksFollowTheVirtualClock)
{
    ClearHook clear;
    setup(1, {1.0f});
    EXPECT_EQ(run_show_script(headless(), build_probes), 1);
    ASSERT_EQ(probes[0].renders, 61);
    for (size_t n = 0; n < probes[0].render_times.size(); n++) {
        const double t = double(int64_t(n) * 1000) / 60.0;
        EXPECT_EQ(probes[0].render_times[n], t);
        EXPECT_EQ(probes[0].ticks_at_render[n], int32_t(t / 14.0)) << n;
    }
    EXPECT_EQ(probes[0].ticks, int32_t((61 * 1000.0 / 60.0) / 14.0));
}

TEST(Stages, TheTerminatingRecordReadsNotReady)
{
    ClearHook clear;
    setup(1, {0.1f});
    EXPECT_EQ(run_show_script(headless(), build_probes), 1);
    EXPECT_EQ(stage_table[1].ready.load(), 0);
    // The timer left armed at the end sees the terminating record and does nothing.
    const int32_t before = probes[0].ticks;
    timer_tick();
    EXPECT_EQ(probes[0].ticks, before);
}

TEST(Show, TheStandInShowRunsItsScheduleAndEndsWith19)
{
    ClearHook clear;
    setup(0, {});
    EXPECT_EQ(run_show(headless()), 19);
    EXPECT_EQ(frame_counter, 3001);
    ASSERT_EQ(shown.size(), 3001u);
    // Even records hold until their cue (5 s, 10 s, ...), odd ones end after
    // their 127 ticks, one after the other.
    int32_t stage = 0;
    double started = 0;
    for (const Shown& f : shown) {
        if (f.stage != stage) {
            ASSERT_EQ(f.stage, stage + 1) << "at " << f.time_ms;
            if (stage % 2 == 0)
                EXPECT_GT(f.time_ms, 5000.0 * (stage / 2 + 1));
            else
                EXPECT_NEAR(f.time_ms - started, STANDIN_EARLY_TICKS * 14.0, 40.0);
            stage = f.stage;
            started = f.time_ms;
        }
    }
    EXPECT_EQ(stage, 18);
    EXPECT_LE(shown.back().time_ms, 50000.0);
    EXPECT_GT(standin_ticks(1), STANDIN_EARLY_TICKS - 1);
}

TEST(Show, EscapeEndsWithZeroAndStopsTheTimer)
{
    ClearHook clear;
    setup(0, {});
    headless_set_present_hook(
        [](const PresentedFrame& f, void*) {
            shown.push_back({f.frame, f.time_ms, f.stage});
            if (f.frame == 10)
                headless_queue_event({.type = EVENT_KEY_DOWN, .key = KEY_ESCAPE, .minimised = 0}, 0);
        },
        nullptr);
    EXPECT_EQ(run_show(headless()), 0);
    EXPECT_EQ(timer_id, 0u);
    EXPECT_EQ(shown.back().frame, 10) << "Escape is seen before the next frame";
}

TEST(Show, WhileMinimisedNoFramesButTicksAndCuesGoOn)
{
    ClearHook clear;
    setup(0, {});
    headless_set_present_hook(
        [](const PresentedFrame& f, void*) {
            shown.push_back({f.frame, f.time_ms, f.stage});
            if (f.frame == 30) {
                headless_queue_event({.type = EVENT_ACTIVATE, .key = 0, .minimised = 1}, 0);
                headless_queue_event({.type = EVENT_ACTIVATE, .key = 0, .minimised = 0}, 600);
            }
        },
        nullptr);
    EXPECT_EQ(run_show(headless()), 19);
    const auto restored = std::find_if(shown.begin(), shown.end(), [](const Shown& f) { return f.frame > 30; });
    ASSERT_NE(restored, shown.end());
    EXPECT_GE(restored->time_ms, 10000.0);
    // Stage 0's cue (5 s) and stage 1's (10 s) both passed while minimised:
    // each interval ends at its first test, and stage 1 never draws.
    EXPECT_EQ(restored->stage, 2);
    EXPECT_EQ(standin_ticks(0), uint32_t(10500 / 14)) << "stage 0 was current and ticked all along";
}

TEST(Show, FractionalFrameRatesKeepExactTimes)
{
    ClearHook clear;
    setup(1, {0.5f});
    Options o = headless();
    o.fps_numerator = 30000;
    o.fps_denominator = 1001;
    EXPECT_EQ(run_show_script(o, build_probes), 1);
    for (const Shown& f : shown)
        EXPECT_EQ(f.time_ms, double(f.frame * 1000 * 1001) / 30000.0);
}

TEST(Show, TwoRunsGiveTheSameFrames)
{
    ClearHook clear;
    static std::vector<uint64_t> hashes[2];
    static int32_t run;
    for (run = 0; run < 2; run++) {
        hashes[run].clear();
        headless_set_present_hook(
            [](const PresentedFrame& f, void*) {
                uint64_t h = 1469598103934665603ull;
                const size_t size = size_t(f.width) * size_t(f.height) * size_t(f.depth / 8);
                for (size_t i = 0; i + 8 <= size; i += 8) {
                    uint64_t word;
                    std::memcpy(&word, f.pixels + i, 8);
                    h = (h ^ word) * 1099511628211ull;
                }
                hashes[run].push_back(h ^ uint64_t(f.stage));
            },
            nullptr);
        Options o = headless(25);
        o.offered_modes = OFFER_8;
        EXPECT_EQ(run_show(o), 19);
    }
    EXPECT_EQ(hashes[0].size(), 1251u);
    EXPECT_EQ(hashes[0], hashes[1]);
}

TEST(Show, TheFrameRateReport)
{
    ClearHook clear;
    setup(1, {1.0f});
    EXPECT_EQ(run_show_script(headless(), build_probes), 1);
    char text[256];
    format_frame_rate(text, sizeof text);
    EXPECT_STREQ(text, "Efecto compatible con las Vortal 2.1\n\n61 frames renderizados en 1 segundos: 60 FPS");
}

TEST(Show, NoAllocationPerFrameAtAnyDepth)
{
    ClearHook clear;
    setup(0, {});
    headless_set_present_hook(
        [](const PresentedFrame& f, void*) {
            if (f.frame == 50)
                counting_allocations.store(true);
            if (f.frame == 1500)
                counting_allocations.store(false);
        },
        nullptr);
    for (uint32_t modes : {OFFER_32, OFFER_24, OFFER_16, OFFER_8}) {
        allocations.store(0);
        Options o = headless();
        o.offered_modes = modes;
        EXPECT_EQ(run_show(o), 19);
        counting_allocations.store(false);
        EXPECT_EQ(allocations.load(), 0) << "depth " << display_depth;
    }
}

// YURN_FRAME_FILE: scripts driving the real window wait on it.  The file
// holds the count of presented frames, written at each power of two.
TEST(Show, TheFrameFileCountsPresentedFramesAtPowersOfTwo)
{
    const std::string path = testing::TempDir() + "yurn-frames-" + std::to_string(getpid());
    std::remove(path.c_str());
    ClearHook clear;
    setup(1, {0.1f});  // 7 frames at 60 fps: T = 0 .. 100 ms
    setenv("YURN_FRAME_FILE", path.c_str(), 1);
    const int32_t code = run_show_script(headless(60), build_probes);
    unsetenv("YURN_FRAME_FILE");
    EXPECT_EQ(code, 1);
    ASSERT_EQ(shown.size(), 7u);
    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr) << path;
    char text[32] = "";
    const size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::remove(path.c_str());
    EXPECT_EQ(std::string(text, got), "4\n");
}

// --data: the archive and the plain files are looked for in that folder, and
// the folder outlives the options it came from.
TEST(Show, TheDataFolderHoldsTheArchiveAndTheFiles)
{
    ClearHook clear;
    setup(1, {0.05f});
    {
        std::string folder = "/otra/carpeta";
        Options o = headless();
        o.data = folder.c_str();
        EXPECT_EQ(run_show_script(o, build_probes), 1);
        folder.assign(folder.size(), 'x');
    }
    EXPECT_STREQ(archive_name, "/otra/carpeta/Yurn.pak");
    EXPECT_EQ(data_path("datos/Foto1.pcx"), "/otra/carpeta/datos/Foto1.pcx");
    EXPECT_EQ(data_path("/abs/f.pcx"), "/abs/f.pcx");
    setup(1, {0.05f});
    EXPECT_EQ(run_show_script(headless(), build_probes), 1);
    EXPECT_STREQ(archive_name, "Yurn.pak");
    EXPECT_EQ(data_path("datos/Foto1.pcx"), "datos/Foto1.pcx");
}

// Each script says how long its show runs (the capture's progress estimate):
// the last frame drawn is within one frame of that length.
TEST(Show, EachScriptsLengthIsWhereItsShowEnds)
{
    for (const char* name : {"show", "engine", "standin"}) {
        Options o;
        o.headless = true;
        o.fps_numerator = 4;
        o.script = name;
        double last_ms = -1.0;
        headless_set_present_hook(
            [](const PresentedFrame& frame, void* user) { *static_cast<double*>(user) = frame.time_ms; }, &last_ms);
        EXPECT_NE(run_show(o), 1) << name;
        headless_set_present_hook(nullptr, nullptr);
        const double length_ms = double(find_stage_script(name)->length) * 1000.0;
        EXPECT_LE(last_ms, length_ms) << name;
        EXPECT_GT(last_ms, length_ms - 250.0) << name;
    }
}

// A show that ends before its sound track asks for the music to fade out
// with the picture: the engine show from its last photograph's cue (24 s) to
// its end (27.5 s).  The photograph show leaves it to the track, which is
// silent from 50 s.
TEST(Show, TheEngineShowFadesItsMusicOutWithThePicture)
{
    Options o;
    o.headless = true;
    o.fps_numerator = 4;
    o.script = "engine";
    EXPECT_EQ(run_show(o), 7);
    double at = 0.0;
    uint32_t length = 0;
    headless_music_fade(&at, &length);
    EXPECT_DOUBLE_EQ(at, 24000.0);
    EXPECT_EQ(length, 3500u);
    o.script = "standin";
    EXPECT_EQ(run_show(o), 19);
    headless_music_fade(&at, &length);
    EXPECT_DOUBLE_EQ(at, -1.0);
}
