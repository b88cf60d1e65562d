// The scene render pass: per frame the depth generation, two walks of the
// object hierarchy (opaque, then additive), and per object the box test,
// outcodes, facing test, lighting, texture coordinates, clipping and the fan.
// Float arithmetic in double, each stored or named value rounded to float.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "display/error.h"
#include "engine/engine.h"
#include "render/fixed.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/frame.h"

namespace {

constexpr uint32_t FIRST_GENERATION = 0xFFFF0000u;
constexpr uint32_t GENERATION_STEP = 0x10000u;

// The generation is one for the whole engine, but several depth buffers may
// take turns (two scene stages under a cross-fade, a show that loops): each
// must be cleared at its own first frame of every cycle of generations, not
// only the one that happens to be drawn when the generation wraps, or its
// words from the last cycle (small generations, so near) hide everything the
// next cycle draws.  So the buffers are remembered with the cycle they were
// last cleared in.  A buffer not remembered (never seen, or pushed out of
// the table by more buffers than it holds) is cleared too: clearing never
// changes a picture, since every word of an earlier frame loses to any word
// of the current one anyway.  Render thread only.
struct DepthBufferMark {
    const uint32_t* buffer;
    uint32_t cycle;      // depth_cycle when the buffer was last cleared
    uint64_t last_used;  // render_count at its last frame, for replacing the oldest
};
constexpr int32_t DEPTH_MARKS = 16;
DepthBufferMark depth_marks[DEPTH_MARKS];
uint32_t depth_cycle = 0;   // cycles of generations begun: frames rendered at FIRST_GENERATION
uint64_t render_count = 0;  // frames rendered

// True when buffer must be cleared before this frame (and notes that it is).
bool depth_buffer_needs_clear(const uint32_t* buffer)
{
    if (depth_generation == FIRST_GENERATION)
        depth_cycle++;
    render_count++;
    DepthBufferMark* oldest = &depth_marks[0];
    for (DepthBufferMark& mark : depth_marks) {
        if (mark.buffer == buffer) {
            mark.last_used = render_count;
            if (mark.cycle == depth_cycle)
                return false;
            mark.cycle = depth_cycle;
            return true;
        }
        if (mark.last_used < oldest->last_used)
            oldest = &mark;
    }
    *oldest = {.buffer = buffer, .cycle = depth_cycle, .last_used = render_count};
    return true;
}

// Clipping scratch of one draw_object call: two lists used alternately and
// the pool of new vertices, reused from its first record for every face.
struct ClipScratch {
    Vertex* lists[2][CLIP_LIST_SIZE];
    Vertex pool[CLIP_LIST_SIZE];
};

Vector difference(const Vector& a, const Vector& b)
{
    return {static_cast<float>(static_cast<double>(a.x) - b.x), static_cast<float>(static_cast<double>(a.y) - b.y),
            static_cast<float>(static_cast<double>(a.z) - b.z)};
}

// What lighting reads that stays the same for every point of an object:
// the ambient term (not tinted by the material) and the material channels.
struct Material {
    uint32_t ambient_red, ambient_green, ambient_blue;
    uint32_t red, green, blue;
};

Material material_of(const Scene* scene, const Object* object)
{
    const uint32_t ambient = scene->ambient;
    return {
        .ambient_red = static_cast<uint32_t>(trunc_to_int(static_cast<double>(ambient & 0xFF0000) * object->ambient)),
        .ambient_green = static_cast<uint32_t>(trunc_to_int(static_cast<double>(ambient & 0xFF00) * object->ambient)),
        .ambient_blue = static_cast<uint32_t>(trunc_to_int(static_cast<double>(ambient & 0xFF) * object->ambient)),
        .red = (object->colour >> 16) & 0xFF,
        .green = (object->colour >> 8) & 0xFF,
        .blue = object->colour & 0xFF,
    };
}

// The packed colour of three channel accumulators, each saturated.
inline uint32_t pack_lit(uint32_t red, uint32_t green, uint32_t blue)
{
    red = red > 0xFF0000 ? 0xFF0000 : red & 0xFF0000;
    green = green > 0xFF00 ? 0xFF00 : green & 0xFF00;
    blue = blue > 0xFF ? 0xFF : blue & 0xFF;
    return red | green | blue;
}

// Light and channel accumulators of one point with normal n, in object space.
// R, G and B sit at their packed bit positions; red shifts before it
// multiplies by the material, green and blue after; products wrap at 32 bits.
// cap_attenuation: flat lighting caps the attenuation at 1, vertex lighting not.
// A light exactly on the point has no direction: it adds nothing (instead of
// the NaN a division by its zero distance would give).
uint32_t light_point(const Scene* scene, const Object* object, const Material& material, const Camera* camera,
                     const Vector& point, const Vector& normal, bool cap_attenuation)
{
    uint32_t red = material.ambient_red, green = material.ambient_green, blue = material.ambient_blue;

    // The eye direction does not depend on the light.
    Vector view = difference(camera->local_position, point);
    normalise_vector(view);

    for (int32_t i = 0; i < scene->light_count; i++) {
        const Light* light = scene->lights[i];
        Vector to_light = difference(light->local_position, point);
        const float distance = static_cast<float>(std::sqrt(static_cast<double>(to_light.x) * to_light.x +
                                                            static_cast<double>(to_light.y) * to_light.y +
                                                            static_cast<double>(to_light.z) * to_light.z));
        if (distance == 0)
            continue;
        const double inverse = 1.0 / distance;
        to_light = {static_cast<float>(to_light.x * inverse), static_cast<float>(to_light.y * inverse),
                    static_cast<float>(to_light.z * inverse)};
        float diffuse = dot_product(normal, to_light);
        if (diffuse < 0)
            diffuse = 0;
        const double d = distance;
        float attenuation = static_cast<float>(
            1.0 / (light->attenuation[0] +
                   d * (static_cast<double>(light->attenuation[1]) * 0.01 + d * light->attenuation[2] * 0.0001)));
        if (cap_attenuation && !(attenuation < 1))
            attenuation = 1;
        Vector reflected = {static_cast<float>(2.0 * diffuse * normal.x - to_light.x),
                            static_cast<float>(2.0 * diffuse * normal.y - to_light.y),
                            static_cast<float>(2.0 * diffuse * normal.z - to_light.z)};
        normalise_vector(reflected);
        float specular = dot_product(reflected, view);
        if (specular < 0)
            specular = 0;
        const float intensity = static_cast<float>(static_cast<double>(object->specular) * specular * specular +
                                                   static_cast<double>(object->diffuse) * diffuse);
        const uint32_t colour = light->colour;
        const auto scaled = [&](uint32_t channel) {
            return static_cast<uint32_t>(trunc_to_int(static_cast<double>(channel) * intensity * attenuation));
        };
        red += (scaled(colour & 0xFF0000) >> 8) * material.red;
        green += (scaled(colour & 0xFF00) * material.green) >> 8;
        blue += (scaled(colour & 0xFF) * material.blue) >> 8;
    }
    return pack_lit(red, green, blue);
}

#if defined(__x86_64__) || defined(__i386__)
#define YURN_AVX2 __attribute__((target("avx2")))

// Vertex lighting of four points at once: light_point without the cap, step
// by step in the same double operations (the packed ones round exactly as the
// scalar ones), each value that light_point keeps in a float rounded to float
// in its lane, and a light on the point masked out of that lane's sums.
YURN_AVX2 inline __m256d to_float(__m256d x) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(x)); }

