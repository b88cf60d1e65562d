// The page's SIMD triangle set-up (edges and span gradients in packed
// WebAssembly conversions) against the plain one, word for word, where the
// two conversions part: slopes and starts past 32 bits (rows a hair apart,
// texture coordinates past 2^15 texels), NaN, infinities and huge
// coordinates, beside ordinary triangles; each triangle drawn once at the
// plain level and once at the SIMD level, every filler, both passes.  Then
// its vertex lighting (two points at a time) against light_point's, through
// whole lit scenes at both levels: frames, depth words and vertex colours,
// with three lights, attenuation above one and a light on a lit vertex.  Then
// the additive pass of the plain kernels (the SIMD build's saturating add)
// and the buffer fills against models written from their rules, with guard
// words around the fills.  Built with the renderer's sources by em++
// -msimd128 and run under node by tests/e2e/web_fill.sh; prints one line,
// exits 1 at the first difference.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "../render_scenes.h"
#include "engine/engine.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/frame.h"

namespace {

constexpr int32_t W = 320, H = 240;
constexpr size_t SLACK = 64;  // words on both sides of each buffer, compared too

Vertex vertices[3];
Vertex* const corners[3] = {&vertices[0], &vertices[1], &vertices[2]};

void draw(int32_t shade, const uint32_t* texture, uint32_t* frame, uint32_t* depth)
{
    switch (shade) {
    case 0: fill_flat(corners, 0x00A0B0C0u, frame, depth); break;
    case 1: fill_gouraud(corners, frame, depth); break;
    case 2: fill_textured(corners, texture, frame, depth); break;
    default: fill_textured_gouraud(corners, texture, frame, depth); break;
    }
}

bool triangles_match()
{
    const float inf = std::numeric_limits<float>::infinity();
    const float wild[] = {-1e30f, -70000.0f, -1.0f, 0.0f, 0.5f, 239.99f, 240.0f, 320.0f, 5000.0f, 1e30f,
                          std::numeric_limits<float>::quiet_NaN(), inf, -inf};
    std::mt19937 random(77);
    std::uniform_int_distribution<size_t> pick(0, std::size(wild) - 1);
    std::uniform_real_distribution<float> xs(-20.0f, W + 20.0f), ys(-20.0f, H + 20.0f);
    std::uniform_real_distribution<float> zs(10.0f, 3500.0f), uvs(-40.0f, 40.0f), any(-400.0f, 700.0f);
    std::uniform_int_distribution<uint32_t> words;
    std::vector<uint32_t> texture(64 * 64);
    for (auto& t : texture)
        t = words(random);
    std::vector<uint32_t> start_frame(W * H + 2 * SLACK), start_depth(W * H + 2 * SLACK);
    for (size_t i = 0; i < start_frame.size(); i++) {
        start_frame[i] = words(random) & 0xFFFFFF;
        start_depth[i] = (words(random) & 3) == 0 ? 0xFFFFFFFFu : 0xFFFF0000u | (words(random) % 3600);
    }
    int32_t drawn = 0;
    for (int32_t round = 0; round < 4000; round++) {
        const int32_t kind = round % 4;  // 0 ordinary, 1 rows a hair apart, 2 texels far out, 3 wild values
        for (int32_t k = 0; k < 3; k++) {
            Vertex& v = vertices[k];
            v = Vertex{};
            v.screen_x = xs(random);
            v.screen_y = ys(random);
            v.transformed.z = zs(random);
            v.colour = words(random) & 0xFFFFFF;
            v.u = uvs(random) * 4.0f;
            v.v = uvs(random) * 4.0f;
            if (kind == 1)
                v.screen_y = std::floor(vertices[0].screen_y) + (k == 0 ? 0.0f : uvs(random) * 1e-4f);
            if (kind == 2) {
                v.u = uvs(random) * 5000.0f;
                v.v = uvs(random) * 5000.0f;
            }
            if (kind == 3) {
                v.screen_x = round % 2 ? wild[pick(random)] : any(random);
                v.screen_y = round % 3 ? wild[pick(random)] : any(random);
                if (round % 5 == 0)
                    v.transformed.z = wild[pick(random)];
                v.u = wild[pick(random)];
            }
        }
        const int32_t shade = (round / 4) % 4;
        additive_pass = static_cast<uint8_t>((round / 16) % 2);
        current_texture_size = (round / 32) % 5 == 4 ? 48 : 64;  // one side not a power of two
        std::vector<uint32_t> frame[2] = {start_frame, start_frame}, depth[2] = {start_depth, start_depth};
        for (int32_t level = 0; level < 2; level++) {
            set_span_level(level);
            draw(shade, texture.data(), frame[level].data() + SLACK, depth[level].data() + SLACK);
        }
        if (frame[0] != frame[1] || depth[0] != depth[1]) {
            std::printf("web_fill: triangle %d (filler %d, additive %d): the SIMD level draws other words than the "
                        "plain one\n",
                        round, shade, additive_pass);
            return false;
        }
        drawn += frame[0] != start_frame;
    }
    if (drawn < 1000) {
        std::printf("web_fill: only %d of the triangles drew anything\n", drawn);
        return false;
    }
    return true;
}

bool scenes_match()
{
    using namespace render_scenes;
    std::vector<uint32_t> texture = checkerboard(64, 8, 0xE0E000, 0x2040A0);
    Scene scene;
    Object* sphere = make_sphere(40, 10, 14);
    sphere->position = {0, 0, 150};
    sphere->texture = texture.data();
    sphere->texture_size = 64;
    sphere->colour = 0xC08040;
    sphere->specular = 0.7f;
    scene.add_object(sphere);
    Object* torus = make_torus(40, 15, 20, 10);
    torus->position = {20, -10, 45};
    torus->mode = MODE_GOURAUD;
    torus->two_sided = 1;
    scene.add_object(torus);
    // A cube whose corner (-20, -20, -20), on its faces towards the camera,
    // has the third light exactly on it: no direction, so that light adds
    // nothing there.  Unturned, so the corner's place is exact.
    Object* cube = make_cube(20);
    cube->position = {60, 0, 150};
    cube->mode = MODE_GOURAUD;
    scene.add_object(cube);
    Light light{}, second{}, third{};
    third.colour = 0xFFFFFF;
    third.attenuation[0] = 1;
    third.position = {40, 20, 130};  // y up: (40, -20, 130) in the engine's space
    light.colour = 0xFFFFFF;
    light.attenuation[0] = 1;
    second.colour = 0x40FF80;
    second.attenuation[0] = 0.5f;  // attenuation 2 near the light: kept by vertex lighting
    second.attenuation[1] = 0.3f;
    second.attenuation[2] = 0.01f;
    scene.add_light(&light);
    scene.add_light(&second);
    scene.add_light(&third);
    scene.ambient = 0x203040;
    Camera camera{};
    camera.fov = 90;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> turn(-3.2f, 3.2f);
    for (int32_t round = 0; round < 40; round++) {
        sphere->angles = {turn(random), turn(random), turn(random)};
        torus->angles = {turn(random), turn(random), 0};
        sphere->mode = round % 3 ? MODE_GOURAUD | MODE_TEXTURED : MODE_GOURAUD | MODE_ADDITIVE;
        // Now and then the sphere unturned with a light exactly on its top
        // vertex, (0, -40, 0) in its own space.
        second.position = round % 4 ? Vector{turn(random) * 40, turn(random) * 40, 100} : Vector{0, 40, 150};
        if (round % 4 == 0)
            sphere->angles = {0, 0, 0};
        std::vector<uint32_t> frames[2], depths[2], colours[2];
        for (int32_t level = 0; level < 2; level++) {
            set_span_level(level);
            frames[level].assign(W * H, 0x101010);
            depths[level].assign(W * H, 0xFFFFFFFFu);
            depth_generation = 0xFFFF0000u;
            // The same stand-in colour at both levels: a vertex one level leaves unlit shows.
            for (Object* object : {sphere, torus, cube})
                for (uint32_t i = 0; i < object->vertex_count; i++)
                    object->vertices[i].colour = 0xDEAD00u;
            scene.render_scene(&camera, depths[level].data(), frames[level].data());
            for (const Object* object : {sphere, torus, cube})
                for (uint32_t i = 0; i < object->vertex_count; i++)
                    colours[level].push_back(object->vertices[i].colour);
        }
        if (frames[0] != frames[1] || depths[0] != depths[1] || colours[0] != colours[1]) {
            std::printf("web_fill: lit scene %d: the SIMD vertex lighting differs from the plain one\n", round);
            return false;
        }
    }
    return true;
}

// The additive pass through the plain kernels (they serve the short spans at
// every level): a flat triangle over the whole frame adds its colour to every
// pixel, each channel saturating at 255, as a model written from that rule.
bool additive_matches()
{
    std::mt19937 random(5);
    std::uniform_int_distribution<uint32_t> words;
    vertices[0] = vertices[1] = vertices[2] = Vertex{};
    vertices[0].screen_x = -10, vertices[0].screen_y = -10;
    vertices[1].screen_x = 2 * W + 10, vertices[1].screen_y = -10;
    vertices[2].screen_x = -10, vertices[2].screen_y = 2 * H + 10;
    for (Vertex& v : vertices)
        v.transformed.z = 100;
    set_span_level(0);
    additive_pass = 1;
    for (int32_t round = 0; round < 64; round++) {
        // Colours with channels near 0, near 255 and anywhere.
        const uint32_t colour = round < 8 ? 0x010101u * static_cast<uint32_t>(round * 36) : words(random) & 0xFFFFFF;
        std::vector<uint32_t> frame(W * H), depth(W * H, 0xFFFFFFFFu);
        for (uint32_t& f : frame)
            f = words(random);
        std::vector<uint32_t> model = frame;
        for (uint32_t& m : model) {
            uint32_t sum = 0;
            for (int32_t shift = 0; shift <= 16; shift += 8)
                sum |= std::min<uint32_t>(((m >> shift) & 0xFF) + ((colour >> shift) & 0xFF), 0xFF) << shift;
            m = sum;
        }
        fill_flat(corners, colour, frame.data(), depth.data());
        if (frame != model) {
            std::printf("web_fill: the additive pass with %06X differs from a per-channel saturating add\n", colour);
            return false;
        }
    }
    additive_pass = 0;
    set_span_level(1);
    return true;
}

bool fills_match()
{
    for (uint32_t value : {0u, 0xFFFFFFFFu, 0x00123456u, 0x80000001u}) {
        for (int32_t offset = 0; offset < 8; offset++) {
            for (int32_t count : {1, 2, 3, 4, 5, 7, 15, 16, 17, 31, 33, 64, 100, 1025, W * H}) {
                std::vector<uint32_t> buffer(static_cast<size_t>(count) + 24, 0x11223344u), model = buffer;
                fill_buffer(buffer.data() + 8 + offset, value, count);
                for (int32_t i = 0; i < count; i++)
                    model[static_cast<size_t>(8 + offset + i)] = value;
                if (buffer != model) {
                    std::printf("web_fill: fill_buffer of %d words of %08X at offset %d differs from a plain loop\n",
                                count, value, offset);
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace

int main()
{
    frame_width = W;
    frame_height = H;
    if (set_span_level(1) != 1) {
        std::printf("web_fill: the SIMD build does not pick its SIMD level\n");
        return 1;
    }
    if (!triangles_match() || !scenes_match() || !additive_matches() || !fills_match())
        return 1;
    std::printf("web_fill: 4000 triangles and 40 lit scenes drawn the same at both levels; the additive pass "
                "and the fills match their models\n");
    return 0;
}
