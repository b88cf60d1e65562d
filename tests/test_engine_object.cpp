// Objects, lights, the camera and the Scene: creation and finishing, normals,
// bounds, placement under parents, mappings, the lists and their growth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <malloc.h>

#include "engine/engine.h"
#include "test_support.h"

namespace {

constexpr double PI = 3.141592653589793;

// A unit cube in engine space: vertex i has x = bit 0, y = bit 1, z = bit 2.
// Each side is a quad (a, b, c, d) wound outward, split into (a, b, c) and
// (a, c, d), so a and c touch two of the side's triangles, b and d one.
ObjectPtr make_cube()
{
    static const int quads[6][4] = { { 0, 2, 3, 1 }, { 4, 5, 7, 6 }, { 0, 4, 6, 2 },
                                     { 1, 3, 7, 5 }, { 0, 1, 5, 4 }, { 2, 6, 7, 3 } };
    ObjectPtr cube(create_object(8, 12));
    for (int i = 0; i < 8; ++i)
        cube->vertices[i].position = { float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1) };
    for (int q = 0; q < 6; ++q) {
        const int* v = quads[q];
        Face* f = &cube->faces[q * 2];
        f[0].vertices[0] = &cube->vertices[v[0]];
        f[0].vertices[1] = &cube->vertices[v[1]];
        f[0].vertices[2] = &cube->vertices[v[2]];
        f[1].vertices[0] = &cube->vertices[v[0]];
        f[1].vertices[1] = &cube->vertices[v[2]];
        f[1].vertices[2] = &cube->vertices[v[3]];
    }
    finish_object(cube.get());
    return cube;
}

void expect_vector_near(const Vector& a, const Vector& b, float tolerance = 1e-6f)
{
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

}  // namespace

TEST(ObjectFinish, EmptyObjectKeepsStartBoundsAndGetsDefaults)
{
    ObjectPtr o(create_object(0, 0));
    ASSERT_TRUE(o);
    finish_object(o.get());
    EXPECT_EQ(o->bounds[MIN_X], 16777216.0f);
    EXPECT_EQ(o->bounds[MAX_Z], -16777216.0f);
    EXPECT_EQ(o->mode, MODE_GOURAUD);
    EXPECT_EQ(o->colour, 0x00FFFFFFu);
    EXPECT_EQ(o->ambient, 0.2f);
    EXPECT_EQ(o->diffuse, 0.6f);
    EXPECT_EQ(o->specular, 0.8f);
    EXPECT_EQ(o->two_sided, 0);
    EXPECT_EQ(o->child_count, 0u);
    EXPECT_EQ(o->texture, nullptr);
}

TEST(ObjectFinish, CubeFaceAndVertexNormals)
{
    ObjectPtr cube = make_cube();
    // Side -z: outward normal, plane constant through its first corner.
    expect_vector_near(cube->faces[0].normal, { 0, 0, -1 });
    EXPECT_EQ(cube->faces[0].distance, 0.0f);
    expect_vector_near(cube->faces[2].normal, { 0, 0, 1 });
    EXPECT_EQ(cube->faces[2].distance, 1.0f);
    // Corner 0 and 7 are the a / c corners of three sides: two triangles each.
    const float s3 = float(1 / std::sqrt(3.0)), s6 = float(1 / std::sqrt(6.0));
    expect_vector_near(cube->vertices[0].normal, { -s3, -s3, -s3 });
    expect_vector_near(cube->vertices[7].normal, { s3, s3, s3 });
    // Corner 1: two triangles of +x, one of -z and one of -y.
    expect_vector_near(cube->vertices[1].normal, { 2 * s6, -s6, -s6 });
    // Corner 2: two triangles of +y, one of -z and one of -x.
    expect_vector_near(cube->vertices[2].normal, { -s6, 2 * s6, -s6 });
}