YURN_AVX2 inline __m256d floats(float a, float b, float c, float d)
{
    return _mm256_cvtps_pd(_mm_setr_ps(a, b, c, d));
}

// x, y, z divided by their length unless it is 0 (then left as they are).
YURN_AVX2 inline void normalise4(__m256d& x, __m256d& y, __m256d& z)
{
    const __m256d length =
        _mm256_sqrt_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y)), _mm256_mul_pd(z, z)));
    const __m256d keep = _mm256_cmp_pd(length, _mm256_setzero_pd(), _CMP_EQ_OQ);
    x = _mm256_blendv_pd(to_float(_mm256_div_pd(x, length)), x, keep);
    y = _mm256_blendv_pd(to_float(_mm256_div_pd(y, length)), y, keep);
    z = _mm256_blendv_pd(to_float(_mm256_div_pd(z, length)), z, keep);
}

// dot_product of two float vectors held in double lanes, rounded to float.
YURN_AVX2 inline __m256d dot4(__m256d ax, __m256d ay, __m256d az, __m256d bx, __m256d by, __m256d bz)
{
    return to_float(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(ax, bx), _mm256_mul_pd(ay, by)), _mm256_mul_pd(az, bz)));
}

// if (value < 0) value = 0, lane by lane (NaN stays).
YURN_AVX2 inline __m256d not_below_zero(__m256d value)
{
    return _mm256_blendv_pd(value, _mm256_setzero_pd(), _mm256_cmp_pd(value, _mm256_setzero_pd(), _CMP_LT_OQ));
}

