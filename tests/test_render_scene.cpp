// The scene render pass: depth generations, passes, hierarchy, box and
// facing tests, lighting values, environment coordinates, and whole scenes
// compared with reference pictures in tests/data/render/ (a differing frame
// is written into the build directory as render_<name>_actual.png).
#include <gtest/gtest.h>

#include <stb_image.h>
#include <stb_image_write.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include "display/cpu.h"
#include "engine/engine.h"
#include "render/render.h"
#include "render/render_local.h"
#include "render_scenes.h"
#include "shell/frame.h"
#include "test_support.h"

using namespace render_scenes;

namespace {

constexpr int32_t W = 320, H = 240;

class RenderScene : public ::testing::Test {
protected:
    void SetUp() override
    {
        frame_width = W;
        frame_height = H;
        depth_generation = 0xFFFF0000u;
        current_texture_size = 256;
        frame.assign(W * H, BACKGROUND);
        depth.assign(W * H, 0x12345678);
        camera = Camera{};
        camera.fov = 90;
        light = Light{};
        light.colour = 0xFFFFFF;
        light.attenuation[0] = 1;
    }
    void TearDown() override { depth_generation = 0xFFFF0000u; }
    void render() { scene.render_scene(&camera, depth.data(), frame.data()); }
    int32_t count_not(uint32_t colour) const
    {
        return static_cast<int32_t>(std::count_if(frame.begin(), frame.end(), [&](uint32_t p) { return p != colour; }));
    }
    Object* add(Object* object, float x, float y, float z, uint8_t mode)
    {
        object->position = {x, y, z};
        object->mode = mode;
        scene.add_object(object);
        return object;
    }
    // One triangle whose corners are given in object space (engine y down).
    static Object* single_face(Vector a, Vector b, Vector c)
    {
        Object* object = create_object(3, 1);
        object->vertices[0] = vertex_at(a);
        object->vertices[1] = vertex_at(b);
        object->vertices[2] = vertex_at(c);
        for (int k = 0; k < 3; k++)
            object->faces[0].vertices[k] = &object->vertices[k];
        finish_object(object);
        return object;
    }

