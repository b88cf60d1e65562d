// The main loop's own routines: the cue test, the timer tick and the
// frame-rate report.  Shared inside shell/ (and with its tests) only; the
// stages take what they need of the shell from shell/shell.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// 1 while the current cue time has not passed; when it has (strictly:
// cue * 1000 < elapsed ms), advances cue_index and returns 0.  Once the 25
// cues are used up every call returns 0 without reading past the schedule, so
// the remaining stages end at once and the show reaches its end.  Main thread.
int32_t cue_pending();

// The 14 ms tick: calls tick of the current record if its ready byte is 1.
// Timer thread (the headless clock calls it on the main thread).
void timer_tick();

// Calls tick of the current record whatever its ready byte.  Nothing in the
// program calls it; timer_tick is the tick the timer delivers.
void tick_current_stage();

// Called after a stage's last interval; does nothing (no stage is released).
void stage_finished(int32_t index);

// Starts the periodic timer with timer_tick; stores timer_id; 1 if it started.
int32_t start_timer(uint32_t period_ms);

// The frame-rate report text: "Efecto compatible con las Vortal 2.1 ..." with
// frames, whole seconds and frames per second since the last report (or since
// the process started).  Moves frame_rate_base on.  Main thread.
void format_frame_rate(char* text, size_t size);

// Shows the frame-rate report in a box captioned "FPS" (standard error when
// there is no display); returns 1 when a box was shown.  The show as built
// does not call it; --stats prints the text at the end instead.
int32_t show_frame_rate();

// ---------------------------------------------------------------------------
// The player's side of the main loop (shell/player.cpp) and the walk it
// replays with (shell/shell.cpp)
// ---------------------------------------------------------------------------

// How run_show sets the player up for a run, before the music starts.
struct PlayerSetup {
    int64_t fps_numerator;    // the show's rate N/D: one frame period is 1000 * D / N ms
    int64_t fps_denominator;
    double from_ms;           // --from
    bool paused;              // --paused
    bool loop;                // --loop
    const char* show_name;    // the script's name, for screenshots
    double length_ms;         // the script's length, for the time bar
};
void player_setup(const PlayerSetup& setup);

// After the timer and the clock base, before the main loop: the real clock's
// base, the seek to --from.
void player_start();

// The show's clock in ms: the player's frame time while it clocks the show,
// the platform's clock otherwise (a test driving cue_pending by hand).
double show_clock_ms();
bool player_clocks_show();

// The tick source while the player clocks the show: callback every
// period_ms of show time, delivered by player_frame_done.  Returns the id.
uint32_t player_start_ticks(uint32_t period_ms, void (*callback)());

// What the next pump step with the window active does.
enum PlayerStep : int32_t {
    PLAYER_STEP_FRAME = 0,  // render and present the frame due
    PLAYER_STEP_QUIET,      // a frame came due while the last was drawn: step over it
    PLAYER_STEP_HOLD,       // paused or early: present the last frame again
};
PlayerStep player_next_step();

// Presents the frame on the screen again (with the time shown over it).
void player_hold();

// Sets the overlay for the present that follows.
void player_before_present();

// A frame period of show time has passed: the clock moves on and the ticks
// due are delivered.
void player_frame_done();

// The window was minimised from `before` (platform clock) until now: the
// periods in between pass without frames, their ticks delivered.
void player_idle(double before);

// The walk reached the end of the show: true when the player loops it (it
// was rewound to the start), false when the show ends.
bool player_show_ended();

// The walk, for the player's replay (shell/shell.cpp): one frame period
// stepped over without drawing (false at the end of the show); the whole
// show back to its start (stages rewound, or built anew when one cannot
// rewind); the script's music fade armed again for a show clock at show_ms.
bool quiet_step();
void rewind_show();
void arm_music_fade(double show_ms);

// The player's pictures (shell/player_draw.cpp).  The overlay mask
// (width x height, 0 none, 1 shade, 2 ink): the time bar and "12.4 / 50.0 s"
// along the bottom with state (the modes on, "BUCLE SILENCIO"; may be empty)
// at its right, and the list of keys when keys is set.
void draw_player_overlay(uint8_t* mask, int32_t width, int32_t height, double time_ms, double length_ms,
                         bool keys, const char* state);
// Writes width x height RGB pixels as a new PNG file at path (never over an
// existing file); false with errno set when it cannot.
bool write_png_new(const char* path, const uint8_t* rgb, int32_t width, int32_t height);

// --watch (shell/watch.cpp): the files to look at, each one's size and
// modification time taken now; then true once for every look that finds
// any of them changed (appeared, gone, resized or touched), their new state
// kept.  Main thread.
void watch_files(const std::vector<std::string>& paths);
bool watched_files_changed();

// The show was built anew (--watch): the player goes back to the frame it
// showed, replaying the new show from its start; length_ms is the new show's.
void player_reload(double length_ms);
