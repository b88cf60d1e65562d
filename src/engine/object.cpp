// Objects, lights and the camera: creation, the finishing pass that loaders
// run once (normals, defaults, bounds) and the per-frame operations the
// render pass calls.  Arithmetic follows the rule in engine/math.cpp.
#include <cmath>
#include <cstdlib>

#include "display/error.h"
#include "engine/engine.h"
#include "engine/engine_local.h"

int32_t current_texture_size = 256;

static constexpr float BOUND_START = 16777216.0f;  // 2^24: bounds before any vertex widens them

bool object_arrays_fit(uint64_t vertex_count, uint64_t face_count)
{
    return vertex_count <= OBJECT_ARRAY_LIMIT / sizeof(Vertex) && face_count <= OBJECT_ARRAY_LIMIT / sizeof(Face);
}

namespace {

// The count is checked against the limit before multiplying, so no size wraps.
void* allocate_array(uint32_t n, size_t record_size)
{
    if (n == 0)
        return nullptr;
    void* p = n <= OBJECT_ARRAY_LIMIT / record_size ? std::calloc(n, record_size) : nullptr;
    if (!p)
        fatal_error("Error reservando memoria para vértices o planos");
    return p;
}

}  // namespace

Vertex* allocate_vertices(uint32_t n) { return static_cast<Vertex*>(allocate_array(n, sizeof(Vertex))); }
Face* allocate_faces(uint32_t n) { return static_cast<Face*>(allocate_array(n, sizeof(Face))); }

Object* create_object(uint32_t vertex_count, uint32_t face_count)
{
    ObjectPtr object(static_cast<Object*>(std::calloc(1, sizeof(Object))));
    if (!object)
        fatal_error("Error reservando memoria para el objeto");
    // Faces first, then vertices; each count is stored with its array so the
    // guard frees exactly what exists if the second allocation fails.
    object->faces = allocate_faces(face_count);
    object->face_count = face_count;
    object->vertices = allocate_vertices(vertex_count);
    object->vertex_count = vertex_count;
    return object.release();
}

void finish_object(Object* object)
{
    face_normals(object);
    vertex_normals(object);
    object->child_count = 0;
    object->children = nullptr;
    object->child_room = {};
    object->position = { 0, 0, 0 };
    object->angles = { 0, 0, 0 };
    object->two_sided = 0;
    object->mode = MODE_GOURAUD;
    object->colour = 0x00FFFFFF;
    object->ambient = 0.2f;
    object->diffuse = 0.6f;
    object->specular = 0.8f;
    compute_bounds(object);
}

void destroy_object(Object* object)
{
    if (!object)
        return;
    std::free(object->vertices);
    std::free(object->faces);
    for (uint32_t i = 0; i < object->child_count; ++i)
        destroy_object(object->children[i]);
    std::free(object->children);
    std::free(object);
}

void add_child(Object* object, Object* child)
{
    append_pointer(object->children, object->child_count, child, object->child_room, "Error reservando memoria para el array de hijos");
    object->child_count++;
}

void face_normals(Object* object)
{
    for (uint32_t i = 0; i < object->face_count; ++i) {
        Face& f = object->faces[i];
        const Vector& a = f.vertices[0]->position;
        Vector n = triangle_normal(a, f.vertices[1]->position, f.vertices[2]->position);
        normalise(n);
        f.normal = n;
        f.distance = dot(a, n);
    }
}

void vertex_normals(Object* object)
{
    for (uint32_t i = 0; i < object->vertex_count; ++i)
        object->vertices[i].normal = { 0, 0, 0 };
    // Each face counts once whatever its area.
    for (uint32_t i = 0; i < object->face_count; ++i) {
        const Face& f = object->faces[i];
        for (Vertex* v : f.vertices) {
            v->normal.x = static_cast<float>(double(v->normal.x) + f.normal.x);
            v->normal.y = static_cast<float>(double(v->normal.y) + f.normal.y);
            v->normal.z = static_cast<float>(double(v->normal.z) + f.normal.z);
        }
    }
    for (uint32_t i = 0; i < object->vertex_count; ++i)
        normalise(object->vertices[i].normal);
}

