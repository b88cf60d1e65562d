// The platform layer: the services the display and the shell take from the
// system (a window with a full-screen output, an off-screen surface, present,
// an 8-bit palette, window events, a periodic timer, a clock, MP3 playback,
// message boxes), behind one record of function pointers with three backends:
// SDL2 (a real window and sound), headless (no window, no sound, a virtual
// clock) and web (a canvas in a browser page, in the WebAssembly build only).
// Of src/, only this folder includes SDL and emscripten headers.  display/ and
// shell/ call through `platform`; select_platform picks the backend once per run.
//
// Why it is shaped like this: the layer keeps the display's steps (primary
// surface, attached back buffer, off-screen surface, restore, blit, flip)
// and their DD_OK / DDERR_* result codes, because init_display and
// present_frame decide on those codes step by step, and the headless backend
// can make any single step fail, so the display's whole failure table stays
// testable.  Folding the steps together or turning the codes into booleans
// would lose those paths, so keep them even where a backend has no such step.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Result codes of the display calls, as the display code tests them.
// ---------------------------------------------------------------------------
constexpr int32_t DD_OK = 0;
constexpr int32_t DDERR_GENERIC = int32_t(0x80004005u);
constexpr int32_t DDERR_OUTOFMEMORY = int32_t(0x8007000Eu);
constexpr int32_t DDERR_INVALIDMODE = int32_t(0x88760050u);
constexpr int32_t DDERR_NODIRECTDRAWHW = int32_t(0x88760231u);
constexpr int32_t DDERR_SURFACELOST = int32_t(0x887601C2u);
constexpr int32_t DDERR_WASSTILLDRAWING = int32_t(0x8876021Cu);

// Display modes a backend offers at the frame size, as a bit set.
constexpr uint32_t OFFER_32 = 1;
constexpr uint32_t OFFER_24 = 2;
constexpr uint32_t OFFER_16 = 4;
constexpr uint32_t OFFER_8 = 8;
constexpr uint32_t OFFER_ALL = OFFER_32 | OFFER_24 | OFFER_16 | OFFER_8;

// Where the off-screen surface is asked for; the first kind may be refused.
constexpr int32_t MEMORY_VIDEO = 0;
constexpr int32_t MEMORY_SYSTEM = 1;

// Green masks a 16-bit mode reports.
constexpr uint32_t GREEN_MASK_565 = 0x07E0;
constexpr uint32_t GREEN_MASK_555 = 0x03E0;

// How the backend is set up; filled from the command line by the shell.
struct PlatformConfig {
    bool headless;            // no window, no sound, virtual clock
    bool window;              // SDL only: a 3x window instead of full screen
    uint32_t offered_modes;   // OFFER_* bits
    bool mode_555;            // the 16-bit mode is 5-5-5 instead of 5-6-5
    int64_t fps_numerator;    // headless frame rate numerator / denominator (> 0)
    int64_t fps_denominator;
};

// Window events, as the display's window procedure wants them.
enum PlatformEventType : int32_t {
    EVENT_NONE = 0,
    EVENT_CLOSE,     // the user closed the window
    EVENT_KEY_DOWN,  // key = KEY_ESCAPE or KEY_OTHER
    EVENT_ACTIVATE,  // minimised = 1 when the window went to an icon, 0 when shown again
    EVENT_PLAYER,    // key = a PlayerCommand: a backend's key for the player (shell/player.h)
};
constexpr int32_t KEY_ESCAPE = 27;
constexpr int32_t KEY_OTHER = 0;

// What the player's keys ask for, whatever the backend's keys are: each
// backend turns its own keys into these (the SDL window: Space, the arrows,
// Shift+arrows, ',', '.', Home, L, M, S, '?' or H), and the shell's player
// (shell/player.h) carries them out between frames.
enum PlayerCommand : int32_t {
    PLAYER_NONE = 0,
    PLAYER_PAUSE,          // pause or resume, the music with the picture
    PLAYER_BACK,           // 5 s back
    PLAYER_FORWARD,        // 5 s forward
    PLAYER_BACK_SHORT,     // 1 s back
    PLAYER_FORWARD_SHORT,  // 1 s forward
    PLAYER_FRAME_BACK,     // one frame back (pauses)
    PLAYER_FRAME_FORWARD,  // one frame forward (pauses)
    PLAYER_HOME,           // to the start
    PLAYER_LOOP,           // loop the show on or off
    PLAYER_MUTE,           // the music silent or not
    PLAYER_SCREENSHOT,     // the shown frame to a new PNG in the current folder
    PLAYER_KEYS,           // the list of keys over the picture, on or off
    PLAYER_SEEK_TO,        // to the time posted with it (player_post); no key sends it
    PLAYER_COMMAND_COUNT,
};

struct PlatformEvent {
    int32_t type;
    int32_t key;
    int32_t minimised;
};

