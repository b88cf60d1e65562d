// The engine show, run in-process on the headless display at 10 fps from its
// first frame to its end: which stage is current at every frame (worked out
// independently from the schedule, the virtual clock and how each stage
// ends), the exit code, and black at both ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "files/files.h"
#include "platform/platform.h"
#include "shell/options.h"
#include "shell/run.h"
#include "shell/shell.h"
#include "stages/scene3d.h"
#include "test_support.h"

namespace {

constexpr int64_t FPS = 10;
constexpr double PERIOD_MS = 1000.0 / FPS;

struct Seen {
    int32_t stage;
    bool black;
};

void record(const PresentedFrame& f, void* user)
{
    auto* seen = static_cast<std::vector<Seen>*>(user);
    const uint32_t* p = reinterpret_cast<const uint32_t*>(f.pixels);
    bool black = std::all_of(p, p + f.width * f.height, [](uint32_t px) { return (px & 0xFFFFFF) == 0; });
    seen->push_back({f.stage, black});
}

// How each record of the engine script ends its interval: after this many
// ticks while current (the ceiling's 256th tick, the cross-fades' 127th), or
// never (0: only its cue ends it).
constexpr uint32_t FINISH_TICKS[] = {256, 0, 127, 0, 127, 0, 0};
constexpr double CUES_MS[] = {9000, 18000, 24000, 27500};

// The stage expected at each frame, from the virtual clock's rules: frame f
// is rendered at T = f * period; after its present T becomes (f + 1) * period
// and the ticks at 14 k ms <= T go to the stage current then; the interval
// test runs the cue first, then the stage's own end.
std::vector<int32_t> expected_stages()
{
    std::vector<int32_t> stages;
    int32_t stage = 0, cue = 0;
    uint32_t ticks_in_stage = 0;
    int64_t delivered = 0;
    for (int64_t f = 0; stage < 7; f++) {
        stages.push_back(stage);
        bool done = FINISH_TICKS[stage] != 0 && ticks_in_stage >= FINISH_TICKS[stage];
        double t = double(f + 1) * PERIOD_MS;
        int64_t due = int64_t(t / 14.0);
        ticks_in_stage += uint32_t(due - delivered);
        delivered = due;
        for (;;) {
            if (CUES_MS[cue] < t) {
                cue++;
            } else if (!done) {
                break;
            }
            stage++;
            ticks_in_stage = 0;
            done = false;
            if (stage == 7) break;
        }
    }
    return stages;
}

}  // namespace

TEST(EngineShow, RunsItsScheduleFromBlackToBlackAndEndsWithItsLastRecord)
{
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(YURN_SOURCE_DIR);
    std::vector<Seen> seen;
    Options options;
    options.headless = true;
    options.fps_numerator = FPS;
    options.script = "engine";
    headless_set_present_hook(record, &seen);
    int32_t code = run_show(options);
    headless_set_present_hook(nullptr, nullptr);
    std::filesystem::current_path(old);

    EXPECT_EQ(code, 7);
    std::vector<int32_t> expected = expected_stages();
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t f = 0; f < seen.size(); f++) ASSERT_EQ(seen[f].stage, expected[f]) << "frame " << f;

    EXPECT_TRUE(seen.front().black);  // the ceiling starts at level 0
    EXPECT_TRUE(seen.back().black);
    // Every stage in between shows something.
    for (int32_t s = 1; s <= 5; s++) {
        auto it = std::find_if(seen.begin(), seen.end(), [s](const Seen& x) { return x.stage == s; });
        ASSERT_NE(it, seen.end());
        EXPECT_FALSE(it->black) << "stage " << s;
    }
    // The fade-out is black after 102 ticks and holds black for over a second.
    size_t black_tail = 0;
    for (auto it = seen.rbegin(); it != seen.rend() && it->black; ++it) black_tail++;
    EXPECT_GE(double(black_tail) * PERIOD_MS, 1000.0);
}

