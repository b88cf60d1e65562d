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
// The player (shell/player.cpp) and what it asks of the walk (shell.cpp)
//
// With no key pressed the player changes nothing: the show runs on the
// platform's clock and the periodic timer, as above.  A seek stops the timer,
// and the main loop walks the show again from its first record on a clock of
// whole frame periods of the show's rate, the headless backend's own, with
// the ticks due delivered on the main thread: frames before the target are
// stepped over without drawing (the stages' advance entries), the target is
// drawn, and the show goes on from its time on the platform's clock again,
// or stays paused.  So the frame a seek shows is the capture's frame at that
// time.  Main thread.
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

// After the timer and the clock base, before the main loop: true when the
// show starts with a seek (--from, --paused), carried out as any other.
bool player_start();

// The show's clock in ms, what cue_pending and the music's fade read: the
// platform's clock while the show plays, clock_base plus the player's show
// time while a seek replays it or it is paused.
double show_clock_ms();

// A seek was asked for (a key, a page's control, --watch, the loop): the
// main loop returns, the caller rewinds the show and the replay begins.
bool player_seek_requested();
void player_begin_replay();

// While replaying, every pump step makes a frame: stepped over, or drawn
// when it is the target.  While paused the pump holds the picture instead.
bool player_replaying();
bool player_replay_draws();
bool player_holding();
// Paused: presents the held picture again, with the time over it (as a
// playing show, as often as the display takes frames).
void player_hold();

// A frame is about to be presented: show_ms is the show's time it was drawn
// at.  Sets what is drawn over it and measures the music against it.
void player_before_present(double show_ms);

// After every frame, drawn or stepped over: the replay's clock moves on a
// frame period and delivers the ticks due; after the target the show plays
// (or holds) from there.
void player_frame_done();

// The walk reached the end of the show: true when the player loops it (a
// seek to the start is then pending), false when the show ends.
bool player_show_ended();

// What the walk does for the player (shell/shell.cpp): the whole show back
// to its start (stages rewound, or built anew when one cannot rewind); the
// script's music fade armed again for a show clock at show_ms (never while
// replaying: a huge show_ms); the periodic timer stopped (a tick under way
// has returned when it does) and started again.
void rewind_show();
void arm_music_fade(double show_ms);
void stop_ticks();
void resume_ticks();

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
