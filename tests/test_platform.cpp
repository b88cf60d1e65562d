// The real timer thread and the clock, and the timer tick racing the main
// thread over the stage table (run under ThreadSanitizer in CI).
#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "shell/shell.h"
#include "shell/shell_local.h"
#include "stages/stages.h"
#include "test_support.h"

namespace {

std::atomic<int32_t> calls{0};
std::atomic<int32_t> running{0};
std::atomic<int32_t> overlaps{0};

void counting_callback()
{
    if (running.load(std::memory_order_relaxed) != 0)
        overlaps.store(overlaps.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    running.store(1, std::memory_order_relaxed);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    calls.store(calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    running.store(0, std::memory_order_relaxed);
}

std::atomic<int32_t> second_calls{0};

void second_callback() { second_calls.store(second_calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }


}  // namespace

TEST(RealTimer, TicksOnDeadlinesOneAtATimeAndStopsWhenKilled)
{
    calls.store(0);
    const double start = steady_ms();
    const uint32_t id = sdl_platform.start_timer(TICK_MS, counting_callback);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(sdl_platform.start_timer(TICK_MS, counting_callback), 0u) << "one timer at a time";
    // Twenty calls take 280 ms on an idle machine; a loaded one may take far
    // longer, so wait for them rather than for a fixed time.
    ASSERT_TRUE(wait_until([] { return calls.load() >= 20; }, 60000.0)) << "the timer stopped calling";
    sdl_platform.kill_timer(id);
    const double elapsed = steady_ms() - start;
    const int32_t after_kill = calls.load();
    // Deadlines step by 14 ms from the start, whatever each call takes, so the
    // count never runs ahead of the elapsed time.
    EXPECT_LE(after_kill, int32_t(elapsed / 14.0) + 1);
    EXPECT_EQ(overlaps.load(), 0);
    // A second timer's three calls span 28 ms or more: long enough for the
    // first one to have called again had kill_timer not stopped it.
    second_calls.store(0);
    const uint32_t again = sdl_platform.start_timer(TICK_MS, second_callback);
    EXPECT_NE(again, 0u);
    EXPECT_NE(again, id);
    EXPECT_TRUE(wait_until([] { return second_calls.load() >= 3; }, 60000.0));
    sdl_platform.kill_timer(again);
    EXPECT_EQ(calls.load(), after_kill) << "no call after kill returned";
}

TEST(RealTimer, TheClockCountsWallTimeNotProcessorTime)
{
    const double before = steady_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // asleep: no processor time
    EXPECT_GE(steady_ms() - before, 59.0);
}

namespace {

std::atomic<int32_t> stage_ticks[3];

void racing_tick(int32_t index)
{
    stage_ticks[index].store(stage_ticks[index].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void racing_other(int32_t) {}

}  // namespace

TEST(RealTimer, TheTickSeesWholeWordsWhileTheMainThreadMovesOn)
{
    stage_table = clear_stage_table();
    for (int32_t i = 0; i < 2; i++) {
        stage_table[i].tick.store(racing_tick, std::memory_order_relaxed);
        stage_ticks[i].store(0);
    }
    current_stage.store(0);
    const uint32_t id = sdl_platform.start_timer(1, timer_tick);
    ASSERT_NE(id, 0u);
    // Until the tick has run often while the records flip (a loaded machine
    // may starve the timer thread for a while), within a generous bound.
    const double end = steady_ms() + 60000;
    int32_t flips = 0;
    while ((flips < 200 || stage_ticks[0].load() + stage_ticks[1].load() < 20) && steady_ms() < end) {
        // What the loop and prepare do while the timer runs: move the index,
        // then make the new record ready, its entry point swapped meanwhile.
        const int32_t next = 1 - current_stage.load(std::memory_order_relaxed);
        stage_table[next].ready.store(0, std::memory_order_relaxed);
        current_stage.store(next, std::memory_order_relaxed);
        stage_table[next].tick.store(flips % 2 ? racing_tick : racing_other, std::memory_order_relaxed);
        stage_table[next].ready.store(1, std::memory_order_relaxed);
        flips++;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    sdl_platform.kill_timer(id);
    EXPECT_GT(stage_ticks[0].load() + stage_ticks[1].load(), 0);
    stage_table = clear_stage_table();
    current_stage.store(0);
}

// Opening the sound track only checks the file: the audio device (and the
// sound system's complaints when there is none) waits until the music plays,
// after the window exists, so a run that ends before says nothing about sound.
TEST(Audio, OpeningTheTrackLeavesTheDeviceClosedUntilPlay)
{
    ASSERT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    EXPECT_EQ(sdl_platform.audio_open(YURN_SOURCE_DIR "/datos/no-existe.mp3"), nullptr);
    void* stream = sdl_platform.audio_open(YURN_SOURCE_DIR "/datos/cancion.mp3");
    EXPECT_NE(stream, nullptr);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    // Fading or stopping before play touches nothing either.
    sdl_platform.audio_fade(100);
    sdl_platform.audio_stop();
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}
