// The 3DS loader: walks the chunk tree for triangle meshes and appends each
// one, finished, to a Scene.  Only positions and triangles are taken; names,
// materials, mapping coordinates, lights, cameras and keyframes are passed by.
//
// The walk is deliberately shallow: 0x3D3D is entered by reading its header
// only, a named object (0x4000) gives its name and its first nested chunk and
// nothing else (its own length is never used), and a mesh body is walked by
// the sizes of its lists.  Every length and count is checked against what is
// left of the bytes that hold it before it is used.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "display/error.h"
#include "engine/engine.h"
#include "engine/engine_local.h"
#include "files/files.h"
#include "files/little_endian.h"

namespace {

constexpr uint16_t CHUNK_MAIN = 0x4D4D;
constexpr uint16_t CHUNK_EDITOR = 0x3D3D;
constexpr uint16_t CHUNK_NAMED_OBJECT = 0x4000;
constexpr uint16_t CHUNK_MESH = 0x4100;
constexpr uint16_t CHUNK_VERTICES = 0x4110;
constexpr uint16_t CHUNK_FACES = 0x4120;
constexpr uint16_t CHUNK_MAPPING = 0x4140;
constexpr int64_t HEADER_SIZE = 6;

// One bounded reader over bytes in memory: a cursor and the end of the region
// it may read.  Every short read rejects the file.
struct ChunkReader {
    const uint8_t* data;
    int64_t pos;
    int64_t end;
    const char* name;
};

[[noreturn]] void reject(const char* name)
{
    fatal_error("El archivo \"%s\" no es un archivo 3ds válido", name);
}

int64_t left(const ChunkReader& r) { return r.end - r.pos; }

void need(const ChunkReader& r, int64_t bytes)
{
    if (bytes < 0 || bytes > left(r))
        reject(r.name);
}

uint16_t read_u16(ChunkReader& r)
{
    need(r, 2);
    const uint8_t* p = r.data + r.pos;
    r.pos += 2;
    return read_le16(p);
}

uint32_t read_u32(ChunkReader& r)
{
    need(r, 4);
    const uint8_t* p = r.data + r.pos;
    r.pos += 4;
    return read_le32(p);
}

float read_float(ChunkReader& r)
{
    const uint32_t bits = read_u32(r);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// A chunk header as stored: id and the body length its length word gives
// (the word is a signed count that includes the header).
int64_t read_raw_header(ChunkReader& r, uint16_t* id)
{
    need(r, HEADER_SIZE);
    *id = read_u16(r);
    return int64_t(static_cast<int32_t>(read_u32(r))) - HEADER_SIZE;
}

// A chunk header whose length is checked: it covers the header and the body
// fits in what is left of the parent.
int64_t read_header(ChunkReader& r, uint16_t* id)
{
    const int64_t body = read_raw_header(r, id);
    need(r, body);
    return body;
}

// A mesh chunk's body: vertex list, face list (then the chunks nested in it),
// mapping coordinates and anything else, in any order, walked by offset.
void read_mesh(Scene& scene, ChunkReader r)
{
    ObjectPtr object(create_object(0, 0));
    object->texture_size = current_texture_size;
    bool have_vertices = false;
    while (left(r) > 0) {
        uint16_t id;
        const int64_t body = read_header(r, &id);
        if (id == CHUNK_VERTICES) {
            const uint16_t n = read_u16(r);
            need(r, 12 * int64_t(n));
            // A second list would leave the faces pointing into the first.
            if (object->face_count)
                reject(r.name);
            std::free(object->vertices);
            object->vertices = nullptr;
            object->vertex_count = 0;
            object->vertices = allocate_vertices(n);
            object->vertex_count = n;
            for (uint32_t i = 0; i < n; ++i) {
                Vector& p = object->vertices[i].position;
                p.x = read_float(r);
                const float y = read_float(r);
                p.y = -read_float(r);
                p.z = y;
            }
            have_vertices = true;
        } else if (id == CHUNK_FACES) {
            if (!have_vertices)
                reject(r.name);
            const uint16_t n = read_u16(r);
            need(r, 8 * int64_t(n));
            std::free(object->faces);
            object->faces = nullptr;
            object->face_count = 0;
            object->faces = allocate_faces(n);
            object->face_count = n;
            for (uint32_t i = 0; i < n; ++i) {
                for (Vertex*& corner : object->faces[i].vertices) {
                    const uint16_t index = read_u16(r);
                    if (index >= object->vertex_count)
                        reject(r.name);
                    corner = &object->vertices[index];
                }
                read_u16(r);  // edge flags: no effect
            }
            // The material and smoothing chunks nested in the face list come
            // next in this same walk.
        } else if (id == CHUNK_MAPPING) {
            const uint16_t n = read_u16(r);
            need(r, 8 * int64_t(n));
            r.pos += 8 * int64_t(n);  // not stored: faces keep uv zero
        } else {
            r.pos += body;
        }
    }
    finish_object(object.get());
    scene.add_object(object.get());
    object.release();
}

}  // namespace

void load_3ds_bytes(Scene& scene, const uint8_t* data, size_t size, const char* name)
{
    ChunkReader file = { data, 0, static_cast<int64_t>(size), name };
    if (left(file) < HEADER_SIZE)
        reject(name);
    uint16_t id;
    const int64_t main_body = read_raw_header(file, &id);
    if (id != CHUNK_MAIN)
        reject(name);
    // A main chunk of 6 bytes or less (a negative length included) holds
    // nothing: the walk finishes before reading anything more.
    if (main_body <= 0)
        return;
    // The walk stays inside the main chunk; bytes after it are not read.  A
    // file cut short (or a main length that says more than the file holds)
    // is read as far as it goes.
    ChunkReader r = { data, file.pos, file.pos + std::min(main_body, left(file)), name };
    // The walk ends quietly where the bytes left cannot hold what comes next:
    // pad bytes shorter than a header, or a chunk, a name or a first nested
    // chunk running past the end.  Every mesh read whole before that is kept.
    // A mesh body that is itself cut is refused (read_mesh would otherwise
    // add half a mesh), as is a length below its own header anywhere.
    while (left(r) >= HEADER_SIZE) {
        // A named object's own length is never used, so it is not checked.
        const int64_t body = read_raw_header(r, &id);
        if (id == CHUNK_EDITOR)
            continue;  // its chunks are read next, as if they were at the top
        if (id != CHUNK_NAMED_OBJECT) {
            if (body < 0)
                reject(name);
            if (body > left(r))
                break;  // cut inside a chunk that is only stepped over
            r.pos += body;
            continue;
        }
        // Named object: the name up to its zero byte, then the first chunk.
        const void* zero = std::memchr(r.data + r.pos, 0, size_t(left(r)));
        if (!zero)
            break;  // cut inside the name
        r.pos = static_cast<const uint8_t*>(zero) - r.data + 1;
        if (left(r) < HEADER_SIZE)
            break;
        uint16_t first_id;
        const int64_t first_body = read_raw_header(r, &first_id);
        if (first_body < 0)
            reject(name);
        if (first_id == CHUNK_MESH) {
            need(r, first_body);  // a cut mesh is refused
            read_mesh(scene, ChunkReader{ data, r.pos, r.pos + first_body, name });
        } else if (first_body > left(r)) {
            break;  // cut inside a light, a camera or anything else passed by
        }
        r.pos += first_body;
    }
}

void Scene::load_3ds(const char* file_name)
{
    File file(open_data_file(file_name, "r"));
    if (!file)
        fatal_error("No puedo abrir el archivo \"%s\"", file_name);
    // Only the main chunk is read: its header, then up to its length in
    // blocks, so a wrong length in a short file costs no more than the file.
    std::vector<uint8_t> bytes(HEADER_SIZE);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
    if (bytes.size() == size_t(HEADER_SIZE)) {
        const int64_t length = static_cast<int32_t>(read_le32(bytes.data() + 2));
        uint8_t block[65536];
        while (int64_t(bytes.size()) < length) {
            const size_t want = size_t(std::min<int64_t>(length - int64_t(bytes.size()), sizeof block));
            const size_t got = std::fread(block, 1, want, file.get());
            if (got == 0)
                break;
            bytes.insert(bytes.end(), block, block + got);
        }
    }
    file.reset();
    load_3ds_bytes(*this, bytes.data(), bytes.size(), file_name);
}
