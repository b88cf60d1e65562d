// Photo and cross-fade stages driven through a stage table built here, and
// the blend kernels against a plain reference.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "display/cpu.h"
#include "shell/shell.h"
#include "stages/show_stages.h"
#include "test_levels.h"
#include "test_support.h"

namespace {

// The formula as written: per lane floor((255-c)*a/256) + floor(c*b/256), top byte of a.
uint32_t reference_pixel(uint32_t a, uint32_t b, uint32_t c)
{
    uint32_t out = a & 0xFF000000u;
    for (int s = 0; s < 24; s += 8) {
        const uint32_t la = (a >> s) & 0xFF, lb = (b >> s) & 0xFF;
        out |= ((255 - c) * la / 256 + c * lb / 256) << s;
    }
    return out;
}

uint32_t rgb(uint32_t r, uint32_t g, uint32_t b, uint32_t top = 0) { return top << 24 | r << 16 | g << 8 | b; }

using Kernel = void (*)(uint32_t*, const uint32_t*, const uint32_t*, int32_t, uint8_t);

std::vector<Kernel> kernels()
{
    std::vector<Kernel> all = {blend, blend_plain};
#if defined(__x86_64__) || defined(__i386__)
    all.push_back(blend_sse2);
    if (cpu_has_avx2())
        all.push_back(blend_avx2);
    if (cpu_has_avx512bw())
        all.push_back(blend_avx512);
#endif
    return all;
}

TEST(Blend, TheDispatchMatchesTheFormulaAtEveryLevel)
{
    constexpr int32_t count = 320 * 240;
    std::mt19937 rng(4321);
    std::vector<uint32_t> a(count + 8), b(count + 8);
    for (auto& p : a) p = rng();
    for (auto& p : b) p = rng();
    for (int32_t level : machine_levels()) {
        LevelCap cap(level);
        for (uint32_t c : {0u, 1u, 77u, 128u, 254u, 255u}) {
            for (int32_t start : {0, 3}) {
                for (int32_t n : {count, 1, 7, 15, 16, 17, 63, 65, 131}) {
                    std::vector<uint32_t> out(count + 8, 0xDEADBEEF);
                    blend(out.data() + start, a.data() + start, b.data() + start, n, static_cast<uint8_t>(c));
                    for (int32_t i = 0; i < count + 8; ++i) {
                        const bool inside = i >= start && i < start + n;
                        ASSERT_EQ(out[i], inside ? reference_pixel(a[i], b[i], c) : 0xDEADBEEFu)
                            << level_name(level) << " c=" << c << " n=" << n << " i=" << i;
                    }
                }
            }
        }
    }
}

TEST(Blend, EveryKernelMatchesTheFormulaOnRandomFramesForEveryWeight)
{
    constexpr int32_t count = 320 * 240;
    std::mt19937 rng(1234);
    std::vector<uint32_t> a(count), b(count), out(count);
    for (auto& p : a) p = rng();
    for (auto& p : b) p = rng();
    for (Kernel kernel : kernels()) {
        for (uint32_t c = 0; c < 256; ++c) {
            kernel(out.data(), a.data(), b.data(), count, static_cast<uint8_t>(c));
            for (int32_t i = 0; i < count; ++i)
                ASSERT_EQ(out[i], reference_pixel(a[i], b[i], c)) << "c=" << c << " pixel " << i;
        }
    }
}

TEST(Blend, EveryKernelMatchesTheFormulaForEveryPairOfBytesInEveryLane)
{
    // Every (a, b) byte pair in every lane, the top byte included, at every weight;
    // one pixel short of a whole number of vectors so a tail is there too.
    constexpr int32_t count = 65535;
    std::vector<uint32_t> a(count), b(count), out(count);
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t x = static_cast<uint32_t>(i) >> 8, y = static_cast<uint32_t>(i) & 0xFF;
        a[i] = x * 0x01010101u;
        b[i] = y * 0x01010101u;
    }
    for (Kernel kernel : kernels()) {
        for (uint32_t c = 0; c < 256; ++c) {
            kernel(out.data(), a.data(), b.data(), count, static_cast<uint8_t>(c));
            for (int32_t i = 0; i < count; ++i)
                ASSERT_EQ(out[i], reference_pixel(a[i], b[i], c)) << "c=" << c << " pixel " << i;
        }
    }
}