namespace {

void reset_bounds(float* b)
{
    b[MIN_X] = b[MIN_Y] = b[MIN_Z] = BOUND_START;
    b[MAX_X] = b[MAX_Y] = b[MAX_Z] = -BOUND_START;
}

void widen_bounds(float* b, const Vector& p)
{
    if (p.x < b[MIN_X]) b[MIN_X] = p.x;
    if (p.x > b[MAX_X]) b[MAX_X] = p.x;
    if (p.y < b[MIN_Y]) b[MIN_Y] = p.y;
    if (p.y > b[MAX_Y]) b[MAX_Y] = p.y;
    if (p.z < b[MIN_Z]) b[MIN_Z] = p.z;
    if (p.z > b[MAX_Z]) b[MAX_Z] = p.z;
}

}  // namespace

void compute_bounds(Object* object)
{
    float* b = object->bounds;
    reset_bounds(b);
    for (uint32_t i = 0; i < object->vertex_count; ++i)
        widen_bounds(b, object->vertices[i].position);
    Vector* c = object->box;
    c[0] = { b[MIN_X], b[MAX_Y], b[MIN_Z] };
    c[1] = { b[MAX_X], b[MAX_Y], b[MIN_Z] };
    c[2] = { b[MAX_X], b[MIN_Y], b[MIN_Z] };
    c[3] = { b[MIN_X], b[MIN_Y], b[MIN_Z] };
    c[4] = { b[MIN_X], b[MAX_Y], b[MAX_Z] };
    c[5] = { b[MAX_X], b[MAX_Y], b[MAX_Z] };
    c[6] = { b[MAX_X], b[MIN_Y], b[MAX_Z] };
    c[7] = { b[MIN_X], b[MIN_Y], b[MAX_Z] };
}

void build_model_matrix(Object* object, const Matrix* parent_model)
{
    const Matrix placement = rotation_matrix(object->angles.x, object->angles.y, object->angles.z,
                                             object->position.x, object->position.y, object->position.z);
    // Own placement first, then the parent's.
    if (parent_model)
        matrix_multiply(object->model, *parent_model, placement);
    else
        object->model = placement;
}

void transform_vertices(Object* object)
{
    const Matrix& m = object->model_view;
    const bool environment = object->mode & MODE_ENVIRONMENT;
    for (uint32_t i = 0; i < object->vertex_count; ++i) {
        Vertex& v = object->vertices[i];
        v.transformed = transform_point(v.position, m);
        // The translation row is added to the normal too: environment mapping
        // reads it in that form.
        if (environment)
            v.transformed_normal = transform_point(v.normal, m);
        v.state &= static_cast<uint8_t>(~(VERTEX_PROJECTED | VERTEX_LIT));
    }
}

void transform_bounds(Object* object)
{
    reset_bounds(object->bounds);
    for (int i = 0; i < 8; ++i) {
        object->view_box[i] = transform_point(object->box[i], object->model_view);
        widen_bounds(object->bounds, object->view_box[i]);
    }
}

void spherical_mapping(Object* object, uint32_t texture_side)
{
    const double t = texture_side;
    for (uint32_t i = 0; i < object->vertex_count; ++i) {
        Vertex& v = object->vertices[i];
        const Vector& p = v.position;
        // Results run 0 .. T (not T - 1).
        v.u = static_cast<float>((std::atan2(double(p.x), double(p.z)) + 3.141592653589793) * t * 0.15915494309189535);
        v.v = static_cast<float>((std::atan2(double(p.y), double(p.z)) + 3.141592653589793) * t * 0.15915494309189535);
    }
}

void normal_mapping(Object* object, uint32_t texture_side)
{
    // T - 1 as an unsigned value, as the texture coordinates of the loaders.
    const double t1 = static_cast<uint32_t>(texture_side - 1u);
    for (uint32_t i = 0; i < object->vertex_count; ++i) {
        Vertex& v = object->vertices[i];
        v.u = static_cast<float>(std::fabs(t1 * v.transformed_normal.x));
        v.v = static_cast<float>(std::fabs(t1 * v.transformed_normal.y));
    }
}

void light_to_object(Light* light, const Matrix& inverse_model)
{
    const Vector p = { light->position.x, -light->position.y, light->position.z };
    light->local_position = transform_point(p, inverse_model);
}

void camera_to_object(Camera* camera, const Matrix& inverse_model)
{
    const Vector p = { camera->position.x, -camera->position.y, camera->position.z };
    camera->local_position = transform_point(p, inverse_model);
}

void update_camera(Camera* camera)
{
    const Matrix placement = rotation_matrix(camera->angles.x, camera->angles.y, camera->angles.z,
                                             camera->position.x, camera->position.y, camera->position.z);
    matrix_invert_rigid(camera->view, placement);
    const Matrix projection = projection_scale(camera->fov);
    matrix_multiply(camera->view_projection, projection, camera->view);
}
