// The demo shell's chief header: the shell's globals and the stage record,
// what every stage and the display take from the shell.  Every stage and the
// display include it; the frame size and the display depth come with it
// (shell/frame.h).  Starting a show is in shell/run.h, the command line in
// shell/options.h, the music in shell/music.h, and the main loop's own
// routines in shell/shell_local.h, which only shell/ and its tests include.
#pragma once

#include <atomic>
#include <cstdint>

#include "shell/frame.h"

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
    // For the player's seek, which replays the show up to a time without
    // drawing it (main thread, ticks delivered on the main thread too); kept
    // beside the table, not in the record.  Either may be left out.
    StageRender advance = nullptr;  // what render does to the stage's state and its result, without
                                    // drawing; null: a replay calls render instead
    StageEntry rewind = nullptr;    // back to the state create left, keeping what prepare allocated
                                    // (ready and output may stay); null: a seek back builds the table
                                    // anew, so create must then start the stage from scratch
};

// What a stage's advance calls for a neighbour: its advance, or its render
// when it has none.  Main thread.
int32_t advance_stage(int32_t index);

// The rewind installed for record index (null when none).  Main thread.
StageEntry stage_rewind(int32_t index);

// Forgets every record's advance and rewind; the stage table's clearing calls it.
void forget_stage_seeks();

// How every create ends: record index gets the stage's state in data, one
// pass, ready 0 and the given entry points (create itself stays as the
// script set it).  Main thread, before the timer starts.
void install_stage(int32_t index, void* data, const StageEntries& entries);

constexpr int32_t STAGE_COUNT = 20;     // records in the stage table
constexpr int32_t SCHEDULE_LENGTH = 25; // cue times in the schedule
constexpr uint32_t TICK_MS = 14;        // period of the timer tick
// The compiled scripts' sound track, in the data folder: start-up opens it
// for the music (a show file names its own), main hands it to the capture.
constexpr const char* SOUND_TRACK = "datos/cancion.mp3";

// ---------------------------------------------------------------------------
// Shell globals (defined in shell/globals.cpp; the frame size and the display
// depth are in shell/frame.h)
// ---------------------------------------------------------------------------
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
