// The page's span kernels against the plain ones, word for word: random
// triangles with every filler, in both passes, with power-of-two and other
// texture sides, interlaced or not, over depth buffers mixing nearer and
// farther words, then thin wedges whose spans run through every length from
// 1 to 25 against the frame's edges and ends with the frame at every word
// offset; each drawn once with the plain kernels and once with the widest
// the build has (WebAssembly SIMD under em++ -msimd128, AVX2 natively).  It
// also checks that the SIMD build picks its kernels and that a cap of
// CPU_PLAIN takes them away.  Built and run under node by
// tests/e2e/web_spans.sh; prints one line and exits 0 when every word
// matches, 1 at the first difference.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "display/cpu.h"
#include "engine/engine.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/frame.h"

namespace {

constexpr int32_t W = 320, H = 240;
constexpr size_t SLACK = 64;  // words on both sides of each buffer, compared too

Vertex vertices[3];
Vertex* const corners[3] = {&vertices[0], &vertices[1], &vertices[2]};

void draw(int32_t shade, uint32_t colour, const uint32_t* texture, uint32_t* frame, uint32_t* depth)
{
    switch (shade) {
    case 0: fill_flat(corners, colour, frame, depth); break;
    case 1: fill_gouraud(corners, frame, depth); break;
    case 2: fill_textured(corners, texture, frame, depth); break;
    default: fill_textured_gouraud(corners, texture, frame, depth); break;
    }
}

struct Buffers {
    std::vector<uint32_t> frame, depth;
};

// Draws the triangle in vertices into copies of start at both levels; false
// (with a line saying where) when they differ.
bool same_both_ways(const Buffers& start, size_t offset, int32_t shade, uint32_t colour, const uint32_t* texture,
                    const char* what, int32_t round)
{
    Buffers out[2] = {start, start};
    for (int32_t level = 0; level < 2; level++) {
        set_span_level(level);
        draw(shade, colour, texture, out[level].frame.data() + SLACK + offset, out[level].depth.data() + SLACK);
    }
    if (out[0].frame == out[1].frame && out[0].depth == out[1].depth)
        return true;
    std::printf("spans: %s %d (filler %d, additive %d): the wide kernels differ from the plain ones\n", what, round,
                shade, additive_pass);
    return false;
}

Buffers random_buffers(std::mt19937& random, size_t offset)
{
    std::uniform_int_distribution<uint32_t> words;
    Buffers b;
    b.frame.resize(W * H + 2 * SLACK + offset);
    b.depth.resize(W * H + 2 * SLACK);
    for (auto& f : b.frame)
        f = words(random) & 0xFFFFFF;
    for (auto& d : b.depth) {
        const uint32_t r = words(random);
        d = (r & 3) == 0 ? 0xFFFFFFFFu : (depth_generation + (r & 0x10000)) | ((r >> 8) % 3600);
    }
    return b;
}

}  // namespace

int main()
{
    frame_width = W;
    frame_height = H;
    const int32_t widest = set_span_level(1);
#if defined(__wasm_simd128__)
    if (widest != 1) {
        std::printf("spans: the SIMD build does not pick its SIMD kernels\n");
        return 1;
    }
    cpu_set_cap(CPU_PLAIN);
    follow_cpu_cap();
    if (span_level != 0) {
        std::printf("spans: a cap of CPU_PLAIN leaves the SIMD kernels in use\n");
        return 1;
    }
    cpu_set_cap(-1);
    follow_cpu_cap();
    if (span_level != 1) {
        std::printf("spans: lifting the cap does not bring the SIMD kernels back\n");
        return 1;
    }
#endif
    if (widest != 1) {
        std::printf("spans: no wide kernels in this build; nothing to compare\n");
        return 0;
    }

    std::mt19937 random(2024);
    std::uniform_real_distribution<float> xs(-20.0f, W + 20.0f), ys(-20.0f, H + 20.0f);
    std::uniform_real_distribution<float> zs(10.0f, 3500.0f), uvs(-40.0f, 40.0f);
    std::uniform_int_distribution<uint32_t> words;
    std::vector<uint32_t> texture(64 * 64);
    for (auto& t : texture)
        t = words(random);

    int32_t compared = 0;
    for (int32_t round = 0; round < 800; round++) {
        const int32_t shade = round % 4;
        additive_pass = static_cast<uint8_t>((round / 4) % 2);
        current_texture_size = (round / 8) % 5 == 4 ? 48 : 64;  // one side not a power of two
        interlace_flag = (round % 37) == 0;
        interlace_parity = round & 1;
        depth_generation = 0xFFFF0000u - static_cast<uint32_t>((round % 3) * 0x10000);
        const bool small = round % 3 == 0;
        for (int32_t k = 0; k < 3; k++) {
            float x = xs(random), y = ys(random);
            if (small && k > 0) {
                x = std::clamp(vertices[0].screen_x + uvs(random) * 0.5f, 0.0f, static_cast<float>(W));
                y = std::clamp(vertices[0].screen_y + uvs(random) * 0.3f, 0.0f, static_cast<float>(H));
            }
            if (round % 7 == 0)
                x = x * 3 - 320;  // spans wider than the frame, cut at both sides
            vertices[k] = Vertex{};
            vertices[k].screen_x = x;
            vertices[k].screen_y = y;
            vertices[k].transformed.z = zs(random);
            vertices[k].colour = words(random) & 0xFFFFFF;
            vertices[k].u = uvs(random) * (round % 17 == 5 ? 5000.0f : 4.0f);
            vertices[k].v = uvs(random) * 4.0f;
        }
        const size_t offset = static_cast<size_t>(round % 4);
        const Buffers start = random_buffers(random, offset);
        if (!same_both_ways(start, offset, shade, words(random) & 0xFFFFFF, texture.data(), "random triangle", round))
            return 1;
        compared++;
    }

    // Wedges: a vertical side at column edge, the spans shrinking from 25
    // pixels to 1 down the rows and growing back (the short ones go to the
    // plain kernels in the page), at the frame's left and right edges and on
    // its first and last rows too.
    interlace_flag = 0;
    depth_generation = 0xFFFF0000u;
    current_texture_size = 64;
    const float edges[] = {0, 320, 40, 41, 42, 43, 200, 201, 202, 203};
    for (size_t offset = 0; offset < 4; offset++) {
        const Buffers start = random_buffers(random, offset);
        for (int32_t pass = 0; pass < 8; pass++) {
            additive_pass = static_cast<uint8_t>(pass / 4);
            for (const float edge : edges) {
                for (const float top : {0.0f, 100.0f, 215.0f}) {
                    for (const bool tip_on_top : {true, false}) {
                        const float tip = edge < 160 ? edge + 25.5f : edge - 25.5f;
                        const float rows[3] = {tip_on_top ? top : top + 25.0f, top, top + 25.0f};
                        const float columns[3] = {tip, edge, edge};
                        for (int32_t k = 0; k < 3; k++) {
                            vertices[k] = Vertex{};
                            vertices[k].screen_x = columns[k];
                            vertices[k].screen_y = rows[k];
                            vertices[k].transformed.z = zs(random);
                            vertices[k].colour = words(random) & 0xFFFFFF;
                            vertices[k].u = uvs(random);
                            vertices[k].v = uvs(random);
                        }
                        if (!same_both_ways(start, offset, pass % 4, words(random) & 0xFFFFFF, texture.data(), "wedge",
                                            compared))
                            return 1;
                        compared++;
                    }
                }
            }
        }
    }
    std::printf("spans: %d triangles, the wide kernels draw every word as the plain ones\n", compared);
    return 0;
}
