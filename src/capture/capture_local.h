// What the capture's files share: the one capture's state and the calls one
// file makes of another.  Private to src/capture/.  Main thread, unless a
// comment says otherwise.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture.h"
#include "files/files.h"
#include "platform/music_fade.h"

struct PresentedFrame;

constexpr int32_t SOUND_RATE = 44100;
constexpr int32_t SOUND_CHANNELS = 2;
constexpr int32_t VIDEO_SCALE = 3;
constexpr const char* TABLE_NAME = "frames.tsv";
constexpr const char* SOUND_NAME = "sound.wav";
// The list of the files a folder capture wrote, under its first line.
constexpr const char* MANIFEST_NAME = ".yurn-capture";
constexpr const char* MANIFEST_HEADER = "yurn capture: files written";

// A file name removed when its owner dies unless cleared first, and by a
// termination signal that ends the process: the video ffmpeg writes under a
// temporary name until it has finished.
struct TempName {
    std::string path;
    int32_t slot = -1;  // files/signals.h's watch of it
    void set(const std::string& name);
    void clear(bool remove);  // forgets the name, removing the file when asked
    TempName() = default;
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    ~TempName();
};

// The video's sound on its way to the encoder (sound.cpp).
struct SoundFeed {
    int output = -1;                    // write end of the encoder's sound pipe
    pid_t decoder = -1;                 // the ffmpeg child decoding the track, or -1
    int decoded = -1;                   // read end of its output
    bool track_ended = false;           // the thread read the decoder's output to its end
    std::atomic<int64_t> until{-1};     // frames the encoder needs in all: set once the last frame is sent
    std::thread thread;
    SoundFeed() = default;
    SoundFeed(const SoundFeed&) = delete;
    SoundFeed& operator=(const SoundFeed&) = delete;
    ~SoundFeed();
};

// The video's frames on their way to the encoder (frame_writer.cpp).  The
// fields under mutex: the ring of slots, first (the oldest queued), queued,
// closing and error (errno of a failed write; nothing is written after it).
struct FrameWriter {
    static constexpr size_t SLOTS = 4;
    int fd = -1;
    std::vector<uint8_t> slots[SLOTS];
    size_t first = 0;
    size_t queued = 0;
    bool closing = false;
    int error = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::thread thread;
    FrameWriter() = default;
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;
    ~FrameWriter();  // stops the thread once what is queued is written or the write failed
};

// A folder removed with all it holds when its owner dies, unless its path
// is cleared first: a new capture made beside an earlier one.
struct StagingFolder {
    std::string path;
    int lock = -1;  // the folder held open and locked: a capture still running
    StagingFolder() = default;
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    ~StagingFolder();
};

// One capture per process: the state lives from capture_begin to capture_end
// (and to the process's end after a fatal error, so the destructors remove
// every unfinished temporary).
struct Capture {
    CaptureOptions options;
    std::string folder;           // where the frames go: the target folder (no trailing slash) or staging
    StagingFolder staging;        // --overwrite over an earlier capture: the new one, made beside it
    std::string target_folder;    // and the folder it replaces (links resolved)
    std::vector<std::string> old_files;  // what the earlier capture recorded it wrote
    std::string saved_to;         // where the files ended up when not the target (an interruption)
    OutputFile table;             // frames.tsv, renamed into place at the end
    pid_t encoder = -1;           // ffmpeg child for a video target
    int encoder_input = -1;       // write end of its standard input
    TempName video_temp;          // what ffmpeg writes, renamed to video_path on success
    std::string video_path;       // the video target, or the file it links to: the link stays a link
    std::unique_ptr<FrameWriter> frame_writer;  // video: the thread writing the frames to the encoder
    std::unique_ptr<SoundFeed> sound_feed;  // video: the thread feeding the encoder its sound
    std::vector<uint8_t> rgb;     // one frame of R, G, B
    std::vector<uint8_t> previous_rgb;  // the frame before, and its encoded file:
    std::vector<uint8_t> encoded;       // a still picture is encoded once
    int64_t written = 0;          // frames written so far
    int64_t last_frame = -1;      // number of the last frame written
    double last_time_ms = 0.0;
    int64_t expected = 0;         // frames of a whole show, for the progress bar
    double started_ms = 0.0;      // steady clock at capture_begin
    double last_bar_ms = -1e9;
    bool terminal = false;        // standard error is a terminal: draw a bar
    bool stopping = false;        // a signal arrived: the show was asked to end
    ~Capture();
};

extern std::unique_ptr<Capture> capture;

// target.cpp: names.
bool has_suffix(const std::string& s, const char* suffix);
bool is_video_target(const char* target);

