// The one routine that reads a displayed frame back to RGB, at every depth
// and in every layout, against values worked out by hand, and against a plain
// pixel-by-pixel model on random frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/frame_rgb.h"
#include "platform/platform.h"

namespace {

PresentedFrame frame_of(const std::vector<uint8_t>& pixels, int32_t count, int32_t depth, int32_t rgb565 = 1,
                        const uint8_t* palette = nullptr)
{
    return {.pixels = pixels.data(), .width = count, .height = 1, .depth = depth, .rgb565 = rgb565,
            .palette = palette, .frame = 0, .time_ms = 0.0, .stage = 0};
}

struct Rgb {
    uint8_t r, g, b;
};

// The frame read in all three layouts; every layout must give the same colours.
std::vector<Rgb> read_all_layouts(const PresentedFrame& frame)
{
    const size_t count = size_t(frame.width) * size_t(frame.height);
    std::vector<uint8_t> rgb(count * 3, 0x5A), rgba(count * 4, 0x5A);
    std::vector<uint32_t> xrgb(count, 0x5A5A5A5Au);
    frame_to_rgb(frame, RGB_BYTES, rgb.data());
    frame_to_rgb(frame, RGBA_BYTES, rgba.data());
    frame_to_rgb(frame, XRGB_WORDS, reinterpret_cast<uint8_t*>(xrgb.data()));
    std::vector<Rgb> colours;
    for (size_t i = 0; i < count; ++i) {
        const Rgb c = {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]};
        EXPECT_EQ(rgba[4 * i], c.r) << "pixel " << i;
        EXPECT_EQ(rgba[4 * i + 1], c.g) << "pixel " << i;
        EXPECT_EQ(rgba[4 * i + 2], c.b) << "pixel " << i;
        EXPECT_EQ(rgba[4 * i + 3], 255) << "pixel " << i;
        EXPECT_EQ(xrgb[i], uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b) << "pixel " << i;
        colours.push_back(c);
    }
    return colours;
}

// The plain model: one pixel at a time, in arithmetic rather than shifts and
// masks; a 5- or 6-bit field is widened by repeating its top bits after it.
Rgb model_pixel(const PresentedFrame& f, size_t i)
{
    const uint8_t* p = f.pixels;
    switch (f.depth) {
    case 32: return {p[4 * i + 2], p[4 * i + 1], p[4 * i]};
    case 24: return {p[3 * i + 2], p[3 * i + 1], p[3 * i]};
    case 16: {
        const unsigned w = p[2 * i] + 256u * p[2 * i + 1];
        const unsigned r = f.rgb565 ? w / 2048 : (w / 1024) % 32;
        const unsigned g = f.rgb565 ? (w / 32) % 64 : (w / 32) % 32;
        const unsigned b = w % 32;
        const auto five = [](unsigned v) { return uint8_t(v * 8 + v / 4); };
        const auto six = [](unsigned v) { return uint8_t(v * 4 + v / 16); };
        return {five(r), f.rgb565 ? six(g) : five(g), five(b)};
    }
    case 8:
        if (f.palette)
            return {f.palette[3 * p[i]], f.palette[3 * p[i] + 1], f.palette[3 * p[i] + 2]};
        return {0, 0, 0};
    default:
        return {0, 0, 0};
    }
}

void expect_colours(const std::vector<Rgb>& got, const std::vector<Rgb>& expected)
{
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].r, expected[i].r) << "pixel " << i;
        EXPECT_EQ(got[i].g, expected[i].g) << "pixel " << i;
        EXPECT_EQ(got[i].b, expected[i].b) << "pixel " << i;
    }
}

}  // namespace

