// Frame capture: the show run on the headless display with its virtual clock,
// every presented frame written out, so that a recording neither drops nor
// repeats frames and is byte for byte the same on every run.
//
//   yurn --capture DIR [--fps N|N/D] [--format png|ppm|raw] [--depth D]
//       DIR/frame-000000.png ...  what the display shows (png, ppm) or the
//                                 surface bytes exactly (raw)
//       DIR/frames.tsv            frame number, T in ms, current stage index
//       DIR/sound.wav             the sound track from its start, cut to the
//                                 show's length (T of the last frame)
//   yurn --capture show.mp4|.mkv|.webm [--fps ...] [--depth D]
//       the frames piped to an ffmpeg child, scaled 3x with nearest
//       neighbour, with the sound track muxed from its start.
//
// The shell parses the options with capture_parse_option, lets
// capture_configure choose the headless backend, calls capture_begin before
// the show starts and capture_end with the show's exit code.  Main thread.
#pragma once

#include <cstdint>

struct PlatformConfig;

enum CaptureFormat : int32_t {
    CAPTURE_PNG = 0,
    CAPTURE_PPM,
    CAPTURE_RAW,
    CAPTURE_VIDEO,  // chosen by the target's extension, not by --format
};

struct CaptureOptions {
    const char* target = nullptr;     // folder, or a video file; null: no capture
    int64_t fps_numerator = 60;       // frame rate N/D, both > 0
    int64_t fps_denominator = 1;
    int32_t format = CAPTURE_PNG;     // for a folder target
    int32_t depth = 32;               // display depth offered: 32, 24, 16, 15 (16 as 5-5-5) or 8
    bool format_given = false;        // --format was on the command line
};

// Recognises one capture option at argv[i] and takes its value from
// argv[i + 1]: --capture, --fps, --format, --depth.  Returns how many arguments
// it used (2), or 0 when argv[i] is not one of them.  A bad or missing value
// ends in fatal_error naming it.
int32_t capture_parse_option(int32_t argc, char** argv, int32_t i, CaptureOptions& options);

// Checks the options as a whole (a video target with --format, and so on);
// ends in fatal_error on a conflict.  Call once after parsing.
void capture_check_options(CaptureOptions& options);

// Help lines for the capture options, for the shell's --help.
extern const char* const CAPTURE_HELP;

// Sets up the platform configuration for a capture: headless, the frame rate,
// the display modes offered for the depth.
void capture_configure(const CaptureOptions& options, PlatformConfig& config);

// Creates the folder (or starts ffmpeg) and installs the headless present
// hook.  Before the show starts; any failure ends in fatal_error.
void capture_begin(const CaptureOptions& options);

// Finishes the capture after the show: frames.tsv and sound.wav, or closes
// ffmpeg and waits for it; prints the summary.  Returns exit_code.
int32_t capture_end(int32_t exit_code);

// What capture_end counted (for tests): frames written and T of the last one.
int64_t capture_frames_written();
double capture_last_time_ms();

// The display's colours of one presented frame as 8-bit R, G, B, what png and
// ppm hold: 32 and 24 bits as they are; 16 bits with each 5- or 6-bit channel
// widened by bit replication; 8 bits through the palette.  rgb holds
// width * height * 3 bytes.
struct PresentedFrame;
void capture_frame_rgb(const PresentedFrame& frame, uint8_t* rgb);
