// A mesh turning once round, drawn by the software renderer into PNG frames:
//   turning_mesh MESH OUT_DIR [FRAMES]     (MESH: the engine's text format)
// writes OUT_DIR/turn-00.png ... (the folder must exist).  The engine's y
// points down; positions given for lights and the camera point y up.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <yurn/capture/capture.h>  // png_encode_rgb
#include <yurn/display/error.h>    // fatal_error
#include <yurn/engine/engine.h>
#include <yurn/files/files.h>      // write_whole_file, system_reason
#include <yurn/render/render.h>    // fill_buffer
#include <yurn/shell/shell.h>      // frame_width, frame_height

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "uso: turning_mesh MALLA CARPETA [FOTOGRAMAS]\n");
        return 2;
    }
    const int frames = argc > 3 ? std::atoi(argv[3]) : 8;
    frame_width = 320;  // the renderer draws frames of this size
    frame_height = 240;
    const int count = frame_width * frame_height;

    Scene scene;  // owns the objects added to it
    Object* mesh = load_object(argv[1]);  // a bad file ends in fatal_error
    mesh->mode = MODE_GOURAUD;
    mesh->colour = 0xD08030;
    scene.add_object(mesh);
    const float radius = std::fmax(mesh->bounds[MAX_X], mesh->bounds[MAX_Z]);
    Light light{};  // white, above and to the left of the eye, not fading with distance
    light.position = {-radius, 2 * radius, -3 * radius};
    light.colour = 0xFFFFFF;
    light.attenuation[0] = 1;
    scene.add_light(&light);  // the scene points at it: it outlives the frames
    scene.ambient = 0x202020;
    Camera camera{};
    camera.position = {0, 0, -3 * radius};  // looking along +z at the mesh
    camera.fov = 60;

    std::vector<uint32_t> frame(count), depth(count);
    std::vector<uint8_t> rgb(count * 3), png;
    for (int i = 0; i < frames; i++) {
        mesh->angles = {0.6f, float(6.283185307179586 * i / frames), 0};
        fill_buffer(frame.data(), 0x000018, count);  // render_scene never clears the frame
        scene.render_scene(&camera, depth.data(), frame.data());
        for (int p = 0; p < count; p++) {
            rgb[p * 3] = uint8_t(frame[p] >> 16);
            rgb[p * 3 + 1] = uint8_t(frame[p] >> 8);
            rgb[p * 3 + 2] = uint8_t(frame[p]);
        }
        png_encode_rgb(rgb.data(), frame_width, frame_height, png);
        const std::string name = std::string(argv[2]) + "/turn-" + char('0' + i / 10) + char('0' + i % 10) + ".png";
        if (int error = 0; !write_whole_file(name.c_str(), png.data(), png.size(), &error))
            fatal_error("No puedo escribir %s: %s", name.c_str(), system_reason(error));
    }
    return 0;
}
