// Display set-up, presenting and the window procedure, on the headless backend.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "display/display.h"
#include "platform/platform.h"
#include "shell/options.h"
#include "shell/run.h"
#include "shell/shell.h"
#include "test_support.h"

namespace {

Options headless(uint32_t modes, bool mode_555 = false)
{
    Options o;
    o.headless = true;
    o.offered_modes = modes;
    o.mode_555 = mode_555;
    o.fps_numerator = 10;  // a short stand-in show: 501 frames
    o.script = "standin";
    return o;
}

std::vector<int32_t> requests()
{
    int32_t depths[16];
    const int32_t n = headless_mode_requests(depths, 16);
    return std::vector<int32_t>(depths, depths + n);
}

struct Seen {
    std::vector<int64_t> frames;
    int32_t depth = 0;
    int32_t rgb565 = -1;
    bool palette = false;
    std::vector<uint8_t> first_pixels;
};
Seen seen;

void watch(const PresentedFrame& f, void*)
{
    seen.frames.push_back(f.frame);
    seen.depth = f.depth;
    seen.rgb565 = f.rgb565;
    seen.palette = f.palette != nullptr;
    if (seen.first_pixels.empty())
        seen.first_pixels.assign(f.pixels, f.pixels + size_t(f.width) * f.height * (f.depth / 8));
}

struct Watch {
    Watch()
    {
        seen = Seen{};
        headless_set_present_hook(watch, nullptr);
    }
    ~Watch() { headless_set_present_hook(nullptr, nullptr); }
};

}  // namespace

TEST(DepthFallback, ThirtyTwoIsAskedTwiceBeforeTwentyFour)
{
    Watch w;
    EXPECT_EQ(run_show(headless(OFFER_24 | OFFER_16)), 19);
    EXPECT_EQ(requests(), (std::vector<int32_t>{32, 32, 24}));
    EXPECT_EQ(display_depth, 24);
    EXPECT_EQ(seen.depth, 24);
}

TEST(DepthFallback, EachOfferedModeIsFoundInOrder)
{
    Watch w;
    EXPECT_EQ(run_show(headless(OFFER_ALL)), 19);
    EXPECT_EQ(requests(), (std::vector<int32_t>{32}));
    EXPECT_EQ(run_show(headless(OFFER_8)), 19);
    EXPECT_EQ(requests(), (std::vector<int32_t>{32, 32, 24, 16, 8}));
    EXPECT_EQ(display_depth, 8);
    EXPECT_TRUE(seen.palette) << "the 3-3-2 palette is attached at 8 bits";
}

TEST(DepthFallback, NoModeAtAllReportsAndEnds)
{
    Watch w;
    testing::internal::CaptureStderr();
    const std::string message = fatal_message_of([] { run_show(headless(0)); });
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, "ERROR al inicializar la aplicación");
    EXPECT_NE(printed.find("SetDisplayMode FAILED"), std::string::npos);
    Message m;
    ASSERT_TRUE(peek_message(&m));
    EXPECT_EQ(m.message, WM_QUIT) << "display_error destroyed the window";
}

TEST(SixteenBits, TheGreenMaskSettlesTheFormat)
{
    Watch w;
    EXPECT_EQ(run_show(headless(OFFER_16, true)), 19);
    EXPECT_EQ(rgb565, 0);
    EXPECT_EQ(seen.rgb565, 0);
    std::vector<uint8_t> first_555 = seen.first_pixels;
    seen.first_pixels.clear();
    EXPECT_EQ(run_show(headless(OFFER_16, false)), 19);
    EXPECT_EQ(rgb565, 1);
    EXPECT_EQ(seen.rgb565, 1);
    EXPECT_NE(first_555, seen.first_pixels);
}

TEST(Present, AfterALostSurfaceTheFirstPresentShowsNothingNew)
{
    Watch w;
    headless_set_present_hook(
        [](const PresentedFrame& f, void* user) {
            watch(f, user);
            if (f.frame == 5)
                headless_lose_surfaces();
        },
        nullptr);
    EXPECT_EQ(run_show(headless(OFFER_32)), 19);
    ASSERT_GT(seen.frames.size(), 8u);
    EXPECT_EQ(seen.frames[5], 5);
    EXPECT_EQ(seen.frames[6], 7) << "frame 6 restored the surfaces and was not shown";
    EXPECT_EQ(seen.frames.size() + 1, size_t(frame_counter));
}

TEST(Present, SystemMemoryServesWhenVideoMemoryIsRefused)
{
    Watch w;
    EXPECT_EQ(run_show(headless(OFFER_32)), 19);
    const std::vector<uint8_t> normal = seen.first_pixels;
    seen = Seen{};
    headless_refuse_video_memory();
    EXPECT_EQ(run_show(headless(OFFER_32)), 19);
    EXPECT_EQ(seen.first_pixels, normal);
}