TEST(ObjectFinish, UnusedVertexAndDegenerateFaceStayFinite)
{
    ObjectPtr o(create_object(4, 1));
    o->vertices[0].position = { 1, 1, 1 };
    o->vertices[1].position = { 1, 1, 1 };
    o->vertices[2].position = { 2, 2, 2 };
    o->vertices[3].position = { 5, 5, 5 };
    for (int i = 0; i < 3; ++i)
        o->faces[0].vertices[i] = &o->vertices[i];
    finish_object(o.get());
    expect_vector_near(o->faces[0].normal, { 0, 0, 0 }, 0);
    expect_vector_near(o->vertices[3].normal, { 0, 0, 0 }, 0);
}

TEST(ObjectBounds, BoxCornersInTableOrder)
{
    ObjectPtr o(create_object(2, 0));
    o->vertices[0].position = { -1, -2, -3 };
    o->vertices[1].position = { 4, 5, 6 };
    compute_bounds(o.get());
    const float expected[6] = { -1, 4, -2, 5, -3, 6 };
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(o->bounds[i], expected[i]);
    expect_vector_near(o->box[0], { -1, 5, -3 }, 0);
    expect_vector_near(o->box[1], { 4, 5, -3 }, 0);
    expect_vector_near(o->box[2], { 4, -2, -3 }, 0);
    expect_vector_near(o->box[3], { -1, -2, -3 }, 0);
    expect_vector_near(o->box[4], { -1, 5, 6 }, 0);
    expect_vector_near(o->box[6], { 4, -2, 6 }, 0);
    expect_vector_near(o->box[7], { -1, -2, 6 }, 0);

    // Through a translation the view box and view bounds move with it.
    o->model_view = rotation_matrix(0, 0, 0, 10, 0, 0);
    transform_bounds(o.get());
    expect_vector_near(o->view_box[0], { 9, 5, -3 }, 0);
    EXPECT_EQ(o->bounds[MIN_X], 9.0f);
    EXPECT_EQ(o->bounds[MAX_X], 14.0f);
}

TEST(ObjectPlacement, ChildUnderTurnedParent)
{
    ObjectPtr parent = make_cube();
    Object* child = make_cube().release();
    add_child(parent.get(), child);
    parent->angles = { 0, 0, static_cast<float>(PI / 2) };
    child->position = { 10, 0, 0 };
    build_model_matrix(parent.get(), nullptr);
    build_model_matrix(child, &parent->model);
    const Vector origin = transform_point({ 0, 0, 0 }, child->model);
    EXPECT_NEAR(origin.x, 0.0f, 1e-5f);
    EXPECT_NEAR(origin.y, 10.0f, 1e-5f);
    EXPECT_NEAR(origin.z, 0.0f, 1e-5f);
}

TEST(ObjectPlacement, TransformVerticesClearsStateAndFillsNormalsOnlyInEnvironmentMode)
{
    ObjectPtr o = make_cube();
    o->model_view = rotation_matrix(0, 0, 0, 0, -1, 2);
    for (uint32_t i = 0; i < o->vertex_count; ++i) {
        o->vertices[i].state = 0xFF;
        o->vertices[i].transformed_normal = { 7, 7, 7 };
    }
    transform_vertices(o.get());
    EXPECT_EQ(o->vertices[0].state, 0xFC);
    expect_vector_near(o->vertices[7].transformed, { 1, 2, 3 }, 0);
    expect_vector_near(o->vertices[0].transformed_normal, { 7, 7, 7 }, 0);

    o->mode = MODE_ENVIRONMENT;
    transform_vertices(o.get());
    // The translation row is added to the normal as to a point.
    const Vector n = o->vertices[0].normal;
    expect_vector_near(o->vertices[0].transformed_normal, { n.x, n.y + 1, n.z + 2 });
}