// trunc(float(channel) * intensity * attenuation); 0x80000000 out of range, as trunc_to_int.
YURN_AVX2 inline __m128i scaled4(uint32_t channel, __m256d intensity, __m256d attenuation)
{
    return _mm256_cvttpd_epi32(
        _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(static_cast<double>(channel)), intensity), attenuation));
}

YURN_AVX2 void light_vertices_avx2(const Scene* scene, const Object* object, const Material& material,
                                   const Camera* camera, Vertex* const* vertices, int32_t count)
{
    const Vector eye = camera->local_position;
    const __m256d specular_factor = _mm256_set1_pd(object->specular);
    const __m256d diffuse_factor = _mm256_set1_pd(object->diffuse);
    for (int32_t i = 0; i < count; i += 4) {
        // A short last group repeats its last vertex in the lanes it lacks.
        Vertex* v[4];
        for (int32_t k = 0; k < 4; k++)
            v[k] = vertices[std::min(i + k, count - 1)];
        const __m256d px = floats(v[0]->position.x, v[1]->position.x, v[2]->position.x, v[3]->position.x);
        const __m256d py = floats(v[0]->position.y, v[1]->position.y, v[2]->position.y, v[3]->position.y);
        const __m256d pz = floats(v[0]->position.z, v[1]->position.z, v[2]->position.z, v[3]->position.z);
        const __m256d nx = floats(v[0]->normal.x, v[1]->normal.x, v[2]->normal.x, v[3]->normal.x);
        const __m256d ny = floats(v[0]->normal.y, v[1]->normal.y, v[2]->normal.y, v[3]->normal.y);
        const __m256d nz = floats(v[0]->normal.z, v[1]->normal.z, v[2]->normal.z, v[3]->normal.z);
        __m256d vx = to_float(_mm256_sub_pd(_mm256_set1_pd(eye.x), px));
        __m256d vy = to_float(_mm256_sub_pd(_mm256_set1_pd(eye.y), py));
        __m256d vz = to_float(_mm256_sub_pd(_mm256_set1_pd(eye.z), pz));
        normalise4(vx, vy, vz);
        __m128i red = _mm_set1_epi32(static_cast<int32_t>(material.ambient_red));
        __m128i green = _mm_set1_epi32(static_cast<int32_t>(material.ambient_green));
        __m128i blue = _mm_set1_epi32(static_cast<int32_t>(material.ambient_blue));
        for (int32_t l = 0; l < scene->light_count; l++) {
            const Light* light = scene->lights[l];
            __m256d tx = to_float(_mm256_sub_pd(_mm256_set1_pd(light->local_position.x), px));
            __m256d ty = to_float(_mm256_sub_pd(_mm256_set1_pd(light->local_position.y), py));
            __m256d tz = to_float(_mm256_sub_pd(_mm256_set1_pd(light->local_position.z), pz));
            const __m256d distance = to_float(_mm256_sqrt_pd(
                _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(tx, tx), _mm256_mul_pd(ty, ty)), _mm256_mul_pd(tz, tz))));
            // Lanes whose light is not on the point, as 32-bit masks.
            const __m128i lit = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
                _mm256_castpd_si256(_mm256_cmp_pd(distance, _mm256_setzero_pd(), _CMP_NEQ_UQ)),
                _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
            const __m256d inverse = _mm256_div_pd(_mm256_set1_pd(1.0), distance);
            tx = to_float(_mm256_mul_pd(tx, inverse));
            ty = to_float(_mm256_mul_pd(ty, inverse));
            tz = to_float(_mm256_mul_pd(tz, inverse));
            const __m256d diffuse = not_below_zero(dot4(nx, ny, nz, tx, ty, tz));
            const __m256d linear = _mm256_set1_pd(static_cast<double>(light->attenuation[1]) * 0.01);
            const __m256d quadratic = _mm256_mul_pd(_mm256_mul_pd(distance, _mm256_set1_pd(light->attenuation[2])),
                                                    _mm256_set1_pd(0.0001));
            const __m256d attenuation = to_float(_mm256_div_pd(
                _mm256_set1_pd(1.0),
                _mm256_add_pd(_mm256_set1_pd(light->attenuation[0]),
                              _mm256_mul_pd(distance, _mm256_add_pd(linear, quadratic)))));
            const __m256d twice = _mm256_mul_pd(_mm256_set1_pd(2.0), diffuse);
            __m256d rx = to_float(_mm256_sub_pd(_mm256_mul_pd(twice, nx), tx));
            __m256d ry = to_float(_mm256_sub_pd(_mm256_mul_pd(twice, ny), ty));
            __m256d rz = to_float(_mm256_sub_pd(_mm256_mul_pd(twice, nz), tz));
            normalise4(rx, ry, rz);
            const __m256d specular = not_below_zero(dot4(rx, ry, rz, vx, vy, vz));
            const __m256d intensity =
                to_float(_mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(specular_factor, specular), specular),
                                       _mm256_mul_pd(diffuse_factor, diffuse)));
            const uint32_t colour = light->colour;
            const __m128i add_red = _mm_mullo_epi32(_mm_srli_epi32(scaled4(colour & 0xFF0000, intensity, attenuation), 8),
                                                    _mm_set1_epi32(static_cast<int32_t>(material.red)));
            const __m128i add_green = _mm_srli_epi32(
                _mm_mullo_epi32(scaled4(colour & 0xFF00, intensity, attenuation),
                                _mm_set1_epi32(static_cast<int32_t>(material.green))), 8);
            const __m128i add_blue = _mm_srli_epi32(
                _mm_mullo_epi32(scaled4(colour & 0xFF, intensity, attenuation),
                                _mm_set1_epi32(static_cast<int32_t>(material.blue))), 8);
            red = _mm_add_epi32(red, _mm_and_si128(add_red, lit));
            green = _mm_add_epi32(green, _mm_and_si128(add_green, lit));
            blue = _mm_add_epi32(blue, _mm_and_si128(add_blue, lit));
        }
        alignas(16) uint32_t r[4], g[4], b[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(r), red);
        _mm_store_si128(reinterpret_cast<__m128i*>(g), green);
        _mm_store_si128(reinterpret_cast<__m128i*>(b), blue);
        for (int32_t k = 0; k < 4 && i + k < count; k++)
            v[k]->colour = pack_lit(r[k], g[k], b[k]);
    }
}
#endif

