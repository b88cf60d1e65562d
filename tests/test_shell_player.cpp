// The player, in-process on the headless display: scripted key sequences
// (pause, seeks, frame steps, loop, mute, screenshot) sent as the backends
// send them, and every frame they put on the screen compared with the frame
// a plain run (what the capture records) shows at the same time.
#include <gtest/gtest.h>
#include <stb_image.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/options.h"
#include "shell/player.h"
#include "shell/run.h"
#include "shell/shell_local.h"
#include "stages/show_files.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t W = 320, H = 240;
constexpr int64_t FPS = 30;
constexpr int32_t ESCAPE = -1;  // a step that presses Escape instead of a player key

// A scratch folder whose datos/ is the source tree's; screenshots land here.
struct InScratchDir {
    fs::path old = fs::current_path();
    fs::path dir = fs::temp_directory_path() / ("yurn-player-" + std::to_string(getpid()));
    InScratchDir()
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::create_directory_symlink(fs::path(YURN_SOURCE_DIR) / "datos", dir / "datos");
        fs::current_path(dir);
    }
    ~InScratchDir()
    {
        fs::current_path(old);
        fs::remove_all(dir);
    }
};

struct Step {
    int64_t at;       // after this many presents
    int32_t command;  // a PlayerCommand, or ESCAPE
};

struct Seen {
    int64_t frame;     // the player's frame number on the screen
    uint64_t digest;   // of the presented surface
    bool overlay;      // something was drawn over it
};

struct Played {
    std::vector<Step> steps;
    std::vector<Seen> seen;
    std::vector<std::vector<uint8_t>> rgb;  // kept for a plain run, per frame
    bool keep_rgb = false;
    int64_t presents = 0;
    int32_t code = -1;
};

void record(const PresentedFrame& f, void* user)
{
    Played& run = *static_cast<Played*>(user);
    const size_t bytes = size_t(f.width) * size_t(f.height) * size_t(f.depth / 8);
    run.seen.push_back({player_state().frame, frame_digest(f.pixels, bytes), headless_overlay() != nullptr});
    if (run.keep_rgb)
        run.rgb.emplace_back(f.pixels, f.pixels + bytes);
    for (const Step& step : run.steps) {
        if (step.at != run.presents)
            continue;
        if (step.command == ESCAPE)
            headless_queue_event({.type = EVENT_KEY_DOWN, .key = KEY_ESCAPE, .minimised = 0}, 0);
        else
            headless_queue_event({.type = EVENT_PLAYER, .key = step.command, .minimised = 0}, 0);
    }
    run.presents++;
}

Options show_options(const char* script)
{
    Options options;
    options.headless = true;
    options.fps_numerator = FPS;
    options.fps_denominator = 1;
    options.script = script;
    options.offered_modes = OFFER_32;
    return options;
}

Played play(Options options, std::vector<Step> steps, bool keep_rgb = false)
{
    Played run;
    run.steps = std::move(steps);
    run.keep_rgb = keep_rgb;
    headless_set_present_hook(record, &run);
    run.code = run_show(options);
    headless_set_present_hook(nullptr, nullptr);
    return run;
}

// The frame at ms at FPS, worked out by hand: T(n) = 1000 n / FPS.
int64_t frame_at_ms(double ms) { return ms <= 0 ? 0 : int64_t(std::floor(ms * FPS / 1000.0 + 1e-9)); }

// Every frame a player run put on the screen is the plain run's frame of the
// same number: seeks, steps and holds alike.
void expect_frames_of(const Played& plain, const Played& run)
{
    ASSERT_FALSE(run.seen.empty());
    for (size_t i = 0; i < run.seen.size(); i++) {
        const Seen& s = run.seen[i];
        ASSERT_GE(s.frame, 0);
        ASSERT_LT(size_t(s.frame), plain.seen.size()) << "present " << i;
        ASSERT_EQ(s.digest, plain.seen[size_t(s.frame)].digest) << "present " << i << " shows frame " << s.frame;
    }
}

