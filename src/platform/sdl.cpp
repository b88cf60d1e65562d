// The SDL2 backend: a window "DDrawInterface" (full screen on the desktop, or
// a 3x window), a renderer with vsync, and a streaming texture in the mode's
// own pixel format as the back buffer, scaled up nearest-neighbour by the
// largest integer that fits and letterboxed.  The off-screen surface is plain
// memory in that format; at 8 bits it is shown through the attached palette.
#include <SDL.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <dlfcn.h>
#endif

#include "platform/frame_rgb.h"
#include "platform/platform.h"
#include "platform/platform_local.h"
#include "platform/startup.h"

namespace {

constexpr const char* WINDOW_TITLE = "DDrawInterface";
constexpr int32_t WINDOW_SCALE = 3;
constexpr int32_t MAX_PENDING = 8;

struct Sdl {
    PlatformConfig config;
    bool video;  // the video subsystem is up: a display exists
    bool lost_display;  // the connection to the X server broke: no SDL video call may run
    SDL_Window* window;
    SDL_Renderer* renderer;
    SDL_Texture* texture;
    bool primary;
    bool lost;
    int32_t width, height, depth;
    SurfaceBytes offscreen;          // on a 64-byte boundary for the conversion kernels
    std::vector<uint32_t> expanded;  // the 8-bit surface through the palette
    uint8_t palette[768];            // 256 x (r, g, b), as set_palette gave it
    PlatformEvent pending[MAX_PENDING];  // events made here, returned before SDL's
    int32_t pending_count;
    SDL_Texture* overlay;               // the player's overlay, blended over the frame
    std::vector<uint32_t> overlay_pixels;  // ARGB; empty while there is no overlay
};

Sdl sdl;

void push_pending(const PlatformEvent& event)
{
    if (sdl.pending_count < MAX_PENDING)
        sdl.pending[sdl.pending_count++] = event;
}

uint32_t texture_format()
{
    switch (sdl.depth) {
    case 32: return SDL_PIXELFORMAT_XRGB8888;
    case 24: return SDL_PIXELFORMAT_BGR24;  // bytes B, G, R in memory
    case 16: return sdl.config.mode_555 ? SDL_PIXELFORMAT_RGB555 : SDL_PIXELFORMAT_RGB565;
    case 8: return SDL_PIXELFORMAT_XRGB8888;  // filled from the palette at each blit
    default: return SDL_PIXELFORMAT_UNKNOWN;
    }
}

int32_t offscreen_pitch() { return sdl.width * (sdl.depth / 8); }

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
// The X library ends the process itself when the server goes away or refuses
// a request, printing its own words ("XIO: fatal IO error", "BadWindow").
// These handlers end it through platform_fatal (the shell's fatal_error)
// instead, with a message of ours.
// The types are Xlib's, declared here only as far as they are read.
struct XErrorView {
    int type;
    void* display;
    unsigned long resource;
    unsigned long serial;
    unsigned char error_code;
    unsigned char request_code;
    unsigned char minor_code;
};
using XErrorHandler = int (*)(void* display, XErrorView* event);
using XIOErrorHandler = int (*)(void* display);

// Nothing more may be asked of the server: releasing the window or showing a
// box would only fail again inside the X library.
void forget_display()
{
    sdl.lost_display = true;
    sdl.video = false;
}

const char* display_name()
{
    const char* name = std::getenv("DISPLAY");
    return name && *name ? name : "?";
}

int x_io_error(void*)
{
    forget_display();
    platform_fatal("ERROR: se perdió la conexión con la pantalla %s (el servidor gráfico se cerró)", display_name());
    std::exit(1);  // the X library would end the process anyway after this handler
}

int x_error(void*, XErrorView* event)
{
    forget_display();
    platform_fatal("ERROR: el servidor gráfico de la pantalla %s rechazó una petición (error %d, petición %d): "
                   "la ventana ya no existe o la pantalla se cerró",
                   display_name(), event->error_code, event->request_code);
    std::exit(1);
}

// Installed once SDL has opened its connection, over SDL's own handlers, and
// only when SDL talks to an X server (the library is then already loaded).
void install_x_handlers()
{
    const char* driver = SDL_GetCurrentVideoDriver();
    if (!driver || std::strcmp(driver, "x11") != 0)
        return;
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (!library)
        return;
    using SetError = XErrorHandler (*)(XErrorHandler);
    using SetIOError = XIOErrorHandler (*)(XIOErrorHandler);
    const auto set_error = reinterpret_cast<SetError>(dlsym(library, "XSetErrorHandler"));
    const auto set_io_error = reinterpret_cast<SetIOError>(dlsym(library, "XSetIOErrorHandler"));
    if (set_error)
        set_error(x_error);
    if (set_io_error)
        set_io_error(x_io_error);
    dlclose(library);  // drops only the reference taken here; SDL keeps the library loaded
}

// The Wayland client library writes why it could not connect (no
// XDG_RUNTIME_DIR, no compositor) to standard error while SDL probes for a
// display; the show says itself when there is none.  As with ALSA, loading
// the library first and silencing its log reaches the copy SDL uses.
void wayland_silent(const char*, va_list) {}

void quiet_wayland()
{
    void* library = dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_GLOBAL);
    if (!library)
        return;
    using SetHandler = void (*)(void (*)(const char*, va_list));
    const auto set_handler = reinterpret_cast<SetHandler>(dlsym(library, "wl_log_set_handler_client"));
    if (set_handler)
        set_handler(wayland_silent);
}
#else
void install_x_handlers() {}
void quiet_wayland() {}
#endif

