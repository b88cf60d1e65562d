// The display: window, full-screen mode with depth fallback, presenting, the
// 8-bit palette, the window procedure and its message queue.  The error
// reports are in display/error.h, the instruction-set level in display/cpu.h,
// the frame conversion in display/convert.h.  Runs over platform/ (SDL,
// headless or web); all of it on the main thread unless said otherwise.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Window messages, as the window procedure receives them
// ---------------------------------------------------------------------------
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_ACTIVATE = 0x0006;   // wparam high word: 1 = minimised
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_QUIT = 0x0012;       // wparam: the exit code
constexpr uint32_t WM_SETCURSOR = 0x0020;
constexpr uint32_t WM_KEYDOWN = 0x0100;    // wparam: the key
constexpr uint32_t WM_PLAYER = 0x0401;   // WM_USER + 1; wparam: a PlayerCommand (platform/platform.h)
constexpr uint64_t VK_ESCAPE = 27;

struct Message {
    uint32_t message;
    uint64_t wparam;
    int64_t lparam;
};

// 1 at start; 0 once init_display finds the 16-bit mode is 5-5-5.  The
// display's record of its mode, beside display_depth (shell/frame.h): written
// by init_display, read by convert_frame.  Defined in display/convert.cpp, so
// that the conversion links without the display.  Main thread.
extern int32_t rgb565;

// Opens the window and the display at frame_width x frame_height, settles
// display_depth by fallback (the current depth, then 32, 24, 16, 8) and the
// 565 flag, and makes the off-screen surface.  0 on success, else the failing
// call's code after display_error reported it.  No window at all, or no
// off-screen surface, ends in fatal_error.  Called once by start-up.
int32_t init_display();

// The window procedure: Escape posts WM_CLOSE, WM_CLOSE destroys the window,
// WM_DESTROY kills the timer, releases the display and posts WM_QUIT (0),
// WM_ACTIVATE sets active_flag.  Called by dispatch_message and destroy_window.
int64_t window_proc(uint32_t message, uint64_t wparam, int64_t lparam);

// The message queue: messages posted here come first, then the platform's
// events as messages.  peek_message removes and returns one if there is one;
// wait_message blocks until one arrives.
void post_message(uint32_t message, uint64_t wparam);
bool peek_message(Message* message);
void wait_message();
void dispatch_message(const Message& message);

// Destroys the window if it exists (runs WM_DESTROY); idempotent.
void destroy_window();

// Copies the off-screen surface to the back buffer and flips, restoring lost
// surfaces (that frame then shows nothing new) and retrying while busy.
// Reports nothing.  Once per frame, after the surface is unlocked.
void present_frame();

// Restores the primary surface, then the off-screen one; the first failure code or 0.
int32_t restore_surfaces();

// Releases the display's surfaces, device and window; idempotent, any time.
void release_display();

// The 3-3-2 palette (index bits 7-5 red, 4-2 green, 1-0 blue, each in the
// top bits of its channel) as 256 x (r, g, b) bytes in rgb.
void palette_332(uint8_t* rgb);

// Attaches the 3-3-2 palette.  Start-up, when display_depth is 8.
void set_palette_332();
