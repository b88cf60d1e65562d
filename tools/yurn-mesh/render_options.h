// yurn-mesh render and view: the options they share and the scene they build
// from them (render.cpp).  view.cpp adds the window.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine.h"

struct ViewOptions {
    const char* file = nullptr;
    const char* output = nullptr;      // render: the PNG to write
    int32_t mode = -1;                 // -1: as loaded (with a texture, 0x06)
    const char* texture_path = nullptr;
    Vector angles = {0, 0, 0};
    bool camera_given = false;
    Vector camera = {0, 0, 0};         // y up, like every placement
    float fov = 60;
    std::vector<Light> lights;         // empty: one white light at the eye
    uint32_t ambient = 0x202020;
    uint32_t background = 0x000000;
    bool two_sided = false;
};

// Everything a frame needs; lights and texture live here, the Scene refers to them.
struct ViewScene {
    Scene scene;
    Camera camera{};
    std::vector<Light> lights;
    std::vector<uint32_t> texture;
    int32_t texture_size = 0;
    Vector centre = {0, 0, 0};  // middle of the objects' bounds, engine space
    float radius = 1;           // half the bounds' diagonal
};

// Parses argv[1..] (argv[0] is the subcommand).  Returns -1 to go on, or the
// exit code to end with (0 after --help, 1 after a mistake, reported on stderr).
int32_t parse_view_options(int argc, char** argv, bool render, ViewOptions& options);

// Loads the mesh and texture and sets up objects, lights and camera.  Loader
// errors end in fatal_error.  Sets frame_width and frame_height to 320 x 240.
void build_view_scene(const ViewOptions& options, ViewScene& view);

// Places the camera at distance from the centre, on the -z side (looking +z).
void place_camera(ViewScene& view, float distance);

// Distance at which the bounds fill the field of view.
float framing_distance(const ViewScene& view, float fov);

// Turns every top-level object by angles about the centre of the bounds.
void turn_objects(ViewScene& view, const Vector& angles);