    static constexpr uint32_t BACKGROUND = 0x101010;
    std::vector<uint32_t> frame, depth;
    Scene scene;
    Camera camera{};
    Light light{};
};

TEST_F(RenderScene, AnEmptySceneTouchesNothing)
{
    render();
    EXPECT_EQ(depth[0], 0x12345678u);
    EXPECT_EQ(depth_generation, 0xFFFF0000u);
    EXPECT_EQ(count_not(BACKGROUND), 0);
}

TEST_F(RenderScene, TheDepthBufferIsClearedOnlyWhenTheGenerationWraps)
{
    add(make_sphere(10, 6, 8), 0, 0, 200, MODE_FLAT);
    render();
    EXPECT_EQ(depth[0], 0xFFFFFFFFu);
    EXPECT_EQ(depth[W * 120 + 160] >> 16, 0xFFFFu);
    EXPECT_EQ(depth_generation, 0xFFFE0000u);
    depth[0] = 0x12345678;
    render();
    EXPECT_EQ(depth[0], 0x12345678u);
    EXPECT_EQ(depth[W * 120 + 160] >> 16, 0xFFFEu);  // nearer than any older word
    depth_generation = 0;
    render();
    EXPECT_EQ(depth[0], 0x12345678u);
    EXPECT_EQ(depth_generation, 0xFFFF0000u);
    render();
    EXPECT_EQ(depth[0], 0xFFFFFFFFu);
}

TEST_F(RenderScene, EveryDepthBufferStartsCleanAfterTheGenerationWraps)
{
    // Two views of one scene rendered alternately into two depth buffers (a
    // cross-fade between scenes, a show that loops), across the wrap.  The
    // cube's front face at depth 170 fills the centre with ambient 0.2 of
    // white, 0x333333, in every frame of both.
    add(make_cube(30), 0, 0, 200, MODE_FLAT);
    scene.ambient = 0xFFFFFF;
    std::vector<uint32_t> depths[2] = {std::vector<uint32_t>(W * H, 0xFFFFFFFFu),
                                       std::vector<uint32_t>(W * H, 0xFFFFFFFFu)};
    const auto draw = [&](int32_t which) {
        frame.assign(W * H, BACKGROUND);
        scene.render_scene(&camera, depths[which].data(), frame.data());
        return frame[120 * W + 160];
    };
    EXPECT_EQ(draw(0), 0x333333u);
    EXPECT_EQ(draw(1), 0x333333u);
    // Near the end of the generations: the last four before the wrap, then
    // four after it, each buffer every other frame.
    depth_generation = 0x00030000u;
    for (int32_t frame_number = 0; frame_number < 8; frame_number++) {
        const uint32_t generation = depth_generation;
        EXPECT_EQ(draw(frame_number % 2), 0x333333u) << "frame " << frame_number << " generation " << generation;
        EXPECT_EQ(depths[frame_number % 2][120 * W + 160], generation | 170) << frame_number;
    }
    // A third buffer that has never been drawn into, holding anything, is
    // cleared before its first frame too.
    std::vector<uint32_t> stranger(W * H, 0);
    frame.assign(W * H, BACKGROUND);
    scene.render_scene(&camera, stranger.data(), frame.data());
    EXPECT_EQ(frame[120 * W + 160], 0x333333u);
    EXPECT_EQ(stranger[0], 0xFFFFFFFFu);
    // Kept between its frames within one generation cycle: a word written
    // by hand where nothing draws survives the next frame.
    depths[0][0] = 0x12345678u;
    draw(0);
    EXPECT_EQ(depths[0][0], 0x12345678u);
}

TEST_F(RenderScene, ChildrenAreDrawnWhenTheirParentIsHiddenOrRejected)
{
    Object* hidden = add(make_cube(5), 0, 0, 200, 0);
    Object* child = make_cube(20);
    child->mode = MODE_FLAT;
    child->colour = 0;
    add_child(hidden, child);
    scene.ambient = 0xFFFFFF;
    render();
    EXPECT_GT(count_not(BACKGROUND), 100);

    // A parent behind the eye is rejected on its box; its child in front is drawn.
    scene.clear();
    frame.assign(W * H, BACKGROUND);
    Object* behind = add(make_cube(5), 0, 0, -500, MODE_FLAT);
    Object* ahead = make_cube(20);
    ahead->mode = MODE_FLAT;
    ahead->position = {0, 0, 700};
    add_child(behind, ahead);
    render();
    EXPECT_EQ(frame[120 * W + 160] & 0xFF, 0x33u);  // ambient 0.2 of white
}

TEST_F(RenderScene, AdditiveObjectsAddInTheSecondPassWithoutDepth)
{
    scene.ambient = 0xFFFFFF;
    Object* opaque = add(make_cube(30), 0, 0, 200, MODE_FLAT);
    opaque->ambient = 0.25f;  // 0x3F3F3F
    Object* glow = add(make_cube(10), 0, 0, 300, MODE_FLAT | MODE_ADDITIVE);  // behind the opaque cube
    glow->ambient = 0.5f;                                                      // adds 0x7F7F7F
    glow->angles = {0.3f, 0.4f, 0};
    render();
    EXPECT_EQ(frame[120 * W + 160], 0x3F3F3Fu);  // hidden by the depth test
    EXPECT_EQ(frame[120 * W + 160 + 50], BACKGROUND);
    glow->position = {0, 0, 150};
    frame.assign(W * H, BACKGROUND);
    render();
    EXPECT_EQ(frame[120 * W + 160], 0xBEBEBEu);
    EXPECT_EQ(depth[120 * W + 160] & 0xFFFF, 170u);  // the opaque cube's front, not the glow's
    EXPECT_EQ(additive_pass, 1);  // the flag stays as the second pass left it
}

TEST_F(RenderScene, AFaceExactlyOnItsPlaneFromTheEyeCountsAsTurnedAway)
{
    // The face's plane y = 0 holds the eye: dot equals distance.
    Object* object = add(single_face({-10, 0, 50}, {10, 0, 50}, {0, 0, 100}), 0, 0, 0, MODE_GOURAUD);
    for (int k = 0; k < 3; k++)
        object->vertices[k].colour = 0xABCDEF;
    scene.ambient = 0x808080;
    render();
    EXPECT_EQ(object->vertices[0].colour, 0xABCDEFu);
    object->two_sided = 1;
    render();
    EXPECT_EQ(object->vertices[0].colour, 0x191919u);
}

TEST_F(RenderScene, FacesWhollyOutsideOnePlaneAreDroppedOthersClipped)
{
    // Two faces: one left of the view, one crossing the left edge.
    Object* object = create_object(6, 2);
    const Vector p[6] = {{-300, -10, 100}, {-250, 10, 100}, {-300, 10, 100},
                         {-150, -40, 100}, {50, 0, 100},    {-150, 40, 100}};
    for (int i = 0; i < 6; i++)
        object->vertices[i] = vertex_at(p[i], 0xABCDEF);
    for (int f = 0; f < 2; f++)
        for (int k = 0; k < 3; k++)
            object->faces[f].vertices[k] = &object->vertices[3 * f + k];
    finish_object(object);
    object->two_sided = 1;
    add(object, 0, 0, 0, MODE_GOURAUD);
    scene.ambient = 0x808080;
    render();
    EXPECT_EQ(object->vertices[0].colour, 0xABCDEFu);
    EXPECT_EQ(object->vertices[3].colour, 0x191919u);
    EXPECT_EQ(frame[120 * W + 1], 0x191919u);  // the clipped face reaches column 0
    EXPECT_EQ(object->clip_flags & 0x10, 0x10);
}

TEST_F(RenderScene, FlatLightingPacksRedBeforeItMultipliesAndSaturates)
{
    // A face towards the eye, centroid on the axis, light at the eye: n = s = 1.
    Object* object = add(single_face({-60, -30, 0}, {0, 60, 0}, {60, -30, 0}), 0, 0, 100, MODE_FLAT);
    object->specular = 0;
    object->diffuse = 1;
    light.colour = 0xFF8040;
    scene.add_light(&light);
    render();
    EXPECT_EQ(frame[120 * W + 160], 0xFE7F3Fu);
    EXPECT_EQ(object->vertices[0].state, VERTEX_PROJECTED);  // nothing of the pass's own left behind
    scene.ambient = 0x808080;
    depth_generation = 0xFFFF0000u;
    render();
    EXPECT_EQ(frame[120 * W + 160], 0xFF9958u);
}

TEST_F(RenderScene, ALightOnAVertexAddsNothingThereAndStaysFinite)
{
    Object* object = add(single_face({-60, -30, 0}, {0, 60, 0}, {60, -30, 0}), 0, 0, 100, MODE_GOURAUD);
    scene.ambient = 0x808080;
    light.position = {-60, 30, 100};  // y up: the first corner
    scene.add_light(&light);
    render();
    EXPECT_EQ(object->vertices[0].colour, 0x191919u);
    // Another light still adds to that vertex.
    Light eye = light;
    eye.position = {0, 0, 0};
    scene.add_light(&eye);
    render();
    const uint32_t lit = object->vertices[0].colour;
    EXPECT_GT(lit & 0xFF, 0x19u);
    // The camera on the centroid: the eye direction is zero, no specular.
    camera.position = {0, 0, 100};
    render();
    EXPECT_GE(object->vertices[0].colour & 0xFF, 0x19u);
    EXPECT_LE(object->vertices[0].colour & 0xFF, lit & 0xFF);
}

TEST_F(RenderScene, EnvironmentCoordinatesFoldTheTransformedNormal)
{
    Object* object = add(single_face({-60, -30, 0}, {0, 60, 0}, {60, -30, 0}), 3, 0, 100,
                         MODE_ENVIRONMENT | MODE_GOURAUD);
    object->texture_size = 64;
    render();
    EXPECT_EQ(object->vertices[0].transformed_normal.x, 0.75f);  // 3 halved twice
    EXPECT_EQ(object->vertices[0].u, 63 * 0.75f);
    EXPECT_EQ(object->vertices[0].v, 0.0f);
    object->texture_size = INT32_MIN;  // side - 1 wraps to INT32_MAX
    render();
    EXPECT_EQ(object->vertices[0].u, 2147483648.0f * 0.75f);
}

TEST_F(RenderScene, RandomScenesAroundTheEyeRenderWithoutFaults)
{
    // Objects anywhere around, behind and through the eye, every mode, one
    // texture of a side that is not a power of two: no fatal error, nothing
    // written outside the buffers (the sanitizer build watches the rest).
    std::mt19937 random(4321);
    std::uniform_real_distribution<float> place(-400.0f, 400.0f), turn(-3.2f, 3.2f), size(5.0f, 300.0f);
    std::vector<uint32_t> texture = checkerboard(24, 4, 0xFF0000, 0x00FF00);
    std::vector<uint32_t> guarded_frame(W * H + 64, 0xDEADBEEF), guarded_depth(W * H + 64, 0xDEADBEEF);
    Light near_light = light;
    near_light.position = {0, 0, 0};
    scene.add_light(&near_light);
    scene.ambient = 0x303030;
    for (int32_t round = 0; round < 60; round++) {
        scene.clear();
        scene.add_light(&near_light);
        for (int32_t i = 0; i < 4; i++) {
            Object* object = i % 3 == 0 ? make_torus(size(random), size(random) * 0.3f, 8, 6)
                                        : i % 3 == 1 ? make_cube(size(random)) : make_sphere(size(random), 5, 7);
            object->texture = i == 0 ? nullptr : texture.data();
            object->texture_size = 24;
            object->two_sided = static_cast<uint8_t>(round & 1);
            object->angles = {turn(random), turn(random), turn(random)};
            add(object, place(random), place(random), place(random) + 200, static_cast<uint8_t>(random() & 0x1F));
            if (i == 3) {
                Object* child = make_cube(size(random));
                child->mode = static_cast<uint8_t>(random() & 0x1F);
                child->texture = texture.data();
                child->texture_size = 24;
                child->position = {place(random), place(random), place(random)};
                add_child(object, child);
            }
        }
        camera.angles = {turn(random) * 0.2f, turn(random) * 0.2f, turn(random)};
        std::string message = fatal_message_of([&] {
            scene.render_scene(&camera, guarded_depth.data() + 32, guarded_frame.data() + 32);
        });
        ASSERT_EQ(message, "") << "round " << round;
    }
    for (int32_t i = 0; i < 32; i++) {
        EXPECT_EQ(guarded_frame[i], 0xDEADBEEFu);
        EXPECT_EQ(guarded_frame[W * H + 32 + i], 0xDEADBEEFu);
        EXPECT_EQ(guarded_depth[i], 0xDEADBEEFu);
        EXPECT_EQ(guarded_depth[W * H + 32 + i], 0xDEADBEEFu);
    }
}

TEST_F(RenderScene, PlainAndWideKernelsDrawTheSameFrames)
{
    // Lighting, set-up, rows and spans at both kernel levels, on objects
    // wholly inside the view, crossing its planes, and with a light on a
    // vertex; each frame, depth word and vertex colour must match.
    std::vector<uint32_t> texture = checkerboard(64, 8, 0xE0E000, 0x2040A0);
    Object* sphere = add(make_sphere(40, 10, 14), 0, 0, 150, MODE_GOURAUD | MODE_TEXTURED);
    sphere->texture = texture.data();
    sphere->texture_size = 64;
    sphere->colour = 0xC08040;
    Object* torus = add(make_torus(40, 15, 20, 10), 20, -10, 45, MODE_GOURAUD | MODE_FLAT);
    torus->two_sided = 1;
    Light second{};
    second.colour = 0x40FF80;
    second.attenuation[0] = 0.5f;
    second.attenuation[1] = 0.3f;
    second.attenuation[2] = 0.01f;
    scene.add_light(&light);
    scene.add_light(&second);
    scene.ambient = 0x203040;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> turn(-3.2f, 3.2f);
    for (int32_t round = 0; round < 24; round++) {
        sphere->angles = {turn(random), turn(random), turn(random)};
        torus->angles = {turn(random), turn(random), 0};
        sphere->mode = round % 3 ? MODE_GOURAUD | MODE_TEXTURED : MODE_GOURAUD | MODE_ADDITIVE;
        // Now and then the sphere unturned with a light exactly on its top
        // vertex, (0, -40, 0) in its own space.
        second.position = round % 4 ? Vector{turn(random) * 40, turn(random) * 40, 100} : Vector{0, 40, 150};
        if (round % 4 == 0)
            sphere->angles = {0, 0, 0};
        std::vector<uint32_t> frames[2], depths[2], colours[2];
        for (int32_t wide = 0; wide < 2; wide++) {
            set_span_level(wide);
            frame.assign(W * H, BACKGROUND);
            depth_generation = 0xFFFF0000u;
            render();
            frames[wide] = frame;
            depths[wide] = depth;
            for (uint32_t i = 0; i < sphere->vertex_count; i++)
                colours[wide].push_back(sphere->vertices[i].colour);
        }
        ASSERT_EQ(frames[0], frames[1]) << "round " << round;
        ASSERT_EQ(depths[0], depths[1]) << "round " << round;
        ASSERT_EQ(colours[0], colours[1]) << "round " << round;
    }
    set_span_level(1);
}

TEST_F(RenderScene, ACapOnTheProcessorReachesTheRenderersKernels)
{
    if (cpu_set_cap(-1) < CPU_AVX2)
        GTEST_SKIP() << "no AVX2 here: the renderer has one level only";
    cpu_set_cap(CPU_SSE2);
    render();
    EXPECT_EQ(span_level, 0);
    cpu_set_cap(-1);
    render();
    EXPECT_EQ(span_level, 1);
    set_span_level(0);  // an explicit level outlives later frames
    render();
    EXPECT_EQ(span_level, 0);
    set_span_level(1);
}

TEST_F(RenderScene, OutcodesHoldWhetherOrNotTheBoxIsWhollyInside)
{
    // Objects around the edges of the view volume, some with a corner just
    // across a plane: wherever the box may cross a plane, every vertex's
    // outcode is its own six plane tests, also when no vertex needs them.
    Object* cube = add(make_cube(1), 0, 0, 0, MODE_FLAT);
    std::mt19937 random(21);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    int32_t clipped = 0;
    for (int32_t round = 0; round < 400; round++) {
        const float z = round % 5 ? 100 + unit(random) * 90 : 10 + unit(random) * 3;
        const float reach = z * (round % 2 ? 1.0f : 0.7f);
        cube->position = {reach * unit(random), reach * unit(random), z};
        cube->angles = {unit(random) * 3, unit(random) * 3, unit(random) * 3};
        const float scale = 1 + 20 * (unit(random) + 1);
        for (uint32_t i = 0; i < 8; i++) {
            Vertex& v = cube->vertices[i];
            v.position = {i & 1 ? scale : -scale, i & 2 ? scale : -scale, i & 4 ? scale : -scale};
        }
        face_normals(cube);
        compute_bounds(cube);
        render();
        if (cube->clip_flags == 0)
            continue;
        clipped++;
        for (uint32_t i = 0; i < 8; i++) {
            uint8_t expected = 0;
            for (int32_t plane = 0; plane < 6; plane++)
                expected |= static_cast<uint8_t>(outside_plane(&cube->vertices[i], plane) << plane);
            ASSERT_EQ(cube->vertices[i].outcode, expected) << "round " << round << " vertex " << i;
        }
    }
    EXPECT_GT(clipped, 100);
}

// ---------------------------------------------------------------------------
// Lighting values worked by hand.  The lit point is the object-space origin
// with normal (0, 0, -1), seen by an eye 100 in front of it; the light stands
// at (0, 60, -80) from the point (world (0, -60, 20), y up, for an object at
// z = 100).  So d = 100, L = (0, 0.6, -0.8), n = 0.8, the reflection is
// (0, -0.6, -0.8) and s = dot(Rv, V) = 0.8.  Each case below states the
// channel arithmetic; float rounding (n = s = 0.800000012) moves no result
// across an integer.
// ---------------------------------------------------------------------------
class HandLighting : public RenderScene {
protected:
    // A face whose first vertex is the lit point (vertex lighting), and one
    // whose centroid is (flat lighting); both at z = 100 with normal (0, 0, -1).
    Object* vertex_lit = nullptr;
    Object* flat_lit = nullptr;
    Scene vertex_scene, flat_scene;
    void SetUp() override
    {
        RenderScene::SetUp();
        light.position = {0, -60, 20};
        vertex_lit = single_face({0, 0, 0}, {0, 60, 0}, {60, 0, 0});
        vertex_lit->position = {0, 0, 100};
        vertex_lit->mode = MODE_GOURAUD;
        vertex_scene.add_object(vertex_lit);
        vertex_scene.add_light(&light);
        flat_lit = single_face({-60, -30, 0}, {0, 60, 0}, {60, -30, 0});
        flat_lit->position = {0, 0, 100};
        flat_lit->mode = MODE_FLAT;
        flat_scene.add_object(flat_lit);
        flat_scene.add_light(&light);
    }
    void TearDown() override
    {
        set_span_level(1);
        RenderScene::TearDown();
    }
    void material(float diffuse, float specular, uint32_t colour = 0xFFFFFF)
    {
        for (Object* object : {vertex_lit, flat_lit}) {
            object->diffuse = diffuse;
            object->specular = specular;
            object->colour = colour;
        }
    }
    // Vertex 0's lit colour, at the given kernel level.
    uint32_t vertex_colour(int32_t level)
    {
        set_span_level(level);
        depth_generation = 0xFFFF0000u;
        vertex_scene.render_scene(&camera, depth.data(), frame.data());
        EXPECT_EQ(vertex_lit->vertices[0].normal.z, -1.0f);
        return vertex_lit->vertices[0].colour;
    }
    // The face colour, read where the centroid lands (the frame's centre).
    uint32_t flat_colour()
    {
        frame.assign(W * H, BACKGROUND);
        depth_generation = 0xFFFF0000u;
        flat_scene.render_scene(&camera, depth.data(), frame.data());
        return frame[120 * W + 160];
    }
};

TEST_F(HandLighting, VertexLightingKeepsAnAttenuationAboveOneFlatCapsIt)
{
    // Constant attenuation 0.5: att = 1 / 0.5 = 2, kept by vertex lighting,
    // capped to 1 by flat lighting.  Diffuse only, light 0x404040, white
    // material: I = 0.8.
    //   vertex, I x att = 1.6: blue trunc(64 x 1.6) = 102, 102 x 255 >> 8 = 101;
    //     green trunc(0x4000 x 1.6) = 26214, x 255 >> 8 = 26111 = 0x65FF;
    //     red trunc(0x400000 x 1.6) >> 8 = 26214, x 255 = 0x65FF9A: 0x656565.
    //   flat, 0.8: blue 51 x 255 >> 8 = 50; green 13107 x 255 >> 8 = 0x32FF;
    //     red (3355443 >> 8) x 255 = 0x32FFCD: 0x323232.
    light.colour = 0x404040;
    light.attenuation[0] = 0.5f;
    material(1, 0);
    for (int32_t level : {0, 1})
        EXPECT_EQ(vertex_colour(level), 0x656565u) << "level " << level;
    EXPECT_EQ(flat_colour(), 0x323232u);
    // Linear attenuation 1: att = 1 / (1 + 100 x 0.01) = 0.5 at d = 100, the
    // same below 1 for both: I x att = 0.4, blue 25 x 255 >> 8 = 24, green
    // trunc(6553.6) x 255 >> 8 = 0x197F, red (1677721 >> 8) x 255 = 0x197F67.
    light.attenuation[0] = 1;
    light.attenuation[1] = 1;
    for (int32_t level : {0, 1})
        EXPECT_EQ(vertex_colour(level), 0x191918u) << "level " << level;
    EXPECT_EQ(flat_colour(), 0x191918u);
}

TEST_F(HandLighting, RedShiftsBeforeItMultipliesAndSpecularIsSquared)
{
    // Specular only (factor 1), attenuation 1: I = s^2 = 0.64 (s alone would
    // give 0.8 and 0x323232).  Light 0x404040, white material: blue
    // trunc(40.96) = 40, x 255 >> 8 = 39; green trunc(10485.76) = 10485,
    // x 255 >> 8 = 10444 = 0x28CC; red (2684354 >> 8) x 255 = 0x28CC0B.
    light.colour = 0x404040;
    material(0, 1);
    for (int32_t level : {0, 1})
        EXPECT_EQ(vertex_colour(level), 0x282827u) << "level " << level;
    EXPECT_EQ(flat_colour(), 0x282827u);

    // Diffuse 1.5: I = 1.2.  Red light 0xFF0000 on a white material:
    // trunc(0xFF0000 x 1.2) = 20054016; shifted first, 78336 x 255 =
    // 0x130CE00, which saturates to 0xFF0000.  Multiplied first, the product
    // 5113774080 would wrap at 32 bits to 818806784 and give red 0x30.
    light.colour = 0xFF0000;
    material(1.5f, 0);
    for (int32_t level : {0, 1})
        EXPECT_EQ(vertex_colour(level), 0xFF0000u) << "level " << level;
    EXPECT_EQ(flat_colour(), 0xFF0000u);
}

TEST_F(RenderScene, EnvironmentValuesFoldOnlyAboveOne)
{
    // The vertex normal (0, 0, -1) through model_view is the object's x
    // position (the projection scales x by 1 at 90 degrees): 1 stays 1, 2
    // halves to 1, 4 to 1 and -1 folds to 1; 0.5 stays.  u = 63 x folded.
    Object* object = add(single_face({-60, -30, 0}, {0, 60, 0}, {60, -30, 0}), 1, 0, 100,
                         MODE_ENVIRONMENT | MODE_GOURAUD);
    object->texture_size = 64;
    const struct {
        float x, folded;
    } cases[] = {{1, 1}, {2, 1}, {4, 1}, {-1, 1}, {0.5f, 0.5f}, {1.5f, 0.75f}};
    for (const auto& c : cases) {
        object->position.x = c.x;
        render();
        for (int32_t k = 0; k < 3; k++) {
            EXPECT_EQ(object->vertices[k].transformed_normal.x, c.folded) << c.x;
            EXPECT_EQ(object->vertices[k].u, 63 * c.folded) << c.x;
            EXPECT_EQ(object->vertices[k].v, 0.0f) << c.x;
        }
    }
}

// ---------------------------------------------------------------------------
// Clipping seen in the frame.  Camera at the origin, 90 degrees: transformed
// = (x, 4/3 y, z), screen = (160 + 160 x / z, 120 + 120 y' / z).
// ---------------------------------------------------------------------------
TEST_F(RenderScene, SidePlanesCutFacesWhereTheyLeaveTheView)
{
    // Two corners at depth 100 on the axis, the third at depth 200 and three
    // times as far out as the view's edge there.  The edges cross the side
    // plane at t = 100 / 500 = 0.2, depth 120, so the clipped polygon ends at
    // the frame's edge at depth 120, and the depth next to the edge on the
    // middle row or column is about 100 + 20 x 159 / 160 = 119.9.  Drawn
    // uncut, the depth there would be about 100 + 100 x 159 / 480 = 133.
    struct Case {
        const char* plane;
        Vector a, b, far_corner;  // object space, y down
        int32_t x, y;             // a pixel two inside the frame edge
    };
    const Case cases[] = {
        {"x = z (right)", {0, -30, 100}, {0, 30, 100}, {600, 0, 200}, 317, 120},
        {"x = -z (left)", {0, -30, 100}, {0, 30, 100}, {-600, 0, 200}, 2, 120},
        {"y = z (bottom)", {-30, 0, 100}, {30, 0, 100}, {0, 450, 200}, 160, 237},
        {"y = -z (top)", {-30, 0, 100}, {30, 0, 100}, {0, -450, 200}, 160, 2},
    };
    for (const Case& c : cases) {
        scene.clear();
        Object* object = add(single_face(c.a, c.b, c.far_corner), 0, 0, 0, MODE_FLAT);
        object->two_sided = 1;
        scene.ambient = 0xFFFFFF;
        frame.assign(W * H, BACKGROUND);
        depth_generation = 0xFFFF0000u;
        render();
        EXPECT_NE(object->clip_flags & 0x3C, 0) << c.plane;
        const uint32_t at = static_cast<uint32_t>(c.y * W + c.x);
        EXPECT_EQ(frame[at], 0x333333u) << c.plane;
        const uint32_t z = depth[at] & 0xFFFF;
        EXPECT_GE(z, 117u) << c.plane;
        EXPECT_LE(z, 121u) << c.plane;
    }
}

TEST_F(RenderScene, ClippedPolygonsKeepTheirWalkOrder)
{
    // Transformed, a0 = (0, -60, 100) and a2 = (0, 60, 100) inside, a1 = (300, 0, 100)
    // right of x = z.  Cut at x = 100 (t = 1/3), the polygon is a0, n1, n2,
    // a2 with n1 = (100, -40, 100), n2 = (100, 40, 100): on screen a
    // trapezoid (160, 48), (320, 72), (320, 168), (160, 192).  Its point
    // (300, 120) lies right of the diagonal n1-a2 (x = 256 on that row) and
    // above a0-n2 (y = 153 at x = 300), so a polygon walked in another order
    // (a0, n1, a2, n2) would leave it undrawn.  Every rotation of the corners
    // gives the same picture.
    const Vector corners[3] = {{0, -45, 100}, {300, 0, 100}, {0, 45, 100}};  // y x 4/3 = -60, 60
    for (int32_t first = 0; first < 3; first++) {
        scene.clear();
        Object* object = add(single_face(corners[first], corners[(first + 1) % 3], corners[(first + 2) % 3]), 0, 0,
                             0, MODE_FLAT);
        object->two_sided = 1;
        scene.ambient = 0xFFFFFF;
        frame.assign(W * H, BACKGROUND);
        depth_generation = 0xFFFF0000u;
        render();
        for (const auto& [x, y] : {std::pair{300, 120}, std::pair{310, 100}, std::pair{310, 140}, std::pair{200, 120},
                                   std::pair{170, 60}, std::pair{170, 180}})
            EXPECT_EQ(frame[y * W + x], 0x333333u) << "first " << first << " at " << x << ", " << y;
        // Outside the trapezoid: above n1's edge, below n2's.
        EXPECT_EQ(frame[40 * W + 310], BACKGROUND) << first;
        EXPECT_EQ(frame[200 * W + 310], BACKGROUND) << first;
    }
}

TEST(RenderMath, InlineDotAndNormaliseMatchTheEngine)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> any(-1000.0f, 1000.0f);
    for (int32_t i = 0; i < 100000; i++) {
        const Vector a = {any(random), any(random) * 1e-3f, any(random)}, b = {any(random), any(random), any(random) * 1e3f};
        ASSERT_EQ(dot_product(a, b), dot(a, b));
        Vector mine = a, theirs = a;
        normalise_vector(mine);
        normalise(theirs);
        ASSERT_EQ(std::memcmp(&mine, &theirs, sizeof mine), 0);
    }
    Vector zero = {0, 0, 0}, engine_zero = zero;
    normalise_vector(zero);
    normalise(engine_zero);
    EXPECT_EQ(std::memcmp(&zero, &engine_zero, sizeof zero), 0);
}