// folder.cpp: the folder of frames and the files in it.
const char* frame_extension();        // "png", "ppm" or "raw"
std::string frame_file_name(int64_t n);  // frame-000042.png
// Writes the parts one after the other as the new file at path, whole or not
// at all; a failure ends in fatal_error naming the file and why.  Frames skip
// the flush to disk of each file (thousands of them): the folder is flushed
// once before frames.tsv, which lists them, is put in place.
struct Part {
    const void* data;
    size_t size;
};
void write_file(const std::string& path, std::initializer_list<Part> parts, bool sync);
// Makes the folder, or accepts an existing one that is empty; with
// --overwrite removes the files an earlier capture left in it first.
void prepare_folder();
// Opens frames.tsv (under its temporary name) and writes its header line.
void open_table();
// One line of frames.tsv for a frame written.
void add_table_row(const PresentedFrame& frame);
// Flushes the frames to disk, puts frames.tsv in place, writes sound.wav
// and the list of files; a staged capture then takes the earlier one's
// place (or, interrupted, is saved beside it).
void finish_folder(bool interrupted);

// replace.cpp: an earlier capture replaced.
struct FolderContents {
    std::vector<std::string> names;  // every entry but . and ..
    std::vector<bool> regular;       // each a plain file (not followed through a link)
};
bool read_folder(const std::string& folder, FolderContents& out);
// Checks what is in the folder against what an earlier capture recorded
// (a file not ours that the new capture would write ends in fatal_error
// naming it) and makes the staging folder beside it.
void stage_beside(const FolderContents& contents);
// The staged capture takes the earlier one's place, or is saved beside it.
void put_in_place(bool interrupted);
// Where an interrupted capture is saved beside an earlier one: the first of
// STEM-parcial, STEM-parcial-2, ... (then the extension) that does not exist.
std::string partial_name(const std::string& stem, const std::string& extension);

// frames.cpp: one presented frame written as an image file.
void write_image(const PresentedFrame& frame);

// child.cpp: the ffmpeg children.
// Starts argv[0] (looked up in PATH) with its standard input or output on a
// pipe (or neither: pipe_to -1); returns the child and our end of the pipe.
// The child runs in its own process group, so a Ctrl+C meant for us does not
// cut its work short: we finish it ourselves.  errno holds why a start failed.
// extra_input (when not -1) becomes the child's descriptor 3.
bool spawn_child(const std::vector<std::string>& args, int pipe_to, pid_t& child, int& our_end,
                 int extra_input = -1);
// Waits for a child; its exit status, or -1 if it died of a signal.
int wait_child(pid_t child);
// "ffmpeg" with the options every call of ours gives it, then more.
std::vector<std::string> ffmpeg_args(std::initializer_list<const char*> more);
bool file_exists(const char* path);

// sound.cpp: the sound track.
// True when a track was named and is there; when it was named but is
// missing, says that the capture's sound is silent.
bool track_present();
// True when ffmpeg decodes the whole track without an error; samples get its
// first samples as 16-bit stereo at SOUND_RATE (as many as fit; the rest
// stays as it was).  False, with samples silent and a warning saying why the
// sound is silent, when it does not.
bool track_decodes(const char* track, std::vector<uint8_t>& samples);
// sound.wav in the folder, cut or padded to the show's length.
void write_sound();
// The video's sound: a thread writes the faded track, then silence, to
// output (the encoder's sound pipe, which it owns from then on) until
// stop_sound_feed says how many frames of sound the encoder needs in all;
// stop joins the thread, closes the pipe and finishes the decoder (warning
// when the track did not decode).
void start_sound_feed(SoundFeed& feed, int output);
void stop_sound_feed(SoundFeed& feed, int64_t until);

// video.cpp: the ffmpeg child that encodes the video.
void start_encoder(int32_t width, int32_t height);
// Where the next frame's R, G, B go (waiting for a free buffer), then queued
// for the writer; a failed write ends in fatal_error here.
uint8_t* encoder_frame_slot();
void encoder_frame_ready();
void finish_encoder();

// frame_writer.cpp: the writer thread.  All but the thread itself run on
// the main thread.
void start_frame_writer(FrameWriter& writer, int fd, size_t frame_bytes);
uint8_t* frame_writer_slot(FrameWriter& writer, int& error);  // null (error set) once a write failed
void frame_writer_push(FrameWriter& writer);
int frame_writer_finish(FrameWriter& writer);  // writes what is queued, joins; errno of a failure or 0

// progress.cpp: what the capture says on standard error.
void draw_progress(bool final);
void print_summary();
