// The ceiling fade-in and fade-out stages, driven through a small stage table
// of their own with a test stage on either side.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "shell/shell.h"
#include "stages/fades.h"
#include "test_levels.h"

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

}  // namespace

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
