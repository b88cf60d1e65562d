// The four fillers: a plain reference written straight from the arithmetic
// (iterative edges, literal wrapping loops, the textured-Gouraud shortcut)
// compared pixel for pixel with the real ones on random triangles, and the
// coverage and pass rules one by one.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/mman.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "render/fixed.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/frame.h"

namespace {

enum { FLAT, GOURAUD, TEXTURED, TEXTURED_GOURAUD };

constexpr int32_t W = 320, H = 240;

// ---------------------------------------------------------------------------
// Reference filler
// ---------------------------------------------------------------------------
struct RefQuantity {
    double a, b, c;  // fixed values at A, B, C
    uint32_t long_edge = 0, short_edge = 0;
    int32_t long_slope = 0, upper_slope = 0, lower_slope = 0;
};

int32_t slope_of(double from, double to, float y_from, float y_to)
{
    return trunc_to_int((to - from) * (1.0 / (static_cast<double>(y_to) - y_from)));
}

uint32_t start_of(int32_t slope, float pre, double from)
{
    return static_cast<uint32_t>(trunc_to_int(static_cast<double>(static_cast<float>(slope)) * pre + from));
}

uint32_t saturate(uint32_t a, uint32_t b)
{
    uint32_t out = 0;
    for (int shift = 0; shift <= 16; shift += 8)
        out |= std::min<uint32_t>(((a >> shift) & 255) + ((b >> shift) & 255), 255) << shift;
    return out;
}

void wrap(int32_t& value, int32_t size)
{
    while (value < 0)
        value += size * 65536;
    while ((value >> 16) >= size)
        value -= size * 65536;
}

void reference_fill(int shade, Vertex* const triangle[3], uint32_t colour, const uint32_t* texture, uint32_t* frame,
                    uint32_t* depth)
{
    const Vertex* v[3] = {triangle[0], triangle[1], triangle[2]};
    if (v[0]->screen_y > v[1]->screen_y)
        std::swap(v[0], v[1]);
    if (v[1]->screen_y > v[2]->screen_y)
        std::swap(v[1], v[2]);
    if (v[0]->screen_y > v[1]->screen_y)
        std::swap(v[0], v[1]);
    const float ya = v[0]->screen_y, yb = v[1]->screen_y, yc = v[2]->screen_y;
    const int32_t iya = trunc_to_int(ya);
    const float pre_a = static_cast<float>(static_cast<double>(iya) + 1.0 - ya);
    if (yc - ya == 0)
        return;
    // Quantities: x, z, u, v, r, g, b.
    RefQuantity q[7];
    for (int k = 0; k < 3; k++) {
        double values[7] = {v[k]->screen_x * 65536.0,
                            v[k]->transformed.z * 65536.0,
                            v[k]->u * 65536.0,
                            v[k]->v * 65536.0,
                            static_cast<double>(v[k]->colour & 0xFF0000),
                            static_cast<double>((v[k]->colour & 0xFF00) << 8),
                            static_cast<double>((v[k]->colour & 0xFF) << 16)};
        for (int i = 0; i < 7; i++)
            (k == 0 ? q[i].a : k == 1 ? q[i].b : q[i].c) = values[i];
    }
    for (auto& e : q) {
        e.long_slope = slope_of(e.a, e.c, ya, yc);
        e.long_edge = start_of(e.long_slope, pre_a, e.a);
    }
    int64_t first;
    if (yb - ya != 0) {
        for (auto& e : q) {
            e.upper_slope = slope_of(e.a, e.b, ya, yb);
            e.short_edge = start_of(e.upper_slope, pre_a, e.a);
        }
        first = iya;
    } else {
        first = trunc_to_int(yb);
    }
    const int32_t iyb = trunc_to_int(yb);
    const float pre_b = static_cast<float>(static_cast<double>(iyb) + 1.0 - yb);
    if (yc - yb != 0) {
        for (auto& e : q) {
            e.lower_slope = slope_of(e.b, e.c, yb, yc);
            if (iyb == iya)
                e.short_edge = start_of(e.lower_slope, pre_b, e.b);
        }
    }
    const int64_t iyc = trunc_to_int(yc);
    if (first >= iyc)
        return;
    const int32_t size = current_texture_size;
    for (int64_t y = first; y <= iyc - 1; y++) {
        const bool long_left = static_cast<int32_t>(q[0].long_edge) <= static_cast<int32_t>(q[0].short_edge);
        uint32_t left[7], right[7];
        for (int i = 0; i < 7; i++) {
            left[i] = long_left ? q[i].long_edge : q[i].short_edge;
            right[i] = long_left ? q[i].short_edge : q[i].long_edge;
        }
        const bool skipped = interlace_flag && ((interlace_parity ^ static_cast<int32_t>(y)) & 1);
        const int32_t x0 = static_cast<int32_t>(left[0]) >> 16;
        const int32_t n = (static_cast<int32_t>(right[0]) >> 16) - x0;
        if (!skipped && n != 0) {
            uint32_t value[7], gradient[7];
            for (int i = 1; i < 7; i++) {
                value[i] = left[i];
                gradient[i] = static_cast<uint32_t>(static_cast<int32_t>(right[i] - left[i]) / n);
            }
            const int32_t limit = size * 65536;
            const bool shortcut = static_cast<int32_t>(left[2]) >= 0 && static_cast<int32_t>(left[2]) <= limit &&
                                  static_cast<int32_t>(right[2]) >= 0 && static_cast<int32_t>(right[2]) <= limit;
            for (int32_t k = 0; k < n; k++) {
                const int64_t x = static_cast<int64_t>(x0) + k;
                if (y >= 0 && y < H && x >= 0 && x < W) {
                    const size_t at = static_cast<size_t>(y * W + x);
                    const uint32_t word = depth_generation | static_cast<uint32_t>(static_cast<int32_t>(value[1]) >> 16);
                    if (depth[at] > word) {
                        const uint32_t shaded = (value[4] & 0xFF0000) | (((value[5] >> 16) & 0xFF) << 8) |
                                                ((value[6] >> 16) & 0xFF);
                        uint32_t c = colour;
                        if (shade == GOURAUD)
                            c = shaded;
                        if (shade == TEXTURED || shade == TEXTURED_GOURAUD) {
                            int32_t u = static_cast<int32_t>(value[2]), vv = static_cast<int32_t>(value[3]);
                            if (!(shade == TEXTURED_GOURAUD && shortcut))
                                wrap(u, size);
                            wrap(vv, size);
                            value[2] = static_cast<uint32_t>(u);
                            value[3] = static_cast<uint32_t>(vv);
                            int32_t column = u >> 16;
                            if (column == size)
                                column = 0;  // the shortcut's column S shows column 0
                            c = texture[(vv >> 16) * size + column];
                            if (shade == TEXTURED_GOURAUD)
                                c = saturate(c, shaded);
                        }
                        if (additive_pass) {
                            frame[at] = saturate(frame[at], c);
                        } else {
                            frame[at] = c;
                            depth[at] = word;
                        }
                    }
                }
                for (int i = 1; i < 7; i++)
                    value[i] += gradient[i];
            }
        }
        for (auto& e : q) {
            e.long_edge += static_cast<uint32_t>(e.long_slope);
            if (y > iyb - 1)
                e.short_edge += static_cast<uint32_t>(e.lower_slope);
            else if (y == iyb - 1)
                e.short_edge = start_of(e.lower_slope, pre_b, e.b);
            else
                e.short_edge += static_cast<uint32_t>(e.upper_slope);
        }
    }
}

void real_fill(int shade, Vertex* const triangle[3], uint32_t colour, const uint32_t* texture, uint32_t* frame,
               uint32_t* depth)
{
    switch (shade) {
    case FLAT: fill_flat(triangle, colour, frame, depth); break;
    case GOURAUD: fill_gouraud(triangle, frame, depth); break;
    case TEXTURED: fill_textured(triangle, texture, frame, depth); break;
    default: fill_textured_gouraud(triangle, texture, frame, depth); break;
    }
}

// ---------------------------------------------------------------------------
// Fixture: a frame and depth buffer with guard words on both sides.
// ---------------------------------------------------------------------------
constexpr size_t GUARD = 4096;
constexpr uint32_t GUARD_WORD = 0xDEADBEEF;

struct Buffers {
    std::vector<uint32_t> frame_store = std::vector<uint32_t>(W * H + 2 * GUARD, GUARD_WORD);
    std::vector<uint32_t> depth_store = std::vector<uint32_t>(W * H + 2 * GUARD, GUARD_WORD);
    uint32_t* frame() { return frame_store.data() + GUARD; }
    uint32_t* depth() { return depth_store.data() + GUARD; }
    bool guards_intact() const
    {
        for (size_t i = 0; i < GUARD; i++)
            if (frame_store[i] != GUARD_WORD || depth_store[i] != GUARD_WORD ||
                frame_store[GUARD + W * H + i] != GUARD_WORD || depth_store[GUARD + W * H + i] != GUARD_WORD)
                return false;
        return true;
    }
    void clear(uint32_t colour = 0, uint32_t depth_word = 0xFFFFFFFF)
    {
        std::fill_n(frame(), W * H, colour);
        std::fill_n(depth(), W * H, depth_word);
    }
};

class Fillers : public ::testing::Test {
protected:
    void SetUp() override
    {
        frame_width = W;
        frame_height = H;
        depth_generation = 0xFFFF0000u;
        additive_pass = 0;
        interlace_flag = 0;
        interlace_parity = 0;
        current_texture_size = 8;
        for (int32_t i = 0; i < 64; i++)
            texture[i] = static_cast<uint32_t>(i) * 0x030201u;
        buffers.clear();
    }
    void TearDown() override
    {
        set_span_level(1);
        current_texture_size = 256;
    }
    Vertex& vertex(int k, float x, float y, float z = 100, uint32_t colour = 0xFFFFFF, float u = 0, float v = 0)
    {
        vertices[k] = Vertex{};
        vertices[k].screen_x = x;
        vertices[k].screen_y = y;
        vertices[k].transformed.z = z;
        vertices[k].colour = colour;
        vertices[k].u = u;
        vertices[k].v = v;
        return vertices[k];
    }
    Vertex* const* triangle() { return corners; }
    // Rows and columns that hold colour c.
    std::vector<int32_t> rows_with(uint32_t c)
    {
        std::vector<int32_t> rows;
        for (int32_t y = 0; y < H; y++)
            for (int32_t x = 0; x < W; x++)
                if (buffers.frame()[y * W + x] == c) {
                    rows.push_back(y);
                    break;
                }
        return rows;
    }
    Vertex vertices[3];
    Vertex* corners[3] = {&vertices[0], &vertices[1], &vertices[2]};
    uint32_t texture[64];
    Buffers buffers;
};

// ---------------------------------------------------------------------------
// Random comparison with the reference
// ---------------------------------------------------------------------------
TEST_F(Fillers, MatchTheReferenceOnRandomTriangles)
{
    std::mt19937 random(1234);
    std::uniform_real_distribution<float> xs(-20.0f, W + 20.0f);  // a little past the edges too
    std::uniform_real_distribution<float> ys(-20.0f, H + 20.0f);
    std::uniform_real_distribution<float> zs(10.0f, 3500.0f);
    std::uniform_real_distribution<float> uvs(-40.0f, 40.0f);
    std::uniform_int_distribution<uint32_t> words;
    std::vector<uint32_t> tex(64 * 64);
    for (auto& t : tex)
        t = words(random);
    Buffers expected;
    for (int32_t round = 0; round < 1600; round++) {
        const int shade = round % 4;
        additive_pass = static_cast<uint8_t>((round / 4) % 2);
        set_span_level((round / 8) % 2);
        current_texture_size = (round / 16) % 5 == 4 ? 48 : 64;  // one side not a power of two
        interlace_flag = (round % 37) == 0;
        interlace_parity = round & 1;
        depth_generation = 0xFFFF0000u - static_cast<uint32_t>((round % 3) * 0x10000);
        const bool small = round % 3 == 0;
        for (int k = 0; k < 3; k++) {
            float x = xs(random), y = ys(random);
            if (small && k > 0) {
                x = std::clamp(vertices[0].screen_x + uvs(random) * 0.5f, 0.0f, static_cast<float>(W));
                y = std::clamp(vertices[0].screen_y + uvs(random) * 0.3f, 0.0f, static_cast<float>(H));
            }
            if (round % 11 == 0 && k == 1)
                y = vertices[0].screen_y;  // flat top or bottom
            if (round % 13 == 0)
                y = std::floor(y);  // on a row boundary
            if (round % 7 == 0)
                x = x * 3 - 320;  // spans wider than the frame, cut at both sides
            // Rows a hair apart across a row boundary and texture coordinates
            // past 2^15 texels: slopes and starts beyond 32 bits (0x80000000).
            const bool extreme = round % 17 == 5;
            if (extreme)
                y = std::floor(vertices[0].screen_y) + (k == 0 ? 0.0f : uvs(random) * 1e-4f);
            const float reach = extreme ? 5000.0f : 4.0f;
            vertex(k, x, y, zs(random), words(random) & 0xFFFFFF, uvs(random) * reach, uvs(random) * reach);
        }
        // A depth buffer mixing older generations, nearer and farther words.
        for (int32_t i = 0; i < W * H; i++) {
            const uint32_t r = words(random);
            buffers.depth()[i] = (r & 3) == 0 ? 0xFFFFFFFFu : (depth_generation + (r & 0x10000)) | ((r >> 8) % 3600);
            buffers.frame()[i] = r & 0xFFFFFF;
        }
        expected.depth_store = buffers.depth_store;
        expected.frame_store = buffers.frame_store;
        const uint32_t colour = words(random) & 0xFFFFFF;
        reference_fill(shade, corners, colour, tex.data(), expected.frame(), expected.depth());
        real_fill(shade, corners, colour, tex.data(), buffers.frame(), buffers.depth());
        ASSERT_EQ(expected.frame_store, buffers.frame_store) << "round " << round << " shade " << shade;
        ASSERT_EQ(expected.depth_store, buffers.depth_store) << "round " << round << " shade " << shade;
    }
}

// A depth buffer of one frame between two pages that may not be touched
// (a frame is exactly 75 pages): a kernel that reads or writes a word past
// either end faults.
struct GuardedDepth {
    static constexpr size_t PAGE = 4096;
    static constexpr size_t BYTES = W * H * sizeof(uint32_t);
    static_assert(BYTES % PAGE == 0);
    GuardedDepth()
    {
        void* p = mmap(nullptr, BYTES + 2 * PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(p, MAP_FAILED);
        base = static_cast<char*>(p);
        mprotect(base, PAGE, PROT_NONE);
        mprotect(base + PAGE + BYTES, PAGE, PROT_NONE);
    }
    ~GuardedDepth() { munmap(base, BYTES + 2 * PAGE); }
    GuardedDepth(const GuardedDepth&) = delete;
    GuardedDepth& operator=(const GuardedDepth&) = delete;
    uint32_t* words() { return reinterpret_cast<uint32_t*>(base + PAGE); }
    char* base;
};

// The wide kernels read and write whole windows of eight words, so their
// edges are where they can go wrong: spans of every length from 1 to 17
// starting at every column modulo 8, against the frame's left and right
// edges, on its first and last rows (the buffers' ends), with the frame
// starting at every word offset modulo 8 (the windows follow its grid) and
// the depth buffer fenced by pages that fault, in both passes and every
// variant, must leave every word (the frame's guards included) as the plain
// kernels do.
TEST_F(Fillers, WideKernelEdgesMatchThePlainKernels)
{
    GuardedDepth fenced;
    std::mt19937 random(7);
    std::uniform_int_distribution<uint32_t> words;
    std::uniform_real_distribution<float> depths(10.0f, 3500.0f);
    std::vector<uint32_t> tex(64 * 64);
    for (auto& t : tex)
        t = words(random);
    current_texture_size = 64;
    // Right-angled triangles 17 rows tall whose spans run through every
    // length from 17 pixels to 1: the vertical side at column edge, on the
    // right (spans end there) or on the left (spans start there).
    struct Wedge {
        float edge, top;
        bool right;
    };
    std::vector<Wedge> wedges = {{320, 0, true}, {320, 223, true}, {0, 0, false}, {0, 223, false}};
    for (int32_t k = 0; k < 8; k++) {
        wedges.push_back({100.0f + static_cast<float>(k), 20.0f + 20.0f * static_cast<float>(k), true});
        wedges.push_back({180.0f + static_cast<float>(k), 20.0f + 20.0f * static_cast<float>(k), false});
    }
    const size_t words_each = W * H + 2 * GUARD + 8;
    std::vector<uint32_t> frame_start(words_each), depth_start(words_each);
    for (int32_t offset = 0; offset < 8; offset++) {
        for (size_t i = 0; i < words_each; i++) {
            const uint32_t r = words(random);
            depth_start[i] = (r & 3) == 0 ? 0xFFFFFFFFu : depth_generation | ((r >> 8) % 3600);
            frame_start[i] = r & 0xFFFFFF;
        }
        for (int32_t pass = 0; pass < 8; pass++) {
            const int shade = pass % 4;
            additive_pass = static_cast<uint8_t>(pass / 4);
            std::vector<std::vector<uint32_t>> frames, depths_out;
            for (int32_t variant = -1; variant < SPAN_VARIANTS; variant++) {  // -1: the plain kernels
                set_span_level(variant < 0 ? 0 : 1);
                set_span_variant(std::max(variant, 0));
                std::vector<uint32_t> frame = frame_start;
                uint32_t* f = frame.data() + GUARD + offset;
                uint32_t* d = fenced.words();
                std::copy_n(depth_start.data(), W * H, d);
                std::mt19937 same(static_cast<uint32_t>(offset * 8 + pass));  // the same triangles every variant
                for (const Wedge& wedge : wedges) {
                    // The spans shrink downwards, then (the tip at the bottom) grow.
                    const float tip = wedge.right ? wedge.edge - 17.5f : wedge.edge + 17.5f;
                    for (const float tip_row : {wedge.top, wedge.top + 17.0f}) {
                        vertex(0, tip, tip_row, depths(same), words(same) & 0xFFFFFF, 3.5f, -2.0f);
                        vertex(1, wedge.edge, wedge.top, depths(same), words(same) & 0xFFFFFF, 60.0f, 7.0f);
                        vertex(2, wedge.edge, wedge.top + 17.0f, depths(same), words(same) & 0xFFFFFF, 30.0f, 80.0f);
                        real_fill(shade, corners, words(same) & 0xFFFFFF, tex.data(), f, d);
                    }
                }
                frames.push_back(std::move(frame));
                depths_out.emplace_back(d, d + W * H);
            }
            for (size_t v = 1; v < frames.size(); v++) {
                ASSERT_EQ(frames[0], frames[v]) << "offset " << offset << " shade " << shade << " additive "
                                                << int(additive_pass) << " variant " << v - 1;
                ASSERT_EQ(depths_out[0], depths_out[v]) << "offset " << offset << " shade " << shade << " variant "
                                                        << v - 1;
            }
        }
    }
    set_span_variant(-1);
}

// Every variant of the wide kernels on random triangles of every size, in
// both passes, with power-of-two and other texture sides: the plain kernels'
// words (those are held to the reference above).
TEST_F(Fillers, EveryWideVariantMatchesThePlainKernels)
{
    std::mt19937 random(4321);
    std::uniform_real_distribution<float> xs(-20.0f, W + 20.0f), ys(-20.0f, H + 20.0f);
    std::uniform_real_distribution<float> zs(10.0f, 3500.0f), uvs(-40.0f, 40.0f), sizes(0.5f, 60.0f);
    std::uniform_int_distribution<uint32_t> words;
    std::vector<uint32_t> tex(64 * 64);
    for (auto& t : tex)
        t = words(random);
    Buffers start;
    for (int32_t i = 0; i < W * H; i++) {
        const uint32_t r = words(random);
        start.depth()[i] = (r & 3) == 0 ? 0xFFFFFFFFu : depth_generation | ((r >> 8) % 3600);
        start.frame()[i] = r & 0xFFFFFF;
    }
    for (int32_t round = 0; round < 240; round++) {
        const int shade = round % 4;
        additive_pass = static_cast<uint8_t>((round / 4) % 2);
        current_texture_size = (round / 8) % 4 == 3 ? 48 : 64;
        const float size = round % 3 == 0 ? 1000.0f : sizes(random);  // frame-wide, or a few to 60 pixels
        const float cx = xs(random), cy = ys(random);
        for (int k = 0; k < 3; k++)
            vertex(k, std::clamp(cx + (xs(random) / W - 0.5f) * size, 0.0f, static_cast<float>(W)),
                   std::clamp(cy + (ys(random) / H - 0.5f) * size, 0.0f, static_cast<float>(H)), zs(random),
                   words(random) & 0xFFFFFF, uvs(random) * 4, uvs(random) * 4);
        const uint32_t colour = words(random) & 0xFFFFFF;
        Buffers plain = start;
        set_span_level(0);
        real_fill(shade, corners, colour, tex.data(), plain.frame(), plain.depth());
        for (int32_t variant = 0; variant < SPAN_VARIANTS; variant++) {
            Buffers wide = start;
            set_span_level(1);
            set_span_variant(variant);
            real_fill(shade, corners, colour, tex.data(), wide.frame(), wide.depth());
            ASSERT_EQ(plain.frame_store, wide.frame_store) << "round " << round << " variant " << variant;
            ASSERT_EQ(plain.depth_store, wide.depth_store) << "round " << round << " variant " << variant;
        }
    }
    set_span_variant(-1);
}

// Buffers narrower than one window of the wide kernels: the plain kernels'
// words, nothing written past the buffers.
TEST_F(Fillers, WideKernelsOnBuffersNarrowerThanAWindow)
{
    frame_width = 5;
    frame_height = 1;
    for (int32_t variant = -1; variant < SPAN_VARIANTS; variant++) {
        set_span_level(variant < 0 ? 0 : 1);
        set_span_variant(std::max(variant, 0));
        buffers.clear();
        vertex(0, 0.5f, -1.0f, 100, 0x102030);
        vertex(1, 5.0f, -1.0f, 100, 0x102030);
        vertex(2, 5.0f, 3.0f, 100, 0x102030);
        fill_flat(corners, 0x102030, buffers.frame(), buffers.depth());
        EXPECT_TRUE(buffers.guards_intact());
        // Row 0 uses the edges at y = 1: the long edge at x = 0.5 + 2 * 1.125, the short one at 5.
        for (int32_t x = 0; x < 5; x++)
            EXPECT_EQ(buffers.frame()[x], x < 2 ? 0u : 0x102030u) << variant << " " << x;
        EXPECT_EQ(buffers.frame()[5], 0u) << variant;  // past the buffers' five words
    }
    set_span_variant(-1);
}

TEST(SpanVariant, ReadFromTheEnvironmentInAnyCase)
{
    const struct {
        const char* value;
        int32_t variant;
    } cases[] = {{"masked", SPANS_MASKED}, {"GATHER", SPANS_GATHER}, {"Loads", SPANS_LOADS}};
    for (const auto& c : cases) {
        setenv("YURN_SPANS", c.value, 1);
        EXPECT_EQ(set_span_variant(-1), c.variant) << c.value;
    }
    unsetenv("YURN_SPANS");
    const int32_t chosen = set_span_variant(-1);
    setenv("YURN_SPANS", "loadsx", 1);  // unknown: warned about, the processor's choice stands
    testing::internal::CaptureStderr();
    EXPECT_EQ(set_span_variant(-1), chosen);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("YURN_SPANS=\"loadsx\""), std::string::npos);
    unsetenv("YURN_SPANS");
    EXPECT_EQ(set_span_variant(7), chosen);  // out of range: as at start
    EXPECT_EQ(set_span_variant(SPANS_MASKED), SPANS_MASKED);
    set_span_variant(-1);
}

TEST_F(Fillers, NeverWriteOutsideTheBuffersWhateverTheInput)
{
    const float wild[] = {-1e30f, -70000.0f, -1.0f, 0.0f, 0.5f, 239.99f, 240.0f, 320.0f, 5000.0f, 1e30f,
                          std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
    std::mt19937 random(99);
    std::uniform_int_distribution<size_t> pick(0, std::size(wild) - 1);
    std::uniform_real_distribution<float> any(-400.0f, 700.0f);
    for (int32_t round = 0; round < 3000; round++) {
        for (int k = 0; k < 3; k++) {
            const float x = round % 2 ? wild[pick(random)] : any(random);
            const float y = round % 3 ? wild[pick(random)] : any(random);
            vertex(k, x, y, round % 5 ? any(random) : wild[pick(random)], 0x123456, wild[pick(random)], any(random));
        }
        additive_pass = round % 2;
        set_span_level(round % 3 ? 1 : 0);
        current_texture_size = round % 5 ? 8 : INT32_MIN;  // a side of any value, even one that overflows
        real_fill(round % 4, corners, 0x00FF00, texture, buffers.frame(), buffers.depth());
        ASSERT_TRUE(buffers.guards_intact()) << "round " << round;
    }
    // A large triangle reaching past every edge still fills the frame inside.
    buffers.clear();
    vertex(0, -500, -300);
    vertex(1, 900, -10);
    vertex(2, 100, 800);
    fill_flat(corners, 0x00FF00, buffers.frame(), buffers.depth());
    EXPECT_TRUE(buffers.guards_intact());
    EXPECT_EQ(buffers.frame()[120 * W + 160], 0x00FF00u);
}

// ---------------------------------------------------------------------------
// Coverage rules
// ---------------------------------------------------------------------------
TEST_F(Fillers, RowsRunFromTheTopRowToTheRowAboveTheBottomVertex)
{
    vertex(0, 50, 10.0f);
    vertex(1, 150, 20.0f);
    vertex(2, 10, 20.0f);  // flat bottom at exactly 20
    fill_flat(corners, 0xFF, buffers.frame(), buffers.depth());
    const auto rows = rows_with(0xFF);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.front(), 10);
    EXPECT_EQ(rows.back(), 19);

    buffers.clear();
    vertex(0, 10, 30.5f);
    vertex(1, 150, 30.5f);  // flat top: the first row is trunc(yB)
    vertex(2, 80, 40.2f);
    fill_flat(corners, 0xFF, buffers.frame(), buffers.depth());
    const auto flat_top = rows_with(0xFF);
    ASSERT_FALSE(flat_top.empty());
    EXPECT_EQ(flat_top.front(), 30);
    EXPECT_EQ(flat_top.back(), 39);
}

TEST_F(Fillers, TrianglesLessThanARowTallOrOnOneLineDrawNothing)
{
    vertex(0, 10, 50.1f);
    vertex(1, 200, 50.9f);
    vertex(2, 100, 50.5f);
    fill_flat(corners, 0xFF, buffers.frame(), buffers.depth());
    vertex(0, 10, 60);
    vertex(1, 200, 60);
    vertex(2, 100, 60);
    fill_gouraud(corners, buffers.frame(), buffers.depth());
    EXPECT_TRUE(rows_with(0xFF).empty());
    EXPECT_TRUE(rows_with(0xFFFFFF).empty());
}

TEST_F(Fillers, TheRightEndColumnIsNeverWritten)
{
    // A right-angled triangle whose right edge is the vertical x = 100.
    vertex(0, 20, 0);
    vertex(1, 100, 0);
    vertex(2, 100, 240);
    fill_flat(corners, 0xFF, buffers.frame(), buffers.depth());
    for (int32_t y = 0; y < H; y++) {
        EXPECT_EQ(buffers.frame()[y * W + 100], 0u) << y;
        if (y < 239) {  // the last row's left end is 99.99 after the truncated slope
            EXPECT_EQ(buffers.frame()[y * W + 99], 0xFFu) << y;
        }
    }
    // The whole frame as two triangles: every pixel once, column 319 included.
    buffers.clear();
    vertex(0, 0, 0);
    vertex(1, 320, 0);
    vertex(2, 0, 240);
    fill_flat(corners, 0x1, buffers.frame(), buffers.depth());
    vertex(0, 320, 0);
    vertex(1, 320, 240);
    vertex(2, 0, 240);
    fill_flat(corners, 0x2, buffers.frame(), buffers.depth());
    EXPECT_TRUE(std::none_of(buffers.frame(), buffers.frame() + W * H, [](uint32_t p) { return p == 0; }));
}

// ---------------------------------------------------------------------------
// Depth and passes
// ---------------------------------------------------------------------------
TEST_F(Fillers, EqualDepthLosesAndNearerWins)
{
    vertex(0, 0, 0, 100);
    vertex(1, 320, 0, 100);
    vertex(2, 0, 240, 100);
    fill_flat(corners, 0x1, buffers.frame(), buffers.depth());
    EXPECT_EQ(buffers.depth()[10 * W + 10], 0xFFFF0000u | 100u);
    fill_flat(corners, 0x2, buffers.frame(), buffers.depth());  // same depth: first writer stays
    EXPECT_EQ(buffers.frame()[10 * W + 10], 0x1u);
    vertex(0, 0, 0, 99);
    vertex(1, 320, 0, 99);
    vertex(2, 0, 240, 99);
    fill_flat(corners, 0x3, buffers.frame(), buffers.depth());
    EXPECT_EQ(buffers.frame()[10 * W + 10], 0x3u);
    // A word from an earlier frame (larger generation) loses to any depth now.
    depth_generation = 0xFFFE0000u;
    vertex(0, 0, 0, 3000);
    vertex(1, 320, 0, 3000);
    vertex(2, 0, 240, 3000);
    fill_flat(corners, 0x4, buffers.frame(), buffers.depth());
    EXPECT_EQ(buffers.frame()[10 * W + 10], 0x4u);
}

TEST_F(Fillers, AdditivePassSaturatesAndLeavesDepthAlone)
{
    buffers.clear(0x108040, 0xFFFFFFFF);
    additive_pass = 1;
    vertex(0, 0, 0);
    vertex(1, 320, 0);
    vertex(2, 0, 240);
    fill_flat(corners, 0xF08010, buffers.frame(), buffers.depth());
    fill_flat(corners, 0xF08010, buffers.frame(), buffers.depth());  // not hidden by the first
    EXPECT_EQ(buffers.frame()[5 * W + 5], 0xFFFF60u);
    EXPECT_EQ(buffers.depth()[5 * W + 5], 0xFFFFFFFFu);
    for (int32_t level = 0; level < 2; level++) {
        set_span_level(level);
        buffers.clear(0x808080, 0xFFFFFFFF);
        texture[0] = 0xFFFFFF;
        fill_textured_gouraud(corners, texture, buffers.frame(), buffers.depth());
        EXPECT_EQ(buffers.frame()[5 * W + 5], 0xFFFFFFu);
        EXPECT_EQ(buffers.depth()[5 * W + 5], 0xFFFFFFFFu);
    }
}

TEST_F(Fillers, TextureCoordinatesWrapBothWays)
{
    current_texture_size = 8;
    for (int32_t level = 0; level < 2; level++) {
        set_span_level(level);
        buffers.clear();
        // Constant u = -0.5 texel over the triangle: column S - 1 = 7; v = S + 1: row 1.
        vertex(0, 0, 0, 100, 0, -0.5f, 9.0f);
        vertex(1, 320, 0, 100, 0, -0.5f, 9.0f);
        vertex(2, 0, 240, 100, 0, -0.5f, 9.0f);
        fill_textured(corners, texture, buffers.frame(), buffers.depth());
        EXPECT_EQ(buffers.frame()[20 * W + 20], texture[1 * 8 + 7]);
        buffers.clear();
        vertex(0, 0, 0, 100, 0, 9.0f, -0.5f);
        vertex(1, 320, 0, 100, 0, 9.0f, -0.5f);
        vertex(2, 0, 240, 100, 0, 9.0f, -0.5f);
        fill_textured_gouraud(corners, texture, buffers.frame(), buffers.depth());
        EXPECT_EQ(buffers.frame()[20 * W + 20], saturate(texture[7 * 8 + 1], 0));
    }
}

TEST_F(Fillers, InterlaceDrawsOnlyTheRowsOfItsParity)
{
    interlace_flag = 1;
    for (int32_t parity = 0; parity < 4; parity++) {
        interlace_parity = parity;
        buffers.clear();
        vertex(0, 0, 0);
        vertex(1, 320, 0);
        vertex(2, 0, 240);
        fill_flat(corners, 0xFF, buffers.frame(), buffers.depth());
        for (int32_t y = 0; y < 10; y++)
            EXPECT_EQ(buffers.frame()[y * W + 1], ((y ^ parity) & 1) ? 0u : 0xFFu) << parity << " " << y;
    }
}

TEST(Fixed, TruncIsDefinedOutsideTheIntegerRange)
{
    EXPECT_EQ(trunc_to_int(2147483648.0), INT32_MIN);
    EXPECT_EQ(trunc_to_int(-2147483649.0), INT32_MIN);
    EXPECT_EQ(trunc_to_int(std::numeric_limits<double>::quiet_NaN()), INT32_MIN);
    EXPECT_EQ(trunc_to_int(2147483647.9), INT32_MAX);
    EXPECT_EQ(trunc_to_int(-2147483648.9), INT32_MIN);
    EXPECT_EQ(trunc_to_int(-1.7), -1);
    EXPECT_EQ(fixed_floor(-1), -1);
}

}  // namespace
