// The 3DS loader: the chunk walk on files built in memory, every rejection,
// the file entry point, and the 3DS models of the system's test-model package.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "test_support.h"

namespace {

// Writes chunk trees: open() starts a chunk and close() patches its length.
struct Chunks {
    std::vector<uint8_t> b;
    void u16(uint32_t v) { b.insert(b.end(), { uint8_t(v), uint8_t(v >> 8) }); }
    void u32(uint32_t v) { b.insert(b.end(), { uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24) }); }
    void f32(float f)
    {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        u32(v);
    }
    size_t open(uint16_t id)
    {
        const size_t at = b.size();
        u16(id);
        u32(0);
        return at;
    }
    void close(size_t at) { set_length(at, uint32_t(b.size() - at)); }
    void set_length(size_t at, uint32_t length) { std::memcpy(&b[at + 2], &length, 4); }
    void name(const char* s) { b.insert(b.end(), s, s + std::strlen(s) + 1); }
    void vertices(std::initializer_list<Vector> points)
    {
        const size_t c = open(0x4110);
        u16(uint32_t(points.size()));
        for (const Vector& p : points) {
            f32(p.x);
            f32(p.y);
            f32(p.z);
        }
        close(c);
    }
    void faces(std::initializer_list<std::array<uint16_t, 4>> list)
    {
        const size_t c = open(0x4120);
        u16(uint32_t(list.size()));
        for (const auto& f : list)
            for (uint16_t v : f)
                u16(v);
        close(c);
    }
    // A named object holding a mesh with one triangle, offset by x.
    void triangle_object(const char* object_name, float x)
    {
        const size_t o = open(0x4000);
        name(object_name);
        const size_t m = open(0x4100);
        vertices({ { x, 0, 0 }, { x + 1, 0, 0 }, { x, 1, 0 } });
        faces({ { 0, 1, 2, 7 } });
        close(m);
        close(o);
    }
};

// main { editor { ...body... } }
template <class Body>
std::vector<uint8_t> file_with(Body body)
{
    Chunks c;
    const size_t main = c.open(0x4D4D);
    const size_t editor = c.open(0x3D3D);
    body(c);
    c.close(editor);
    c.close(main);
    return c.b;
}

std::string load_message(Scene& scene, const std::vector<uint8_t>& bytes)
{
    return fatal_message_of([&] { load_3ds_bytes(scene, bytes.data(), bytes.size(), "m.3ds"); });
}

const std::string INVALID = "El archivo \"m.3ds\" no es un archivo 3ds válido";

}  // namespace

TEST(Load3ds, OneMeshAxisMappingAndDefaults)
{
    Scene scene;
    const auto bytes = file_with([](Chunks& c) {
        const size_t o = c.open(0x4000);
        c.name("Box01");
        const size_t m = c.open(0x4100);
        c.vertices({ { 1, 2, 3 }, { 4, 5, 6 }, { 7, 8, 10 } });
        // Mapping coordinates and local axes are passed by.
        const size_t uv = c.open(0x4140);
        c.u16(3);
        for (int i = 0; i < 6; ++i)
            c.f32(0.5f);
        c.close(uv);
        const size_t axes = c.open(0x4160);
        for (int i = 0; i < 12; ++i)
            c.f32(1);
        c.close(axes);
        const size_t f = c.open(0x4120);
        c.u16(2);
        for (uint16_t v : { 0, 1, 2, 0xFFFF, 2, 1, 0, 0 })  // the fourth word has no effect
            c.u16(v);
        const size_t material = c.open(0x4130);  // nested in the face list
        c.name("Material");
        c.u16(0);
        c.close(material);
        c.close(f);
        c.close(m);
        c.close(o);
    });
    EXPECT_EQ(load_message(scene, bytes), "");
    ASSERT_EQ(scene.object_count, 1);
    const Object* o = scene.objects[0];
    ASSERT_EQ(o->vertex_count, 3u);
    ASSERT_EQ(o->face_count, 2u);
    EXPECT_EQ(o->vertices[0].position.x, 1.0f);
    EXPECT_EQ(o->vertices[0].position.y, -3.0f);
    EXPECT_EQ(o->vertices[0].position.z, 2.0f);
    EXPECT_EQ(o->faces[0].vertices[1], &o->vertices[1]);
    EXPECT_EQ(o->faces[1].vertices[0], &o->vertices[2]);
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(o->faces[0].uv[k], 0.0f);
    EXPECT_EQ(o->mode, MODE_GOURAUD);
    EXPECT_EQ(o->colour, 0x00FFFFFFu);
    EXPECT_EQ(o->texture_size, current_texture_size);
    EXPECT_EQ(o->bounds[MAX_X], 7.0f);
    EXPECT_EQ(o->bounds[MIN_Y], -10.0f);
}

