// The ceiling fade-in and fade-out stages, driven through a small stage table
// of their own with a test stage on either side.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "stages/fades.h"
#include "stages/show_stages.h"
#include "test_levels.h"
#include "test_support.h"

namespace {

constexpr int32_t W = 8, H = 4, N = W * H;

// A neighbour that counts the calls it gets and shows a fixed picture.
struct Probe {
    std::vector<uint32_t> pixels = std::vector<uint32_t>(N);
    int prepares = 0, renders = 0, ticks = 0;
};
Probe probes[3];

void probe_prepare(int32_t i) { probes[i].prepares++; stage_table[i].output = probes[i].pixels.data(); }
int32_t probe_render(int32_t i) { probes[i].renders++; return 0; }
void probe_tick(int32_t i) { probes[i].ticks++; }

struct FadeFixture : ::testing::Test {
    Stage table[3]{};
    void SetUp() override
    {
        stage_table = table;
        for (int i : {0, 2}) {
            probes[i] = Probe{};
            table[i].data = &probes[i];
            table[i].output = probes[i].pixels.data();
            table[i].prepare = probe_prepare;
            table[i].render = probe_render;
            table[i].tick.store(probe_tick);
        }
    }
    void TearDown() override
    {
        table[1].release(1);
        stage_table = nullptr;
    }
    void tick(int n = 1) { for (int k = 0; k < n; k++) table[1].tick.load()(1); }
    uint32_t* out() { return table[1].output; }
};

uint32_t reference_darken(uint32_t p, int amount)
{
    uint32_t r = p & 0xFF000000u;
    for (int s = 0; s < 24; s += 8) {
        int lane = int((p >> s) & 0xFF);
        r |= uint32_t(lane >= amount ? lane - amount : 0) << s;
    }
    return r;
}

uint32_t reference_ceiling(uint32_t p, int level)
{
    uint32_t r = 0;
    for (int s = 0; s < 32; s += 8) {
        int lane = int((p >> s) & 0xFF);
        r |= uint32_t(lane < level ? lane : level) << s;
    }
    return r;
}

// A neighbour that draws each frame into the other of its two buffers and
// points output at it (double buffering), with different pixels each time.
struct Flipper {
    std::vector<uint32_t> buffers[2] = {std::vector<uint32_t>(N, 0xDEADBEEFu), std::vector<uint32_t>(N, 0xDEADBEEFu)};
    int renders = 0;
};
Flipper flippers[3];

uint32_t flipper_pixel(int32_t stage, int render, int32_t i)
{
    return (uint32_t(stage) * 0x00402010u + uint32_t(render) * 0x01030507u + uint32_t(i) * 0x000B0D11u) & 0x7FFFFFFFu;
}
void flipper_prepare(int32_t) {}
int32_t flipper_render(int32_t index)
{
    Flipper& f = flippers[index];
    f.renders++;
    std::vector<uint32_t>& next = f.buffers[f.renders % 2];
    for (int32_t i = 0; i < N; i++)
        next[i] = flipper_pixel(index, f.renders, i);
    stage_table[index].output = next.data();
    return 0;
}
void flipper_tick(int32_t) {}

// The cross-fade's blend as written: per lane floor((255-c)*a/256) + floor(c*b/256), a's top byte.
uint32_t reference_blend(uint32_t a, uint32_t b, uint32_t c)
{
    uint32_t out = a & 0xFF000000u;
    for (int s = 0; s < 24; s += 8)
        out |= ((255 - c) * ((a >> s) & 0xFF) / 256 + c * ((b >> s) & 0xFF) / 256) << s;
    return out;
}

}  // namespace