// Vertex lighting (no attenuation cap) of count vertices.
void light_vertices(const Scene* scene, const Object* object, const Material& material, const Camera* camera,
                    Vertex* const* vertices, int32_t count)
{
#if defined(__x86_64__) || defined(__i386__)
    if (span_level >= 1) {
        light_vertices_avx2(scene, object, material, camera, vertices, count);
        return;
    }
#endif
    for (int32_t i = 0; i < count; i++)
        vertices[i]->colour = light_point(scene, object, material, camera, vertices[i]->position, vertices[i]->normal,
                                          false);
}

// Environment coordinate from one component of the transformed normal:
// |value| halved until it is at most 1, stored back, scaled to the texture.
float environment_coordinate(float& component, int32_t texture_size)
{
    float folded = std::fabs(component);
    while (folded > 1 && std::isfinite(folded))  // an infinite normal would never fold
        folded /= 2;
    component = folded;
    // texture_size - 1 wraps as a 32-bit register does (never overflows into undefined behaviour).
    const int32_t last = static_cast<int32_t>(static_cast<uint32_t>(texture_size) - 1u);
    return static_cast<float>(static_cast<double>(static_cast<float>(last)) * folded);
}

// Cuts the face's polygon against the planes of clip_flags and draws the fan.
// A polygon that would outgrow the lists or the pool is dropped.
void clip_and_draw(const Object* object, const Face& face, uint32_t face_colour, ClipScratch& scratch,
                   uint32_t* frame_buffer, uint32_t* depth_buffer)
{
    Vertex** in = scratch.lists[0];
    Vertex** out = scratch.lists[1];
    int32_t count = 3;
    int32_t pool_used = 0;
    for (int32_t k = 0; k < 3; k++)
        in[k] = face.vertices[k];

    for (int32_t plane = 0; plane < 6; plane++) {
        if (!(object->clip_flags & (1 << plane)) || count <= 2)
            continue;
        int32_t out_count = 0;
        bool overflow = false;
        const auto push = [&](Vertex* vertex) {
            if (out_count == CLIP_LIST_SIZE)
                overflow = true;
            else
                out[out_count++] = vertex;
        };
        const auto cut = [&](const Vertex* a, const Vertex* b) {
            if (pool_used == CLIP_LIST_SIZE) {
                overflow = true;
                return;
            }
            Vertex* made = &scratch.pool[pool_used++];
            clip_edge(made, a, b, plane, object->mode);
            push(made);
        };
        const bool first_outside = outside_plane(in[0], plane);
        bool previous_outside = first_outside;
        if (!first_outside)
            push(in[0]);
        for (int32_t i = 1; i < count; i++) {
            Vertex* a = in[i - 1];
            Vertex* b = in[i];
            const bool outside = outside_plane(b, plane);
            if (!previous_outside && !outside) {
                push(b);
            } else if (!previous_outside && outside) {
                cut(a, b);
            } else if (previous_outside && !outside) {
                cut(a, b);
                push(b);
            }
            previous_outside = outside;
        }
        if (previous_outside != first_outside)
            cut(in[count - 1], in[0]);
        if (overflow)
            return;
        std::swap(in, out);
        count = out_count;
    }
    if (count == 1 || count == 2)
        fatal_error("Uy, un triángulo de %d vértices, que curioso...", count);
    for (int32_t k = 2; k < count; k++) {
        Vertex* const triangle[3] = {in[0], in[k - 1], in[k]};
        draw_triangle(object, triangle, face_colour, frame_buffer, depth_buffer);
    }
}