using TimerCallback = void (*)();

// A backend.  Display calls return DD_OK or a DDERR_* code; the display code
// keeps the order of set-up and the retry rules, the backend only does each
// step.  All calls but the timer's callback run on the main thread.
struct Platform {
    const char* name;

    // Window and display, in the order init_display calls them.
    // open_window: 0 on success; otherwise 1 when there is no display at all
    // (reason holds the system's words) or 2 when the window itself failed.
    int32_t (*open_window)(int32_t width, int32_t height, char* reason, size_t reason_size);
    int32_t (*create_device)();                  // the drawing device (vsync)
    void (*show_window)();                       // raises it; queues the first activation
    int32_t (*set_exclusive)();                  // full screen when configured so
    int32_t (*set_display_mode)(int32_t width, int32_t height, int32_t depth);
    int32_t (*create_primary)();                 // the visible surface
    int32_t (*attach_back_buffer)();             // the back buffer, in the mode's format
    int32_t (*create_offscreen)(int32_t width, int32_t height, int32_t memory);
    uint32_t (*green_mask)();                    // of the current mode; 16-bit modes only
    uint8_t* (*lock_offscreen)();                // one contiguous block; null on failure
    int32_t (*unlock_offscreen)();
    int32_t (*blit)();                           // off-screen -> back buffer
    int32_t (*flip)();                           // back buffer -> screen (waits for vsync)
    int32_t (*restore_primary)();
    int32_t (*restore_offscreen)();
    void (*set_palette)(const uint8_t* rgb);     // 256 x (r, g, b) for the 8-bit mode
    void (*release)();                           // surfaces, device, window; idempotent
    void (*frame_presented)(int32_t stage);      // end of every present_frame call; stage: the current stage index
    // What the screen shows over the frame from the next present on, never
    // part of the frame itself (captures and screenshots read the off-screen
    // surface): width x height bytes, 0 = the frame, 1 = the frame darkened,
    // 2 = white; null = nothing.  Copied; null in a backend that draws none.
    void (*set_overlay)(const uint8_t* mask, int32_t width, int32_t height);
    bool (*has_display)();                       // a message box can be shown
    void (*message_box)(const char* caption, const char* text);

    // Events.  poll_event removes and returns one if there is one;
    // wait_event blocks until there is one (without removing it).
    bool (*poll_event)(PlatformEvent* event);
    void (*wait_event)();

    // Time.  clock_ms: milliseconds since the process started (SDL), since
    // select_platform set up the run (web) or the virtual time (headless).
    // start_timer calls callback every period_ms, one call at a time, and
    // returns a non-zero id; kill_timer stops it and returns once no call is
    // running (unless called from the callback).
    double (*clock_ms)();
    uint32_t (*start_timer)(uint32_t period_ms, TimerCallback callback);
    void (*kill_timer)(uint32_t id);
    // A virtual clock only (null on a real one): from now on the clock reads
    // frame n's time, as if the frames before it had been presented (the
    // player's seeks); the timer's ticks count on from there.  The frames and
    // waits that events are due at are not moved.
    void (*set_virtual_frame)(int64_t n);

    // Sound.  audio_open returns null on any failure; a null stream plays
    // nothing.  A track that cannot be played (missing, not a regular file,
    // not a sound) is said once on standard error and the show stays silent;
    // nothing ends the show.  audio_fade fades the playing music out over
    // length_ms.
    void* (*audio_open)(const char* path);
    void (*audio_play)(void* stream);
    void (*audio_stop)();
    void (*audio_fade)(uint32_t length_ms);
    // The player's calls; any may be null in a backend without them.
    // audio_pause holds or resumes the music; audio_seek moves it to ms from
    // its start (playing it again if it had ended or faded out, unless
    // paused); audio_mute silences it without stopping it; audio_position_ms
    // is where the music being heard now is, in ms from its start, measured
    // from the samples the device has taken, or -1 when nothing plays.
    void (*audio_pause)(bool paused);
    void (*audio_seek)(double ms);
    void (*audio_mute)(bool muted);
    double (*audio_position_ms)();
};

// The backend chosen by select_platform; null before.
extern const Platform* platform;

// How a backend ends the program on a failure it cannot return from (the
// connection to the display lost): the shell points it at fatal_error.  The
// default writes the message on standard error and exits with 1.
using PlatformFatal = void (*)(const char* format, ...);
extern PlatformFatal platform_fatal;

// How a backend words a system error (errno) and the kind of a file that is
// not a regular one (a stat mode) in a message of its own: the shell points
// them at the files module's system_reason and file_kind (Spanish); the
// defaults are strerror and "un fichero especial".
using PlatformReason = const char* (*)(int error);
extern PlatformReason platform_reason;
using PlatformFileKind = const char* (*)(uint32_t mode);
extern PlatformFileKind platform_file_kind;

