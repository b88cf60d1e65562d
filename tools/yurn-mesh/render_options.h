// yurn-mesh render and view: the options they share and the scene they build
// from them (render.cpp).  view.cpp adds the window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

struct ViewOptions {
    const char* file = nullptr;
    std::string output;                // render: the picture to write (PNG, PPM, JPEG, BMP, TGA; - for PNG on stdout)
    int32_t width = 320, height = 240; // the frame
    int32_t mode = -1;                 // -1: as loaded (with a texture: 04, 0C on a 3DS mesh)
    std::string texture_path;          // empty: none
    bool angles_given = false;
    Vector angles = {0.45f, 0.6f, 0};  // a three-quarter view from above, so three sides show
    bool camera_given = false;
    Vector camera = {0, 0, 0};         // y up, like every placement
    float fov = 60;
    std::vector<Light> lights;         // empty: one white light above and left of the eye
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

// Parses argv[1..] (argv[0] is the subcommand).  Returns -1 to go on, or 0
// after --help; a mistake ends the tool with exit code 2.
int32_t parse_view_options(int argc, char** argv, bool render, ViewOptions& options);

// Loads the mesh and texture and sets up objects, lights and camera.  Loader
// errors end in fatal_error; a mode that could show nothing of what was asked
// ends the tool with exit code 2.  Sets frame_width and frame_height.
void build_view_scene(const ViewOptions& options, ViewScene& view);

// Where the default light goes for a camera at eye (y up): above and to the
// left of it, so faces turned differently get different shades.
Vector default_light_position(const ViewScene& view);

// Places the camera at distance from the centre, on the -z side (looking +z).
void place_camera(ViewScene& view, float distance);

// Distance at which the bounds fill the field of view.
float framing_distance(const ViewScene& view, float fov);

// Turns every top-level object by angles about the centre of the bounds.
void turn_objects(ViewScene& view, const Vector& angles);