TEST(Blend, OddCountsAndUnalignedStartsLeaveTheRestAlone)
{
    std::mt19937 rng(99);
    std::vector<uint32_t> a(64), b(64);
    for (auto& p : a) p = rng();
    for (auto& p : b) p = rng();
    for (Kernel kernel : kernels()) {
        for (int32_t start = 0; start < 3; ++start) {
            for (int32_t count = 0; count <= 37; ++count) {
                std::vector<uint32_t> out(64, 0xDEADBEEF);
                kernel(out.data() + start, a.data() + start, b.data() + start, count, 77);
                for (int32_t i = 0; i < 64; ++i) {
                    const bool inside = i >= start && i < start + count;
                    ASSERT_EQ(out[i], inside ? reference_pixel(a[i], b[i], 77) : 0xDEADBEEFu)
                        << "start " << start << " count " << count << " i " << i;
                }
            }
        }
    }
}

TEST(Blend, WorkedValues)
{
    for (Kernel kernel : kernels()) {
        // Eight pixels so the vector paths see them, not just the tail.
        const uint32_t white = rgb(255, 255, 255);
        std::vector<uint32_t> a = {white, white, rgb(16, 32, 48), rgb(255, 128, 64, 18), white, white, white, white};
        std::vector<uint32_t> b = {rgb(1, 2, 3), white, rgb(64, 80, 96), rgb(9, 9, 9, 200), 0, 0, 0, 0};
        std::vector<uint32_t> out(8);
        kernel(out.data(), a.data(), b.data(), 8, 0);
        EXPECT_EQ(out[0], rgb(254, 254, 254));      // white at c = 0, whatever b is
        EXPECT_EQ(out[3], rgb(254, 127, 63, 18));   // top byte from a
        kernel(out.data(), a.data(), b.data(), 8, 128);
        EXPECT_EQ(out[1], rgb(253, 253, 253));
        kernel(out.data(), a.data(), b.data(), 8, 100);
        EXPECT_EQ(out[2], rgb(34, 50, 66));
    }
}

TEST(Blend, EdgesOfTheWeight)
{
    std::vector<uint32_t> a(256), b(256), out(256);
    for (uint32_t v = 0; v < 256; ++v) {
        a[v] = rgb(v, v, v, 255 - v);
        b[v] = rgb(255 - v, v, 255 - v, v);
    }
    blend(out.data(), a.data(), b.data(), 256, 0);
    for (uint32_t v = 0; v < 256; ++v) {
        const uint32_t dark = v * 255 / 256;  // one step darker for every v from 1 on
        EXPECT_EQ(out[v], rgb(dark, dark, dark, 255 - v));
        if (v > 0) {
            EXPECT_EQ(dark, v - 1);
        }
    }
    blend(out.data(), a.data(), b.data(), 256, 255);
    for (uint32_t v = 0; v < 256; ++v) {
        const uint32_t other = (255 - v) * 255 / 256, same = v * 255 / 256;
        EXPECT_EQ(out[v], rgb(other, same, other, 255 - v)) << v;  // b's lanes, a's top byte
    }
    for (uint32_t c = 0; c < 256; ++c) {
        blend(out.data(), a.data(), b.data(), 256, static_cast<uint8_t>(c));
        for (uint32_t v = 0; v < 256; ++v)
            ASSERT_LT((out[v] >> 16) & 0xFF, 255u);  // never 255 in a colour lane
    }
}