TEST(Load3ds, MeshesAppendInFileOrderAfterExistingObjects)
{
    Scene scene;
    Object* existing = create_object(0, 0);
    scene.add_object(existing);
    const auto bytes = file_with([](Chunks& c) {
        c.triangle_object("a", 10);
        // A keyframer chunk of any content is stepped over by its length.
        const size_t k = c.open(0xB000);
        c.u32(0x41004000);
        c.u32(0xFFFFFFFF);
        c.close(k);
        c.triangle_object("b", 20);
    });
    EXPECT_EQ(load_message(scene, bytes), "");
    ASSERT_EQ(scene.object_count, 3);
    EXPECT_EQ(scene.objects[0], existing);
    EXPECT_EQ(scene.objects[1]->vertices[0].position.x, 10.0f);
    EXPECT_EQ(scene.objects[2]->vertices[0].position.x, 20.0f);
}

TEST(Load3ds, ManyMeshesKeepTheirOrderAndContent)
{
    // Enough meshes for the object list to grow many times over, with empty
    // meshes between the triangles: every object in file order, none lost.
    constexpr int COUNT = 1500;
    Scene scene;
    Object* existing = create_object(0, 0);
    scene.add_object(existing);
    const auto bytes = file_with([](Chunks& c) {
        for (int i = 0; i < COUNT; ++i) {
            if (i % 3 == 0) {
                const size_t o = c.open(0x4000);
                c.name("vacia");
                c.close(c.open(0x4100));
                c.close(o);
            } else {
                c.triangle_object("t", float(i));
            }
        }
    });
    EXPECT_EQ(load_message(scene, bytes), "");
    ASSERT_EQ(scene.object_count, COUNT + 1);
    EXPECT_EQ(scene.objects[0], existing);
    for (int i = 0; i < COUNT; ++i) {
        const Object* o = scene.objects[i + 1];
        if (i % 3 == 0) {
            EXPECT_EQ(o->vertex_count, 0u) << i;
        } else {
            ASSERT_EQ(o->vertex_count, 3u) << i;
            EXPECT_EQ(o->vertices[0].position.x, float(i)) << i;
        }
    }
    // Emptied, the list starts again from nothing and grows the same way.
    scene.clear();
    EXPECT_EQ(load_message(scene, bytes), "");
    ASSERT_EQ(scene.object_count, COUNT);
    EXPECT_EQ(scene.objects[COUNT - 1]->vertices[0].position.x, float(COUNT - 1));
}

TEST(Load3ds, NamedObjectGivesOnlyItsFirstNestedChunk)
{
    for (uint16_t first : { 0x4600, 0x4700, 0x4010 }) {
        Scene scene;
        const auto bytes = file_with([first](Chunks& c) {
            const size_t o = c.open(0x4000);
            c.name("Light01");
            const size_t l = c.open(first);
            c.f32(1);
            c.f32(2);
            c.f32(3);
            c.close(l);
            // A mesh later inside the same named object is not taken.
            const size_t m = c.open(0x4100);
            c.vertices({ { 0, 0, 0 } });
            c.close(m);
            c.close(o);
        });
        EXPECT_EQ(load_message(scene, bytes), "");
        EXPECT_EQ(scene.object_count, 0) << std::hex << first;
    }
}