TEST(FrameToRgb, ThirtyTwoAndTwentyFourBitsAreBytesBlueGreenRed)
{
    // 0xAA112233 and 0x00FF8001 as little-endian words; the top byte is ignored.
    const std::vector<uint8_t> p32 = {0x33, 0x22, 0x11, 0xAA, 0x01, 0x80, 0xFF, 0x00};
    expect_colours(read_all_layouts(frame_of(p32, 2, 32)), {{0x11, 0x22, 0x33}, {0xFF, 0x80, 0x01}});
    const std::vector<uint8_t> p24 = {0x33, 0x22, 0x11, 0x01, 0x80, 0xFF};
    expect_colours(read_all_layouts(frame_of(p24, 2, 24)), {{0x11, 0x22, 0x33}, {0xFF, 0x80, 0x01}});
}

TEST(FrameToRgb, SixteenBitFieldsWidenByRepeatingTheirTopBitsInBothLayouts)
{
    // 5-6-5: 0xF800 full red, 0x07E0 full green, 0x0821 one step of each
    // (8, 4, 8), 0x8410 the middle (r 16 -> 132, g 32 -> 130, b 16 -> 132).
    const std::vector<uint8_t> p565 = {0x00, 0xF8, 0xE0, 0x07, 0x21, 0x08, 0x10, 0x84};
    expect_colours(read_all_layouts(frame_of(p565, 4, 16, 1)),
                   {{255, 0, 0}, {0, 255, 0}, {8, 4, 8}, {132, 130, 132}});
    // 5-5-5: 0x7C00 full red, 0x03E0 full green, 0x4210 the middle of each
    // (132), and 0xC210 the same: the top bit is no colour.
    const std::vector<uint8_t> p555 = {0x00, 0x7C, 0xE0, 0x03, 0x10, 0x42, 0x10, 0xC2};
    expect_colours(read_all_layouts(frame_of(p555, 4, 16, 0)),
                   {{255, 0, 0}, {0, 255, 0}, {132, 132, 132}, {132, 132, 132}});
}

TEST(FrameToRgb, EightBitsLookUpThePaletteAndNoPaletteOrDepthIsBlack)
{
    uint8_t palette[768];
    for (int i = 0; i < 768; ++i)
        palette[i] = uint8_t(i * 7);
    const std::vector<uint8_t> p8 = {0, 5, 255};
    expect_colours(read_all_layouts(frame_of(p8, 3, 8, 1, palette)),
                   {{0, 7, 14}, {uint8_t(15 * 7), uint8_t(16 * 7), uint8_t(17 * 7)},
                    {uint8_t(765 * 7), uint8_t(766 * 7), uint8_t(767 * 7)}});
    expect_colours(read_all_layouts(frame_of(p8, 3, 8)), {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
    const std::vector<uint8_t> p12 = {0xFF, 0xFF, 0xFF, 0xFF};
    expect_colours(read_all_layouts(frame_of(p12, 2, 12)), {{0, 0, 0}, {0, 0, 0}});
}

TEST(FrameToRgb, MatchesThePlainModelOnRandomFramesOfEveryDepth)
{
    std::mt19937 random(17);
    uint8_t palette[768];
    for (uint8_t& c : palette)
        c = uint8_t(random());
    const int32_t width = 37, height = 9;
    struct Case {
        int32_t depth, rgb565;
        const uint8_t* palette;
    };
    for (const Case& c : {Case{32, 1, nullptr}, Case{24, 1, nullptr}, Case{16, 1, nullptr}, Case{16, 0, nullptr},
                          Case{8, 1, palette}, Case{8, 1, nullptr}}) {
        std::vector<uint8_t> pixels(size_t(width * height) * size_t(c.depth / 8));
        for (uint8_t& b : pixels)
            b = uint8_t(random());
        PresentedFrame frame = frame_of(pixels, width, c.depth, c.rgb565, c.palette);
        frame.height = height;
        std::vector<Rgb> expected;
        for (size_t i = 0; i < size_t(width * height); ++i)
            expected.push_back(model_pixel(frame, i));
        SCOPED_TRACE(testing::Message() << "depth " << c.depth << " rgb565 " << c.rgb565);
        expect_colours(read_all_layouts(frame), expected);
    }
}