TEST(Blend, InPlaceOverEitherSource)
{
    std::mt19937 rng(7);
    std::vector<uint32_t> a(1000), b(1000), expected(1000);
    for (auto& p : a) p = rng();
    for (auto& p : b) p = rng();
    for (int i = 0; i < 1000; ++i) expected[i] = reference_pixel(a[i], b[i], 42);
    std::vector<uint32_t> a2 = a, b2 = b;
    blend(a2.data(), a2.data(), b.data(), 1000, 42);
    blend(b2.data(), a.data(), b2.data(), 1000, 42);
    EXPECT_EQ(a2, expected);
    EXPECT_EQ(b2, expected);
}

// ---------------------------------------------------------------------------
// A stage table of our own, with stub neighbours that log their calls.
// ---------------------------------------------------------------------------

std::vector<std::string> calls;

void stub_prepare(int32_t index)
{
    calls.push_back("prepare " + std::to_string(index));
    stage_table[index].ready = 1;
}
int32_t stub_render(int32_t index)
{
    calls.push_back("render " + std::to_string(index));
    return 7;  // ignored by the cross-fade
}
void stub_tick(int32_t index) { calls.push_back("tick " + std::to_string(index)); }

struct Table {
    std::unique_ptr<Stage[]> records = std::make_unique<Stage[]>(STAGE_COUNT);
    std::vector<uint32_t> left, right;
    Table(int32_t width = 16, int32_t height = 8)
    {
        frame_width = width;
        frame_height = height;
        stage_table = records.get();
        calls.clear();
        std::mt19937 rng(5);
        left.resize(width * height);
        right.resize(width * height);
        for (auto& p : left) p = rng();
        for (auto& p : right) p = rng();
    }
    ~Table()
    {
        for (int32_t i = 0; i < STAGE_COUNT; ++i)
            if (records[i].release && records[i].data) records[i].release(i);
        stage_table = nullptr;
    }
    void stub(int32_t index, std::vector<uint32_t>& frame)
    {
        Stage& s = records[index];
        s.output = frame.data();
        s.prepare = stub_prepare;
        s.render = stub_render;
        s.tick = stub_tick;
    }
    // A cross-fade at 1 between stubs at 0 and 2.
    CrossFade* fade()
    {
        stub(0, left);
        stub(2, right);
        crossfade_create(1, frame_width, frame_height);
        return static_cast<CrossFade*>(records[1].data);
    }
};

TEST(CrossFadeStage, CreateSetsTheRecordAndAllocatesNoFrame)
{
    Table t;
    CrossFade* fade = t.fade();
    Stage& s = t.records[1];
    ASSERT_NE(fade, nullptr);
    EXPECT_EQ(fade->buffer, nullptr);
    EXPECT_EQ(fade->weight.load(), 0.0f);
    EXPECT_EQ(s.passes, 1u);
    EXPECT_EQ(s.ready.load(), 0);
    EXPECT_EQ(s.output, nullptr);
    EXPECT_TRUE(s.prepare && s.render && s.tick.load() && s.release);
    EXPECT_TRUE(calls.empty());
}

TEST(CrossFadeStage, RefusesARecordWithoutTwoNeighbours)
{
    Table t;
    for (int32_t index : {0, STAGE_COUNT - 1}) {
        const std::string message = fatal_message_of([&] { crossfade_create(index, 16, 8); });
        EXPECT_NE(message.find("registro " + std::to_string(index)), std::string::npos) << message;
        EXPECT_EQ(t.records[index].data, nullptr);
    }
}

TEST(CrossFadeStage, PrepareReadiesTheNextNeighbourOnlyAndAllocatesOnce)
{
    Table t;
    CrossFade* fade = t.fade();
    Stage& s = t.records[1];
    s.prepare(1);
    EXPECT_EQ(calls, std::vector<std::string>{"prepare 2"});
    EXPECT_EQ(s.ready.load(), 1);
    ASSERT_NE(fade->buffer, nullptr);
    EXPECT_EQ(s.output, fade->buffer);
    uint32_t* first = fade->buffer;
    s.prepare(1);  // a second prepare allocates nothing and keeps the frame
    EXPECT_EQ(fade->buffer, first);
    EXPECT_EQ(s.output, first);
    EXPECT_EQ(fade->weight.load(), 0.0f);
}