TEST(Load3ds, NamedObjectLengthIsNotUsed)
{
    // After its first nested chunk the walk goes on as if at the top, so an
    // object nested after that chunk is found, whatever the length says.
    for (uint32_t length : { 0u, 6u, 0x7FFFFFFFu, 0xFFFFFFFFu }) {
        Scene scene;
        const auto bytes = file_with([length](Chunks& c) {
            const size_t o = c.open(0x4000);
            c.name("Outer");
            const size_t m = c.open(0x4100);
            c.vertices({ { 1, 0, 0 } });
            c.close(m);
            c.triangle_object("Inner", 5);
            c.set_length(o, length);
        });
        EXPECT_EQ(load_message(scene, bytes), "");
        ASSERT_EQ(scene.object_count, 2) << length;
        EXPECT_EQ(scene.objects[0]->vertex_count, 1u);
        EXPECT_EQ(scene.objects[1]->vertices[0].position.x, 5.0f);
    }
}

TEST(Load3ds, MainChunkChecks)
{
    Scene scene;
    // No main chunk.
    Chunks editor;
    editor.close(editor.open(0x3D3D));
    EXPECT_EQ(load_message(scene, editor.b), INVALID);
    // Too short for the first header.
    EXPECT_EQ(load_message(scene, { 0x4D, 0x4D, 6, 0, 0 }), INVALID);
    EXPECT_EQ(load_message(scene, {}), INVALID);
    // A main chunk of 6 bytes or less (negative lengths too) is empty; bytes
    // after its header are not read.
    for (uint8_t length : { 6, 5, 0 })
        EXPECT_EQ(load_message(scene, { 0x4D, 0x4D, length, 0, 0, 0, 0xFF, 0xFF, 1 }), "") << int(length);
    EXPECT_EQ(load_message(scene, { 0x4D, 0x4D, 0xFF, 0xFF, 0xFF, 0xFF, 0x3D, 0x3D }), "");
    EXPECT_EQ(scene.object_count, 0);
    // A length beyond the end of the file: read as far as the file goes.
    EXPECT_EQ(load_message(scene, { 0x4D, 0x4D, 7, 0, 0, 0 }), "");
    // A mesh cut by the end of the file is refused.
    auto truncated = file_with([](Chunks& c) { c.triangle_object("a", 0); });
    truncated.pop_back();
    EXPECT_EQ(load_message(scene, truncated), INVALID);
    EXPECT_EQ(scene.object_count, 0);
}

TEST(Load3ds, MalformedChunksAreRejected)
{
    struct Case {
        const char* what;
        void (*body)(Chunks&);
    };
    const Case cases[] = {
        { "chunk shorter than its header",
          [](Chunks& c) { c.set_length(c.open(0xB000), 5); } },
        { "first nested chunk longer than what is left",
          [](Chunks& c) {
              c.open(0x4000);
              c.name("x");
              c.set_length(c.open(0x4100), 50);
          } },
        { "mesh sub-chunk shorter than its header",
          [](Chunks& c) {
              c.open(0x4000);
              c.name("x");
              const size_t m = c.open(0x4100);
              c.set_length(c.open(0x4160), 2);
              c.close(m);
          } },
        { "vertex list longer than the mesh",
          [](Chunks& c) {
              c.open(0x4000);
              c.name("x");
              const size_t m = c.open(0x4100);
              const size_t v = c.open(0x4110);
              c.u16(2);
              c.f32(0), c.f32(0), c.f32(0);
              c.close(v);
              c.close(m);
          } },
        { "face index at the vertex count",
          [](Chunks& c) {
              c.open(0x4000);
              c.name("x");
              const size_t m = c.open(0x4100);
              c.vertices({ { 0, 0, 0 }, { 1, 0, 0 }, { 0, 1, 0 } });
              c.faces({ { 0, 1, 3, 0 } });
              c.close(m);
          } },
        { "face list before the vertex list",
          [](Chunks& c) {
              c.open(0x4000);
              c.name("x");
              const size_t m = c.open(0x4100);
              c.faces({ { 0, 0, 0, 0 } });
              c.vertices({ { 0, 0, 0 } });
              c.close(m);
          } },
        { "second vertex list after the faces",
          [](Chunks& c) {
              c.open(0x4000);
              c.name("x");
              const size_t m = c.open(0x4100);
              c.vertices({ { 0, 0, 0 } });
              c.faces({ { 0, 0, 0, 0 } });
              c.vertices({ { 0, 0, 0 } });
              c.close(m);
          } },
        { "mapping list longer than the mesh",
          [](Chunks& c) {
              c.open(0x4000);
              c.name("x");
              const size_t m = c.open(0x4100);
              const size_t uv = c.open(0x4140);
              c.u16(100);
              c.close(uv);
              c.close(m);
          } },
    };
    for (const Case& k : cases) {
        Scene scene;
        const auto bytes = file_with([&](Chunks& c) {
            c.triangle_object("before", 1);  // loaded, then kept by the scene
            k.body(c);
        });
        EXPECT_EQ(load_message(scene, bytes), INVALID) << k.what;
        EXPECT_EQ(scene.object_count, 1) << k.what;
    }
}

