// The 3D scene stage and its two scenes.
#include "stages/scene3d.h"

#include <cmath>
#include <memory>

#include "display/error.h"
#include "files/files.h"
#include "render/render.h"
#include "shell/shell.h"
#include "stages/stages_local.h"

namespace {

constexpr int32_t TEXTURE_SIDE = 256;

SceneStage* state_of(int32_t index) { return static_cast<SceneStage*>(stage_table[index].data); }

void scene_prepare(int32_t index)
{
    stage_table[index].ready.store(1, std::memory_order_relaxed);
}

// The animation is a function of the ticks received, not of the frames drawn,
// so the motion is the same at any frame rate.
int32_t scene_render(int32_t index)
{
    SceneStage& stage = *state_of(index);
    double seconds = stage.ticks.load(std::memory_order_relaxed) * (TICK_MS / 1000.0);
    stage.animate(stage, seconds);
    fill_buffer(stage.frame, stage.background, stage.pixel_count);
    stage.scene.render_scene(&stage.camera, stage.depth.data(), stage.frame);
    return 0;
}

// Timer thread: touches nothing but the tick count.
void scene_tick(int32_t index)
{
    std::atomic<uint32_t>& ticks = state_of(index)->ticks;
    ticks.store(ticks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// The picture is drawn from the ticks alone: render changes nothing else.
int32_t scene_advance(int32_t) { return 0; }

void scene_rewind(int32_t index) { state_of(index)->ticks.store(0, std::memory_order_relaxed); }

void scene_release(int32_t index)
{
    std::unique_ptr<SceneStage> stage = take_stage_state<SceneStage>(index);
    if (stage)
        free_frame(stage->frame);
}

// Common part of every scene's create: the state, its buffers and the record.
SceneStage& begin_scene(int32_t index, int32_t width, int32_t height)
{
    std::unique_ptr<SceneStage> stage =
        allocate_state<SceneStage>("Error: No hay memoria suficiente para la escena %d.\n", index);
    const int64_t pixels = int64_t(width) * height;
    FrameBuffer frame =
        allocate_frame(pixels, "Error: No hay memoria suficiente para el fotograma de la escena %d.\n", index);
    stage->depth.assign(size_t(pixels), 0xFFFFFFFFu);
    stage->camera.position = {0, 0, -200};
    stage->camera.angles = {0, 0, 0};
    stage->camera.fov = 60;

    stage->frame = frame.release();
    stage->pixel_count = int32_t(pixels);
    stage_table[index].output = stage->frame;
    install_stage(index, stage.get(),
                  {.prepare = scene_prepare, .render = scene_render, .tick = scene_tick, .release = scene_release,
                   .advance = scene_advance, .rewind = scene_rewind});
    return *stage.release();
}

uint32_t* load_texture(SceneStage& stage, int slot, const char* path)
{
    std::vector<uint32_t>& texels = stage.textures[slot];
    texels.assign(size_t(TEXTURE_SIDE) * TEXTURE_SIDE, 0);
    // The renderer samples TEXTURE_SIDE x TEXTURE_SIDE texels of 0x00RRGGBB:
    // a picture of any other size or a one-plane one would come out as garbage.
    read_rgb_picture("La textura", path, texels.data(), TEXTURE_SIDE, TEXTURE_SIDE);
    return texels.data();
}

Light make_light(Vector position, uint32_t colour)
{
    Light light{};
    light.position = position;
    light.colour = colour;
    light.attenuation[0] = 1.0f;  // no fall-off with distance
    return light;
}

void animate_knot(SceneStage& stage, double seconds)
{
    Object* knot = stage.actors[0];
    knot->angles = {float(seconds * 0.61), float(seconds * 0.93), float(seconds * 0.27)};
    stage.camera.position.z = float(-190.0 + 30.0 * std::sin(seconds * 0.5));
}

void animate_lit(SceneStage& stage, double seconds)
{
    stage.actors[0]->angles = {0.35f, float(seconds * 0.8), 0.0f};     // the sphere turns
    stage.actors[1]->angles = {float(seconds * 2.1), 0.0f, float(seconds * 1.3)};  // the torus spins
    stage.actors[1]->position = {float(95.0 * std::cos(seconds * 1.7)), float(25.0 * std::sin(seconds * 0.9)),
                                 float(95.0 * std::sin(seconds * 1.7))};
}

void animate_described(SceneStage& stage, double seconds)
{
    const ShowScene& scene = *stage.described;
    stage.camera.position = {show_motion_value(scene.camera_position[0], seconds),
                             show_motion_value(scene.camera_position[1], seconds),
                             show_motion_value(scene.camera_position[2], seconds)};
    stage.camera.angles = {show_motion_value(scene.camera_angles[0], seconds),
                           show_motion_value(scene.camera_angles[1], seconds),
                           show_motion_value(scene.camera_angles[2], seconds)};
    for (size_t k = 0; k < scene.objects.size(); ++k) {
        const ShowObject& described = scene.objects[k];
        const Vector position = {show_motion_value(described.position[0], seconds),
                                 show_motion_value(described.position[1], seconds),
                                 show_motion_value(described.position[2], seconds)};
        const Vector angles = {show_motion_value(described.angles[0], seconds),
                               show_motion_value(described.angles[1], seconds),
                               show_motion_value(described.angles[2], seconds)};
        for (Object* object : stage.described_objects[k]) {
            object->position = position;
            object->angles = angles;
        }
    }
}

bool is_3ds(const std::string& path)
{
    const size_t n = path.size();
    return n >= 4 && path[n - 4] == '.' && (path[n - 3] | 0x20) == '3' && (path[n - 2] | 0x20) == 'd' &&
           (path[n - 1] | 0x20) == 's';
}

}  // namespace

void scene_create_described(int32_t index, int32_t width, int32_t height, const ShowScene& description)
{
    SceneStage& stage = begin_scene(index, width, height);
    stage.described = &description;
    stage.background = description.background;
    stage.camera.fov = description.fov;
    stage.scene.ambient = description.ambient;
    // Sized once: the Scene and the objects keep pointers into these.
    stage.described_lights.resize(description.lights.size());
    stage.described_textures.resize(description.objects.size());
    stage.described_objects.resize(description.objects.size());
    for (size_t k = 0; k < description.lights.size(); ++k) {
        const ShowLight& light = description.lights[k];
        stage.described_lights[k] = make_light({light.position[0], light.position[1], light.position[2]}, light.colour);
        for (int a = 0; a < 3; ++a)
            stage.described_lights[k].attenuation[a] = light.attenuation[a];
        stage.scene.add_light(&stage.described_lights[k]);
    }
    for (size_t k = 0; k < description.objects.size(); ++k) {
        const ShowObject& described = description.objects[k];
        std::vector<Object*>& loaded = stage.described_objects[k];
        if (is_3ds(described.mesh)) {
            // Every mesh of the file goes to the scene, in file order.
            const int32_t before = stage.scene.object_count;
            stage.scene.load_3ds(described.mesh.c_str());
            if (stage.scene.object_count <= before)
                fatal_error("El archivo \"%s\" no contiene ninguna malla", described.mesh.c_str());
            for (int32_t i = before; i < stage.scene.object_count; ++i)
                loaded.push_back(stage.scene.objects[i]);
        } else {
            Object* object = load_object(described.mesh.c_str());
            if (described.parent > 0)
                add_child(stage.described_objects[size_t(described.parent - 1)].front(), object);
            else
                stage.scene.add_object(object);
            loaded.push_back(object);
        }
        uint32_t* texture = nullptr;
        if (!described.texture.empty()) {
            std::vector<uint32_t>& texels = stage.described_textures[k];
            texels.assign(size_t(TEXTURE_SIDE) * TEXTURE_SIDE, 0);
            read_rgb_picture("La textura", described.texture.c_str(), texels.data(), TEXTURE_SIDE, TEXTURE_SIDE);
            texture = texels.data();
        }
        for (Object* object : loaded) {
            object->mode = described.mode;
            object->two_sided = described.two_sided ? 1 : 0;
            object->colour = described.colour;
            object->ambient = described.ambient;
            object->diffuse = described.diffuse;
            object->specular = described.specular;
            if (texture) {
                object->texture = texture;
                object->texture_size = TEXTURE_SIDE;
            }
        }
    }
    stage.animate = animate_described;
    animate_described(stage, 0.0);
}

void scene_knot_create(int32_t index, int32_t width, int32_t height)
{
    SceneStage& stage = begin_scene(index, width, height);
    stage.background = 0x000814;
    stage.scene.load_3ds("datos/nudo.3ds");
    if (stage.scene.object_count < 1)
        fatal_error("El archivo \"%s\" no contiene ninguna malla", "datos/nudo.3ds");
    Object* knot = stage.scene.objects[0];
    knot->mode = MODE_ENVIRONMENT | MODE_TEXTURED;
    knot->texture = load_texture(stage, 0, "datos/cielo.pcx");
    knot->texture_size = TEXTURE_SIDE;
    stage.actors[0] = knot;
    stage.animate = animate_knot;
    animate_knot(stage, 0.0);
}

void scene_lit_create(int32_t index, int32_t width, int32_t height)
{
    SceneStage& stage = begin_scene(index, width, height);
    stage.background = 0x100818;
    stage.camera.position = {0, 20, -230};
    stage.camera.angles = {-0.08f, 0, 0};
    stage.scene.ambient = 0x303030;
    stage.lights[0] = make_light({-150, 120, -160}, 0xFFE0B0);
    stage.lights[1] = make_light({170, -60, -60}, 0x4060FF);
    stage.scene.add_light(&stage.lights[0]);
    stage.scene.add_light(&stage.lights[1]);

    Object* sphere = load_object("datos/esfera.txt");
    stage.scene.add_object(sphere);
    sphere->mode = MODE_GOURAUD | MODE_TEXTURED;
    sphere->colour = 0x505050;  // the lit colour adds to the texel: keep both low
    sphere->texture = load_texture(stage, 0, "datos/agua.pcx");
    sphere->texture_size = TEXTURE_SIDE;

    Object* torus = load_object("datos/toro.txt");
    add_child(sphere, torus);
    torus->mode = MODE_GOURAUD;
    torus->colour = 0xFFB040;

    Object* halo = load_object("datos/halo.txt");
    add_child(sphere, halo);
    halo->mode = MODE_GOURAUD | MODE_ADDITIVE;
    halo->colour = 0x705030;
    halo->ambient = 0.1f;

    stage.actors[0] = sphere;
    stage.actors[1] = torus;
    stage.actors[2] = halo;
    stage.animate = animate_lit;
    animate_lit(stage, 0.0);
}