TEST(WindowProc, MessagesDriveTheQuitPathAndTheActiveFlag)
{
    Watch w;
    EXPECT_EQ(run_show(headless(OFFER_32)), 19);
    Message m;
    while (peek_message(&m)) {
    }
    window_proc(WM_ACTIVATE, uint64_t(1) << 16 | 1, 0);
    EXPECT_EQ(active_flag, 0);
    window_proc(WM_ACTIVATE, 0, 0);  // deactivated but not minimised still counts as active
    EXPECT_EQ(active_flag, 1);
    EXPECT_EQ(window_proc(WM_SETCURSOR, 0, 0), 1);
    window_proc(WM_KEYDOWN, 'A', 0);
    EXPECT_FALSE(peek_message(&m)) << "other keys do nothing";
    window_proc(WM_KEYDOWN, VK_ESCAPE, 0);
    ASSERT_TRUE(peek_message(&m));
    EXPECT_EQ(m.message, WM_CLOSE);
    dispatch_message(m);
    ASSERT_TRUE(peek_message(&m));
    EXPECT_EQ(m.message, WM_QUIT);
    EXPECT_EQ(m.wparam, 0u);
    EXPECT_EQ(timer_id, 0u);
    destroy_window();  // already gone: nothing more is posted
    EXPECT_FALSE(peek_message(&m));
}

TEST(Palette, ThreeThreeTwo)
{
    static uint8_t palette[768];
    headless_set_present_hook(
        [](const PresentedFrame& f, void*) {
            if (f.palette)
                std::memcpy(palette, f.palette, sizeof palette);
        },
        nullptr);
    EXPECT_EQ(run_show(headless(OFFER_8)), 19);
    headless_set_present_hook(nullptr, nullptr);
    EXPECT_EQ(palette[3 * 0xFF], 224);
    EXPECT_EQ(palette[3 * 0xFF + 1], 224);
    EXPECT_EQ(palette[3 * 0xFF + 2], 192);
    EXPECT_EQ(palette[3 * 0x24], 32);
    EXPECT_EQ(palette[3 * 0x24 + 1], 32);
    EXPECT_EQ(palette[3 * 0x24 + 2], 0);
    EXPECT_EQ(palette[3 * 0x01 + 2], 64);
}

TEST(Present, TheHookSeesTheSurfaceAsConvertedOnA64ByteBoundary)
{
    struct Check {
        int32_t frames = 0, aligned = 0, equal = 0;
    } check;
    for (uint32_t mode : {OFFER_32, OFFER_24, OFFER_16, OFFER_8}) {
        check = Check{};
        headless_set_present_hook(
            [](const PresentedFrame& f, void* user) {
                auto* c = static_cast<Check*>(user);
                const uint8_t* surface = headless_platform.lock_offscreen();
                c->frames++;
                c->aligned += reinterpret_cast<uintptr_t>(surface) % 64 == 0;
                c->equal += std::memcmp(surface, f.pixels, size_t(f.width) * f.height * (f.depth / 8)) == 0;
            },
            &check);
        EXPECT_EQ(run_show(headless(mode)), 19);
        headless_set_present_hook(nullptr, nullptr);
        EXPECT_GT(check.frames, 400) << mode;
        EXPECT_EQ(check.aligned, check.frames) << mode;
        EXPECT_EQ(check.equal, check.frames) << mode;
    }
    // A run with nobody looking, then one with the hook again: the first
    // frame shown is this run's, not a stale one.
    Watch w;
    EXPECT_EQ(run_show(headless(OFFER_32)), 19);
    const std::vector<uint8_t> first = seen.first_pixels;
    headless_set_present_hook(nullptr, nullptr);
    EXPECT_EQ(run_show(headless(OFFER_32)), 19);
    seen = Seen{};
    headless_set_present_hook(watch, nullptr);
    EXPECT_EQ(run_show(headless(OFFER_32)), 19);
    EXPECT_EQ(seen.first_pixels, first);
}

// The hook is shown what was blitted, whichever way the backend gets it
// there: a picture changed between the blit and the flip is not the one shown,
// and a blit and flip in a row show the picture as it was converted.
TEST(Present, TheHookSeesThePictureOfTheBlitNotLaterChanges)
{
    headless_configure({.headless = true, .window = false, .offered_modes = OFFER_32, .mode_555 = false,
                        .fps_numerator = 60, .fps_denominator = 1});
    const Platform& p = headless_platform;
    ASSERT_EQ(p.set_display_mode(4, 2, 32), DD_OK);
    ASSERT_EQ(p.create_primary(), DD_OK);
    ASSERT_EQ(p.attach_back_buffer(), DD_OK);
    ASSERT_EQ(p.create_offscreen(4, 2, MEMORY_VIDEO), DD_OK);
    std::vector<std::vector<uint8_t>> shown;
    headless_set_present_hook(
        [](const PresentedFrame& f, void* user) {
            static_cast<std::vector<std::vector<uint8_t>>*>(user)->emplace_back(f.pixels, f.pixels + 4 * 2 * 4);
        },
        &shown);
    const auto paint = [&](uint8_t value) {
        std::memset(p.lock_offscreen(), value, 4 * 2 * 4);
        p.unlock_offscreen();
    };
    paint(1);
    ASSERT_EQ(p.blit(), DD_OK);
    paint(2);  // after the blit: not on screen until the next one
    ASSERT_EQ(p.flip(), DD_OK);
    p.frame_presented(0);
    paint(3);
    ASSERT_EQ(p.blit(), DD_OK);
    ASSERT_EQ(p.flip(), DD_OK);
    p.frame_presented(0);
    paint(4);
    ASSERT_EQ(p.blit(), DD_OK);
    ASSERT_EQ(p.flip(), DD_OK);
    p.frame_presented(0);
    headless_set_present_hook(nullptr, nullptr);
    p.release();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], std::vector<uint8_t>(32, 1));
    EXPECT_EQ(shown[1], std::vector<uint8_t>(32, 3));
    EXPECT_EQ(shown[2], std::vector<uint8_t>(32, 4));
}