TEST_F(FadeFixture, EveryFadeReadsItsNeighboursFrameAfterRenderingIt)
{
    // Neighbours that swap buffers on every render: each fade must take the
    // frame the neighbour has just drawn, not the one its output pointed to
    // before the call.
    frame_width = W;
    frame_height = H;
    for (int i : {0, 2}) {
        flippers[i] = Flipper{};
        table[i].prepare = flipper_prepare;
        table[i].render = flipper_render;
        table[i].tick.store(flipper_tick);
        table[i].output = flippers[i].buffers[0].data();
    }
    const struct {
        const char* name;
        void (*create)(int32_t, int32_t, int32_t);
        int ticks;
    } fades[] = {{"ceiling", ceiling_create, 255}, {"fade-out", fadeout_create, 0}, {"cross-fade", crossfade_create, 40}};
    for (const auto& fade : fades) {
        fade.create(1, W, H);
        table[1].prepare(1);
        tick(fade.ticks);
        for (int frame = 0; frame < 3; frame++) {
            table[1].render(1);
            const int previous_render = flippers[0].renders, next_render = flippers[2].renders;
            for (int32_t i = 0; i < N; i++) {
                const uint32_t before = flipper_pixel(0, previous_render, i), after = flipper_pixel(2, next_render, i);
                // Ceiling at level 255 shows the next frame unchanged; the
                // fade-out at level 0 copies the previous; the cross-fade at
                // weight 80 blends both with c = 80.
                const uint32_t expected = fade.create == ceiling_create   ? after
                                          : fade.create == fadeout_create ? before
                                                                          : reference_blend(before, after, 80);
                ASSERT_EQ(out()[i], expected) << fade.name << " frame " << frame << " pixel " << i;
            }
        }
        table[1].release(1);
    }
}

using CeilingStage = FadeFixture;

TEST_F(CeilingStage, DrivesOnlyTheNextNeighbourAndStartsBlack)
{
    ceiling_create(1, W, H);
    EXPECT_EQ(table[1].passes, 1u);
    EXPECT_EQ(table[1].ready.load(), 0);
    for (auto& p : probes[2].pixels) p = 0xFF808080u;  // top byte set too
    table[1].prepare(1);
    EXPECT_EQ(table[1].ready.load(), 1);
    EXPECT_EQ(probes[2].prepares, 1);
    EXPECT_EQ(table[1].render(1), 0);
    for (int i = 0; i < N; i++) EXPECT_EQ(out()[i], 0u);  // level 0: black, top byte included
    tick(3);
    EXPECT_EQ(probes[2].renders, 1);
    EXPECT_EQ(probes[2].ticks, 3);
    EXPECT_EQ(probes[0].prepares + probes[0].renders + probes[0].ticks, 0);
}

TEST_F(FadeFixture, FramesAreAlignedAndReleaseEmptiesTheRecord)
{
    for (auto create : {ceiling_create, fadeout_create}) {
        create(1, W, H);
        table[1].prepare(1);
        // The kernels' vector stores rely on frame buffers on a 64-byte boundary.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(table[1].output) % 64, 0u);
        table[1].release(1);
        EXPECT_EQ(table[1].data, nullptr);
        EXPECT_EQ(table[1].output, nullptr);
        EXPECT_EQ(table[1].ready.load(), 0);
        table[1].release(1);  // a second release finds nothing to free
    }
}

TEST_F(CeilingStage, CapsEveryByteAtTheLevel)
{
    ceiling_create(1, W, H);
    table[1].prepare(1);
    probes[2].pixels[0] = 0x40FF1005u;
    tick(16);
    table[1].render(1);
    EXPECT_EQ(out()[0], 0x10101005u);  // lanes above 16 show 16, lanes below unchanged
}

TEST_F(CeilingStage, FinishesOnThe256thTickWithoutWrapping)
{
    ceiling_create(1, W, H);
    table[1].prepare(1);
    auto* state = static_cast<CeilingState*>(table[1].data);
    tick(255);
    EXPECT_EQ(state->level.load(), 255);
    EXPECT_EQ(table[1].render(1), 0);
    tick();
    EXPECT_EQ(table[1].render(1), 1);
    tick(10);
    EXPECT_EQ(state->level.load(), 255);
    probes[2].pixels[3] = 0xFFFFFFFFu;
    table[1].render(1);
    EXPECT_EQ(out()[3], 0xFFFFFFFFu);  // level 255 shows the picture unchanged
}