// Whole view box outside the view volume.
bool box_outside(const float* b)
{
    return b[MIN_X] > b[MAX_Z] || b[MAX_X] < -b[MAX_Z] || b[MIN_Y] > b[MAX_Z] || b[MAX_Y] < -b[MAX_Z] ||
           far < b[MIN_Z] || near > b[MAX_Z];
}

uint8_t box_clip_flags(const float* b)
{
    uint8_t flags = 0;
    if (near > b[MIN_Z])
        flags |= 0x01;
    if (far < b[MAX_Z])
        flags |= 0x02;
    if (b[MIN_Y] < -b[MIN_Z])
        flags |= 0x04;
    if (b[MAX_Y] > b[MIN_Z])
        flags |= 0x08;
    if (b[MIN_X] < -b[MIN_Z])
        flags |= 0x10;
    if (b[MAX_X] > b[MIN_Z])
        flags |= 0x20;
    return flags;
}

// Outcode of a transformed point: bit p when it lies strictly outside plane p
// (outside_plane for the six planes at once; NaN compares as inside).
inline uint8_t outcode_of(const Vector& p)
{
    return static_cast<uint8_t>((p.z < near) | (p.z > far) << 1 | (p.y < -p.z) << 2 | (p.y > p.z) << 3 |
                                (p.x < -p.z) << 4 | (p.x > p.z) << 5);
}

// True when no vertex of the object can be outside any plane, so every
// outcode is 0: each view-box corner is inside every plane by a margin wider
// than the rounding of the transform can move a point.  A vertex lies in the
// object-space box, so in exact arithmetic it is no farther out than the
// worst corner; transform_point rounds each view coordinate of a point of the
// box by less than 2^-23 of its terms' magnitude T (the sum of |term| over
// the matrix row, bounded over the box), at the corner and at the vertex
// alike, and the margin below is 2^-20 of the magnitudes compared.  A box
// with a NaN or an infinity fails every test and takes the per-vertex path.
bool wholly_inside(const Object* object)
{
    const Vector& low = object->box[3];   // min_x, min_y, min_z
    const Vector& high = object->box[5];  // max_x, max_y, max_z
    const double ax = std::max(std::fabs(low.x), std::fabs(high.x));
    const double ay = std::max(std::fabs(low.y), std::fabs(high.y));
    const double az = std::max(std::fabs(low.z), std::fabs(high.z));
    const float* m = object->model_view.m;
    double magnitude[3];
    for (int32_t j = 0; j < 3; j++)
        magnitude[j] = ax * std::fabs(m[j]) + ay * std::fabs(m[3 + j]) + az * std::fabs(m[6 + j]) + std::fabs(m[9 + j]);
    constexpr double SLACK = 1.0 / (1 << 20);
    const double margin_z = SLACK * 2 * magnitude[2];
    const double margin_y = SLACK * (magnitude[1] + magnitude[2]);
    const double margin_x = SLACK * (magnitude[0] + magnitude[2]);
    for (const Vector& c : object->view_box) {
        const double x = c.x, y = c.y, z = c.z;
        const bool inside = z - near >= margin_z && far - z >= margin_z && y + z >= margin_y && z - y >= margin_y &&
                            x + z >= margin_x && z - x >= margin_x;
        if (!inside)
            return false;
    }
    return true;
}