TEST(SceneStage, MotionDependsOnTicksNotOnFramesDrawn)
{
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(YURN_SOURCE_DIR);
    Stage table[2]{};
    stage_table = table;
    frame_width = 320;
    frame_height = 240;
    std::vector<uint32_t> frames[2];
    for (int run = 0; run < 2; run++) {
        scene_lit_create(run, 320, 240);
        EXPECT_EQ(table[run].ready.load(), 0);
        table[run].prepare(run);
        EXPECT_EQ(table[run].ready.load(), 1);
        // Run 0 draws once after 100 ticks, run 1 after every 10 of them.
        for (int k = 0; k < 100; k++) {
            table[run].tick.load()(run);
            if (run == 1 && k % 10 == 9) {
                EXPECT_EQ(table[run].render(run), 0);
            }
        }
        EXPECT_EQ(table[run].render(run), 0);
        frames[run].assign(table[run].output, table[run].output + 320 * 240);
    }
    EXPECT_EQ(frames[0], frames[1]);
    for (int run = 0; run < 2; run++) table[run].release(run);
    EXPECT_EQ(table[0].data, nullptr);
    stage_table = nullptr;
    std::filesystem::current_path(old);
}

namespace {

// A scratch folder made current, holding datos/nudo.3ds from the sources.
struct ScratchData {
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("yurn-textures-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    ScratchData()
    {
        std::filesystem::create_directories(dir / "datos");
        std::filesystem::copy_file(std::filesystem::path(YURN_SOURCE_DIR) / "datos/nudo.3ds", dir / "datos/nudo.3ds");
        std::filesystem::current_path(dir);
    }
    ~ScratchData()
    {
        std::filesystem::current_path(old);
        std::filesystem::remove_all(dir);
    }
};

void write_bytes(const char* path, const std::vector<uint8_t>& bytes)
{
    EXPECT_TRUE(write_whole_file(path, bytes.data(), bytes.size(), nullptr));
}

// A raw one-plane PCX of width x height indices, with its palette.
std::vector<uint8_t> one_plane_pcx(uint32_t width, uint32_t height)
{
    std::vector<uint8_t> b(128, 0);
    b[0] = 10;
    b[1] = 5;
    b[3] = 8;
    b[8] = uint8_t(width - 1);
    b[9] = uint8_t((width - 1) >> 8);
    b[10] = uint8_t(height - 1);
    b[11] = uint8_t((height - 1) >> 8);
    b[65] = 1;
    b.resize(b.size() + size_t(width) * height, 7);
    b.push_back(12);
    b.resize(b.size() + 768, 0);
    return b;
}

}  // namespace

TEST(SceneStage, TextureOfAnotherSizeOrOnePlaneStopsNamingTheFile)
{
    ScratchData scratch;
    Stage table[1]{};
    stage_table = table;
    auto knot_message = [&table] {
        const std::string message = fatal_message_of([] { scene_knot_create(0, 32, 24); });
        if (table[0].data)
            table[0].release(0);
        return message;
    };
    // Both fill exactly the 256 x 256 x 4 bytes of the texture.
    write_bytes("datos/cielo.pcx", one_plane_pcx(512, 512));
    EXPECT_EQ(knot_message(), "La textura \"datos/cielo.pcx\" tiene 1 plano de color; hacen falta 3 (24 bits)\n");
    std::vector<uint32_t> wide(512 * 128, 0x123456);
    write_bytes("datos/cielo.pcx", encode_pcx_rgb(wide.data(), 512, 128));
    EXPECT_EQ(knot_message(), "La textura \"datos/cielo.pcx\" mide 512 x 128; hace falta 256 x 256\n");
    // The right size is taken.
    std::vector<uint32_t> square(256 * 256, 0x123456);
    write_bytes("datos/cielo.pcx", encode_pcx_rgb(square.data(), 256, 256));
    EXPECT_EQ(knot_message(), "");
    stage_table = nullptr;
}