int32_t sdl_open_window(int32_t width, int32_t height, char* reason, size_t reason_size)
{
    if (!sdl.video) {
        quiet_wayland();
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
            std::snprintf(reason, reason_size, "%s", SDL_GetError());
            return 1;
        }
        // With no X or Wayland session SDL falls back to drivers that draw
        // nowhere; a show nobody can see is no display at all, unless the user
        // asked for that driver by name.
        const char* driver = SDL_GetCurrentVideoDriver();
        const char* asked = SDL_getenv("SDL_VIDEODRIVER");
        if (driver && (!std::strcmp(driver, "offscreen") || !std::strcmp(driver, "dummy")) &&
            !(asked && !std::strcmp(asked, driver))) {
            std::snprintf(reason, reason_size, "SDL solo encontró el controlador de vídeo \"%s\", que no muestra nada",
                          driver);
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            return 1;
        }
        sdl.video = true;
        startup_mark("iniciar el vídeo de SDL (SDL_InitSubSystem)");
    }
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
    // Full screen on the desktop leaves the monitor's mode alone; the frame is
    // scaled up instead of switching the screen to 320 x 240.
    uint32_t flags = SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE;
    if (!sdl.config.window)
        flags |= SDL_WINDOW_FULLSCREEN_DESKTOP | SDL_WINDOW_ALWAYS_ON_TOP;
    sdl.window = SDL_CreateWindow(WINDOW_TITLE, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                  width * WINDOW_SCALE, height * WINDOW_SCALE, flags);
    if (!sdl.window) {
        std::snprintf(reason, reason_size, "%s", SDL_GetError());
        return 2;
    }
    install_x_handlers();
    startup_mark("crear la ventana (SDL_CreateWindow)");
    return 0;
}

int32_t sdl_create_device()
{
    // Any renderer that can wait for the vertical blank; a plain one otherwise.
    sdl.renderer = SDL_CreateRenderer(sdl.window, -1, SDL_RENDERER_PRESENTVSYNC);
    if (!sdl.renderer)
        sdl.renderer = SDL_CreateRenderer(sdl.window, -1, 0);
    startup_mark("crear el renderizador (SDL_CreateRenderer)");
    return sdl.renderer ? DD_OK : DDERR_NODIRECTDRAWHW;
}

void sdl_show_window()
{
    SDL_ShowWindow(sdl.window);
    SDL_RaiseWindow(sdl.window);
    SDL_ShowCursor(SDL_DISABLE);  // the pointer is hidden over the show
    startup_mark("mostrar la ventana (SDL_ShowWindow)");
    push_pending({.type = EVENT_ACTIVATE, .key = 0, .minimised = 0});
}

int32_t sdl_set_exclusive() { return sdl.renderer ? DD_OK : DDERR_GENERIC; }

int32_t sdl_set_display_mode(int32_t width, int32_t height, int32_t depth)
{
    if (!(sdl.config.offered_modes & offer_bit(depth)))
        return DDERR_INVALIDMODE;
    sdl.width = width;
    sdl.height = height;
    sdl.depth = depth;
    return DD_OK;
}

int32_t sdl_create_primary()
{
    if (!sdl.renderer || !sdl.depth)
        return DDERR_GENERIC;
    sdl.primary = true;
    return DD_OK;
}