// transform_vertices and the outcodes in one walk over the vertices: with
// clipping, each outcode is computed (test_outcodes) or known to be 0.
void transform_and_classify(Object* object, bool clipping, bool test_outcodes)
{
    const Matrix& m = object->model_view;
    const bool environment = object->mode & MODE_ENVIRONMENT;
    Vertex* const vertices = object->vertices;
    for (uint32_t i = 0; i < object->vertex_count; i++) {
        Vertex& v = vertices[i];
        v.transformed = transform_point(v.position, m);
        if (environment)
            v.transformed_normal = transform_point(v.normal, m);
        v.state &= static_cast<uint8_t>(~(VERTEX_PROJECTED | VERTEX_LIT));
        if (clipping)
            v.outcode = test_outcodes ? outcode_of(v.transformed) : 0;
    }
}

// Faces are handled in groups: the visible faces of a group are found first,
// then the vertices they bring that are not lit yet are lit together, then
// the faces are drawn.  Lighting a vertex reads only the vertex, the lights
// and the camera, so lighting a group's vertices before drawing its faces
// gives every vertex the colour it would get lit face by face.
constexpr int32_t FACE_GROUP = 128;

// One bit per vertex of the object being drawn: set once its vertex lighting
// is done or queued in this draw.  Kept between draws so that it grows to the
// largest object once instead of being allocated per draw.  Render thread.
std::vector<uint64_t> colour_marks;

struct FaceGroup {
    uint32_t face[FACE_GROUP];
    bool clip[FACE_GROUP];
    Vertex* unlit[3 * FACE_GROUP];
    int32_t face_count;
    int32_t unlit_count;
};