TEST(CrossFadeStage, RenderAndTickCallTheNeighboursInOrder)
{
    Table t;
    t.fade();
    Stage& s = t.records[1];
    s.prepare(1);
    calls.clear();
    s.render(1);
    s.tick.load()(1);
    EXPECT_EQ(calls, (std::vector<std::string>{"render 0", "render 2", "tick 0", "tick 2"}));
}

TEST(CrossFadeStage, FirstFrameWithoutTicksIsThePreviousPictureOneStepDarker)
{
    Table t;
    CrossFade* fade = t.fade();
    Stage& s = t.records[1];
    s.prepare(1);
    EXPECT_EQ(s.render(1), 0);
    for (size_t i = 0; i < t.left.size(); ++i)
        ASSERT_EQ(fade->buffer[i], reference_pixel(t.left[i], t.right[i], 0));
}

TEST(CrossFadeStage, FinishesOnTheRenderAfter127Ticks)
{
    Table t;
    CrossFade* fade = t.fade();
    Stage& s = t.records[1];
    s.prepare(1);
    for (int tick = 1; tick <= 127; ++tick) {
        s.tick.load()(1);
        const float w = fade->weight.load();
        EXPECT_EQ(w, 2.0f * tick);
        const int32_t done = s.render(1);
        EXPECT_EQ(done, tick >= 127 ? 1 : 0) << tick;
        const uint32_t c = static_cast<uint32_t>(w);
        for (size_t i = 0; i < t.left.size(); ++i)
            ASSERT_EQ(fade->buffer[i], reference_pixel(t.left[i], t.right[i], c)) << "tick " << tick;
    }
    // Still finished afterwards, and the weight goes on climbing until clamped.
    s.tick.load()(1);
    EXPECT_EQ(fade->weight.load(), 256.0f);  // no clamp on the tick
    EXPECT_EQ(s.render(1), 1);
    EXPECT_EQ(fade->weight.load(), 255.0f);  // clamped by render, blended with c = 255
    for (size_t i = 0; i < t.left.size(); ++i)
        ASSERT_EQ(fade->buffer[i], reference_pixel(t.left[i], t.right[i], 255));
}

TEST(CrossFadeStage, WeightNeverAbove255AfterRenderAndOldWeightIsKept)
{
    Table t;
    CrossFade* fade = t.fade();
    Stage& s = t.records[1];
    s.prepare(1);
    for (int i = 0; i < 300; ++i) s.tick.load()(1);
    EXPECT_EQ(fade->weight.load(), 600.0f);
    EXPECT_EQ(s.render(1), 1);
    EXPECT_EQ(fade->weight.load(), 255.0f);
    // Becoming current again: prepared again, it starts from its old weight.
    s.prepare(1);
    EXPECT_EQ(s.render(1), 1);
}

TEST(CrossFadeStage, TicksOnAnotherThreadWhileRendering)
{
    Table t;
    CrossFade* fade = t.fade();
    for (int32_t index : {0, 2}) {  // quiet neighbours: nothing shared but the weight
        t.records[index].render = [](int32_t) { return int32_t(0); };
        t.records[index].tick = [](int32_t) {};
    }
    Stage& s = t.records[1];
    s.prepare(1);
    std::thread timer([&] {
        for (int k = 0; k < 400; ++k) {
            s.tick.load()(1);
            std::this_thread::yield();
        }
    });
    int32_t frames = 0;
    while (s.render(1) == 0) ++frames;
    timer.join();
    EXPECT_GE(fade->weight.load(), 254.0f);
    EXPECT_EQ(s.render(1), 1);
    EXPECT_EQ(fade->weight.load(), 255.0f);
    for (size_t i = 0; i < t.left.size(); ++i)
        ASSERT_EQ(fade->buffer[i], reference_pixel(t.left[i], t.right[i], 255));
    (void)frames;
}