TEST(Load3ds, DataCutAfterWholeMeshesKeepsThemAndStopsQuietly)
{
    // Two whole meshes, then the data ends inside whatever follows: every
    // mesh read is kept and the walk stops without an error.
    const auto two_meshes_then = [](void (*rest)(Chunks&)) {
        Chunks c;
        const size_t main = c.open(0x4D4D);
        const size_t editor = c.open(0x3D3D);
        c.triangle_object("a", 1);
        c.triangle_object("b", 2);
        c.close(editor);
        rest(c);
        c.close(main);
        return c.b;
    };
    const auto expect_two = [](const std::vector<uint8_t>& bytes, const char* what) {
        Scene scene;
        EXPECT_EQ(load_message(scene, bytes), "") << what;
        ASSERT_EQ(scene.object_count, 2) << what;
        EXPECT_EQ(scene.objects[0]->vertices[0].position.x, 1.0f) << what;
        EXPECT_EQ(scene.objects[1]->vertices[0].position.x, 2.0f) << what;
        EXPECT_EQ(scene.objects[1]->face_count, 1u) << what;
    };
    // A keyframer block of 200 bytes cut after 50 of them: the main chunk's
    // length and the block's say more than the data holds.
    auto keyframes = two_meshes_then([](Chunks& c) {
        const size_t k = c.open(0xB000);
        for (int i = 0; i < 200; ++i)
            c.b.push_back(uint8_t(i));
        c.close(k);
    });
    keyframes.resize(keyframes.size() - 150);
    expect_two(keyframes, "keyframer block cut");
    // Two pad bytes at the end of the main chunk, too short for a header.
    expect_two(two_meshes_then([](Chunks& c) { c.u16(0); }), "two pad bytes");
    // A main chunk whose length says 100 bytes more than the data.
    auto longer = two_meshes_then([](Chunks&) {});
    uint32_t length;
    std::memcpy(&length, &longer[2], 4);
    EXPECT_EQ(length, longer.size());
    length += 100;
    std::memcpy(&longer[2], &length, 4);
    expect_two(longer, "main length 100 more");
    // A chunk that only says it is longer than the main chunk, a header cut
    // by the main chunk's end, a name without its zero byte, a light cut
    // inside: each is the end of the data, not an error.
    expect_two(two_meshes_then([](Chunks& c) { c.set_length(c.open(0xB000), 100); }), "chunk past the main chunk");
    expect_two(two_meshes_then([](Chunks& c) { c.u16(0xB000); }), "header cut");
    expect_two(two_meshes_then([](Chunks& c) {
                   c.open(0x4000);
                   c.b.push_back('A');
               }),
               "name cut");
    expect_two(two_meshes_then([](Chunks& c) {
                   c.open(0x4000);
                   c.name("lamp");
                   c.set_length(c.open(0x4600), 40);
                   c.f32(1);
               }),
               "light cut");

    // From a file too: the main length 100 more than the file.
    const std::string path = std::string(YURN_BINARY_DIR) + "/test_engine_3ds_cut.3ds";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(keyframes.data(), 1, keyframes.size(), f);
    std::fclose(f);
    Scene from_file;
    EXPECT_EQ(fatal_message_of([&] { from_file.load_3ds(path.c_str()); }), "");
    EXPECT_EQ(from_file.object_count, 2);

    // A mesh that is itself cut is still refused; the whole one before it stays.
    for (size_t cut : { 1u, 8u, 20u }) {
        auto bytes = two_meshes_then([](Chunks&) {});
        bytes.resize(bytes.size() - cut);
        Scene scene;
        EXPECT_EQ(load_message(scene, bytes), INVALID) << cut;
        EXPECT_EQ(scene.object_count, 1) << cut;
    }
}

