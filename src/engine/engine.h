// The 3D engine: vectors and matrices, the object / light / camera / scene
// model and the two mesh loaders.  The renderer (render/) draws what this
// header describes; stages build Scenes with it.  Single-threaded.
//
// Arithmetic rule for the whole engine and renderer: float expressions are
// evaluated as written, left to right, in double precision, and each result
// that is stored (a field, a matrix element, a normal) is rounded to its
// 32-bit float.  The build uses -ffp-contract=off, so no fused multiply-add
// changes a result from one machine to another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// ---------------------------------------------------------------------------
// Math
// ---------------------------------------------------------------------------
struct Vector {
    float x, y, z;
};

// A 4x3 affine matrix in row-vector form: rows 0-2 are the images of the
// x, y and z axes, row 3 the translation.  p' = p * M (with p.w = 1).
struct Matrix {
    float m[12];
};

float dot(const Vector& a, const Vector& b);
Vector triangle_normal(const Vector& a, const Vector& b, const Vector& c);  // (b-a) x (c-a), unnormalised
void normalise(Vector& v);                                   // a zero-length vector stays (0, 0, 0)
// Translation row included.  Inline: the render pass runs it for every vertex
// of every drawn object, every frame.
inline Vector transform_point(const Vector& p, const Matrix& m)
{
    const float* e = m.m;
    return { static_cast<float>(double(p.x) * e[0] + double(p.y) * e[3] + double(p.z) * e[6] + e[9]),
             static_cast<float>(double(p.x) * e[1] + double(p.y) * e[4] + double(p.z) * e[7] + e[10]),
             static_cast<float>(double(p.x) * e[2] + double(p.y) * e[5] + double(p.z) * e[8] + e[11]) };
}
void matrix_multiply(Matrix& out, const Matrix& a, const Matrix& b);  // out = b followed by a; out may alias
// Inverse of a rotation plus translation (rows 0-2 orthonormal, not checked):
// the transposed rotation and the translation taken back through it.
void matrix_invert_rigid(Matrix& out, const Matrix& m);
// Turns by a, b, c radians about x, y and z, then a move to (px, py, pz) given
// y up (stored as -py: engine space points y down).  Objects and the camera.
Matrix rotation_matrix(float a, float b, float c, float px, float py, float pz);
// The perspective scale of a horizontal field of view: x by 1 / tan(fov / 2),
// y by 4/3 of that, z unchanged.  update_camera appends it to the view.
Matrix projection_scale(float fov_degrees);

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
constexpr uint8_t VERTEX_PROJECTED = 0x01;  // screen_x / screen_y valid in this pass
constexpr uint8_t VERTEX_LIT = 0x02;        // colour already valid; vertex lighting skips it

struct Vertex {
    Vector position;            // object space, y down
    Vector transformed;         // position through model_view
    float screen_x, screen_y;   // written by the triangle set-up
    uint8_t state;              // VERTEX_PROJECTED | VERTEX_LIT
    uint8_t outcode;            // bit p: outside clipping plane p
    Vector normal;              // unit normal, object space
    Vector transformed_normal;  // normal through model_view (mode 0x08 only)
    uint32_t colour;            // lit colour 0x00RRGGBB
    float u, v;                 // texture column and row in texels
};

struct Face {
    Vertex* vertices[3];  // corners, into the owning object's vertex array
    float uv[6];          // u0, v0, u1, v1, u2, v2 in texels
    Vector normal;        // unit normal, towards the side the face is seen from
    float distance;       // dot(normal, first corner's position)
};

constexpr uint8_t MODE_FLAT = 0x01;
constexpr uint8_t MODE_GOURAUD = 0x02;
constexpr uint8_t MODE_TEXTURED = 0x04;
constexpr uint8_t MODE_ENVIRONMENT = 0x08;
constexpr uint8_t MODE_ADDITIVE = 0x10;

enum BoundIndex { MIN_X, MAX_X, MIN_Y, MAX_Y, MIN_Z, MAX_Z };