// The frame numbers shown, present after present, with repeats (holds) folded.
std::vector<int64_t> shown_sequence(const Played& run)
{
    std::vector<int64_t> out;
    for (const Seen& s : run.seen)
        if (out.empty() || out.back() != s.frame)
            out.push_back(s.frame);
    return out;
}

class PlayerPhotoShow : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InScratchDir here;
        plain = new Played(play(show_options("show"), {}, true));
    }
    static void TearDownTestSuite()
    {
        delete plain;
        plain = nullptr;
    }
    static Played* plain;
    InScratchDir here;
};
Played* PlayerPhotoShow::plain = nullptr;

TEST_F(PlayerPhotoShow, APlainRunShowsEveryFrameOnceInOrder)
{
    ASSERT_EQ(plain->code, 19);
    for (size_t n = 0; n < plain->seen.size(); n++) {
        ASSERT_EQ(plain->seen[n].frame, int64_t(n));
        ASSERT_FALSE(plain->seen[n].overlay) << "nothing is drawn over a show nobody touched";
    }
    // 50 s at 30 fps: the last frame is the one at exactly 50 s.
    EXPECT_EQ(plain->seen.size(), size_t(50 * FPS + 1));
}

TEST_F(PlayerPhotoShow, SeeksAndStepsLandOnThePlainRunsFrames)
{
    const Played run = play(show_options("show"),
                         {{40, PLAYER_FORWARD}, {60, PLAYER_BACK_SHORT}, {80, PLAYER_FORWARD_SHORT},
                          {100, PLAYER_BACK}, {120, PLAYER_HOME}, {130, PLAYER_FORWARD}, {131, PLAYER_FORWARD},
                          {150, ESCAPE}});
    EXPECT_EQ(run.code, 0);
    expect_frames_of(*plain, run);
    const std::vector<int64_t> shown = shown_sequence(run);
    // 0..40 as played, then each seek from the frame on the screen.
    auto jumps_to = [&](int64_t from, int64_t to) {
        for (size_t i = 0; i + 1 < shown.size(); i++)
            if (shown[i] == from && shown[i + 1] == to)
                return true;
        return false;
    };
    EXPECT_TRUE(jumps_to(40, 40 + 5 * FPS));
    const int64_t after_forward = 40 + 5 * FPS + 19;  // 20 presents later
    EXPECT_TRUE(jumps_to(after_forward, after_forward - FPS));
    EXPECT_TRUE(jumps_to(after_forward - FPS + 19, after_forward + 19));
    EXPECT_TRUE(jumps_to(after_forward + 38, after_forward + 38 - 5 * FPS));
    EXPECT_TRUE(jumps_to(after_forward + 38 - 5 * FPS + 19, 0));
    EXPECT_TRUE(jumps_to(9, 9 + 5 * FPS));
    EXPECT_TRUE(jumps_to(9 + 5 * FPS, 9 + 10 * FPS));
}

TEST_F(PlayerPhotoShow, PauseHoldsTheFrameWithTheTimeOverItAndStepsMoveOneFrame)
{
    const Played run = play(show_options("show"),
                         {{30, PLAYER_PAUSE}, {40, PLAYER_FRAME_FORWARD}, {41, PLAYER_FRAME_FORWARD},
                          {50, PLAYER_FRAME_BACK}, {60, PLAYER_PAUSE}, {70, ESCAPE}});
    EXPECT_EQ(run.code, 0);
    expect_frames_of(*plain, run);
    // Presents 31..40 hold frame 30 with the time drawn over it.
    for (int64_t p = 31; p <= 40; p++) {
        EXPECT_EQ(run.seen[size_t(p)].frame, 30) << "present " << p;
        EXPECT_TRUE(run.seen[size_t(p)].overlay) << "present " << p;
    }
    EXPECT_EQ(run.seen[42].frame, 32);
    EXPECT_EQ(run.seen[51].frame, 31);
    EXPECT_EQ(run.seen[60].frame, 31);
    // Resumed: on from the next frame, one per present.
    EXPECT_EQ(run.seen[61].frame, 32);
    EXPECT_EQ(run.seen[62].frame, 33);
    const HeadlessAudio audio = headless_audio();
    EXPECT_FALSE(audio.paused);
}