int32_t sdl_attach_back_buffer()
{
    if (!sdl.primary)
        return DDERR_GENERIC;
    if (sdl.texture)
        SDL_DestroyTexture(sdl.texture);
    sdl.texture = SDL_CreateTexture(sdl.renderer, texture_format(), SDL_TEXTUREACCESS_STREAMING,
                                    sdl.width, sdl.height);
    return sdl.texture ? DD_OK : DDERR_GENERIC;
}

int32_t sdl_create_offscreen(int32_t width, int32_t height, int32_t)
{
    if (width != sdl.width || height != sdl.height)
        return DDERR_INVALIDMODE;
    sdl.offscreen.assign(size_t(offscreen_pitch()) * size_t(height), 0);
    if (sdl.depth == 8)
        sdl.expanded.assign(size_t(width) * size_t(height), 0);
    return DD_OK;
}

uint32_t sdl_green_mask() { return green_mask_of(sdl.depth, sdl.config.mode_555); }

uint8_t* sdl_lock_offscreen() { return sdl.offscreen.empty() ? nullptr : sdl.offscreen.data(); }

int32_t sdl_unlock_offscreen() { return sdl.offscreen.empty() ? DDERR_GENERIC : DD_OK; }

int32_t sdl_blit()
{
    if (sdl.lost)
        return DDERR_SURFACELOST;
    if (!sdl.texture || sdl.offscreen.empty())
        return DDERR_GENERIC;
    int32_t status;
    if (sdl.depth == 8) {
        // The screen looks the indices up in the palette, as the mode would.
        frame_to_rgb(surface_frame(sdl.offscreen.data(), sdl.width, sdl.height, 8, sdl.config.mode_555, sdl.palette),
                     XRGB_WORDS, reinterpret_cast<uint8_t*>(sdl.expanded.data()));
        status = SDL_UpdateTexture(sdl.texture, nullptr, sdl.expanded.data(), sdl.width * 4);
    } else {
        status = SDL_UpdateTexture(sdl.texture, nullptr, sdl.offscreen.data(), offscreen_pitch());
    }
    return status == 0 ? DD_OK : DDERR_GENERIC;
}

// Largest integer scale that fits the output, centred; a smaller output than
// the frame gets the frame shrunk to fit instead.
SDL_Rect letterbox()
{
    int output_w = 0, output_h = 0;
    SDL_GetRendererOutputSize(sdl.renderer, &output_w, &output_h);
    int scale = output_w / sdl.width < output_h / sdl.height ? output_w / sdl.width : output_h / sdl.height;
    SDL_Rect rect;
    if (scale >= 1) {
        rect.w = sdl.width * scale;
        rect.h = sdl.height * scale;
    } else if (int64_t(output_w) * sdl.height < int64_t(output_h) * sdl.width) {
        rect.w = output_w;
        rect.h = int(int64_t(output_w) * sdl.height / sdl.width);
    } else {
        rect.h = output_h;
        rect.w = int(int64_t(output_h) * sdl.width / sdl.height);
    }
    rect.x = (output_w - rect.w) / 2;
    rect.y = (output_h - rect.h) / 2;
    return rect;
}

// The player's overlay, as ARGB over the frame: shade darkens, ink is white.
void sdl_set_overlay(const uint8_t* mask, int32_t width, int32_t height)
{
    if (!mask || !sdl.renderer) {
        sdl.overlay_pixels.clear();
        return;
    }
    if (!sdl.overlay) {
        sdl.overlay = SDL_CreateTexture(sdl.renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                                        width, height);
        if (!sdl.overlay)
            return;
        SDL_SetTextureBlendMode(sdl.overlay, SDL_BLENDMODE_BLEND);
    }
    sdl.overlay_pixels.resize(size_t(width) * size_t(height));
    for (size_t i = 0; i < sdl.overlay_pixels.size(); i++)
        sdl.overlay_pixels[i] = mask[i] == 2 ? 0xFFFFFFFFu : mask[i] == 1 ? 0xA0000000u : 0u;
    SDL_UpdateTexture(sdl.overlay, nullptr, sdl.overlay_pixels.data(), width * 4);
}

