// The command line of yurn: a plain record of options and its parser.  main
// parses; run_show reads the record.  New options are one entry in the table
// of shell/options.cpp (name, value, help line, what it sets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

struct Options {
    bool help = false;             // --help: usage on standard output, exit 0
    bool version = false;          // --version
    bool window = false;           // --window: a 3x window instead of full screen
    bool headless = false;         // --headless: no window, no sound, virtual clock
    bool stats = false;            // --stats: frame-rate report on standard error at the end
    bool verbose = false;          // --verbose: says on standard error where the data come from
    const char* data = nullptr;    // --data DIR: the folder holding datos/ and Yurn.pak; null = current
    int64_t fps_numerator = 60;    // --fps N or N/D: the headless frame rate, 1/FPS_MIN_PERIOD_S..FPS_MAX
    int64_t fps_denominator = 1;
    uint32_t offered_modes = OFFER_ALL;  // --depth: the display offers only these modes
    bool mode_555 = false;         // --depth 16:555
    const char* script = "show";   // --script NAME: the compiled-in stage script
    const char* capture = nullptr; // --capture DIR|FILE: record the show (capture/capture.h)
    int32_t capture_format = -1;   // --format png|ppm|raw: CaptureFormat, -1 when not given
    bool overwrite = false;        // --overwrite: --capture DIR may replace an earlier capture's files
    double from_ms = 0.0;          // --from T: the show starts at T seconds (ms here), on its exact frame
    bool paused = false;           // --paused: the show starts paused
    bool loop = false;             // --loop: the show starts again at its end
    bool watch = false;            // --watch: --show's file and its data read again when they change
    bool script_given = false;     // --script was given (it does not go with --show)
    const char* show = nullptr;    // --show FILE: a show file instead of a compiled script
    const char* print_show = nullptr;  // --print-show NAME: writes the compiled script NAME as a show file
    const char* check = nullptr;   // --check FILE: reads a show file and its data, prints its timeline
};

// Bound of --from, in seconds: a day.
constexpr int64_t FROM_MAX_S = 86400;

// Bounds of --fps: one frame a minute up to a thousand a second, so a frame
// period never spans more than a few thousand timer ticks.
constexpr int64_t FPS_MIN_PERIOD_S = 60;
constexpr int64_t FPS_MAX = 1000;

// Parses argv[1..argc-1] into options.  Options take their value as the next
// argument or after '=' (--fps 30 or --fps=30); -h is --help.  On a bad
// command line returns false with a one-line Spanish message naming the
// option or value in error (the caller exits with 2).
bool parse_options(int argc, char** argv, Options* options, char* error, size_t error_size);

// The --help text.
void print_usage(FILE* out);