// The engine's own note of a pointer list it grew (an object's children, a
// Scene's objects or lights): the array it allocated, how many slots that
// array has and the count it left.  add_child, add_object and add_light use
// the spare slots only while the list is still exactly that array with that
// count; a list a caller installed or changed itself is copied into a new
// array of the engine's, grown from its count.  Callers never touch it; the
// one list it cannot tell from its own is one a caller put, with the same
// count, at the address of an engine array the caller freed itself.
struct ListRoom {
    const void* array;
    size_t capacity;
    size_t count;
};

struct Object {
    uint32_t vertex_count;
    uint32_t face_count;
    Face* faces;             // owned
    Vertex* vertices;        // owned
    uint8_t mode;            // MODE_* bits; 0 hides the object (not its children)
    uint8_t two_sided;
    uint32_t* texture;       // texture_size x texture_size texels, not owned
    int32_t texture_size;
    uint32_t colour;         // material colour 0x00RRGGBB
    float ambient, diffuse, specular;
    Vector position;         // placement relative to the parent, y up
    Vector angles;           // turns about x, y, z in radians
    Matrix model;            // object to world, parents included
    Matrix model_view;       // model followed by the camera's view_projection
    // A caller may install a list of its own (count and array, the array from
    // malloc: destroy_object frees it); the next add_child copies it into an
    // array of the engine's rather than writing past its end.
    uint32_t child_count;
    Object** children;       // owned, with the children themselves
    Vector box[8];           // object-space bounding box corners
    Vector view_box[8];      // the same through model_view
    float bounds[6];         // BoundIndex order: object space after finish_object, the view box's
                             // once the render pass has transformed it (transform_bounds)
    uint8_t clip_flags;      // bit p: the view box may cross plane p
    ListRoom child_room;     // add_child's note of the array it grew (zero from create_object)
};

struct Light {
    Vector position;         // world space, y up
    Vector local_position;   // in the space of the object being drawn
    uint32_t unused[2];
    uint32_t colour;         // 0x00RRGGBB
    float attenuation[3];    // constant, linear, quadratic
};

struct Camera {
    Vector position;         // world space, y up
    Vector angles;           // turns about x, y, z in radians
    float fov;               // horizontal field of view in degrees
    Vector local_position;   // the eye in the space of the object being drawn
    Matrix view;             // world to camera
    Matrix view_projection;  // view followed by the projection scale
};

// Engine-wide texture side copied into every loaded object; the triangle
// set-up sets it to each drawn object's texture_size.  Initially 256.
extern int32_t current_texture_size;

// ---------------------------------------------------------------------------
// Object operations
// ---------------------------------------------------------------------------
// Allocates the record and both arrays, all zero-filled (so texture is null
// and faces no loader fills have uv 0).  Arrays above OBJECT_ARRAY_LIMIT bytes
// count as too large for memory: "Error reservando memoria para vértices o planos".
Object* create_object(uint32_t vertex_count, uint32_t face_count);
constexpr size_t OBJECT_ARRAY_LIMIT = size_t(1) << 31;  // bytes per vertex or face array
// Face and vertex normals, the default material, placement and mode, bounds.
void finish_object(Object* object);
// Frees the object, its arrays and its children (recursively); not the texture.
// Null is allowed.
void destroy_object(Object* object);

// Owns an Object until it is handed over (release()), so a loader that ends
// in fatal_error leaks nothing.
struct ObjectDeleter {
    void operator()(Object* object) const { destroy_object(object); }
};
using ObjectPtr = std::unique_ptr<Object, ObjectDeleter>;

// Appends child (the object owns it from then on); the list grows
// geometrically (see ListRoom).
void add_child(Object* object, Object* child);

// Run once by finish_object: unit face normals and plane constants; vertex
// normals as the normalised sum of the faces' (each face once, whatever its
// area); object-space bounds from +-16777216 and the eight box corners.
void face_normals(Object* object);
void vertex_normals(Object* object);
void compute_bounds(Object* object);