int32_t sdl_flip()
{
    if (sdl.lost)
        return DDERR_SURFACELOST;
    if (!sdl.texture)
        return DDERR_GENERIC;
    const SDL_Rect rect = letterbox();
    SDL_SetRenderDrawColor(sdl.renderer, 0, 0, 0, 255);
    SDL_RenderClear(sdl.renderer);
    SDL_RenderCopy(sdl.renderer, sdl.texture, nullptr, &rect);
    // Drawn on the screen's copy only: the off-screen surface keeps the frame.
    if (sdl.overlay && !sdl.overlay_pixels.empty())
        SDL_RenderCopy(sdl.renderer, sdl.overlay, nullptr, &rect);
    SDL_RenderPresent(sdl.renderer);  // waits for the vertical blank
    return DD_OK;
}

// The renderer lost its textures: make the back buffer again.
int32_t sdl_restore_primary()
{
    if (!sdl.primary)
        return DDERR_GENERIC;
    const int32_t status = sdl_attach_back_buffer();
    if (status == DD_OK)
        sdl.lost = false;
    return status;
}

int32_t sdl_restore_offscreen() { return sdl.offscreen.empty() ? DDERR_GENERIC : DD_OK; }

void sdl_set_palette(const uint8_t* rgb) { std::memcpy(sdl.palette, rgb, sizeof sdl.palette); }

void sdl_release()
{
    if (sdl.lost_display) {
        // The server is gone and took the window with it.
        sdl.texture = nullptr;
        sdl.renderer = nullptr;
        sdl.window = nullptr;
        sdl.overlay = nullptr;
    }
    if (sdl.overlay)
        SDL_DestroyTexture(sdl.overlay);
    sdl.overlay = nullptr;
    sdl.overlay_pixels.clear();
    if (sdl.texture)
        SDL_DestroyTexture(sdl.texture);
    if (sdl.renderer)
        SDL_DestroyRenderer(sdl.renderer);
    if (sdl.window)
        SDL_DestroyWindow(sdl.window);
    sdl.texture = nullptr;
    sdl.renderer = nullptr;
    sdl.window = nullptr;
    sdl.primary = false;
    sdl.offscreen.clear();
    sdl.expanded.clear();
}

void sdl_frame_presented(int32_t) {}

bool sdl_has_display() { return sdl.video; }

void sdl_message_box(const char* caption, const char* text)
{
    SDL_ShowSimpleMessageBox(0, caption, text, nullptr);
}

