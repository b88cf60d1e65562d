// The scene render pass: per frame the depth generation, two walks of the
// object hierarchy (opaque, then additive), and per object the box test,
// outcodes, facing test, lighting, texture coordinates, clipping and the fan.
// Float arithmetic in double, each stored or named value rounded to float.
#include <cmath>
#include <cstring>
#include <utility>

#include "display/display.h"
#include "render/fixed.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/shell.h"

namespace {

constexpr uint32_t FIRST_GENERATION = 0xFFFF0000u;
constexpr uint32_t GENERATION_STEP = 0x10000u;

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

// Light and channel accumulators of one point with normal n, in object space.
// R, G and B sit at their packed bit positions; red shifts before it
// multiplies by the material, green and blue after; products wrap at 32 bits.
// cap_attenuation: flat lighting caps the attenuation at 1, vertex lighting not.
// A light exactly on the point has no direction: it adds nothing (instead of
// the NaN a division by its zero distance would give).
uint32_t light_point(const Scene* scene, const Object* object, const Camera* camera, const Vector& point,
                     const Vector& normal, bool cap_attenuation)
{
    const uint32_t ambient = scene->ambient;
    uint32_t red = static_cast<uint32_t>(trunc_to_int(static_cast<double>(ambient & 0xFF0000) * object->ambient));
    uint32_t green = static_cast<uint32_t>(trunc_to_int(static_cast<double>(ambient & 0xFF00) * object->ambient));
    uint32_t blue = static_cast<uint32_t>(trunc_to_int(static_cast<double>(ambient & 0xFF) * object->ambient));
    const uint32_t material_red = (object->colour >> 16) & 0xFF;
    const uint32_t material_green = (object->colour >> 8) & 0xFF;
    const uint32_t material_blue = object->colour & 0xFF;

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
        red += (scaled(colour & 0xFF0000) >> 8) * material_red;
        green += (scaled(colour & 0xFF00) * material_green) >> 8;
        blue += (scaled(colour & 0xFF) * material_blue) >> 8;
    }
    red = red > 0xFF0000 ? 0xFF0000 : red & 0xFF0000;
    green = green > 0xFF00 ? 0xFF00 : green & 0xFF00;
    blue = blue > 0xFF ? 0xFF : blue & 0xFF;
    return red | green | blue;
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

// The object itself, once it is known to be drawn in this pass.
void draw_faces(Scene* scene, Object* object, Camera* camera, uint32_t* depth_buffer, uint32_t* frame_buffer)
{
    transform_bounds(object);
    if (box_outside(object->bounds))
        return;
    object->clip_flags = box_clip_flags(object->bounds);
    transform_vertices(object);

    Matrix inverse;
    matrix_invert_rigid(inverse, object->model);
    for (int32_t i = 0; i < scene->light_count; i++)
        light_to_object(scene->lights[i], inverse);
    camera_to_object(camera, inverse);

    Vertex* const vertices = object->vertices;
    const uint32_t vertex_count = object->vertex_count;
    // Cleared again after the faces; this pass covers a draw cut short by a fatal error.
    for (uint32_t i = 0; i < vertex_count; i++)
        vertices[i].state &= static_cast<uint8_t>(~VERTEX_COLOURED);
    if (object->clip_flags) {
        // All six planes, whatever clip_flags holds.
        for (uint32_t i = 0; i < vertex_count; i++) {
            uint8_t outcode = 0;
            for (int32_t plane = 0; plane < 6; plane++)
                if (outside_plane(&vertices[i], plane))
                    outcode |= static_cast<uint8_t>(1 << plane);
            vertices[i].outcode = outcode;
        }
    }

    ClipScratch scratch;
    std::memset(static_cast<void*>(scratch.pool), 0, sizeof scratch.pool);
    const uint8_t mode = object->mode;
    const Vector eye = camera->local_position;
    for (uint32_t f = 0; f < object->face_count; f++) {
        Face& face = object->faces[f];
        if (!(dot_product(eye, face.normal) > face.distance) && !object->two_sided)
            continue;
        Vertex* const* corners = face.vertices;
        bool clip = false;
        if (object->clip_flags) {
            const uint8_t a = corners[0]->outcode, b = corners[1]->outcode, c = corners[2]->outcode;
            if (a & b & c)
                continue;
            clip = (a | b | c) != 0;
        }
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
            face_colour = light_point(scene, object, camera, centroid, face.normal, true);
        }
        if (mode & MODE_GOURAUD) {
            for (int32_t k = 0; k < 3; k++) {
                Vertex* vertex = corners[k];
                if (vertex->state & (VERTEX_LIT | VERTEX_COLOURED))
                    continue;
                vertex->colour = light_point(scene, object, camera, vertex->position, vertex->normal, false);
                vertex->state |= VERTEX_COLOURED;
            }
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
        if (clip)
            clip_and_draw(object, face, face_colour, scratch, frame_buffer, depth_buffer);
        else
            draw_triangle(object, corners, face_colour, frame_buffer, depth_buffer);
    }
    // The lighting cache bit is the pass's own: callers see only bits 0 and 1.
    for (uint32_t i = 0; i < vertex_count; i++)
        vertices[i].state &= static_cast<uint8_t>(~VERTEX_COLOURED);
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
    if (object_count <= 0)
        return;
    // Words of earlier frames hold larger generations, so they lose to any
    // depth of this frame: the buffer needs clearing only when it wraps.
    if (depth_generation == FIRST_GENERATION)
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
