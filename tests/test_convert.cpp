// Frame conversion against plain reference versions and the worked values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "display/convert.h"
#include "display/cpu.h"
#include "display/display.h"
#include "shell/frame.h"
#include "test_levels.h"

namespace {

constexpr int32_t W = 320, H = 240, N = W * H;

// --- plain references, step by step as the conversion is defined ---------
void reference_pack_24(const uint32_t* source, uint8_t* destination, int32_t count)
{
    for (int32_t i = 0; i < count; i++) {
        destination[3 * i] = uint8_t(source[i]);
        destination[3 * i + 1] = uint8_t(source[i] >> 8);
        destination[3 * i + 2] = uint8_t(source[i] >> 16);
    }
}

uint16_t reference_16(uint32_t p, bool is_565)
{
    if (is_565)
        return uint16_t(((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) | ((p >> 3) & 0x001F));
    return uint16_t(((p >> 9) & 0x7C00) | ((p >> 6) & 0x03E0) | ((p >> 3) & 0x001F));
}

void reference_dither(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    std::vector<int32_t> rows[2] = {std::vector<int32_t>(3 * width, 0), std::vector<int32_t>(3 * width, 0)};
    int32_t cur = 0;
    for (int32_t y = 0; y < height; y++) {
        std::vector<int32_t>& current = rows[cur];
        std::vector<int32_t>& next = rows[1 - cur];
        std::fill(next.begin(), next.end(), 0);
        for (int32_t x = 0; x < width; x++) {
            const uint32_t p = source[y * width + x];
            int32_t c[3] = {int32_t((p >> 16) & 0xFF) + current[3 * x], int32_t((p >> 8) & 0xFF) + current[3 * x + 1],
                            int32_t(p & 0xFF) + current[3 * x + 2]};
            for (int32_t& v : c)
                if (v > 255)
                    v = 255;
            destination[y * width + x] = uint8_t((c[0] & 0xE0) | ((c[1] & 0xE0) >> 3) | ((c[2] & 0xC0) >> 6));
            const int32_t e[3] = {c[0] & 0x1F, c[1] & 0x1F, c[2] & 0x3F};
            for (int32_t k = 0; k < 3; k++) {
                const int32_t s7 = (7 * e[k]) >> 4, s3 = (3 * e[k]) >> 4, s5 = (5 * e[k]) >> 4;
                const int32_t s1 = e[k] - s7 - s3 - s5;
                if (x + 1 < width)
                    current[3 * (x + 1) + k] += s7;
                if (x > 0)
                    next[3 * (x - 1) + k] += s3;
                next[3 * x + k] += s5;
                if (x + 1 < width)
                    next[3 * (x + 1) + k] += s1;
            }
        }
        cur = 1 - cur;
    }
}

std::vector<uint32_t> random_frame(uint32_t seed, int32_t count, bool bright = false)
{
    std::mt19937 rng(seed);
    std::vector<uint32_t> frame(count);
    for (uint32_t& p : frame) {
        p = rng();
        if (bright)
            p |= 0x00E0E0C0;  // near white: exercises the clamp at 255
    }
    return frame;
}

struct DepthGuard {
    int32_t depth = display_depth, width = frame_width, height = frame_height, flag = rgb565;
    ~DepthGuard()
    {
        display_depth = depth;
        frame_width = width;
        frame_height = height;
        rgb565 = flag;
    }
};

}  // namespace

TEST(Convert, EveryPathMatchesItsReferenceOnRandomFrames)
{
    DepthGuard guard;
    frame_width = W;
    frame_height = H;
    for (int32_t level : machine_levels())
    for (uint32_t seed = 1; seed <= 4; seed++) {
        LevelCap cap(level);
        SCOPED_TRACE(level_name(level));
        const std::vector<uint32_t> frame = random_frame(seed, N, seed == 4);
        std::vector<uint8_t> got(N * 4 + 16, 0xAA), want(N * 4 + 16, 0xAA);

        display_depth = 32;
        convert_frame(frame.data(), got.data(), 0);
        EXPECT_EQ(std::memcmp(got.data(), frame.data(), N * 4), 0) << "32 bits, top bytes included";

        display_depth = 24;
        std::fill(got.begin(), got.end(), 0xAA);
        convert_frame(frame.data(), got.data(), 0);
        reference_pack_24(frame.data(), want.data(), N);
        EXPECT_EQ(std::memcmp(got.data(), want.data(), N * 3), 0);
        EXPECT_EQ(got[N * 3], 0xAA) << "24 bits wrote past the frame";

        for (int32_t flag : {1, 0}) {
            display_depth = 16;
            rgb565 = flag;
            convert_frame(frame.data(), got.data(), 0);
            for (int32_t i = 0; i < N; i++)
                ASSERT_EQ(uint16_t(got[2 * i] | got[2 * i + 1] << 8), reference_16(frame[i], flag)) << i;
        }

        display_depth = 8;
        convert_frame(frame.data(), got.data(), 0);
        reference_dither(frame.data(), want.data(), W, H);
        EXPECT_EQ(std::memcmp(got.data(), want.data(), N), 0) << "seed " << seed;
    }
}

TEST(Convert, KernelsAgreeOnOddCountsAndAlignments)
{
    using Pack24 = void (*)(const uint32_t*, uint8_t*, int32_t);
    using Pack16 = void (*)(const uint32_t*, uint16_t*, int32_t, bool);
    std::vector<std::pair<const char*, Pack24>> packers_24 = {{"scalar", pack_24_scalar}};
    std::vector<std::pair<const char*, Pack16>> packers_16 = {{"scalar", pack_16_scalar}};
#if defined(__x86_64__) || defined(__i386__)
    packers_24.push_back({"sse2", pack_24_sse2});
    packers_16.push_back({"sse2", pack_16_sse2});
    if (cpu_has_ssse3())
        packers_24.push_back({"ssse3", pack_24_ssse3});
    if (cpu_has_avx2()) {
        packers_24.push_back({"avx2", pack_24_avx2});
        packers_16.push_back({"avx2", pack_16_avx2});
    }
    if (cpu_has_avx512bw()) {
        packers_24.push_back({"avx512", pack_24_avx512});
        packers_16.push_back({"avx512", pack_16_avx512});
    }
#endif
    const std::vector<uint32_t> frame = random_frame(7, 1000);
    for (int32_t offset : {0, 1, 3}) {
        for (int32_t count : {1, 3, 4, 15, 16, 17, 31, 32, 33, 35, 47, 48, 63, 64, 65, 100, 127, 128, 129, 191, 192,
                              193, 255, 256, 257, 996}) {
            const uint32_t* src = frame.data() + offset;
            std::vector<uint8_t> want(count * 3 + 8, 0x55);
            reference_pack_24(src, want.data(), count);
            for (auto [name, kernel] : packers_24) {
                std::vector<uint8_t> got(count * 3 + 8, 0x55);
                kernel(src, got.data() + 1, count);  // unaligned destination too
                EXPECT_EQ(std::memcmp(got.data() + 1, want.data(), count * 3), 0) << name << " count " << count;
                EXPECT_EQ(got[0], 0x55) << name;
                EXPECT_EQ(got[count * 3 + 1], 0x55) << name << " wrote past the end, count " << count;
            }
            for (bool is_565 : {true, false}) {
                std::vector<uint16_t> want16(count + 4, 0x5555);
                for (int32_t i = 0; i < count; i++)
                    want16[i] = reference_16(src[i], is_565);
                for (auto [name, kernel] : packers_16) {
                    std::vector<uint16_t> got16(count + 4, 0x5555);
                    kernel(src, got16.data(), count, is_565);
                    EXPECT_EQ(got16, want16) << name << " count " << count;
                }
            }
        }
    }
}

TEST(CpuLevel, YurnCpuCapsTheLevelAndUnknownValuesAreReported)
{
    const char* saved = std::getenv("YURN_CPU");
    const std::string before = saved ? saved : "";
    const int32_t hardware = cpu_set_cap(CPU_AVX512);
#if defined(__x86_64__) || defined(__i386__)
    setenv("YURN_CPU", "sse2", 1);
    EXPECT_EQ(cpu_set_cap(-1), CPU_SSE2);
    EXPECT_FALSE(cpu_has_avx2());
    EXPECT_FALSE(cpu_has_avx512bw());
    EXPECT_FALSE(cpu_has_ssse3());
    setenv("YURN_CPU", "AVX2", 1);
    EXPECT_EQ(cpu_set_cap(-1), hardware < CPU_AVX2 ? hardware : CPU_AVX2);
    EXPECT_FALSE(cpu_has_avx512bw());
#endif
    setenv("YURN_CPU", "avx512", 1);
    EXPECT_EQ(cpu_set_cap(-1), hardware);  // a cap above the processor changes nothing
    setenv("YURN_CPU", "avx3", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cpu_set_cap(-1), hardware);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("YURN_CPU=\"avx3\""), std::string::npos) << said;
    EXPECT_NE(said.find("no es un nivel conocido"), std::string::npos) << said;
    if (saved)
        setenv("YURN_CPU", before.c_str(), 1);
    else
        unsetenv("YURN_CPU");
    cpu_set_cap(-1);
}