// ---------------------------------------------------------------------------
// Whole scenes against reference pictures
// ---------------------------------------------------------------------------
struct StbFree {
    void operator()(unsigned char* p) const { stbi_image_free(p); }
};

void expect_reference(const std::string& name, const std::vector<uint32_t>& frame)
{
    std::vector<unsigned char> rgb(W * H * 3);
    for (int32_t i = 0; i < W * H; i++) {
        rgb[i * 3] = static_cast<unsigned char>(frame[i] >> 16);
        rgb[i * 3 + 1] = static_cast<unsigned char>(frame[i] >> 8);
        rgb[i * 3 + 2] = static_cast<unsigned char>(frame[i]);
    }
    const std::string path = std::string(YURN_SOURCE_DIR) + "/tests/data/render/" + name + ".png";
    if (std::getenv("YURN_UPDATE_REFERENCES")) {
        ASSERT_TRUE(stbi_write_png(path.c_str(), W, H, 3, rgb.data(), W * 3));
        return;
    }
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<unsigned char, StbFree> reference(stbi_load(path.c_str(), &width, &height, &channels, 3));
    ASSERT_TRUE(reference) << "no reference " << path << " (YURN_UPDATE_REFERENCES=1 writes it)";
    ASSERT_EQ(width, W);
    ASSERT_EQ(height, H);
    int32_t differing = 0;
    for (int32_t i = 0; i < W * H * 3; i++)
        differing += reference.get()[i] != rgb[i];
    if (differing) {
        const std::string actual = std::string(YURN_BINARY_DIR) + "/render_" + name + "_actual.png";
        stbi_write_png(actual.c_str(), W, H, 3, rgb.data(), W * 3);
        ADD_FAILURE() << name << ": " << differing << " bytes differ; frame written to " << actual;
    }
}

