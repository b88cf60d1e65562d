// Window, display set-up with depth fallback, presenting, the palette and the
// window procedure with its message queue.
#include <cstdio>

#include "display/display.h"
#include "display/display_local.h"
#include "display/error.h"
#include "platform/platform.h"
#include "shell/shell.h"

namespace {

constexpr int32_t MAX_POSTED = 16;
constexpr int32_t FALLBACK_DEPTHS[] = {32, 24, 16, 8};

bool window_exists = false;
Message posted[MAX_POSTED];
int32_t posted_count = 0;

Message from_event(const PlatformEvent& event)
{
    switch (event.type) {
    case EVENT_CLOSE:
        return {.message = WM_CLOSE, .wparam = 0, .lparam = 0};
    case EVENT_KEY_DOWN:
        return {.message = WM_KEYDOWN, .wparam = uint64_t(event.key), .lparam = 0};
    case EVENT_ACTIVATE:
        // WA_ACTIVE in the low word; the minimised flag in the high word.
        return {.message = WM_ACTIVATE, .wparam = uint64_t(event.minimised ? 1 : 0) << 16 | 1, .lparam = 0};
    case EVENT_PLAYER:
        // The shell's message pump hands it to the player; the window
        // procedure answers it with 0 like any message it does not know.
        return {.message = WM_PLAYER, .wparam = uint64_t(uint32_t(event.key)), .lparam = 0};
    default:
        // Backends report only the four kinds above; anything else is a
        // harmless message the window procedure answers and forgets.
        return {.message = WM_SETCURSOR, .wparam = 0, .lparam = 0};
    }
}

// Runs one step of the present (the blit or the flip) until it succeeds.  A
// lost surface is restored and ends this frame's present, even when the
// restore works: with r then 0 no step is retried and nothing more happens
// (deliberate: the next frame shows).  A busy surface is retried at once.
// True when the step succeeded.
bool present_step(int32_t (*step)())
{
    int32_t r = step();
    while (r != DD_OK) {
        if (r == DDERR_SURFACELOST) {
            r = restore_surfaces();
            if (r != DD_OK)
                return false;
        }
        if (r != DDERR_WASSTILLDRAWING)
            return false;
        r = step();
    }
    return true;
}

// Copies and flips, with the restore and retry rules; see present_frame.
void present_surfaces()
{
    if (present_step(platform->blit))
        present_step(platform->flip);
}

// fatal_error and display_error release this display and show their box
// through the platform; registered as the program starts, before any report.
bool platform_can_show_box() { return platform && platform->has_display(); }
void platform_show_box(const char* caption, const char* text) { platform->message_box(caption, text); }
constexpr DisplayReports reports = {
    .release = release_display,
    .close_window = destroy_window,
    .can_show_box = platform_can_show_box,
    .show_box = platform_show_box,
};
[[maybe_unused]] const bool reports_registered = (set_display_reports(&reports), true);

}  // namespace

void post_message(uint32_t message, uint64_t wparam)
{
    if (posted_count == MAX_POSTED)
        return;  // a full queue drops the message, as a full system queue would
    posted[posted_count++] = {.message = message, .wparam = wparam, .lparam = 0};
}

bool peek_message(Message* message)
{
    if (posted_count > 0) {
        *message = posted[0];
        for (int32_t i = 1; i < posted_count; i++)
            posted[i - 1] = posted[i];
        posted_count--;
        return true;
    }
    PlatformEvent event;
    if (platform && platform->poll_event(&event)) {
        *message = from_event(event);
        return true;
    }
    return false;
}

void wait_message()
{
    if (posted_count == 0 && platform)
        platform->wait_event();
}

void dispatch_message(const Message& message) { window_proc(message.message, message.wparam, message.lparam); }

void destroy_window()
{
    if (!window_exists)
        return;
    window_exists = false;
    window_proc(WM_DESTROY, 0, 0);
}

int64_t window_proc(uint32_t message, uint64_t wparam, int64_t)
{
    switch (message) {
    case WM_DESTROY:
        if (timer_id != 0) {
            platform->kill_timer(timer_id);
            timer_id = 0;
        }
        release_display();
        post_message(WM_QUIT, 0);
        return 0;
    case WM_ACTIVATE:
        // Activated or not does not matter, only whether it went to an icon.
        active_flag = ((wparam >> 16) & 0xFFFF) == 0 ? 1 : 0;
        return 0;
    case WM_SETCURSOR:
        return 1;  // the backend keeps the pointer hidden over the window
    case WM_KEYDOWN:
        if (wparam == VK_ESCAPE)
            post_message(WM_CLOSE, 0);
        return 0;
    case WM_CLOSE:
        destroy_window();
        return 0;
    default:
        return 0;
    }
}

int32_t init_display()
{
    posted_count = 0;
    window_exists = false;
    rgb565 = 1;
    char reason[256] = "";
    const int32_t opened = platform->open_window(frame_width, frame_height, reason, sizeof reason);
    if (opened != 0) {
        char note[512];
        if (opened == 1)
            std::snprintf(note, sizeof note,
                          "No hay pantalla disponible (%s); yurn --headless ejecuta el espectáculo sin pantalla",
                          reason);
        else
            std::snprintf(note, sizeof note, "No se pudo abrir la ventana: %s", reason);
        set_fatal_note(note);
        fatal_error("ERROR: no puedo crear la ventana");
    }
    window_exists = true;

    int32_t code = platform->create_device();
    if (code != DD_OK)
        return display_error(code, "DirectDrawCreateEx FAILED");
    platform->show_window();
    code = platform->set_exclusive();
    if (code != DD_OK)
        return display_error(code, "SetCooperativeLevel FAILED");

    // The current depth first, then the whole list: 32 is asked for twice
    // before 24 when start-up left the depth at 32.  Deliberate.
    code = platform->set_display_mode(frame_width, frame_height, display_depth);
    for (const int32_t depth : FALLBACK_DEPTHS) {
        if (code == DD_OK)
            break;
        display_depth = depth;
        code = platform->set_display_mode(frame_width, frame_height, depth);
    }
    if (code != DD_OK)
        return display_error(code, "SetDisplayMode FAILED");

    code = platform->create_primary();
    if (code != DD_OK)
        return display_error(code, "CreateSurface FAILED");
    code = platform->attach_back_buffer();
    if (code != DD_OK)
        return display_error(code, "GetAttachedSurface FAILED");
    if (platform->create_offscreen(frame_width, frame_height, MEMORY_VIDEO) != DD_OK &&
        platform->create_offscreen(frame_width, frame_height, MEMORY_SYSTEM) != DD_OK)
        fatal_error("ERROR al crear la off-screen surface");

    if (display_depth == 16 && platform->green_mask() != GREEN_MASK_565)
        rgb565 = 0;
    return 0;
}

void present_frame()
{
    present_surfaces();
    platform->frame_presented(current_stage.load(std::memory_order_relaxed));
}

int32_t restore_surfaces()
{
    const int32_t r = platform->restore_primary();
    if (r != DD_OK)
        return r;
    return platform->restore_offscreen();
}

void release_display()
{
    if (platform)
        platform->release();
}

void palette_332(uint8_t* rgb)
{
    for (int32_t i = 0; i < 256; i++) {
        rgb[3 * i] = uint8_t(i & 0xE0);
        rgb[3 * i + 1] = uint8_t((i << 3) & 0xE0);
        rgb[3 * i + 2] = uint8_t((i << 6) & 0xC0);
    }
}

void set_palette_332()
{
    uint8_t rgb[256 * 3];
    palette_332(rgb);
    platform->set_palette(rgb);
}