// The player as a page's controls reach it (the shell points these at its
// player; the defaults do nothing and tell an empty state):
// platform_player_post queues a PlayerCommand, or PLAYER_SEEK_TO with ms,
// for the main loop's next pump step; platform_player_view tells what the
// frame on the screen is.
struct PlayerView {
    double time_ms;     // show time of the frame on the screen
    double length_ms;   // how long the show runs by itself; 0 when unknown
    int64_t frame;      // its number at the show's rate
    bool paused;
    bool looping;
    bool muted;
};
using PlatformPlayerPost = void (*)(int32_t command, double ms);
extern PlatformPlayerPost platform_player_post;
using PlatformPlayerView = PlayerView (*)();
extern PlatformPlayerView platform_player_view;

// Picks and configures the backend for a run.  Resets the headless state
// (clock, frame count, offered modes, queued events) but keeps its present hook.
void select_platform(const PlatformConfig& config);

// The backends.  The WebAssembly build has no SDL one; there the web one
// runs in real time, and with config.headless web_virtual_platform runs the
// headless backend and draws every presented frame in the page as well.
extern const Platform sdl_platform;
extern const Platform headless_platform;
extern const Platform web_platform;
extern const Platform web_virtual_platform;
// Each backend's set-up for a run, called by select_platform before the
// backend is used.
void sdl_configure(const PlatformConfig& config);
void headless_configure(const PlatformConfig& config);
void web_configure(const PlatformConfig& config);

// A 64-bit digest of size bytes, the same in every build: what the browser
// and the native program compare frame by frame.
uint64_t frame_digest(const uint8_t* bytes, size_t size);

// ---------------------------------------------------------------------------
// Headless controls, for tests, benchmarks and frame capture
//
// Virtual clock: T = 0 ms at start.  Every frame is rendered at the current T.
// When present_frame ends for the n-th time (n = 1, 2, ...), T becomes
// n * 1000 * fps_denominator / fps_numerator (computed from n as an exact
// integer product, one rounding to double), and every tick k = 1, 2, ... of
// the armed timer with 14 * k <= T that has not been delivered yet is
// delivered in order, on the main thread.  While the window is minimised
// (only when a test queues that event) wait_event jumps to the next queued
// event, counting the frame periods it skips as idle periods added to n, so
// T still moves in whole frame periods.
// ---------------------------------------------------------------------------

// What the present hook receives after every successful present (the flip of
// the frame happened; a frame whose present was cut short by a lost surface
// is not passed on).  pixels are the off-screen surface exactly as
// convert_frame wrote it: width * height pixels of depth bits, rows packed
// with no padding; 16-bit pixels are little-endian 5-6-5 when rgb565 is 1,
// else 5-5-5; 8-bit pixels index palette (256 x r, g, b, set at start-up).
// frame is the 0-based number of the present_frame call; time_ms the virtual
// time at which the frame was rendered; stage the value present_frame passed
// down to frame_presented (the current stage index).
// The pointers are valid during the call only.
struct PresentedFrame {
    const uint8_t* pixels;
    int32_t width;
    int32_t height;
    int32_t depth;      // 32, 24, 16 or 8
    int32_t rgb565;     // 16-bit only: 1 = 5-6-5, 0 = 5-5-5
    const uint8_t* palette;
    int64_t frame;
    double time_ms;
    int32_t stage;
};
using PresentHook = void (*)(const PresentedFrame& frame, void* user);

// Sets (or with null clears) the hook; survives select_platform.  Main thread.
void headless_set_present_hook(PresentHook hook, void* user);

// The next blit and flip report DDERR_SURFACELOST until the surfaces are restored.
void headless_lose_surfaces();

// Makes the next off-screen surface asked for in video memory fail, so the
// system-memory path is taken (once; survives select_platform).
void headless_refuse_video_memory();

// Queues an event that poll_event returns once `periods` more frame periods
// have passed (0: at the next poll).  Up to 16 events wait at a time.
void headless_queue_event(const PlatformEvent& event, int64_t periods);

// The virtual time in ms.
double headless_time_ms();

// The depths set_display_mode was asked for, in order (up to 16 kept).
int32_t headless_mode_requests(int32_t* depths, int32_t capacity);

// When the music was last asked to fade out in this run (virtual ms; -1 when
// never) and over how long.  There is no sound, only the request.
void headless_music_fade(double* at_ms, uint32_t* length_ms);

// The overlay the last present showed (null when none): what the player drew
// over the frame, which a test can read and the captured frame never holds.
const uint8_t* headless_overlay();

// The player's sound calls as the headless backend got them: paused, muted,
// the last seek (ms; -1 when none) and how many seeks there were.
struct HeadlessAudio {
    bool paused;
    bool muted;
    double last_seek_ms;
    int32_t seeks;
};
HeadlessAudio headless_audio();

// Milliseconds on std::chrono::steady_clock since the process started.
double steady_ms();