TEST_F(PlayerPhotoShow, StartsFromAnyTimeOnItsExactFrameAndTheScreenshotHoldsIt)
{
    std::mt19937 random(19);
    for (int trial = 0; trial < 6; trial++) {
        const int32_t ms = int32_t(random() % 50000);
        Options options = show_options("show");
        options.from_ms = ms;
        const int64_t expected = frame_at_ms(ms);
        testing::internal::CaptureStderr();
        const Played run = play(options, {{0, PLAYER_SCREENSHOT}, {1, ESCAPE}});
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(run.code, 0);
        ASSERT_EQ(run.seen[0].frame, expected) << ms << " ms";
        expect_frames_of(*plain, run);
        // The screenshot: a new PNG named after the show and the frame's ms,
        // the frame's pixels without anything drawn over them.
        const long long frame_ms = (long long)std::floor(1000.0 * double(expected) / FPS);
        const std::string name = "yurn-show-" + std::to_string(frame_ms) + ".png";
        ASSERT_TRUE(fs::exists(name)) << err;
        int w = 0, h = 0, channels = 0;
        uint8_t* pixels = stbi_load(name.c_str(), &w, &h, &channels, 3);
        ASSERT_NE(pixels, nullptr) << stbi_failure_reason();
        ASSERT_EQ(w, W);
        ASSERT_EQ(h, H);
        const std::vector<uint8_t>& words = plain->rgb[size_t(expected)];
        int32_t differing = 0;
        for (int32_t i = 0; i < W * H; i++)
            differing += pixels[3 * i] != words[4 * i + 2] || pixels[3 * i + 1] != words[4 * i + 1] ||
                         pixels[3 * i + 2] != words[4 * i];
        stbi_image_free(pixels);
        EXPECT_EQ(differing, 0) << name;
        fs::remove(name);
    }
}

TEST_F(PlayerPhotoShow, AScreenshotNeverReplacesAFile)
{
    Options options = show_options("show");
    options.from_ms = 1000;
    const std::string taken = "yurn-show-1000.png";
    std::ofstream(taken) << "mine";
    testing::internal::CaptureStderr();
    const Played run = play(options, {{0, PLAYER_SCREENSHOT}, {1, PLAYER_SCREENSHOT}, {2, ESCAPE}});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.code, 0);
    std::ifstream in(taken);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "mine");
    // The first shot (frame 30, 1000 ms) goes beside the file it may not
    // replace; the second is of the next frame, the show having moved on.
    EXPECT_TRUE(fs::exists("yurn-show-1000-2.png"));
    EXPECT_TRUE(fs::exists("yurn-show-1033.png"));
}

TEST_F(PlayerPhotoShow, LoopStartsTheShowAgainAndLTurnsItOff)
{
    Options options = show_options("show");
    options.from_ms = 49000;
    options.loop = true;
    const int64_t last = int64_t(plain->seen.size()) - 1;
    // 31 frames to the end, then from frame 0 again; L after 40 presents
    // turns the loop off, and the second end ends the show with 19.
    const Played run = play(options, {{40, PLAYER_LOOP}});
    EXPECT_EQ(run.code, 19);
    expect_frames_of(*plain, run);
    const std::vector<int64_t> shown = shown_sequence(run);
    ASSERT_GT(shown.size(), size_t(last));
    EXPECT_EQ(shown[0], 49 * FPS);
    EXPECT_EQ(shown[size_t(last - 49 * FPS)], last);
    EXPECT_EQ(shown[size_t(last - 49 * FPS + 1)], 0);
    EXPECT_EQ(shown.back(), last);
}