TEST_F(CeilingStage, SecondPrepareKeepsTheBufferButPreparesTheNeighbourAgain)
{
    ceiling_create(1, W, H);
    table[1].prepare(1);
    uint32_t* buffer = out();
    buffer[0] = 0x12345678u;
    table[1].prepare(1);
    EXPECT_EQ(out(), buffer);
    EXPECT_EQ(buffer[0], 0x12345678u);
    EXPECT_EQ(probes[2].prepares, 2);
}

using FadeOutStage = FadeFixture;

TEST_F(FadeOutStage, DrivesOnlyThePreviousNeighbourAndStartsAsACopy)
{
    fadeout_create(1, W, H);
    for (int i = 0; i < N; i++) probes[0].pixels[i] = 0x01000000u * uint32_t(i) + 0x00C08040u;
    table[1].prepare(1);
    EXPECT_EQ(probes[0].prepares, 0);  // the previous stage is never prepared again
    EXPECT_EQ(table[1].render(1), 0);
    for (int i = 0; i < N; i++) EXPECT_EQ(out()[i], probes[0].pixels[i]);
    tick(2);
    EXPECT_EQ(probes[0].renders, 1);
    EXPECT_EQ(probes[0].ticks, 2);
    EXPECT_EQ(probes[2].prepares + probes[2].renders + probes[2].ticks, 0);
}

TEST_F(FadeOutStage, TruncatesTheLevelAndKeepsTheTopByte)
{
    fadeout_create(1, W, H);
    table[1].prepare(1);
    probes[0].pixels[0] = 0x7F0A0807u;
    tick(3);  // 7.5
    EXPECT_EQ(static_cast<FadeOutState*>(table[1].data)->level.load(), 7.5f);
    table[1].render(1);
    EXPECT_EQ(out()[0], 0x7F030100u);
}

TEST_F(FadeOutStage, HoldsBlackAt255AndNeverFinishes)
{
    fadeout_create(1, W, H);
    table[1].prepare(1);
    for (auto& p : probes[0].pixels) p = 0xAAFFFFFFu;
    auto* state = static_cast<FadeOutState*>(table[1].data);
    tick(101);
    EXPECT_EQ(state->level.load(), 252.5f);
    tick();
    EXPECT_EQ(state->level.load(), 255.0f);
    tick(50);
    EXPECT_EQ(state->level.load(), 255.0f);
    EXPECT_EQ(table[1].render(1), 0);
    for (int i = 0; i < N; i++) EXPECT_EQ(out()[i], 0xAA000000u);
}

TEST_F(FadeOutStage, SecondPrepareChangesNothing)
{
    fadeout_create(1, W, H);
    table[1].prepare(1);
    uint32_t* buffer = out();
    table[1].prepare(1);
    EXPECT_EQ(out(), buffer);
    EXPECT_EQ(table[1].ready.load(), 1);
}

TEST(FadeKernels, DarkenWorkedValues)
{
    uint32_t p[1] = {0x990305C8u};
    darken(p, 5, 1);
    EXPECT_EQ(p[0], 0x990000C3u);  // 3 -> 0, 5 -> 0, 200 -> 195, top byte kept
}

TEST(FadeKernels, MatchThePlainLoopsForEveryAmountAndLength)
{
    std::mt19937 rng(7);
    std::vector<uint32_t> src(263), dst(263);
    for (auto& p : src) p = rng();
    for (int32_t level : machine_levels()) {
        LevelCap cap(level);
        for (int amount = 0; amount < 256; amount++) {
            int32_t count = 1 + amount % 263;
            darken_copy(dst.data(), src.data(), uint8_t(amount), count);
            for (int32_t i = 0; i < count; i++)
                ASSERT_EQ(dst[i], reference_darken(src[i], amount)) << amount << " at " << level_name(level);
            ceiling_pass(dst.data(), src.data(), uint8_t(amount), count);
            for (int32_t i = 0; i < count; i++)
                ASSERT_EQ(dst[i], reference_ceiling(src[i], amount)) << amount << " at " << level_name(level);
            std::vector<uint32_t> in_place(src.begin(), src.begin() + count);
            darken(in_place.data(), uint8_t(amount), count);
            for (int32_t i = 0; i < count; i++)
                ASSERT_EQ(in_place[i], reference_darken(src[i], amount)) << level_name(level);
        }
    }
}