TEST(Load3ds, SoundButUnusualMeshes)
{
    Scene scene;
    const auto bytes = file_with([](Chunks& c) {
        // A mesh without lists becomes an empty object.
        const size_t o = c.open(0x4000);
        c.name("empty");
        c.close(c.open(0x4100));
        c.close(o);
        // A later face list replaces an earlier one; a named object may end
        // the file right after its name.
        const size_t p = c.open(0x4000);
        c.name("twice");
        const size_t m = c.open(0x4100);
        c.vertices({ { 0, 0, 0 }, { 1, 0, 0 }, { 0, 1, 0 } });
        c.faces({ { 0, 1, 2, 0 } });
        c.faces({ { 2, 1, 0, 0 }, { 0, 1, 2, 0 } });
        c.close(m);
        c.close(p);
        c.open(0x4000);
        c.name("last");
    });
    EXPECT_EQ(load_message(scene, bytes), "");
    ASSERT_EQ(scene.object_count, 2);
    EXPECT_EQ(scene.objects[0]->vertex_count, 0u);
    EXPECT_EQ(scene.objects[0]->bounds[MIN_X], 16777216.0f);
    ASSERT_EQ(scene.objects[1]->face_count, 2u);
    EXPECT_EQ(scene.objects[1]->faces[0].vertices[0], &scene.objects[1]->vertices[2]);
}

TEST(Load3ds, FromAFile)
{
    const std::string path = std::string(YURN_BINARY_DIR) + "/test_engine_3ds_two.3ds";
    auto bytes = file_with([](Chunks& c) {
        c.triangle_object("a", 1);
        c.triangle_object("b", 2);
    });
    bytes.insert(bytes.end(), { 'j', 'u', 'n', 'k' });  // after the main chunk: not read
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    Scene scene;
    scene.load_3ds(path.c_str());
    EXPECT_EQ(scene.object_count, 2);
    EXPECT_EQ(fatal_message_of([&] { scene.load_3ds("tests/data/engine/missing.3ds"); }),
              "No puedo abrir el archivo \"tests/data/engine/missing.3ds\"");
}

TEST(Load3ds, ModelsOfTheTestModelPackage)
{
    const std::filesystem::path root = "/usr/share/assimp/models";
    if (!std::filesystem::is_directory(root))
        GTEST_SKIP() << "assimp-testmodels is not installed";
    int loaded = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return std::tolower(ch); });
        if (!entry.is_regular_file() || ext != ".3ds")
            continue;
        const std::string path = entry.path().string();
        Scene scene;
        const std::string message = fatal_message_of([&] { scene.load_3ds(path.c_str()); });
        if (message.empty())
            ++loaded;
        else
            EXPECT_EQ(message, "El archivo \"" + path + "\" no es un archivo 3ds válido");
    }
    EXPECT_GE(loaded, 9);

    // Counts checked by hand against the chunk lists of the files.
    struct Expected {
        const char* file;
        int32_t objects;
        uint32_t vertices, faces;
    };
    for (const Expected& e : { Expected{ "3DS/fels.3ds", 1, 386, 768 }, Expected{ "3DS/test1.3ds", 9, 32, 12 },
                               Expected{ "3DS/cubes_with_alpha.3DS", 5, 26, 12 },
                               Expected{ "3DS/CameraRollAnimWithChildObject.3ds", 2, 26, 12 } }) {
        Scene scene;
        scene.load_3ds((root / e.file).c_str());
        ASSERT_EQ(scene.object_count, e.objects) << e.file;
        for (int32_t i = 0; i < scene.object_count; ++i) {
            EXPECT_EQ(scene.objects[i]->vertex_count, e.vertices) << e.file;
            EXPECT_EQ(scene.objects[i]->face_count, e.faces) << e.file;
        }
    }
}