TEST_F(PlayerPhotoShow, MuteAndKeysAreToggles)
{
    const Played run =
        play(show_options("show"), {{2, PLAYER_MUTE}, {100, PLAYER_KEYS}, {103, PLAYER_KEYS}, {110, ESCAPE}});
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(headless_audio().muted);
    // M shows the time (and the mode) for two seconds: 60 frames at 30 fps.
    EXPECT_FALSE(run.seen[2].overlay);
    EXPECT_TRUE(run.seen[3].overlay);
    EXPECT_TRUE(run.seen[61].overlay);
    EXPECT_FALSE(run.seen[64].overlay);
    // The keys from the present after H to the present of the second H.
    EXPECT_FALSE(run.seen[100].overlay);
    EXPECT_TRUE(run.seen[101].overlay);
    EXPECT_TRUE(run.seen[103].overlay);
    EXPECT_FALSE(run.seen[104].overlay);
    expect_frames_of(*plain, run);
}

TEST_F(PlayerPhotoShow, TheMusicMovesWithEverySeek)
{
    const Played run = play(show_options("show"), {{10, PLAYER_FORWARD}, {20, PLAYER_HOME}, {30, ESCAPE}});
    EXPECT_EQ(run.code, 0);
    const HeadlessAudio audio = headless_audio();
    EXPECT_EQ(audio.seeks, 2);
    EXPECT_DOUBLE_EQ(audio.last_seek_ms, 0.0);
}

// Every mode the display may get: the seeks land on the same run's frames
// whatever the conversion, and the screenshot reads the mode's pixels back.
TEST(PlayerDepths, SeeksLandExactlyAtEveryDepth)
{
    InScratchDir here;
    for (const uint32_t mode : {OFFER_24, OFFER_16, OFFER_8}) {
        for (const bool mode_555 : {false, true}) {
            if (mode_555 && mode != OFFER_16)
                continue;
            Options options = show_options("show");
            options.offered_modes = mode;
            options.mode_555 = mode_555;
            options.fps_numerator = 10;
            const Played plain = play(options, {});
            ASSERT_EQ(plain.code, 19);
            const Played run = play(options, {{60, PLAYER_FORWARD}, {70, PLAYER_BACK}, {72, PLAYER_BACK_SHORT},
                                              {80, PLAYER_FRAME_BACK}, {90, ESCAPE}});
            EXPECT_EQ(run.code, 0);
            expect_frames_of(plain, run);
        }
    }
}

// The music fade of the engine show (24 s to 27.5 s) is asked for again
// after a seek back, over its whole length, and a start inside it fades
// over what is left.
TEST(PlayerEngineShow, TheMusicFadeComesAgainAfterASeekBack)
{
    InScratchDir here;
    Options options = show_options("engine");
    options.from_ms = 25000;
    // From frame 750: the fade is asked for at once, over 2.5 s; Home at the
    // 10th present; 24 s later (720 frames) it is asked for again, over 3.5 s.
    double at = 0;
    uint32_t length = 0;
    Played first = play(options, {{5, ESCAPE}});
    headless_music_fade(&at, &length);
    EXPECT_EQ(length, 2500u);
    Played second = play(options, {{10, PLAYER_HOME}, {10 + 24 * FPS + 5, ESCAPE}});
    headless_music_fade(&at, &length);
    EXPECT_EQ(length, 3500u);
    EXPECT_EQ(second.code, 0);
    (void)first;
}