void toggle_full_screen()
{
    if (!sdl.window)
        return;
    const bool full = SDL_GetWindowFlags(sdl.window) & SDL_WINDOW_FULLSCREEN_DESKTOP;
    SDL_SetWindowFullscreen(sdl.window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
}

// The player's command for a key, PLAYER_NONE for a key it does not use.
// Held keys repeat only the seeks and the frame steps.
int32_t player_command_of(const SDL_KeyboardEvent& key)
{
    const bool shift = key.keysym.mod & KMOD_SHIFT;
    const bool repeat = key.repeat != 0;
    switch (key.keysym.sym) {
    case SDLK_LEFT: return shift ? PLAYER_BACK_SHORT : PLAYER_BACK;
    case SDLK_RIGHT: return shift ? PLAYER_FORWARD_SHORT : PLAYER_FORWARD;
    case SDLK_COMMA: return PLAYER_FRAME_BACK;
    case SDLK_PERIOD: return PLAYER_FRAME_FORWARD;
    default: break;
    }
    if (repeat)
        return PLAYER_NONE;
    switch (key.keysym.sym) {
    case SDLK_SPACE: return PLAYER_PAUSE;
    case SDLK_HOME: return PLAYER_HOME;
    case SDLK_l: return PLAYER_LOOP;
    case SDLK_m: return PLAYER_MUTE;
    case SDLK_s: return PLAYER_SCREENSHOT;
    case SDLK_h:
    case SDLK_QUESTION: return PLAYER_KEYS;
    case SDLK_SLASH:                                             // Shift gives '?' on a US keyboard
    case SDLK_QUOTE: return shift ? PLAYER_KEYS : PLAYER_NONE;  // and on a Spanish one
    default: return PLAYER_NONE;
    }
}

// Maps one SDL event; false for events the show does not look at.
bool map_event(const SDL_Event& e, PlatformEvent* event)
{
    switch (e.type) {
    case SDL_QUIT:
        *event = {.type = EVENT_CLOSE, .key = 0, .minimised = 0};
        return true;
    case SDL_KEYDOWN:
        if (e.key.keysym.sym == SDLK_RETURN && (e.key.keysym.mod & KMOD_ALT)) {
            if (!e.key.repeat)
                toggle_full_screen();
            return false;
        }
        if (e.key.keysym.sym != SDLK_ESCAPE) {
            const int32_t command = player_command_of(e.key);
            if (command != PLAYER_NONE) {
                *event = {.type = EVENT_PLAYER, .key = command, .minimised = 0};
                return true;
            }
        }
        *event = {.type = EVENT_KEY_DOWN, .key = e.key.keysym.sym == SDLK_ESCAPE ? KEY_ESCAPE : KEY_OTHER,
                  .minimised = 0};
        return true;
    case SDL_WINDOWEVENT:
        switch (e.window.event) {
        case SDL_WINDOWEVENT_CLOSE:
            *event = {.type = EVENT_CLOSE, .key = 0, .minimised = 0};
            return true;
        case SDL_WINDOWEVENT_MINIMIZED:
        case SDL_WINDOWEVENT_HIDDEN:
            *event = {.type = EVENT_ACTIVATE, .key = 0, .minimised = 1};
            return true;
        case SDL_WINDOWEVENT_SHOWN:
        case SDL_WINDOWEVENT_RESTORED:
        case SDL_WINDOWEVENT_MAXIMIZED:
        case SDL_WINDOWEVENT_FOCUS_GAINED: {
            const uint32_t flags = sdl.window ? SDL_GetWindowFlags(sdl.window) : 0;
            *event = {.type = EVENT_ACTIVATE, .key = 0,
                      .minimised = (flags & (SDL_WINDOW_MINIMIZED | SDL_WINDOW_HIDDEN)) ? 1 : 0};
            return true;
        }
        default:
            return false;
        }
    case SDL_RENDER_TARGETS_RESET:
    case SDL_RENDER_DEVICE_RESET:
        sdl.lost = true;  // the next present restores the surfaces
        return false;
    default:
        return false;
    }
}

bool sdl_poll_event(PlatformEvent* event)
{
    if (sdl.pending_count > 0) {
        *event = sdl.pending[0];
        for (int32_t i = 1; i < sdl.pending_count; i++)
            sdl.pending[i - 1] = sdl.pending[i];
        sdl.pending_count--;
        return true;
    }
    if (!sdl.video)
        return false;
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (map_event(e, event))
            return true;
    }
    return false;
}

void sdl_wait_event()
{
    if (sdl.pending_count > 0 || !sdl.video)
        return;
    SDL_WaitEvent(nullptr);
}

// Whole milliseconds, as the show's clock was read.
double sdl_clock_ms() { return double(int64_t(steady_ms())); }

}  // namespace

const Platform sdl_platform = {
    .name = "sdl",
    .open_window = sdl_open_window,
    .create_device = sdl_create_device,
    .show_window = sdl_show_window,
    .set_exclusive = sdl_set_exclusive,
    .set_display_mode = sdl_set_display_mode,
    .create_primary = sdl_create_primary,
    .attach_back_buffer = sdl_attach_back_buffer,
    .create_offscreen = sdl_create_offscreen,
    .green_mask = sdl_green_mask,
    .lock_offscreen = sdl_lock_offscreen,
    .unlock_offscreen = sdl_unlock_offscreen,
    .blit = sdl_blit,
    .flip = sdl_flip,
    .restore_primary = sdl_restore_primary,
    .restore_offscreen = sdl_restore_offscreen,
    .set_palette = sdl_set_palette,
    .release = sdl_release,
    .frame_presented = sdl_frame_presented,
    .set_overlay = sdl_set_overlay,
    .has_display = sdl_has_display,
    .message_box = sdl_message_box,
    .poll_event = sdl_poll_event,
    .wait_event = sdl_wait_event,
    .clock_ms = sdl_clock_ms,
    .start_timer = real_start_timer,
    .kill_timer = real_kill_timer,
    .set_virtual_frame = nullptr,
    .audio_open = sdl_audio_open,
    .audio_play = sdl_audio_play,
    .audio_stop = sdl_audio_stop,
    .audio_fade = sdl_audio_fade,
    .audio_pause = sdl_audio_pause,
    .audio_seek = sdl_audio_seek,
    .audio_mute = sdl_audio_mute,
    .audio_position_ms = sdl_audio_position_ms,
};

void sdl_configure(const PlatformConfig& config)
{
    sdl_release();
    sdl.config = config;
    sdl.lost = false;
    sdl.depth = 0;
    sdl.pending_count = 0;
}