TEST(ObjectMapping, SphericalAndNormal)
{
    ObjectPtr o(create_object(2, 0));
    o->vertices[0].position = { 0, 0, -1 };
    o->vertices[1].position = { 0, 0, 1 };
    spherical_mapping(o.get(), 256);
    EXPECT_EQ(o->vertices[0].u, 256.0f);
    EXPECT_EQ(o->vertices[0].v, 256.0f);
    EXPECT_EQ(o->vertices[1].u, 128.0f);
    EXPECT_EQ(o->vertices[1].v, 128.0f);

    o->vertices[0].transformed_normal = { 0.5f, -0.25f, 0 };
    normal_mapping(o.get(), 256);
    EXPECT_EQ(o->vertices[0].u, 127.5f);
    EXPECT_EQ(o->vertices[0].v, 63.75f);
}

TEST(LightAndCamera, PositionsIntoObjectSpace)
{
    Light light{};
    light.position = { 1, 2, 3 };
    const Matrix inverse = rotation_matrix(0, 0, 0, -1, 0, 0);
    light_to_object(&light, inverse);
    expect_vector_near(light.local_position, { 0, -2, 3 }, 0);

    Camera camera{};
    camera.position = { 0, 5, -10 };
    camera.fov = 90;
    camera_to_object(&camera, inverse);
    expect_vector_near(camera.local_position, { -1, -5, -10 }, 0);

    update_camera(&camera);
    // The eye goes to the view origin; a point ahead of it gets depth 10.
    expect_vector_near(transform_point({ 0, -5, -10 }, camera.view), { 0, 0, 0 }, 0);
    const Vector p = transform_point({ 1, -5, 0 }, camera.view_projection);
    EXPECT_FLOAT_EQ(p.x, 1.0f);
    EXPECT_FLOAT_EQ(p.z, 10.0f);
    EXPECT_FLOAT_EQ(camera.view_projection.m[4], 1.3333334f);
}