// ---------------------------------------------------------------------------
// Photo stage, on PCX files written here.
// ---------------------------------------------------------------------------

struct TempDir {
    std::filesystem::path path;
    std::filesystem::path old;
    TempDir()
    {
        path = std::filesystem::temp_directory_path() /
               ("yurn-show-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(path / "datos");
        old = std::filesystem::current_path();
        std::filesystem::current_path(path);
    }
    ~TempDir()
    {
        std::filesystem::current_path(old);
        std::filesystem::remove_all(path);
    }
};

// Raw (not encoded) PCX, 8 bits per plane, planes 3 (0x00RRGGBB pixels) or 1.
void write_pcx(const std::string& path, int32_t width, int32_t height, const std::vector<uint32_t>& pixels,
               int planes = 3)
{
    std::vector<uint8_t> file(128, 0);
    file[0] = 10;
    file[1] = 5;
    file[2] = 0;
    file[3] = 8;
    file[8] = static_cast<uint8_t>((width - 1) & 0xFF);
    file[9] = static_cast<uint8_t>((width - 1) >> 8);
    file[10] = static_cast<uint8_t>((height - 1) & 0xFF);
    file[11] = static_cast<uint8_t>((height - 1) >> 8);
    file[65] = static_cast<uint8_t>(planes);
    file[66] = static_cast<uint8_t>(width & 0xFF);
    file[67] = static_cast<uint8_t>(width >> 8);
    for (int32_t y = 0; y < height; ++y)
        for (int shift = 16; shift >= 0 && (planes == 3 || shift == 16); shift -= 8)
            for (int32_t x = 0; x < width; ++x)
                file.push_back(static_cast<uint8_t>(pixels[y * width + x] >> shift));
    if (planes == 1) {
        file.push_back(12);
        file.resize(file.size() + 768, 0);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
}

std::vector<uint32_t> test_picture(int32_t width, int32_t height, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint32_t> pixels(width * height);
    for (auto& p : pixels) p = rng() & 0x00FFFFFF;
    return pixels;
}

TEST(PhotoStage, LoadsItsOwnFileAndShowsItUnchanged)
{
    TempDir dir;
    Table t(16, 8);
    const auto one = test_picture(16, 8, 1), two = test_picture(16, 8, 2);
    write_pcx("datos/Foto1.pcx", 16, 8, one);
    write_pcx("datos/Foto10.pcx", 16, 8, two);
    photo_create_1(0, 16, 8);
    photo_create_10(4, 16, 8);
    for (int32_t index : {0, 4}) {
        Stage& s = t.records[index];
        auto* water = static_cast<Water*>(s.data);
        ASSERT_NE(water, nullptr);
        EXPECT_EQ(s.output, water->pixels);
        EXPECT_EQ(water->width, 16);
        EXPECT_EQ(water->height, 8);
        EXPECT_EQ(s.passes, 1u);
        EXPECT_EQ(s.ready.load(), 0);
        const auto& expected = index == 0 ? one : two;
        EXPECT_EQ(std::vector<uint32_t>(s.output, s.output + 128), expected);  // top bytes 0
    }
    Stage& s = t.records[0];
    const std::vector<uint32_t> before(s.output, s.output + 128);
    s.prepare(0);
    EXPECT_EQ(s.ready.load(), 1);
    s.prepare(0);  // a second prepare changes nothing
    EXPECT_EQ(s.ready.load(), 1);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(s.render(0), 0);
        s.tick.load()(0);
    }
    EXPECT_EQ(std::vector<uint32_t>(s.output, s.output + 128), before);
    EXPECT_EQ(s.output, static_cast<Water*>(s.data)->pixels);
}

TEST(PhotoStage, EachCreateNamesItsOwnFile)
{
    TempDir empty;
    for (int32_t k = 0; k < PHOTO_COUNT; ++k) {
        Table t(4, 4);
        const std::string message = fatal_message_of([&] { photo_creates[k](0, 4, 4); });
        EXPECT_EQ(message, "No encuentro el fichero \"datos/Foto" + std::to_string(k + 1) + ".pcx\"");
        EXPECT_EQ(t.records[0].data, nullptr);  // nothing handed over, nothing leaked
        EXPECT_EQ(t.records[0].output, nullptr);
    }
}

TEST(PhotoStage, PictureOfAnotherSizeOrOnePlaneStopsNamingTheFile)
{
    TempDir dir;
    Table t(16, 8);
    write_pcx("datos/Foto2.pcx", 16, 9, test_picture(16, 9, 3));
    write_pcx("datos/Foto3.pcx", 15, 8, test_picture(15, 8, 3));
    write_pcx("datos/Foto4.pcx", 16, 8, test_picture(16, 8, 3), 1);
    const std::string taller = fatal_message_of([] { photo_create_2(0, 16, 8); });
    const std::string narrower = fatal_message_of([] { photo_create_3(0, 16, 8); });
    const std::string indexed = fatal_message_of([] { photo_create_4(0, 16, 8); });
    EXPECT_NE(taller.find("\"datos/Foto2.pcx\""), std::string::npos) << taller;
    EXPECT_NE(taller.find("16 x 9"), std::string::npos) << taller;
    EXPECT_NE(narrower.find("\"datos/Foto3.pcx\""), std::string::npos) << narrower;
    EXPECT_NE(indexed.find("\"datos/Foto4.pcx\""), std::string::npos) << indexed;
    EXPECT_EQ(t.records[0].data, nullptr);
    // A plane count the reader refuses gets the reader's message, whatever the size.
    write_pcx("datos/Foto5.pcx", 15, 8, test_picture(15, 8, 3), 2);
    EXPECT_EQ(fatal_message_of([] { photo_create_5(0, 16, 8); }), "UNICAMENTE IMPLEMENTADOS 1 Y 3 PLANOS.\n");
}

TEST(PhotoStage, FramesAreAlignedAndReleaseEmptiesTheRecord)
{
    TempDir dir;
    Table t(17, 3);  // a frame whose size is no multiple of 64 bytes
    write_pcx("datos/Foto1.pcx", 17, 3, test_picture(17, 3, 1));
    write_pcx("datos/Foto2.pcx", 17, 3, test_picture(17, 3, 2));
    photo_create_1(0, 17, 3);
    crossfade_create(1, 17, 3);
    photo_create_2(2, 17, 3);
    t.records[1].prepare(1);
    // The blend kernels rely on frame buffers on a 64-byte boundary.
    for (int32_t i = 0; i < 3; ++i)
        EXPECT_EQ(reinterpret_cast<uintptr_t>(t.records[i].output) % 64, 0u) << i;
    for (int32_t i = 0; i < 3; ++i) {
        Stage& s = t.records[i];
        s.release(i);
        EXPECT_EQ(s.data, nullptr) << i;
        EXPECT_EQ(s.output, nullptr) << i;
        EXPECT_EQ(s.ready.load(), 0) << i;
    }
}

TEST(PhotoStage, CrossFadeBetweenTwoPhotographs)
{
    TempDir dir;
    Table t(16, 8);
    const auto one = test_picture(16, 8, 11), two = test_picture(16, 8, 12);
    write_pcx("datos/Foto5.pcx", 16, 8, one);
    write_pcx("datos/Foto6.pcx", 16, 8, two);
    photo_create_5(0, 16, 8);
    crossfade_create(1, 16, 8);
    photo_create_6(2, 16, 8);
    Stage& fade = t.records[1];
    t.records[0].prepare(0);
    fade.prepare(1);
    EXPECT_EQ(t.records[2].ready.load(), 1);  // the next photograph was prepared
    for (int i = 0; i < 50; ++i) fade.tick.load()(1);
    EXPECT_EQ(fade.render(1), 0);
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(fade.output[i], reference_pixel(one[i], two[i], 100));
}

}  // namespace
