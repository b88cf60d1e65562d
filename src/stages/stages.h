// Stage scripts: the compiled-in ways to fill the stage table and the
// schedule.  build_stage_table runs the selected one at start-up; --script
// NAME selects it.  Each script's build fills schedule, points stage_table at
// clear_stage_table(), stores the create entry points, calls them in index
// order with (index, frame_width, frame_height) and leaves a terminating
// record (data null) within the table.
#pragma once

#include <cstdint>

#include "shell/shell.h"

struct StageScript {
    const char* name;
    const char* description;  // one line for --help
    void (*build)();
    // Seconds from the clock base: the music fades out from the first to
    // silence at the second, for a show that ends before its track does.
    // Both 0: the track ends by itself.
    float music_fade_from;
    float music_fade_to;
    // Seconds from the clock base to the show's end by itself (its last cue):
    // the capture's progress estimate.
    float length;
    // The sound track, relative to the data folder; null is SOUND_TRACK, ""
    // a show without music.
    const char* music = nullptr;
    // The data folder a show file's paths are relative to (its own folder);
    // null: the one --data gives.
    const char* folder = nullptr;
    // The exit code at the show's end by itself; -1: the index of the
    // terminating record, as the compiled scripts end.
    int32_t exit_code = -1;
};

// The schedule of the show: cue times in seconds from the clock base.
// Cue 21 is 145 between 120 and 130, and nothing lies between 80 and 100:
// both as the show was timed.  Deliberate.
constexpr float SHOW_SCHEDULE[SCHEDULE_LENGTH] = {
    5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 65, 70, 75, 80, 100, 105, 110, 115, 120, 145, 130, 135, 140,
};

// Lookup by name (exact, case-sensitive); null when there is no such script.
const StageScript* find_stage_script(const char* name);

// Fills the schedule and the stage table by running the stage script chosen
// with select_stage_script (stages/scripts.cpp).  Called by the shell's
// start-up; main thread.
void build_stage_table();

// Makes the named script the one build_stage_table runs; false (and no change)
// when there is none.  "show" is selected until then.  Main thread.
bool select_stage_script(const char* name);

// The script build_stage_table runs now.
const StageScript* selected_stage_script();

// Makes script (a show file's, stages/show_files.h) the one build_stage_table
// runs; it must live until the show ends.  Main thread.
void select_loaded_script(const StageScript* script);

// The compiled-in scripts, for --help.
int32_t stage_script_count();
const StageScript* stage_script_at(int32_t index);

// Clears every field of the stage table's STAGE_COUNT records and returns the
// table, so the terminating record's ready reads 0 whatever the script leaves
// in it.  The table is static storage: nothing is allocated, nothing can fail,
// and it lives until the process ends.  It releases no stage: the caller does
// that first.  Main thread, before the timer starts.
Stage* clear_stage_table();

// A cleared table of at least `records` records (the static one when
// STAGE_COUNT are enough, else one from the heap that lives until the next
// clear_stage_table), with stage_table_length set to its size.  A table too
// large for memory ends in fatal_error.  Main thread, before the timer starts.
Stage* make_stage_table(int32_t records);