class ReferenceScenes : public RenderScene {
protected:
    void SetUp() override
    {
        RenderScene::SetUp();
        light.position = {-150, 150, 0};
        scene.add_light(&light);
        scene.ambient = 0x202020;
    }
    std::vector<uint32_t> texture = checkerboard(64, 8, 0xE0E000, 0x2040A0);
};

TEST_F(ReferenceScenes, LitGouraudSphere)
{
    Object* sphere = add(make_sphere(60, 16, 24), 0, 0, 200, MODE_GOURAUD);
    sphere->colour = 0xFFC080;
    render();
    expect_reference("gouraud_sphere", frame);
}

TEST_F(ReferenceScenes, TexturedCube)
{
    Object* cube = add(make_cube(40), 0, 0, 180, MODE_GOURAUD | MODE_TEXTURED);
    cube->angles = {0.5f, 0.7f, 0.2f};
    cube->texture = texture.data();
    cube->texture_size = 64;
    cube->colour = 0x606060;
    render();
    expect_reference("textured_cube", frame);
}

TEST_F(ReferenceScenes, EnvironmentMappedTorus)
{
    Object* torus = add(make_torus(50, 20, 24, 12), 0, 0, 200, MODE_ENVIRONMENT | MODE_TEXTURED);
    torus->angles = {1.0f, 0.3f, 0};
    torus->texture = texture.data();
    torus->texture_size = 64;
    render();
    expect_reference("environment_torus", frame);
}

TEST_F(ReferenceScenes, AdditiveSphereOverAnOpaqueCube)
{
    Object* cube = add(make_cube(40), 0, 0, 220, MODE_FLAT);
    cube->angles = {0.4f, 0.6f, 0};
    Object* glow = add(make_sphere(35, 12, 16), 30, 10, 170, MODE_GOURAUD | MODE_ADDITIVE);
    glow->colour = 0x4080FF;
    render();
    expect_reference("additive_over_opaque", frame);
}

TEST_F(ReferenceScenes, ObjectsCrossingEveryPlane)
{
    // The eye inside a huge two-sided cube reaching past near and far, and a
    // torus cut by the near plane.
    Object* room = add(make_cube(3000), 0, 0, 1000, MODE_TEXTURED);
    room->two_sided = 1;
    room->texture = texture.data();
    room->texture_size = 64;
    Object* torus = add(make_torus(40, 12, 24, 12), 10, -5, 35, MODE_GOURAUD | MODE_FLAT);
    torus->angles = {0.9f, 0.2f, 0};
    render();
    EXPECT_EQ(room->clip_flags, 0x3F);
    EXPECT_TRUE(torus->clip_flags & 0x01);
    expect_reference("crossing_planes", frame);
}

}  // namespace