TEST(PlayerOverlay, TheBarMeasuresTheTimeAndTheKeysComeOnlyWhenAsked)
{
    std::vector<uint8_t> mask(size_t(W) * H, 0);
    draw_player_overlay(mask.data(), W, H, 25000.0, 50000.0, false, "");
    // The band: the bottom 20 rows; the bar on rows 222 and 223 from x = 8,
    // half of the 304-pixel track at half the show, and the end mark at 311.
    auto at = [&](int x, int y) { return mask[size_t(y) * W + size_t(x)]; };
    for (int y = 0; y < 220; y++)
        for (int x = 0; x < W; x++)
            ASSERT_EQ(at(x, y), 0) << x << "," << y;
    for (int x = 0; x < W; x++) {
        const int expected = (x >= 8 && x < 8 + 152) || x == 311 ? 2 : 1;
        ASSERT_EQ(at(x, 222), expected) << x;
    }
    // The text below the bar: "25.0 / 50.0 s" in 6 x 10 glyphs from x = 8,
    // row 227 on; the first glyph, '2', has its top row full.
    for (int x = 8; x < 14; x++)
        EXPECT_EQ(at(x, 227), 2) << x;
    EXPECT_EQ(at(14, 227), 1) << "the gap between glyphs";
    std::vector<uint8_t> with_keys(size_t(W) * H, 0);
    draw_player_overlay(with_keys.data(), W, H, 25000.0, 50000.0, true, "BUCLE");
    int32_t top = 0;
    for (int y = 0; y < 100; y++)
        for (int x = 0; x < W; x++)
            top += with_keys[size_t(y) * W + size_t(x)] == 2;
    EXPECT_GT(top, 500) << "the list of keys is drawn near the top";
    // "BUCLE" ends at the right margin: its last glyph's right column, x 311.
    int32_t right = 0;
    for (int y = 227; y < 237; y++)
        right += with_keys[size_t(y) * W + 311] == 2;
    EXPECT_GT(right, 0);
    EXPECT_EQ(mask[size_t(230) * W + 311], 1) << "nothing on the right when no mode is on";
}

TEST(PlayerPng, AnExistingFileIsRefusedAndLeftAlone)
{
    InScratchDir here;
    const std::vector<uint8_t> rgb(size_t(3) * 5 * 4, 0x7F);
    ASSERT_TRUE(write_png_new("a.png", rgb.data(), 5, 4));
    const auto size = fs::file_size("a.png");
    std::vector<uint8_t> other(rgb.size(), 0);
    errno = 0;
    EXPECT_FALSE(write_png_new("a.png", other.data(), 5, 4));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(fs::file_size("a.png"), size);
    int w = 0, h = 0, channels = 0;
    uint8_t* pixels = stbi_load("a.png", &w, &h, &channels, 3);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 4);
    EXPECT_EQ(pixels[0], 0x7F);
    EXPECT_EQ(pixels[59], 0x7F);
    stbi_image_free(pixels);
    EXPECT_FALSE(write_png_new("no-such-folder/b.png", rgb.data(), 5, 4));
    EXPECT_EQ(errno, ENOENT);
}

// What a page calls: posted from inside a present (as a page's code runs
// while the loop waits there), carried out between two frames.
struct PostedSeeks {
    Played* run;
    int64_t presents;
};

void post_from_present(const PresentedFrame& f, void* user)
{
    PostedSeeks& posted = *static_cast<PostedSeeks*>(user);
    record(f, posted.run);
    if (posted.run->presents == 11)
        player_post(PLAYER_SEEK_TO, 33333.0);
    if (posted.run->presents == 21)
        player_post(PLAYER_PAUSE);
    if (posted.run->presents == 31)
        player_post(PLAYER_SEEK_TO, 1000.0);
    if (posted.run->presents == 41)
        headless_queue_event({.type = EVENT_KEY_DOWN, .key = KEY_ESCAPE, .minimised = 0}, 0);
}

TEST_F(PlayerPhotoShow, APagesPostedSeeksLandBetweenFrames)
{
    Played run;
    PostedSeeks posted{.run = &run, .presents = 0};
    headless_set_present_hook(post_from_present, &posted);
    run.code = run_show(show_options("show"));
    headless_set_present_hook(nullptr, nullptr);
    EXPECT_EQ(run.code, 0);
    expect_frames_of(*plain, run);
    EXPECT_EQ(run.seen[11].frame, frame_at_ms(33333.0));
    EXPECT_EQ(run.seen[35].frame, frame_at_ms(1000.0)) << "paused at 1 s";
    EXPECT_EQ(run.seen[40].frame, frame_at_ms(1000.0));
    EXPECT_TRUE(player_state().paused);
}

