// The display: window, full-screen mode with depth fallback, presenting, the
// 8-bit palette, frame conversion, and the two error reports the whole
// program uses (display_error for set-up failures, fatal_error for the end).
#pragma once

#include <cstdint>

// Ends the program: releases the display, writes the formatted message to
// standard error, shows it in a box captioned "Error" and exits with 1.
// Any thread, any subsystem; never returns.
[[noreturn]] void fatal_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What fatal_error does once the message is formatted.  The default handler
// shows the box and exits with 1.  Tests and fuzzers install one that throws
// (or jumps back) so that every failure path can be run in-process; a handler
// that returns anyway is followed by exit(1).  Passing null restores the default.
using FatalHandler = void (*)(const char* message);
void set_fatal_handler(FatalHandler handler);

// Releases the display's surfaces and window; idempotent.  Main thread.
void release_display();
