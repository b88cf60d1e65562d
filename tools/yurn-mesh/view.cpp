// yurn-mesh view: the mesh turning in an SDL window, drawn each frame by the
// engine's renderer (320 x 240 unless --size) and shown scaled up.  Drag to orbit, wheel
// to zoom, keys 1-5 toggle the mode bits, Space pauses, Escape quits.
#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "commands.h"
#include "common/cli.h"
#include "files/signals.h"
#include "render/render.h"
#include "render_options.h"

namespace {

constexpr int32_t SCALE = 2;

struct WindowDeleter {
    void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
};
struct RendererDeleter {
    void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
};
struct TextureDeleter {
    void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};
struct SdlSession {
    // Ctrl+C or SIGTERM closes the viewer like its window.
    bool ok = (signals_leave_to_window(), SDL_Init(SDL_INIT_VIDEO) == 0);
    ~SdlSession() { SDL_Quit(); }
};

// Without an X or Wayland session SDL falls back to drivers that draw nowhere;
// a window nobody can see is no display at all, unless the user asked for that
// driver by name.  Empty when there is a display, else the reason.
std::string no_display_reason(const SdlSession& sdl)
{
    if (!sdl.ok)
        return SDL_GetError();
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* asked = SDL_getenv("SDL_VIDEODRIVER");
    if (driver && (!std::strcmp(driver, "offscreen") || !std::strcmp(driver, "dummy")) &&
        !(asked && !std::strcmp(asked, driver)))
        return std::string("SDL solo encontró el controlador de vídeo \"") + driver + "\", que no muestra nada";
    return "";
}

}  // namespace

int view_command(int argc, char** argv)
{
    ViewOptions options;
    const int32_t status = parse_view_options(argc, argv, false, options);
    if (status >= 0)
        return status;
    ViewScene view;
    build_view_scene(options, view);
    const bool follow_light = options.lights.empty();  // the default light keeps its place by the eye
    const int32_t WIDTH = options.width, HEIGHT = options.height;

    SdlSession sdl;
    if (const std::string reason = no_display_reason(sdl); !reason.empty()) {
        std::fprintf(stderr, "ERROR: no puedo crear la ventana\n"
                             "No hay pantalla disponible (%s); yurn-mesh render dibuja un fotograma sin pantalla\n",
                     reason.c_str());
        return cli::EXIT_FAILED;
    }
    std::unique_ptr<SDL_Window, WindowDeleter> window(SDL_CreateWindow(
        "yurn-mesh", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, WIDTH * SCALE, HEIGHT * SCALE, SDL_WINDOW_RESIZABLE));
    if (!window) {
        std::fprintf(stderr, "ERROR: no puedo crear la ventana\nNo se pudo abrir la ventana: %s\n", SDL_GetError());
        return cli::EXIT_FAILED;
    }
    std::unique_ptr<SDL_Renderer, RendererDeleter> renderer(SDL_CreateRenderer(window.get(), -1, 0));
    if (!renderer) {
        std::fprintf(stderr, "yurn-mesh: no puedo crear el renderer de SDL: %s\n", SDL_GetError());
        return 1;
    }
    SDL_RenderSetLogicalSize(renderer.get(), WIDTH, HEIGHT);
    std::unique_ptr<SDL_Texture, TextureDeleter> screen(
        SDL_CreateTexture(renderer.get(), SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, WIDTH, HEIGHT));
    if (!screen) {
        std::fprintf(stderr, "yurn-mesh: no puedo crear la textura de SDL: %s\n", SDL_GetError());
        return 1;
    }

    std::vector<uint32_t> frame(size_t(WIDTH) * HEIGHT), depth(size_t(WIDTH) * HEIGHT, 0xFFFFFFFF);
    Vector angles = options.angles;
    float distance = framing_distance(view, options.fov);
    if (options.camera_given)
        distance = view.centre.z - options.camera.z;
    bool paused = false, dragging = false, running = true;
    uint8_t mode = view.scene.object_count ? view.scene.objects[0]->mode : MODE_GOURAUD;
    uint32_t frames = 0, last = SDL_GetTicks(), previous = last;
    float fps = 0;
    while (running) {
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            switch (event.type) {
            case SDL_QUIT: running = false; break;
            case SDL_MOUSEBUTTONDOWN: dragging = event.button.button == SDL_BUTTON_LEFT || dragging; break;
            case SDL_MOUSEBUTTONUP: dragging = dragging && event.button.button != SDL_BUTTON_LEFT; break;
            case SDL_MOUSEMOTION:
                if (dragging) {
                    angles.y -= event.motion.xrel * 0.01f;
                    angles.x += event.motion.yrel * 0.01f;
                }
                break;
            case SDL_MOUSEWHEEL:
                distance *= event.wheel.y > 0 ? 0.9f : 1.1f;
                distance = std::clamp(distance, view.radius * 0.2f + near, static_cast<float>(far));
                break;
            case SDL_KEYDOWN: {
                const SDL_Keycode key = event.key.keysym.sym;
                if (key == SDLK_ESCAPE || key == SDLK_q)
                    running = false;
                else if (key == SDLK_SPACE)
                    paused = !paused;
                else if (key >= SDLK_1 && key <= SDLK_5)
                    mode ^= static_cast<uint8_t>(1 << (key - SDLK_1));
                break;
            }
            default: break;
            }
        }
        const uint32_t now = SDL_GetTicks();
        if (!paused && !dragging)
            angles.y += (now - previous) * 0.0007f;
        previous = now;

        for (int32_t i = 0; i < view.scene.object_count; i++)
            view.scene.objects[i]->mode = mode;
        turn_objects(view, angles);
        if (!options.camera_given || distance != view.centre.z - options.camera.z)
            place_camera(view, distance);
        if (follow_light)
            view.lights[0].position = default_light_position(view);
        fill_buffer(frame.data(), options.background, WIDTH * HEIGHT);
        view.scene.render_scene(&view.camera, depth.data(), frame.data());

        SDL_UpdateTexture(screen.get(), nullptr, frame.data(), WIDTH * 4);
        SDL_RenderClear(renderer.get());
        SDL_RenderCopy(renderer.get(), screen.get(), nullptr, nullptr);
        SDL_RenderPresent(renderer.get());

        frames++;
        if (now - last >= 500) {
            fps = frames * 1000.0f / static_cast<float>(now - last);
            frames = 0;
            last = now;
            char title[256];
            std::snprintf(title, sizeof title, "yurn-mesh view %s - %.0f fps - mode %02X%s", options.file,
                          static_cast<double>(fps), mode, paused ? " (pausa)" : "");
            SDL_SetWindowTitle(window.get(), title);
        }
    }
    return 0;
}