// The engine show: 3D scenes and fades whose state comes from the ticks.
TEST(PlayerEngineShow, SeeksBothWaysLandOnThePlainRunsFrames)
{
    InScratchDir here;
    const Played plain = play(show_options("engine"), {});
    ASSERT_EQ(plain.code, 7);
    const Played run = play(show_options("engine"),
                         {{20, PLAYER_FORWARD}, {30, PLAYER_FORWARD}, {40, PLAYER_FORWARD}, {50, PLAYER_FORWARD},
                          {60, PLAYER_BACK}, {70, PLAYER_BACK_SHORT}, {80, PLAYER_PAUSE}, {85, PLAYER_FRAME_BACK},
                          {90, PLAYER_HOME}, {100, ESCAPE}});
    EXPECT_EQ(run.code, 0);
    expect_frames_of(plain, run);
    EXPECT_GT(shown_sequence(run).size(), 8u);
}

// The stand-in stages cannot rewind: a seek back builds the table anew.
TEST(PlayerStandInShow, ASeekBackRebuildsTheTableAndStillLandsExactly)
{
    const Played plain = play(show_options("standin"), {});
    ASSERT_EQ(plain.code, 19);
    const Played run = play(show_options("standin"), {{200, PLAYER_BACK}, {210, PLAYER_BACK}, {220, ESCAPE}});
    EXPECT_EQ(run.code, 0);
    expect_frames_of(plain, run);
    const std::vector<int64_t> shown = shown_sequence(run);
    EXPECT_NE(std::find(shown.begin(), shown.end(), 200 - 5 * FPS), shown.end());
}

// --watch: a show file rewritten while it plays.
struct Rewrite {
    int64_t at;
    std::string text;
    Played* run;
};

void rewrite_show_file(const PresentedFrame& f, void* user)
{
    Rewrite& rewrite = *static_cast<Rewrite*>(user);
    record(f, rewrite.run);
    if (rewrite.run->presents - 1 == rewrite.at) {
        const auto before = fs::last_write_time("show.toml");
        std::ofstream("show.toml", std::ios::trunc) << rewrite.text;
        fs::last_write_time("show.toml", before + std::chrono::seconds(5));  // however coarse the clock
    }
}

std::string builtin_show_text()
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    print_builtin_show("show", out);
    std::fclose(out);
    std::string s(text, size);
    std::free(text);
    return s;
}

Played play_show_file(const char* path, bool watch, int64_t rewrite_at = -1, const std::string& text = "")
{
    EXPECT_EQ(open_show_file(path, stderr), 0);
    Options options = show_options("show");
    options.show = path;
    options.watch = watch;
    Played run;
    Rewrite rewrite{.at = rewrite_at, .text = text, .run = &run};
    headless_set_present_hook(rewrite_show_file, &rewrite);
    run.code = run_show(options);
    headless_set_present_hook(nullptr, nullptr);
    return run;
}