// The object itself, once it is known to be drawn in this pass.
void draw_faces(Scene* scene, Object* object, Camera* camera, uint32_t* depth_buffer, uint32_t* frame_buffer)
{
    transform_bounds(object);
    if (box_outside(object->bounds))
        return;
    object->clip_flags = box_clip_flags(object->bounds);
    // Outcodes: all six planes, whatever clip_flags holds; none needs testing
    // when the box is wholly inside.
    const bool clipping = object->clip_flags != 0;
    const bool inside = clipping && wholly_inside(object);
    const bool test_outcodes = clipping && !inside;
    transform_and_classify(object, clipping, test_outcodes);

    Matrix inverse;
    matrix_invert_rigid(inverse, object->model);
    for (int32_t i = 0; i < scene->light_count; i++)
        light_to_object(scene->lights[i], inverse);
    camera_to_object(camera, inverse);

    Vertex* const vertices = object->vertices;
    const uint32_t vertex_count = object->vertex_count;
    // Which vertices the vertex lighting has reached in this draw.
    if (object->mode & MODE_GOURAUD)
        colour_marks.assign((static_cast<size_t>(vertex_count) + 63) / 64, 0);

    ClipScratch scratch;
    std::memset(static_cast<void*>(scratch.pool), 0, sizeof scratch.pool);
    FaceGroup group;
    const Material material = material_of(scene, object);
    const uint8_t mode = object->mode;
    const Vector eye = camera->local_position;
    const bool two_sided = object->two_sided != 0;
    uint32_t next_face = 0;
    while (next_face < object->face_count) {
        group.face_count = 0;
        group.unlit_count = 0;
        for (; next_face < object->face_count && group.face_count < FACE_GROUP; next_face++) {
            const Face& face = object->faces[next_face];
            if (next_face + 16 < object->face_count)
                __builtin_prefetch(&object->faces[next_face + 16]);  // the walk waits on memory, not arithmetic
            if (!(dot_product(eye, face.normal) > face.distance) && !two_sided)
                continue;
            Vertex* const* corners = face.vertices;
            bool clip = false;
            if (test_outcodes) {
                const uint8_t a = corners[0]->outcode, b = corners[1]->outcode, c = corners[2]->outcode;
                if (a & b & c)
                    continue;
                clip = (a | b | c) != 0;
            }
            group.face[group.face_count] = next_face;
            group.clip[group.face_count] = clip;
            group.face_count++;
            if (mode & MODE_GOURAUD) {
                // Each vertex once per draw; clip_edge's new vertices come lit.
                for (int32_t k = 0; k < 3; k++) {
                    Vertex* vertex = corners[k];
                    if (vertex->state & VERTEX_LIT)
                        continue;
                    // A vertex outside the object's own array (which faces
                    // should never name) is simply lit each time.
                    const uintptr_t offset = reinterpret_cast<uintptr_t>(vertex) - reinterpret_cast<uintptr_t>(vertices);
                    const uintptr_t index = offset / sizeof(Vertex);
                    if (offset % sizeof(Vertex) == 0 && index < vertex_count) {
                        uint64_t& word = colour_marks[index / 64];
                        const uint64_t bit = uint64_t(1) << (index % 64);
                        if (word & bit)
                            continue;
                        word |= bit;
                    }
                    group.unlit[group.unlit_count++] = vertex;
                }
            }
        }
        light_vertices(scene, object, material, camera, group.unlit, group.unlit_count);

        for (int32_t g = 0; g < group.face_count; g++) {
            Face& face = object->faces[group.face[g]];
            Vertex* const* corners = face.vertices;
            uint32_t face_colour = 0;
            if (mode & MODE_FLAT) {
                const Vector& p0 = corners[0]->position;
                const Vector& p1 = corners[1]->position;
                const Vector& p2 = corners[2]->position;
                const double third = 0.33333334;  // as written, a double like every other constant here
                const Vector centroid = {
                    static_cast<float>((static_cast<double>(p0.x) + p2.x + p1.x) * third),
                    static_cast<float>((static_cast<double>(p0.y) + p2.y + p1.y) * third),
                    static_cast<float>((static_cast<double>(p0.z) + p2.z + p1.z) * third)};
                face_colour = light_point(scene, object, material, camera, centroid, face.normal, true);
            }
            if (mode & MODE_TEXTURED) {
                for (int32_t k = 0; k < 3; k++) {
                    corners[k]->u = face.uv[2 * k];
                    corners[k]->v = face.uv[2 * k + 1];
                }
            }
            if (mode & MODE_ENVIRONMENT) {
                for (int32_t k = 0; k < 3; k++) {
                    Vertex* vertex = corners[k];
                    vertex->u = environment_coordinate(vertex->transformed_normal.x, object->texture_size);
                    vertex->v = environment_coordinate(vertex->transformed_normal.y, object->texture_size);
                }
            }
            if (group.clip[g])
                clip_and_draw(object, face, face_colour, scratch, frame_buffer, depth_buffer);
            else
                draw_triangle(object, corners, face_colour, frame_buffer, depth_buffer);
        }
    }
}

// Draws one object in the current pass, then its children, whether or not the
// object itself was drawn.
void draw_object(Scene* scene, Object* object, const Matrix* parent_model, Camera* camera, uint32_t* depth_buffer,
                 uint32_t* frame_buffer)
{
    build_model_matrix(object, parent_model);
    matrix_multiply(object->model_view, camera->view_projection, object->model);
    const uint8_t mode = object->mode;
    if (mode != 0 && ((mode & MODE_ADDITIVE) != 0) == (additive_pass != 0))
        draw_faces(scene, object, camera, depth_buffer, frame_buffer);
    if (object->children && object->child_count > 0)
        for (uint32_t i = 0; i < object->child_count; i++)
            draw_object(scene, object->children[i], &object->model, camera, depth_buffer, frame_buffer);
}

}  // namespace

void Scene::render_scene(Camera* camera, uint32_t* depth_buffer, uint32_t* frame_buffer)
{
    follow_cpu_cap();
    if (object_count <= 0)
        return;
    // Words of earlier frames hold larger generations, so they lose to any
    // depth of this frame: a buffer needs clearing only once per cycle of
    // generations (and the first time it is seen).
    if (depth_buffer_needs_clear(depth_buffer))
        fill_buffer(depth_buffer, 0xFFFFFFFFu, frame_width * frame_height);
    update_camera(camera);
    additive_pass = 0;
    for (int32_t i = 0; i < object_count; i++)
        draw_object(this, objects[i], nullptr, camera, depth_buffer, frame_buffer);
    additive_pass = 1;
    for (int32_t i = 0; i < object_count; i++)
        draw_object(this, objects[i], nullptr, camera, depth_buffer, frame_buffer);
    depth_generation -= GENERATION_STEP;
}
