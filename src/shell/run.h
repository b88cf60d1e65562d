// Starting a show: the entry points main starts the show with (the tests, the
// benchmarks and the frame digests too).
#pragma once

#include <cstdint>

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
