// The display: window, full-screen mode with depth fallback, presenting, the
// 8-bit palette, frame conversion, the window procedure and its message queue,
// and the two error reports the whole program uses (display_error for set-up
// failures, fatal_error for the end).  Runs over platform/ (SDL, headless or web);
// all of it on the main thread unless said otherwise.
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
constexpr uint64_t VK_ESCAPE = 27;

struct Message {
    uint32_t message;
    uint64_t wparam;
    int64_t lparam;
};

// 1 at start; 0 once init_display finds the 16-bit mode is 5-5-5.
// Written by init_display, read by convert_frame.  Main thread.
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

// Attaches the 3-3-2 palette (index bits 7-5 red, 4-2 green, 1-0 blue, each
// in the top bits of its channel).  Start-up, when display_depth is 8.
void set_palette_332();

// Set-up failure report: formats into 128 characters, releases the display,
// shows the text captioned "DDrawInterface" (and on standard error), destroys
// the window and returns code.
int32_t display_error(int32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Ends the program: writes the formatted message (then the note, if any) to
// standard error, releases the display, shows the message in a box captioned
// "Error" when there is a display and exits with 1.  With a handler set (see
// set_fatal_handler) it releases the display and calls that instead.  Any
// thread, any subsystem; never returns.
[[noreturn]] void fatal_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A second line that the next fatal_error writes to standard error after its
// message: a plain hint (why no window could be opened, where the data were
// looked for).  An empty note clears it.  Main thread.
void set_fatal_note(const char* note);

// What fatal_error does once the message is formatted.  The default handler
// shows the box and exits with 1.  Tests and fuzzers install one that throws
// (or jumps back) so that every failure path can be run in-process; a handler
// that returns anyway is followed by exit(1).  Passing null restores the default.
using FatalHandler = void (*)(const char* message);
void set_fatal_handler(FatalHandler handler);

// ---------------------------------------------------------------------------
// Frame conversion: a 0x00RRGGBB frame into the display's pixel format
// ---------------------------------------------------------------------------

// Converts frame_width x frame_height pixels of source into destination, one
// contiguous block in the format of display_depth (32: copy; 24: bytes B, G,
// R; 16: 5-6-5 or 5-5-5 by rgb565; 8: dithered 3-3-2 indices); any other
// depth leaves destination alone.  pixel_count is not used.  The converter is
// chosen once per settled depth, not per frame.  Main thread.
void convert_frame(const uint32_t* source, void* destination, int32_t pixel_count);

// Three bytes B, G, R per pixel, four pixels to twelve bytes at a time; a
// count that is not a multiple of 4 ends pixel by pixel.  Any count >= 0.
void pack_24(const uint32_t* source, void* destination, int32_t count);

// One little-endian 16-bit word per pixel, by rgb565; truncates.  Any count >= 0.
void pack_16(const uint32_t* source, void* destination, int32_t count);

// Floyd-Steinberg error diffusion into the 3-3-2 palette, integer only, left to
// right on every row, errors starting from zero on every call.  Its error rows
// are storage kept between calls (grown only when a wider frame comes).
void dither_8(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height);

// What the processor offers, asked by every module that picks a kernel at run
// time (frame conversion, blend, the fades, the span fillers) and by tests and
// benchmarks.  The answer is the hardware's, capped by the environment
// variable YURN_CPU: "sse2", "avx2" or "avx512" make every cpu_has_* above
// that level say no (a cap above what the processor has changes nothing); an
// unknown value is reported on standard error in Spanish and caps nothing.
// Without x86 every answer is no and the plain kernels run.
constexpr int32_t CPU_PLAIN = 0;   // no x86 vector set: the plain kernels
constexpr int32_t CPU_SSE2 = 1;    // generic x86-64
constexpr int32_t CPU_AVX2 = 2;    // AVX2 (and SSSE3)
constexpr int32_t CPU_AVX512 = 3;  // AVX-512 F and BW
int32_t cpu_level();               // the level in force, cap applied
bool cpu_has_ssse3();              // off under a cap of sse2
bool cpu_has_avx2();
bool cpu_has_avx512bw();  // AVX-512 F and BW

// Sets the cap in-process (one of the CPU_* levels; -1 reads YURN_CPU again)
// and returns the level now in force.  Every dispatcher (convert_frame,
// pack_24, pack_16, dither_8, blend, the fade kernels) picks its kernels anew
// on its next call, so a test can run the same comparison at each level the
// machine has.  Main thread, between frames.
int32_t cpu_set_cap(int32_t level);
// Bumped by every cpu_set_cap: a dispatcher that cached its kernels at another
// value picks them again.
uint32_t cpu_generation();

// The kernels behind pack_24 and pack_16, exposed for tests and benchmarks.
// The *_scalar ones run anywhere; the others exist only on x86 and may be
// called only where cpu_has_* tells the set is there (*_sse2 always on x86).
void pack_24_scalar(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_16_scalar(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
#if defined(__x86_64__) || defined(__i386__)
void pack_24_sse2(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_24_ssse3(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_24_avx2(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_24_avx512(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_16_sse2(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
void pack_16_avx2(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
void pack_16_avx512(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
#endif
