// Clipping (plane tests and the new vertex) and the triangle set-up
// (projection once per pass, filler choice by mode).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/engine.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/frame.h"
#include "test_support.h"

namespace {

Vertex at(float x, float y, float z, uint32_t colour = 0, float u = 0, float v = 0)
{
    Vertex vertex{};
    vertex.transformed = {x, y, z};
    vertex.colour = colour;
    vertex.u = u;
    vertex.v = v;
    return vertex;
}

TEST(OutsidePlane, StrictTestsPerPlane)
{
    Vertex v = at(0, 0, 10);
    EXPECT_EQ(outside_plane(&v, 0), 0);  // exactly near is inside
    v = at(0, 0, 9.999f);
    EXPECT_EQ(outside_plane(&v, 0), 1);
    v = at(0, 0, 3500);
    EXPECT_EQ(outside_plane(&v, 1), 0);
    v = at(0, 0, 3500.001f);
    EXPECT_EQ(outside_plane(&v, 1), 1);
    v = at(-20, -20, 20);
    EXPECT_EQ(outside_plane(&v, 2), 0);
    EXPECT_EQ(outside_plane(&v, 4), 0);
    v = at(20.5f, 20.5f, 20);
    EXPECT_EQ(outside_plane(&v, 3), 1);
    EXPECT_EQ(outside_plane(&v, 5), 1);
    EXPECT_EQ(outside_plane(&v, 2), 0);
    v = at(-21, -21, 20);
    EXPECT_EQ(outside_plane(&v, 2), 1);
    EXPECT_EQ(outside_plane(&v, 4), 1);
    EXPECT_EQ(outside_plane(&v, 6), 0);  // no such plane: inside
    v = at(std::numeric_limits<float>::quiet_NaN(), 0, -5);
    EXPECT_EQ(outside_plane(&v, 5), 0);  // NaN compares inside
}

TEST(ClipEdge, NearAndFarLandOneUnitInside)
{
    Vertex a = at(2, 4, 5), b = at(6, 8, 15), out{};
    clip_edge(&out, &a, &b, 0, 0);
    EXPECT_FLOAT_EQ(out.transformed.x, 4);
    EXPECT_FLOAT_EQ(out.transformed.y, 6);
    EXPECT_EQ(out.transformed.z, 11.0f);
    EXPECT_EQ(out.state, VERTEX_LIT);
    EXPECT_EQ(out.outcode, 0);
    a = at(0, 0, 3000);
    b = at(0, 0, 4000);
    clip_edge(&out, &a, &b, 1, 0);
    EXPECT_EQ(out.transformed.z, 3499.0f);
}

TEST(ClipEdge, LeftAndTopPullInRightAndBottomLandOnThePlane)
{
    Vertex a = at(-20, 0, 10), b = at(0, 0, 10), out{};
    clip_edge(&out, &a, &b, 4, 0);
    EXPECT_EQ(out.transformed.x, static_cast<float>(-10 * 0.999));
    EXPECT_EQ(outside_plane(&out, 4), 0);
    a = at(20, 0, 10);
    clip_edge(&out, &a, &b, 5, 0);
    EXPECT_EQ(out.transformed.x, 10.0f);
    EXPECT_EQ(outside_plane(&out, 5), 0);
    a = at(0, -20, 10);
    clip_edge(&out, &a, &b, 2, 0);
    EXPECT_EQ(out.transformed.y, static_cast<float>(-10 * 0.999));
    a = at(0, 20, 10);
    clip_edge(&out, &a, &b, 3, 0);
    EXPECT_EQ(out.transformed.y, 10.0f);
}

TEST(ClipEdge, ColourChannelsTruncate)
{
    Vertex a = at(0, 0, 5, 0x000000), b = at(0, 0, 15, 0x0000FF), out{};
    out.colour = 0xABCDEF;
    clip_edge(&out, &a, &b, 0, 0);
    EXPECT_EQ(out.colour, 0xABCDEFu);  // not Gouraud: untouched
    clip_edge(&out, &a, &b, 0, MODE_GOURAUD);
    EXPECT_EQ(out.colour, 0x00007Fu);
    a.colour = 0xFF4000;
    b.colour = 0x00C0FF;
    clip_edge(&out, &a, &b, 0, MODE_GOURAUD);
    EXPECT_EQ(out.colour, 0x7F807Fu);
}

TEST(ClipEdge, TextureCoordinatesAreDepthWeighted)
{
    Vertex a = at(30, 0, 10, 0, 0, 0), b = at(10, 0, 30, 0, 100, 100), out{};
    clip_edge(&out, &a, &b, 5, MODE_TEXTURED);
    EXPECT_EQ(out.transformed.z, 20.0f);
    EXPECT_FLOAT_EQ(out.u, 75.0f);
    EXPECT_FLOAT_EQ(out.v, 75.0f);
    // A negative weighted result falls back to the plain interpolation for both.
    a.u = -50;
    a.v = 10;
    b.u = 10;
    b.v = 10;
    clip_edge(&out, &a, &b, 5, MODE_TEXTURED);
    EXPECT_FLOAT_EQ(out.u, -20.0f);
    EXPECT_FLOAT_EQ(out.v, 10.0f);
}

TEST(ClipEdge, APointLeftOutsideIsAPrecisionError)
{
    // Behind the eye the top plane's 0.999 pulls the point outwards.
    Vertex a = at(0, 5, -10), b = at(0, 20, -10), out{};
    EXPECT_EQ(fatal_message_of([&] { clip_edge(&out, &a, &b, 2, 0); }),
              "error de precisión en el cálculo de la intersección");
}

// ---------------------------------------------------------------------------
// draw_triangle
// ---------------------------------------------------------------------------
class TriangleSetUp : public ::testing::Test {
protected:
    void SetUp() override
    {
        frame_width = 320;
        frame_height = 240;
        depth_generation = 0xFFFF0000u;
        additive_pass = 0;
        frame.assign(320 * 240, 0);
        depth.assign(320 * 240, 0xFFFFFFFF);
        object = Object{};
        object.texture_size = 2;
        object.texture = texels;
        // A triangle covering the left half of the frame's middle, at depth 100.
        vertices[0] = at(-100, -50, 100, 0x102030, 0, 0);
        vertices[1] = at(0, -50, 100, 0x102030, 0, 0);
        vertices[2] = at(-100, 50, 100, 0x102030, 0, 0);
    }
    void TearDown() override { current_texture_size = 256; }
    uint32_t centre_after(uint8_t mode)
    {
        object.mode = mode;
        frame.assign(320 * 240, 0);
        depth.assign(320 * 240, 0xFFFFFFFF);
        for (auto& v : vertices)
            v.state = 0;
        draw_triangle(&object, triangle, 0x0000AA, frame.data(), depth.data());
        return frame[120 * 320 + 40];
    }
    uint32_t texels[4] = {0x400000, 0x400000, 0x400000, 0x400000};
    Object object{};
    Vertex vertices[3];
    Vertex* const triangle[3] = {&vertices[0], &vertices[1], &vertices[2]};
    std::vector<uint32_t> frame, depth;
};

TEST_F(TriangleSetUp, ProjectsOncePerPass)
{
    object.mode = MODE_FLAT;
    draw_triangle(&object, triangle, 0xFF, frame.data(), depth.data());
    EXPECT_EQ(vertices[0].screen_x, 0.0f);
    EXPECT_EQ(vertices[1].screen_x, 160.0f);
    EXPECT_EQ(vertices[0].screen_y, 60.0f);
    EXPECT_EQ(vertices[2].screen_y, 180.0f);
    EXPECT_TRUE(vertices[0].state & VERTEX_PROJECTED);
    // Already projected: a changed position is not looked at again.
    vertices[1].transformed.x = 100;
    draw_triangle(&object, triangle, 0xFF, frame.data(), depth.data());
    EXPECT_EQ(vertices[1].screen_x, 160.0f);
    // x = z lands exactly on the frame width.
    Vertex edge = at(50, 50, 50);
    Vertex* const right[3] = {&edge, &vertices[0], &vertices[2]};
    draw_triangle(&object, right, 0xFF, frame.data(), depth.data());
    EXPECT_EQ(edge.screen_x, 320.0f);
    EXPECT_EQ(edge.screen_y, 240.0f);
}

TEST_F(TriangleSetUp, ModeChoosesTheFillerFirstMatchWins)
{
    EXPECT_EQ(centre_after(0x08), 0u);
    EXPECT_EQ(centre_after(0x10), 0u);
    EXPECT_EQ(centre_after(0x01), 0x0000AAu);
    EXPECT_EQ(centre_after(0x03), 0x102030u);  // Gouraud: the face colour is ignored
    EXPECT_EQ(centre_after(0x05), 0x400000u);
    EXPECT_EQ(centre_after(0x0D), 0x400000u);
    EXPECT_EQ(centre_after(0x07), 0x502030u);
    EXPECT_EQ(current_texture_size, 2);
}

TEST_F(TriangleSetUp, ATextureModeWithoutATextureDrawsUntextured)
{
    object.texture = nullptr;
    EXPECT_EQ(centre_after(0x07), 0x102030u);
    EXPECT_EQ(centre_after(0x05), 0x0000AAu);
    EXPECT_EQ(centre_after(0x04), 0u);
    object.texture = texels;
    object.texture_size = 0;
    EXPECT_EQ(centre_after(0x06), 0x102030u);
}

}  // namespace