TEST(FadeKernels, WholeFramesAndTailsAtEveryLevelTouchNothingElse)
{
    std::mt19937 rng(8);
    constexpr int32_t FRAME = 320 * 240;
    std::vector<uint32_t> src(FRAME + 64);
    for (auto& p : src) p = rng();
    for (int32_t level : machine_levels()) {
        LevelCap cap(level);
        for (int32_t start : {0, 1, 5}) {
            for (int32_t count : {FRAME, 15, 16, 17, 31, 33, 47, 63, 64, 65, 129}) {
                std::vector<uint32_t> dst(FRAME + 64, 0x5A5A5A5Au);
                darken_copy(dst.data() + start, src.data() + start, 77, count);
                for (int32_t i = 0; i < FRAME + 64; i++) {
                    const bool inside = i >= start && i < start + count;
                    ASSERT_EQ(dst[i], inside ? reference_darken(src[i], 77) : 0x5A5A5A5Au)
                        << level_name(level) << " start " << start << " count " << count << " i " << i;
                }
                std::fill(dst.begin(), dst.end(), 0x5A5A5A5Au);
                ceiling_pass(dst.data() + start, src.data() + start, 140, count);
                for (int32_t i = 0; i < FRAME + 64; i++) {
                    const bool inside = i >= start && i < start + count;
                    ASSERT_EQ(dst[i], inside ? reference_ceiling(src[i], 140) : 0x5A5A5A5Au)
                        << level_name(level) << " start " << start << " count " << count << " i " << i;
                }
            }
        }
    }
}

TEST(FadeSetUp, FadesWithoutTheirNeighbourAreRefusedNamingTheRecord)
{
    // The ceiling reads the next record, so it may not stand in the last; the
    // fade-out reads the previous one, so not in record 0.  Refused when
    // created, before anything is installed.  (A table with a spare record
    // on each side, so that nothing is written outside it either way.)
    std::vector<Stage> records(STAGE_COUNT + 2);
    stage_table = records.data() + 1;
    for (int32_t index : {STAGE_COUNT - 1, -1}) {
        const std::string message = fatal_message_of([&] { ceiling_create(index, W, H); });
        EXPECT_NE(message.find("registro " + std::to_string(index)), std::string::npos) << message;
        EXPECT_NE(message.find("siguiente"), std::string::npos) << message;
    }
    for (int32_t index : {0, STAGE_COUNT}) {
        const std::string message = fatal_message_of([&] { fadeout_create(index, W, H); });
        EXPECT_NE(message.find("registro " + std::to_string(index)), std::string::npos) << message;
        EXPECT_NE(message.find("anterior"), std::string::npos) << message;
    }
    for (const Stage& record : records)
        EXPECT_EQ(record.data, nullptr);
    // Where they have their neighbour they are accepted.
    EXPECT_EQ(fatal_message_of([&] { ceiling_create(STAGE_COUNT - 2, W, H); }), "");
    EXPECT_EQ(fatal_message_of([&] { ceiling_create(0, W, H); }), "");
    EXPECT_EQ(fatal_message_of([&] { fadeout_create(STAGE_COUNT - 1, W, H); }), "");
    EXPECT_EQ(fatal_message_of([&] { fadeout_create(1, W, H); }), "");
    for (int32_t index : {STAGE_COUNT - 2, 0, STAGE_COUNT - 1, 1})
        stage_table[index].release(index);
    stage_table = nullptr;
}