// Per frame, from the render pass in this order: model (own placement, then
// the parent's model when given), vertices and box through model_view
// (transform_vertices clears VERTEX_PROJECTED and VERTEX_LIT, and fills
// transformed_normal only in MODE_ENVIRONMENT; transform_bounds replaces the
// object-space bounds with those of view_box).
void build_model_matrix(Object* object, const Matrix* parent_model);
void transform_vertices(Object* object);
void transform_bounds(Object* object);

// Vertex u, v from the position's angles (0..T) or from transformed_normal
// (|(T-1) * n|, after transform_vertices in MODE_ENVIRONMENT).
void spherical_mapping(Object* object, uint32_t texture_side);
void normal_mapping(Object* object, uint32_t texture_side);

// local_position = (x, -y, z) of the world position through the object's
// inverse model, so lighting and facing tests work in object space.
void light_to_object(Light* light, const Matrix& inverse_model);
void camera_to_object(Camera* camera, const Matrix& inverse_model);
// view = inverse of the camera's placement; view_projection = view, then the
// projection scale of fov.  Once per frame, before the first object.
void update_camera(Camera* camera);

// Text mesh format: from a data file (archive first) or from text in memory.
// Both read number by number over any whitespace, so the same text gives the
// same Object; a negative count, a face index outside 0..nv-1 or a missing or
// malformed number ends in fatal_error naming the file ("(texto)" for text).
Object* load_object(const char* file_name);
Object* parse_object(const char* text);
// The reader both share: size bytes of text (NULs included, no terminator
// needed); name is the file named in messages.
Object* parse_object_bytes(const char* data, size_t size, const char* name);

// ---------------------------------------------------------------------------
// Scene: the top-level objects (owned) and the lights (not owned)
// ---------------------------------------------------------------------------
struct Scene {
    // The lists may be installed by a caller (count and array, the array from
    // malloc: clear() frees it); the next add copies such a list into an
    // array of the Scene's own rather than writing past its end.
    uint32_t ambient = 0;         // ambient light colour 0x00RRGGBB
    Object** objects = nullptr;   // owned, with the objects
    int32_t object_count = 0;
    Light** lights = nullptr;     // the array is owned, the lights are not
    int32_t light_count = 0;
    ListRoom object_room = {};    // add_object's and add_light's notes of the arrays they grew
    ListRoom light_room = {};

    Scene() = default;
    ~Scene();  // clear(): the objects and both arrays

    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    // Append one pointer each; the lists grow geometrically (see ListRoom) and
    // keep the order of the calls.
    void add_object(Object* object);
    void add_light(Light* light);
    // Destroys every object and empties both lists (the Light records are the
    // caller's and stay as they are).
    void clear();
    // Appends every mesh of a 3DS data file (archive first), in file order;
    // see load_3ds_bytes for what is rejected.
    void load_3ds(const char* file_name);
    // Draws one frame into the caller's buffers (render/render_pass.cpp).
    void render_scene(Camera* camera, uint32_t* depth_buffer, uint32_t* frame_buffer);
};

// The 3DS chunk walk over a whole file already in memory (Scene::load_3ds
// reads the file and calls it; so does the fuzzer).  Meshes are appended to
// the scene in file order (those read before a rejection stay there).  Ends
// in fatal_error "El archivo \"<name>\" no es un archivo 3ds válido" when the
// first id is not the main chunk, when the data is too short for its first
// header, when a chunk length is below its header (a named object's own
// length is never used), when a mesh chunk runs past the end or a chunk
// inside a mesh past the mesh, when a list runs past its mesh, when a face
// names a vertex at or beyond the count, and when faces come before the
// vertices they index.  Data cut short after whole meshes is not an error:
// the walk stops where the bytes left (up to the main chunk's length or the
// end of the data, whichever comes first) cannot hold the next header, name
// or stepped-over chunk, keeping every mesh read.  A main chunk of 6 bytes or
// less (its length below its header included) adds nothing and is not an
// error.
void load_3ds_bytes(Scene& scene, const uint8_t* data, size_t size, const char* name);
