// Frame capture: the show run on the headless display with its virtual clock,
// every presented frame written out, so that a recording neither drops nor
// repeats frames and is byte for byte the same on every run.
//
//   yurn --capture DIR [--overwrite] [--fps N|N/D] [--format png|ppm|raw] [--depth D]
//       DIR/frame-000000.png ...  what the display shows (png, ppm) or the
//                                 surface bytes exactly (raw)
//       DIR/frames.tsv            frame number, T in ms, current stage index
//       DIR/sound.wav             the sound track from its start, cut to the
//                                 show's length (T of the last frame)
//       DIR/.yurn-capture         the list of the files this capture wrote
//   yurn --capture show.mp4|.mkv|.webm [--overwrite] [--fps ...] [--depth D]
//       the frames handed by a writer thread to an ffmpeg child, which scales
//       them 3x with nearest neighbour, with the sound exactly as sound.wav
//       would hold it (a second thread feeds it).
//
// A folder must be new or empty, or with --overwrite hold an earlier
// capture: the new one is then made in a hidden folder beside it and swapped
// in once whole, and of the earlier one's files only those it listed go (a
// file of the user's that the new capture would write makes it refuse).  A
// video that exists is replaced only with --overwrite.  Every file is written
// whole or not at all (a temporary beside it, renamed); a failed write ends in
// fatal_error naming the file and leaves any earlier capture as it was.  A
// sound track that is missing or cannot be decoded gives a warning and a
// silent track; one shorter than the show is padded with silence.
// SIGINT, SIGTERM or SIGHUP during a capture ends the show at the next frame:
// what was captured is finished (frames.tsv, sound.wav, the video) and
// capture_end returns 128 + the signal's number (files/signals.h catches it
// from capture_begin to capture_end).  Interrupted over an earlier capture or video,
// that one stays and what was captured is saved as NAME-parcial (printed).
//
// The shell parses --capture, --format and --overwrite, runs the show
// headless, calls capture_begin before run_show (handing it the sound
// track's path, the music's fade-out and the show's length) and capture_end
// with its exit code.  Main thread.
//
// The files: run.cpp (begin, end, each presented frame), target.cpp (the
// names a target may have), folder.cpp (the folder and frames.tsv),
// replace.cpp (an earlier capture replaced), frames.cpp (a frame as an image
// file, display colours to RGB), video.cpp (the ffmpeg encoder),
// frame_writer.cpp (its writer thread), child.cpp (starting ffmpeg),
// sound.cpp (the track, its fade-out, sound.wav, the video's sound),
// progress.cpp (the bar and the summary),
// png_write.cpp (PNG through libpng).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>


enum CaptureFormat : int32_t {
    CAPTURE_PNG = 0,
    CAPTURE_PPM,
    CAPTURE_RAW,
    CAPTURE_VIDEO,  // chosen by the target's extension, not by --format
};

struct CaptureOptions {
    const char* target = nullptr;   // folder, or a video file (.mp4, .mkv, .webm)
    int32_t format = CAPTURE_PNG;   // for a folder; a video target makes it CAPTURE_VIDEO
    int64_t fps_numerator = 60;     // the headless frame rate N/D the show runs at
    int64_t fps_denominator = 1;
    bool overwrite = false;         // an earlier capture in the folder, or the video file, may be replaced
    // The sound track the show plays (its path, as the caller finds it),
    // decoded into sound.wav or the video; null: a silent show.
    const char* sound_track = nullptr;
    // The live show fades its music out from the first time to silence at the
    // second (ms from the show's start; the script's fade); the recorded
    // track does the same, through the same gain (platform/music_fade.h).
    // Both 0: the track plays as it is.
    double music_fade_from_ms = 0.0;
    double music_fade_to_ms = 0.0;
    // How long the show runs by itself (ms), for the progress bar's estimate
    // of the frames to come; 0 takes the photograph show's 50 s.
    double show_length_ms = 0.0;
};

// Exit code base of an interrupted capture: 128 + the signal's number.
constexpr int32_t CAPTURE_INTERRUPTED_BASE = 128;

// The format named on the command line ("png", "ppm", "raw"), or -1.
int32_t capture_format_named(const char* name);

// True when the target names a video file by its extension (any case).
bool capture_is_video(const char* target);

// Checks a --capture target before anything runs: a name ending in a video or
// picture extension we cannot write (.avi, .mov, .gif...) is refused with a
// message listing the ones we can, unless it is an existing folder.  False
// with the message in error.
bool capture_target_valid(const char* target, char* error, size_t error_size);

// False, with the message in error, when the target is a video file that
// exists (or a link, even a dangling one) and overwrite is not given: a video
// is replaced only when asked, as a folder's earlier capture is.  The shell
// reports it as a usage error (exit 2).
bool capture_target_free(const char* target, bool overwrite, char* error, size_t error_size);

// Creates the folder (or starts ffmpeg) and installs the headless present
// hook.  Before run_show, which must run headless at the same frame rate;
// any failure ends in fatal_error.
void capture_begin(const CaptureOptions& options);

// Finishes the capture after the show: frames.tsv and sound.wav, or closes
// ffmpeg and waits for it; prints the progress bar's last state or a one-line
// summary.  Returns exit_code, or 128 + the signal after an interruption.
int32_t capture_end(int32_t exit_code);

// What capture_end counted (for tests): frames written and T of the last one.
int64_t capture_frames_written();
double capture_last_time_ms();


// Encodes width x height pixels of R, G, B bytes as a PNG file image into out
// (capture/png_write.cpp, through libpng): Paeth-filtered rows, deflated with
// zlib's run-length strategy.  Deterministic: the same pixels give the same bytes.
void png_encode_rgb(const uint8_t* rgb, int32_t width, int32_t height, std::vector<uint8_t>& out);
