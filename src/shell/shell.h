// The demo shell: start-up, the main loop, the 14 ms timer tick, the stage
// table with its protocol and schedule.  Every stage and the display include
// this header for the shell's globals and the stage record.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Stage record and table
//
//        stage_table[i-1]        stage_table[i]          stage_table[i+1]
//      +----------------+      +----------------+      +----------------+
//      | output --------+--+   | output         |   +--+------ output   |
//      | data (state)   |  |   | data (state)   |   |  | data (state)   |
//      | prepare/render |  +-->| render blends  |<--+  | prepare/render |
//      | tick/release   |      | i-1 and i+1    |      | tick/release   |
//      +----------------+      +----------------+      +----------------+
//
// The shell drives only the current record (index current_stage).  A stage
// that shows a neighbour calls that neighbour's entry points itself: it calls
// prepare of i+1 before reading it, render of a neighbour before reading its
// output, and forwards every tick.  A record whose data is null ends the show.
// ---------------------------------------------------------------------------

using StageCreate = void (*)(int32_t index, int32_t width, int32_t height);
using StageEntry = void (*)(int32_t index);
using StageRender = int32_t (*)(int32_t index);

struct Stage {
    uint32_t reserved;             // zeroed with the table; nothing reads it
    uint32_t passes;               // intervals left while current; main thread only
    std::atomic<uint8_t> ready;    // 1 once prepared; written by main, read by the timer
    uint32_t* output;              // frame buffer the shell shows (0x00RRGGBB)
    void* data;                    // the stage's own state; null marks the end of the show
    StageCreate create;            // set by the stage script, called once at start-up
    StageEntry prepare;            // main thread, when the stage becomes current
    StageRender render;            // main thread, once per frame; non-zero ends the interval
    std::atomic<StageEntry> tick;  // timer thread, every 14 ms while current and ready
    StageEntry release;            // frees what create and prepare allocated
};

// The entry points a stage installs in its record when it is created; filled
// with designated initialisers, so two of them cannot be swapped silently.
struct StageEntries {
    StageEntry prepare;
    StageRender render;
    StageEntry tick;
    StageEntry release;
};

// How every create ends: record index gets the stage's state in data, one
// pass, ready 0 and the given entry points (create itself stays as the
// script set it).  Main thread, before the timer starts.
void install_stage(int32_t index, void* data, const StageEntries& entries);

constexpr int32_t STAGE_COUNT = 20;     // records in the stage table
constexpr int32_t SCHEDULE_LENGTH = 25; // cue times in the schedule
constexpr uint32_t TICK_MS = 14;        // period of the timer tick
constexpr const char* SOUND_TRACK = "datos/cancion.mp3";  // the music, in the data folder

// ---------------------------------------------------------------------------
// Shell globals (defined in shell/globals.cpp)
// ---------------------------------------------------------------------------
extern int32_t frame_width;                  // 320; width of every frame buffer; set at start-up
extern int32_t frame_height;                 // 240
extern int32_t display_depth;                // bits per pixel obtained by init_display: 32, 24, 16 or 8
extern std::atomic<int32_t> current_stage;   // index of the current record; main writes, timer reads
extern int32_t cue_index;                    // schedule entry that ends the current interval; main only
extern double clock_base;                    // clock reading (ms) when the show started; main only
extern int32_t done_flag;                    // last render result in this interval; main only
extern int32_t active_flag;                  // 1 while the window is not minimised; main only
extern int32_t frame_counter;                // frames converted and presented since start; main only
extern uint32_t timer_id;                    // id of the periodic timer, 0 while none; main only
extern float frame_rate_base;                // ms; the frame-rate report measures from it and moves it on; main only
extern Stage* stage_table;                   // STAGE_COUNT records, zero-filled; written before the timer starts
extern float schedule[SCHEDULE_LENGTH];      // cue times in seconds from clock_base; filled by the script
// The records of stage_table and the cue list in use: STAGE_COUNT and
// schedule for the compiled scripts, a show file's own for a show file
// (stages/show_files.h).  Set by the script before the timer starts.
extern int32_t stage_table_length;
extern const float* cue_times;
extern int32_t cue_count;

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------
struct Options;

// The whole show, from start-up to its end: resets the shell's globals, picks
// the platform backend, sets everything up in order and runs the main loop.
// Returns the exit code: the index of the terminating record at the normal
// end (19 for the photograph and stand-in shows, 7 for the engine show), the
// WM_QUIT code (0) after Escape or a closed window.  Fatal
// errors end in fatal_error.  Main thread; callable again in-process
// (tests), which releases the stages of the previous run first.
int32_t run_show(const Options& options);

// The same with build in place of the selected script (tests build their own
// tables with it); null runs build_stage_table.
int32_t run_show_script(const Options& options, void (*build)());

// Fills the schedule and the stage table by running the stage script chosen
// with select_stage_script (stages/stages.h).  Start-up, main thread.
void build_stage_table();

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

// The music (shell/music.cpp): one track, opened at start-up, started just
// before the clock base is taken, never stopped by the show (music_stop has no
// caller; a script may ask for music_fade_out).  Failures are silent.  Main
// thread.
struct Music {
    void* stream;         // the platform's stream; null when it could not be made
    uint32_t start_time;  // clock (ms) right after play was asked; 0 until then
};
extern Music* music;      // null before music_open; main thread
void music_open(const char* path);
void music_play();
void music_stop();
// Fades the playing music out to silence over length_ms (a script whose show
// ends before its track does asks for it, so the sound ends with the picture).
void music_fade_out(uint32_t length_ms);
