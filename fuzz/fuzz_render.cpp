// libFuzzer target: a mesh (text or 3DS) drawn by the whole renderer in every
// mode.  The input opens with a 32-byte block of settings (below); the rest
// is the mesh.  Frame and depth buffers are exactly frame_width x
// frame_height words, so any write past them is caught by AddressSanitizer.
// Rejections (of the mesh, or the renderer's own fatal checks) come back as
// an exception from the fatal handler.
//
// Settings, by byte: 0 flags (bit 0 3DS, 1 two-sided, 2 interlace, 3 its
// parity, 4 plain span kernels, 5 linear light attenuation, 6 a text mesh
// without texture coordinates), 1 texture side
// (of TEXTURE_SIDES), 2 frame width, 3 frame height, 4-9 camera position,
// 10-15 camera angles, 16-21 object position, 22-27 object angles (every
// object of the mesh), 28 field of view, 29 ambient grey, 30-31 the light's
// depth.  Positions are 16-bit quarter units, angles 16-bit 1/4096 radians.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "display/error.h"
#include "engine/engine.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/frame.h"

namespace {
struct Rejected : std::runtime_error {
    using std::runtime_error::runtime_error;
};
void throw_rejection(const char* message) { throw Rejected(message); }

constexpr size_t SETTINGS = 32;
constexpr uint64_t WORK_PER_MODE = uint64_t(1) << 24;  // faces x frame pixels

// Texture sides to draw with: powers of two, others, and unusable ones.
constexpr int32_t TEXTURE_SIDES[16] = {1, 2, 3, 4, 7, 8, 16, 17, 32, 48, 64, 100, 128, 256, 0, -5};

struct Settings {
    const uint8_t* p;
    int16_t next16()
    {
        const int16_t value = static_cast<int16_t>(p[0] | (p[1] << 8));
        p += 2;
        return value;
    }
    Vector position()
    {
        const float x = next16() * 0.25f, y = next16() * 0.25f;
        return {x, y, next16() * 0.25f};
    }
    Vector angles()
    {
        const float a = next16() / 4096.0f, b = next16() / 4096.0f;
        return {a, b, next16() / 4096.0f};
    }
};

void place(Object* object, const Vector& position, const Vector& angles, bool two_sided, int32_t side,
           uint32_t* texture)
{
    object->position = position;
    object->angles = angles;
    object->two_sided = two_sided;
    object->texture_size = side;
    object->texture = texture;
    for (uint32_t i = 0; i < object->child_count; i++)
        place(object->children[i], position, angles, two_sided, side, texture);
}

uint64_t face_total(const Object* object)
{
    uint64_t total = object->face_count;
    for (uint32_t i = 0; i < object->child_count; i++)
        total += face_total(object->children[i]);
    return total;
}

void set_mode(Object* object, uint8_t mode)
{
    object->mode = mode;
    for (uint32_t i = 0; i < object->child_count; i++)
        set_mode(object->children[i], mode);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    set_fatal_handler(throw_rejection);
    if (size < SETTINGS)
        return 0;
    const uint8_t flags = data[0];
    const int32_t side = TEXTURE_SIDES[data[1] & 15];
    Settings settings = {data + 4};
    Camera camera{};
    camera.position = settings.position();
    camera.angles = settings.angles();
    Vector object_position = settings.position();
    Vector object_angles = settings.angles();
    camera.fov = static_cast<float>(data[28] % 179 + 1);
    Light light{};
    light.position = {0, 0, static_cast<int16_t>(data[30] | (data[31] << 8)) * 0.25f};
    light.colour = 0xFFFFFF;
    light.attenuation[0] = 1;
    light.attenuation[1] = flags & 0x20 ? 0.5f : 0.0f;

    // Every engine-wide value the renderer reads starts the same for every input.
    frame_width = 1 + data[2] * 319 / 255;
    frame_height = 1 + data[3] * 239 / 255;
    depth_generation = 0xFFFF0000u;
    additive_pass = 0;
    interlace_flag = (flags >> 2) & 1;
    interlace_parity = (flags >> 3) & 1;
    set_span_level(flags & 0x10 ? 0 : 1);
    // The loaders copy the current texture size; a text mesh reads texture
    // coordinates only while it is non-zero.
    current_texture_size = flags & 0x40 ? 0 : side;

    std::vector<uint32_t> texture(side > 0 ? static_cast<size_t>(side) * side : 0);
    for (size_t i = 0; i < texture.size(); i++)
        texture[i] = static_cast<uint32_t>(i * 0x010203u) & 0xFFFFFF;
    Scene scene;
    try {
        const uint8_t* mesh = data + SETTINGS;
        const size_t mesh_size = size - SETTINGS;
        if (flags & 1) {
            load_3ds_bytes(scene, mesh, mesh_size, "fuzz.3ds");
        } else {
            Object* object = parse_object_bytes(reinterpret_cast<const char*>(mesh), mesh_size, "fuzz");
            scene.add_object(object);
        }
    } catch (const Rejected&) {
    }
    if (scene.object_count == 0)
        return 0;
    // Drawing costs up to faces x pixels per mode: a 64 KB mesh of thousands
    // of frame-filling triangles would take a minute per input at full size.
    // Larger meshes draw into smaller frames, which run the same code.
    uint64_t faces = 0;
    for (int32_t i = 0; i < scene.object_count; i++)
        faces += face_total(scene.objects[i]);
    while (faces * static_cast<uint64_t>(frame_width) * static_cast<uint64_t>(frame_height) > WORK_PER_MODE &&
           frame_width * frame_height > 1) {
        frame_width = (frame_width + 1) / 2;
        frame_height = (frame_height + 1) / 2;
    }
    const size_t pixels = static_cast<size_t>(frame_width) * frame_height;
    std::vector<uint32_t> frame(pixels), depth(pixels);
    scene.add_light(&light);
    scene.ambient = data[29] * 0x010101u;
    for (int32_t i = 0; i < scene.object_count; i++)
        place(scene.objects[i], object_position, object_angles, flags & 2, side,
              texture.empty() ? nullptr : texture.data());

    for (uint8_t mode = 1; mode < 32; mode++) {
        for (int32_t i = 0; i < scene.object_count; i++)
            set_mode(scene.objects[i], mode);
        try {
            scene.render_scene(&camera, depth.data(), frame.data());
        } catch (const Rejected&) {
        }
    }
    return 0;
}
