// The two error reports the whole program uses: display_error for a failed
// display set-up, fatal_error for every unrecoverable condition in any
// subsystem.  Defined in display/error.cpp; they reach the display (if one is
// linked in) through the record it registers, so the tools use them without it.
#pragma once

#include <cstdint>

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
