// Inside the renderer: clipping, the triangle set-up and the four fillers.
// Never included outside render/ (the tests, the benchmark and the renderer's
// fuzz target excepted).
#pragma once

#include <cstdint>

#include "engine/engine.h"


// The engine's dot and normalise (engine/math.cpp) inline, because lighting
// calls them for every lit point: the same arithmetic step by step, which
// tests/test_render_scene.cpp checks.
inline float dot_product(const Vector& a, const Vector& b)
{
    return static_cast<float>(static_cast<double>(a.x) * b.x + static_cast<double>(a.y) * b.y +
                              static_cast<double>(a.z) * b.z);
}

inline void normalise_vector(Vector& v)
{
    const double length =
        __builtin_sqrt(static_cast<double>(v.x) * v.x + static_cast<double>(v.y) * v.y + static_cast<double>(v.z) * v.z);
    if (length == 0.0)
        return;  // no direction: stays (0, 0, 0), as in the engine
    v.x = static_cast<float>(v.x / length);
    v.y = static_cast<float>(v.y / length);
    v.z = static_cast<float>(v.z / length);
}

// The render pass's clipping scratch: two vertex lists used alternately and
// the pool that clip_edge fills; a face that would need more is dropped.
constexpr int32_t CLIP_LIST_SIZE = 32;

// ---------------------------------------------------------------------------
// Clipping (render/clip.cpp).  Planes: 0 near, 1 far, 2 y = -z, 3 y = z,
// 4 x = -z, 5 x = z; bit p of clip_flags and outcode is plane p.
// ---------------------------------------------------------------------------

// 1 when the vertex's transformed position lies strictly outside plane p.
// A plane above 5 and a NaN coordinate count as inside.
int32_t outside_plane(const Vertex* vertex, int32_t plane);

// Fills out with the point where edge a-b (one end inside, one outside, a
// first in walk order) crosses plane p, moved onto the inside, with colour
// (mode 0x02) and texture coordinates (mode 0x04) interpolated.  A point that
// still lands outside is a fatal precision error.
void clip_edge(Vertex* out, const Vertex* a, const Vertex* b, int32_t plane, uint8_t mode);

// ---------------------------------------------------------------------------
// Triangle set-up (render/triangle.cpp)
// ---------------------------------------------------------------------------

// Projects the vertices not yet projected in this pass, records the object's
// texture size and hands the triangle to the filler the object's mode picks.
// A texture mode without a usable texture draws as if the texture bit were off.
void draw_triangle(const Object* object, Vertex* const triangle[3], uint32_t face_colour,
                   uint32_t* frame_buffer, uint32_t* depth_buffer);

// 1 when the texture of side size can be sampled by the fillers.
constexpr bool texture_usable(const uint32_t* texture, int32_t size)
{
    return texture != nullptr && size > 0 && size < 32768;  // size * 65536 must fit
}

// ---------------------------------------------------------------------------
// Fillers (render/fillers.cpp).  Screen-space triangles (screen_x, screen_y,
// transformed.z, colour, u, v) drawn with the depth test; they read
// depth_generation, additive_pass, the interlace settings, frame_width,
// frame_height and current_texture_size.  Rows and spans are cut at the frame
// edges, so no input writes outside the buffers.
// ---------------------------------------------------------------------------
void fill_flat(Vertex* const triangle[3], uint32_t colour, uint32_t* frame_buffer,
               uint32_t* depth_buffer);
void fill_gouraud(Vertex* const triangle[3], uint32_t* frame_buffer, uint32_t* depth_buffer);
// texture: current_texture_size squared texels, which must pass texture_usable.
void fill_textured(Vertex* const triangle[3], const uint32_t* texture, uint32_t* frame_buffer,
                   uint32_t* depth_buffer);
void fill_textured_gouraud(Vertex* const triangle[3], const uint32_t* texture,
                           uint32_t* frame_buffer, uint32_t* depth_buffer);

// The renderer's kernels in use (span kernels, edge set-up, vertex
// lighting): 0 plain C++, 1 AVX2 (in the page's WebAssembly SIMD build, its
// SIMD span kernels), the same results either way.  Chosen at
// start from the CPU (as capped by YURN_CPU); tests and the benchmark may
// lower it to compare.
// Returns the level set.
int32_t set_span_level(int32_t level);
extern int32_t span_level;  // the level set; render thread only
// Picks the level again when cpu_set_cap has changed the cap since the last
// choice; render_scene calls it once per frame.
void follow_cpu_cap();

// How the AVX2 span kernels reach memory and texels, the same pixels every
// way: SPANS_MASKED with masked loads and stores and gathers, SPANS_GATHER
// with whole-vector loads, blends and stores and gathers, SPANS_LOADS the
// same with eight scalar texel loads instead of a gather.  Chosen at start by
// YURN_SPANS ("masked", "gather", "loads") or else from the processor.
constexpr int32_t SPANS_MASKED = 0, SPANS_GATHER = 1, SPANS_LOADS = 2, SPAN_VARIANTS = 3;
// Sets the variant (-1: as at start) and returns it.  Render thread only.
int32_t set_span_variant(int32_t variant);
extern int32_t span_variant;