TEST(CpuLevel, AConverterPickedBeforeACapFollowsIt)
{
    DepthGuard guard;
    frame_width = W;
    frame_height = H;
    display_depth = 24;
    const std::vector<uint32_t> frame = random_frame(21, N);
    std::vector<uint8_t> want(N * 3), got(N * 3);
    reference_pack_24(frame.data(), want.data(), N);
    for (int32_t level : machine_levels()) {
        LevelCap cap(level);
        EXPECT_EQ(cpu_level(), level);
        convert_frame(frame.data(), got.data(), 0);
        EXPECT_EQ(got, want) << level_name(level);
    }
}

TEST(Convert, WorkedValues)
{
    const uint32_t pixels[4] = {0x00112233, 0xFFFFFFFF, 0x80808080, 0};
    uint8_t bytes[12];
    pack_24(pixels, bytes, 4);
    EXPECT_EQ(bytes[0], 0x33);
    EXPECT_EQ(bytes[1], 0x22);
    EXPECT_EQ(bytes[2], 0x11);

    DepthGuard guard;
    uint16_t words[4];
    rgb565 = 1;
    pack_16(pixels + 1, words, 2);
    EXPECT_EQ(words[0], 0xFFFF);
    EXPECT_EQ(words[1], 0x8410);
    rgb565 = 0;
    pack_16(pixels + 1, words, 2);
    EXPECT_EQ(words[0], 0x7FFF);
    EXPECT_EQ(words[1], 0x4210);
}

