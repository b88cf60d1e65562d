// The 3D scene stage: shows a Scene of the engine, drawn by the software
// renderer into the stage's own frame.  Each kind of scene has its own create
// (the protocol's create carries no file names); the rest is shared.
//
//  scene   [i]   builds its Scene from mesh files at create; every tick moves
//                its animation on by one 14 ms step; render clears the frame
//                and draws the Scene as the animation stands.  Never finishes,
//                so it stays until its cue.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "files/show_file.h"
#include "shell/shell.h"

struct SceneStage {
    Scene scene;                          // owns its objects
    Camera camera;
    Light lights[2];                      // the Scene points at these
    uint32_t* frame = nullptr;            // the stage's output, pixel_count pixels; freed by release
    int32_t pixel_count = 0;              // width * height given to create
    std::vector<uint32_t> depth;          // depth buffer of the same size
    std::vector<uint32_t> textures[2];    // texel arrays the objects point at
    Object* actors[3] = {};               // objects the animation moves (owned by scene)
    uint32_t background = 0;              // colour the frame is cleared to
    std::atomic<uint32_t> ticks{0};       // 14 ms steps so far; timer writes, main reads
    void (*animate)(SceneStage& stage, double seconds) = nullptr;  // places actors and camera
    // A scene described by a show file: what it is and how it moves (the
    // description outlives the stage), the meshes each described object
    // loaded, its lights and its textures.
    const ShowScene* described = nullptr;
    std::vector<std::vector<Object*>> described_objects;
    std::vector<Light> described_lights;                 // sized once: the Scene points at them
    std::vector<std::vector<uint32_t>> described_textures;
};

// A torus knot read from "datos/nudo.3ds", environment-mapped with
// "datos/cielo.pcx", tumbling slowly.
void scene_knot_create(int32_t index, int32_t width, int32_t height);

// A textured sphere ("datos/esfera.txt", "datos/agua.pcx") lit in Gouraud by
// two coloured lights, a torus ("datos/toro.txt") orbiting it, and an additive
// halo ("datos/halo.txt") glowing round it.
void scene_lit_create(int32_t index, int32_t width, int32_t height);

// A scene as a show file describes it (files/show_file.h): its meshes,
// textures, lights and camera, moved every frame by its motions at the
// stage's time.  spec must outlive the stage.  Main thread, at start-up.
void scene_create_described(int32_t index, int32_t width, int32_t height, const ShowScene& spec);

// The engine show's cue times in seconds.  The ceiling fade-in and the
// cross-fades end by themselves; the knot runs until 9 s, the lit scene until
// 18 s, the photograph until 24 s, and the fade-out holds black until 27.5 s.
// The entries after the fourth take no effect.
constexpr float ENGINE_SCHEDULE[SCHEDULE_LENGTH] = {
    9, 18, 24, 27.5f, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 85, 90, 95, 100, 105, 110, 115, 120, 125, 130,
};

// The engine show's stage script: a ceiling fade-in into the knot, a
// cross-fade to the lit scene, a cross-fade to a photograph and a fade-out to
// black; record 7 ends the show.  Selected with --script engine.
void build_engine_show();