TEST(ObjectLists, ChildrenGrowInOrder)
{
    ObjectPtr parent(create_object(0, 0));
    Object* kids[3];
    for (Object*& k : kids) {
        k = create_object(0, 0);
        add_child(parent.get(), k);
    }
    ASSERT_EQ(parent->child_count, 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(parent->children[i], kids[i]);
}

TEST(ObjectLists, CountsTooLargeForMemoryAreReported)
{
    EXPECT_EQ(fatal_message_of([] { create_object(0xFFFFFFFFu, 1); }),
              "Error reservando memoria para vértices o planos");
    EXPECT_EQ(fatal_message_of([] { create_object(1, 0xFFFFFFFFu); }),
              "Error reservando memoria para vértices o planos");
}

TEST(SceneLists, ObjectsLightsAndClear)
{
    Scene scene;
    EXPECT_EQ(scene.object_count, 0);
    Object* a = create_object(0, 0);
    Object* b = create_object(0, 0);
    scene.add_object(a);
    scene.add_object(b);
    ASSERT_EQ(scene.object_count, 2);
    EXPECT_EQ(scene.objects[0], a);
    EXPECT_EQ(scene.objects[1], b);

    Light l1{}, l2{};
    l1.colour = 0x123456;
    scene.add_light(&l1);
    scene.add_light(&l2);
    ASSERT_EQ(scene.light_count, 2);
    EXPECT_EQ(scene.lights[1], &l2);

    scene.clear();
    EXPECT_EQ(scene.object_count, 0);
    EXPECT_EQ(scene.light_count, 0);
    EXPECT_EQ(l1.colour, 0x123456u);
    // The lights can be added again; the scene starts fresh lists.
    scene.add_light(&l1);
    scene.add_object(create_object(0, 0));
    EXPECT_EQ(scene.light_count, 1);
    EXPECT_EQ(scene.lights[0], &l1);
    EXPECT_EQ(scene.object_count, 1);
}

TEST(ObjectLists, ListsInstalledByTheCallerAreNeverWrittenPastTheirEnd)
{
    // The fields are public: a caller may hand over an array of its own (from
    // malloc, since the engine frees it) holding exactly count pointers.  The
    // next add must leave every entry in order in an array with room for
    // all of them, whatever the count, power of two or not.
    const auto installed = [](size_t count, uintptr_t first) {
        void** array = static_cast<void**>(std::malloc(count * sizeof(void*)));
        for (size_t i = 0; i < count; i++)
            array[i] = reinterpret_cast<void*>(first + 16 * i);
        return array;
    };
    const auto check = [](void* const* list, size_t count, uintptr_t first, const void* last, const char* what) {
        ASSERT_GE(malloc_usable_size(const_cast<void**>(list)), count * sizeof(void*)) << what << " " << count;
        for (size_t i = 0; i + 1 < count; i++)
            ASSERT_EQ(list[i], reinterpret_cast<void*>(first + 16 * i)) << what << " " << count;
        ASSERT_EQ(list[count - 1], last) << what << " " << count;
    };
    for (size_t count : {3u, 5u, 6u, 7u, 4u, 1u}) {
        // Children of an object: the installed pointers are not objects, so
        // the list is emptied by hand before the object goes.
        ObjectPtr parent(create_object(0, 0));
        parent->children = reinterpret_cast<Object**>(installed(count, 0x1000));
        parent->child_count = uint32_t(count);
        ObjectPtr child(create_object(0, 0));
        add_child(parent.get(), child.get());
        ASSERT_EQ(parent->child_count, count + 1);
        check(reinterpret_cast<void* const*>(parent->children), count + 1, 0x1000, child.get(), "children");
        // Two more go into the room the engine made.
        Object* more[2] = {create_object(0, 0), create_object(0, 0)};
        add_child(parent.get(), more[0]);
        add_child(parent.get(), more[1]);
        ASSERT_EQ(parent->child_count, count + 3);
        check(reinterpret_cast<void* const*>(parent->children), count + 1, 0x1000, child.get(), "children");
        EXPECT_GE(malloc_usable_size(parent->children), (count + 3) * sizeof(Object*));
        EXPECT_EQ(parent->children[count + 1], more[0]);
        EXPECT_EQ(parent->children[count + 2], more[1]);
        destroy_object(more[0]);
        destroy_object(more[1]);
        std::free(parent->children);
        parent->children = nullptr;
        parent->child_count = 0;

        // A Scene's objects and lights.
        Scene scene;
        scene.objects = reinterpret_cast<Object**>(installed(count, 0x2000));
        scene.object_count = int32_t(count);
        scene.lights = reinterpret_cast<Light**>(installed(count, 0x3000));
        scene.light_count = int32_t(count);
        Light light{};
        scene.add_light(&light);
        scene.add_object(child.get());
        check(reinterpret_cast<void* const*>(scene.objects), count + 1, 0x2000, child.get(), "objects");
        check(reinterpret_cast<void* const*>(scene.lights), count + 1, 0x3000, &light, "lights");
        std::free(scene.objects);
        scene.objects = nullptr;
        scene.object_count = 0;
    }

    // The engine's own array after the caller lowered the count (dropping the
    // last child by hand): the next add still lands inside it, in order.
    ObjectPtr parent(create_object(0, 0));
    Object* kids[3] = {create_object(0, 0), create_object(0, 0), create_object(0, 0)};
    for (Object* k : kids)
        add_child(parent.get(), k);
    parent->child_count = 2;
    destroy_object(kids[2]);
    Object* replacement = create_object(0, 0);
    add_child(parent.get(), replacement);
    ASSERT_EQ(parent->child_count, 3u);
    EXPECT_EQ(parent->children[0], kids[0]);
    EXPECT_EQ(parent->children[1], kids[1]);
    EXPECT_EQ(parent->children[2], replacement);
    EXPECT_GE(malloc_usable_size(parent->children), 3 * sizeof(Object*));
}