TEST(Dither, FlatFieldsAndTheWorkedPixel)
{
    std::vector<uint8_t> out(N);
    std::vector<uint32_t> frame(N, 0);
    dither_8(frame.data(), out.data(), W, H);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), N);
    std::fill(frame.begin(), frame.end(), 0x00FFFFFF);
    dither_8(frame.data(), out.data(), W, H);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0xFF), N);

    // Uniform (48, 32, 16): 0x24 first, then a mixture of four indices whose
    // average is close to the colour, never a flat field.
    std::fill(frame.begin(), frame.end(), 0x00302010);
    dither_8(frame.data(), out.data(), W, H);
    EXPECT_EQ(out[0], 0x24);
    std::map<uint8_t, int32_t> histogram;
    double r = 0, g = 0, b = 0;
    for (uint8_t i : out) {
        histogram[i]++;
        r += i & 0xE0;
        g += (i << 3) & 0xE0;
        b += (i << 6) & 0xC0;
    }
    ASSERT_EQ(histogram.size(), 4u);
    EXPECT_GT(histogram[0x44], histogram[0x24]);
    EXPECT_GT(histogram[0x24], histogram[0x25]);
    EXPECT_GT(histogram[0x25], histogram[0x45]);
    EXPECT_NEAR(r / N, 48, 1.0);
    EXPECT_NEAR(g / N, 32, 1.0);
    EXPECT_NEAR(b / N, 16, 1.0);
}

TEST(Dither, ErrorsStartFromZeroOnEveryCall)
{
    std::vector<uint32_t> frame = random_frame(11, N);
    std::vector<uint8_t> first(N), second(N), want(N);
    dither_8(frame.data(), first.data(), W, H);
    dither_8(frame.data(), second.data(), W, H);
    EXPECT_EQ(first, second);
    // A frame after a different one: its first pixel sees no incoming error.
    frame[0] = 0x00302010;
    dither_8(frame.data(), second.data(), W, H);
    EXPECT_EQ(second[0], 0x24);
}

TEST(Dither, AnySizeMatchesTheReference)
{
    for (int32_t level : machine_levels())
    for (auto [w, h] : {std::pair{1, 1}, {1, 7}, {2, 3}, {3, 5}, {17, 4}, {641, 3}, {5, 40}, {320, 240}, {2, 1}, {4, 9}, {6, 2}, {7, 7}, {319, 241}}) {
        LevelCap cap(level);
        const std::vector<uint32_t> frame = random_frame(uint32_t(w * 31 + h), w * h, (w & 1) != 0);
        std::vector<uint8_t> got(w * h + 1, 0x77), want(w * h);
        reference_dither(frame.data(), want.data(), w, h);
        dither_8(frame.data(), got.data(), w, h);
        EXPECT_EQ(std::memcmp(got.data(), want.data(), w * h), 0) << w << " x " << h;
        EXPECT_EQ(got[w * h], 0x77);
    }
}

TEST(Convert, OtherDepthsLeaveTheSurfaceAlone)
{
    DepthGuard guard;
    frame_width = W;
    frame_height = H;
    const std::vector<uint32_t> frame = random_frame(3, N);
    std::vector<uint8_t> surface(N * 4, 0x5A);
    for (int32_t depth : {0, 15, 1, 64}) {
        display_depth = depth;
        convert_frame(frame.data(), surface.data(), N);
        EXPECT_EQ(std::count(surface.begin(), surface.end(), 0x5A), N * 4) << depth;
    }
}