TEST(PlayerWatch, ARewrittenShowGoesOnFromTheSameTimeAndABrokenOneLeavesTheOldPlaying)
{
    InScratchDir here;
    const std::string original = builtin_show_text();
    std::string swapped = original;
    // The first two photographs change places.
    const size_t one = swapped.find("datos/Foto1.pcx");
    const size_t two = swapped.find("datos/Foto2.pcx");
    ASSERT_NE(one, std::string::npos);
    ASSERT_NE(two, std::string::npos);
    swapped.replace(two, 15, "datos/Foto1.pcx");
    swapped.replace(one, 15, "datos/Foto2.pcx");
    std::ofstream("other.toml") << swapped;
    std::ofstream("show.toml") << original;
    const Played plain_original = play_show_file("show.toml", false);
    const Played plain_swapped = play_show_file("other.toml", false);
    ASSERT_EQ(plain_original.code, 19);
    ASSERT_NE(plain_original.seen[30].digest, plain_swapped.seen[30].digest);

    testing::internal::CaptureStderr();
    const Played run = play_show_file("show.toml", true, 60, swapped);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.code, 19);
    EXPECT_NE(err.find("ha cambiado"), std::string::npos) << err;
    // Up to the rewrite, the old show; a quarter of a second later (the
    // files are looked at four times a second), the new one at the same
    // time, never a frame back or skipped.
    for (size_t p = 0; p <= 60; p++)
        ASSERT_EQ(run.seen[p].digest, plain_original.seen[size_t(run.seen[p].frame)].digest) << p;
    for (size_t p = 70; p < run.seen.size(); p++)
        ASSERT_EQ(run.seen[p].digest, plain_swapped.seen[size_t(run.seen[p].frame)].digest) << p;
    for (size_t p = 1; p < run.seen.size(); p++) {
        ASSERT_GE(run.seen[p].frame, run.seen[p - 1].frame) << p;
        ASSERT_LE(run.seen[p].frame, run.seen[p - 1].frame + 1) << p;
    }

    std::ofstream("show.toml", std::ios::trunc) << original;
    testing::internal::CaptureStderr();
    const Played broken = play_show_file("show.toml", true, 60, "version = 1\n[[stage]]\ntype = \"nada\"\n");
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(broken.code, 19);
    expect_frames_of(plain_original, broken);
    size_t said = 0;
    for (size_t at = err.find("sigue el espectáculo anterior"); at != std::string::npos;
         at = err.find("sigue el espectáculo anterior", at + 1))
        said++;
    EXPECT_EQ(said, 1u) << err;
    EXPECT_NE(err.find("show.toml"), std::string::npos) << err;
}

TEST(PlayerOptions, FromPausedAndLoopAreReadAndCheckedAgainstTheirCompanions)
{
    auto parse = [](std::vector<const char*> args, Options* options, std::string* error) {
        args.insert(args.begin(), "yurn");
        char text[256] = "";
        const bool ok = parse_options(int(args.size()), const_cast<char**>(args.data()), options, text, sizeof text);
        *error = text;
        return ok;
    };
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--from", "12.5", "--paused", "--loop"}, &o, &error)) << error;
    EXPECT_DOUBLE_EQ(o.from_ms, 12500.0);
    EXPECT_TRUE(o.paused);
    EXPECT_TRUE(o.loop);
    ASSERT_TRUE(parse({"--from=0.016"}, &o, &error)) << error;
    EXPECT_DOUBLE_EQ(o.from_ms, 16.0);
    ASSERT_TRUE(parse({"--from", "7"}, &o, &error)) << error;
    EXPECT_DOUBLE_EQ(o.from_ms, 7000.0);
    for (const char* bad : {"", "-1", "1.2345", "1.", ".5", "abc", "1e3", "86401"}) {
        EXPECT_FALSE(parse({"--from", bad}, &o, &error)) << bad;
        EXPECT_NE(error.find("--from"), std::string::npos) << error;
    }
    EXPECT_FALSE(parse({"--headless", "--paused"}, &o, &error));
    EXPECT_NE(error.find("--paused"), std::string::npos) << error;
    EXPECT_FALSE(parse({"--headless", "--loop"}, &o, &error));
    EXPECT_FALSE(parse({"--capture", "/tmp/x", "--from", "3"}, &o, &error));
    EXPECT_NE(error.find("--capture"), std::string::npos) << error;
    EXPECT_TRUE(parse({"--headless", "--from", "3"}, &o, &error)) << error;
    EXPECT_FALSE(parse({"--watch"}, &o, &error));
    EXPECT_NE(error.find("--watch"), std::string::npos) << error;
    EXPECT_TRUE(parse({"--show", "a.toml", "--watch"}, &o, &error)) << error;
    EXPECT_TRUE(o.watch);
}

}  // namespace
