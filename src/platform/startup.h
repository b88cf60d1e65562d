// Start-up steps: how long each step from the process's start to the first
// presented frame took, for the --stats report.  The shell marks its steps
// (options, music, display, stages, sound, timer, first frame) and the SDL
// backend the library calls inside the display's set-up.  Main thread only.
#pragma once

#include <cstdint>

struct StartupStep {
    const char* name;  // what the step did, in Spanish, as the report prints it
    double ms;         // its length in milliseconds
};

// Notes that step has just ended: its length is the time since the previous
// mark.  The first step is always the one before main (the kernel starting
// the process, the dynamic loader, the libraries' initialisers), read from
// the system at the first mark, 10 ms coarse.  Marks after
// startup_finish or beyond the table's 32 are dropped.  name must outlive
// the process (a literal).
void startup_mark(const char* name);

// Marks the last step (the first frame presented) and closes the list.
// Later calls do nothing.
void startup_finish(const char* name);

// The steps so far, in order; their count through count.  finished tells
// whether startup_finish has run.
const StartupStep* startup_steps(int32_t* count, bool* finished);
