// Frame capture on the headless display: image files and a frame table, or a
// video through an ffmpeg child process.
#include "capture/capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "display/display.h"
#include "files/files.h"
#include "platform/platform.h"
#include "shell/shell.h"

extern char** environ;

namespace {

constexpr int32_t SOUND_RATE = 44100;
constexpr int32_t SOUND_CHANNELS = 2;
constexpr int32_t VIDEO_SCALE = 3;
constexpr const char* VIDEO_EXTENSIONS[] = {".mp4", ".mkv", ".webm"};
// Names that ask for a video or an animation we do not write.  Made into a
// folder of frames, such a name would only mislead.
constexpr const char* OTHER_VIDEO_EXTENSIONS[] = {
    ".avi", ".mov", ".gif", ".apng", ".webp", ".mpg", ".mpeg", ".m4v", ".wmv", ".flv", ".ogv",
    ".ogg", ".ts",  ".mts", ".m2ts", ".3gp", ".mxf", ".vob",  ".asf", ".y4m", ".h264", ".hevc",
};
// The files a folder capture writes; --overwrite removes these and no others.
constexpr const char* FRAME_EXTENSIONS[] = {".png", ".ppm", ".raw"};
constexpr const char* TABLE_NAME = "frames.tsv";
constexpr const char* SOUND_NAME = "sound.wav";

// Set by the SIGINT / SIGTERM handler; the capture reads it at every frame.
// The handler does nothing else.
std::atomic<int32_t> pending_signal{0};
static_assert(std::atomic<int32_t>::is_always_lock_free, "read and written by a signal handler");

// A file name removed when its owner dies unless cleared first: the video
// ffmpeg writes under a temporary name until it has finished.
struct TempName {
    std::string path;
    TempName() = default;
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    ~TempName()
    {
        if (!path.empty())
            ::unlink(path.c_str());
    }
};

// One capture per process: the state lives from capture_begin to capture_end
// (and to the process's end after a fatal error, so the destructors remove
// every unfinished temporary).
struct Capture {
    CaptureOptions options;
    std::string folder;           // folder target, with no trailing slash
    OutputFile table;             // frames.tsv, renamed into place at the end
    pid_t encoder = -1;           // ffmpeg child for a video target
    int encoder_input = -1;       // write end of its standard input
    TempName video_temp;          // what ffmpeg writes, renamed to video_path on success
    std::string video_path;       // the video target, or the file it links to: the link stays a link
    bool sound_decodes = false;   // video: the track decodes, so it is muxed
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
    struct sigaction old_interrupt {};
    struct sigaction old_terminate {};
    ~Capture()
    {
        if (encoder_input >= 0)
            ::close(encoder_input);
    }
};

std::unique_ptr<Capture> capture;
int64_t result_frames = 0;
double result_last_ms = 0.0;

bool has_suffix(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[s.size() - n + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i])
            return false;
    }
    return true;
}

bool is_video_target(const char* target)
{
    for (const char* ext : VIDEO_EXTENSIONS)
        if (has_suffix(target, ext))
            return true;
    return false;
}

// A name this capture writes into a folder: frame-<digits>.<png|ppm|raw>,
// frames.tsv, sound.wav, or the temporary of one of them left by a killed run.
bool is_capture_file(std::string name)
{
    if (name.size() > 1 && name[0] == '.') {
        const size_t tmp = name.rfind(".tmp-");
        if (tmp == std::string::npos)
            return false;
        name = name.substr(1, tmp - 1);
    }
    if (name == TABLE_NAME || name == SOUND_NAME)
        return true;
    if (name.compare(0, 6, "frame-") != 0 || name.size() < 6 + 1 + 4)
        return false;
    const size_t dot = name.size() - 4;
    for (size_t i = 6; i < dot; ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    for (const char* ext : FRAME_EXTENSIONS)
        if (name.compare(dot, 4, ext) == 0)
            return true;
    return false;
}

void on_signal(int signal_number) { pending_signal.store(signal_number, std::memory_order_relaxed); }

void install_signal_handlers()
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &capture->old_interrupt);
    sigaction(SIGTERM, &action, &capture->old_terminate);
}

void restore_signal_handlers()
{
    sigaction(SIGINT, &capture->old_interrupt, nullptr);
    sigaction(SIGTERM, &capture->old_terminate, nullptr);
}

void write_all(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fatal_error("ffmpeg dejó de aceptar fotogramas para \"%s\" (%s)", capture->options.target,
                        system_reason(errno));
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Starts argv[0] (looked up in PATH) with its standard input or output on a
// pipe (or neither); returns the child and our end of the pipe.  The child
// runs in its own process group, so a Ctrl+C meant for us does not cut its
// work short: we finish it ourselves.  errno holds why a start failed.
bool spawn_child(const std::vector<std::string>& args, int pipe_to, pid_t& child, int& our_end)
{
    int fds[2] = {-1, -1};
    if (pipe_to >= 0 && ::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe_to == 0)
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    else if (pipe_to == 1)
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // we ignore it; the child must not inherit that
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int err = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    our_end = -1;
    if (pipe_to >= 0) {
        ::close(pipe_to == 0 ? fds[0] : fds[1]);
        our_end = pipe_to == 0 ? fds[1] : fds[0];
    }
    if (err != 0) {
        if (our_end >= 0)
            ::close(our_end);
        our_end = -1;
        errno = err;
        return false;
    }
    return true;
}

// Waits for a child; its exit status, or -1 if it died of a signal.
int wait_child(pid_t child)
{
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool file_exists(const char* path)
{
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Writes the parts one after the other as the new file at path, whole or not
// at all; a failure ends in fatal_error naming the file and why.  Frames skip
// the flush to disk of each file (thousands of them): the folder is flushed
// once before frames.tsv, which lists them, is put in place.
struct Part {
    const void* data;
    size_t size;
};
void write_file(const std::string& path, std::initializer_list<Part> parts, bool sync)
{
    int error = 0;
    {
        // Closed before fatal_error, whose exit does not unwind: its
        // destructor removes the temporary.
        OutputFile out;
        out.sync = sync;
        bool ok = output_open(out, path.c_str());
        for (const Part& part : parts)
            ok = ok && output_write(out, part.data, part.size);
        if (ok && output_commit(out))
            return;
        error = out.error;
    }
    fatal_error("No puedo escribir \"%s\": %s", path.c_str(), system_reason(error));
}

std::string fps_text(const CaptureOptions& o)
{
    return std::to_string(o.fps_numerator) + "/" + std::to_string(o.fps_denominator);
}

std::vector<std::string> ffmpeg_args(std::initializer_list<const char*> more)
{
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// True when ffmpeg decodes the whole track without an error.  False (with a
// warning saying why the sound is silent) when it does not, or when there is
// no ffmpeg to decode it.
bool track_decodes(const char* track, std::vector<uint8_t>* samples)
{
    pid_t child = -1;
    int from_child = -1;
    const std::string channels = std::to_string(SOUND_CHANNELS), rate = std::to_string(SOUND_RATE);
    const std::vector<std::string> args =
        samples ? ffmpeg_args({"-i", track, "-f", "s16le", "-acodec", "pcm_s16le", "-ac", channels.c_str(), "-ar",
                               rate.c_str(), "pipe:1"})
                : ffmpeg_args({"-i", track, "-f", "null", "-"});
    if (!spawn_child(args, samples ? 1 : -1, child, from_child)) {
        if (errno == ENOENT)
            std::fprintf(stderr, "yurn: aviso: no encuentro ffmpeg para decodificar \"%s\"; la grabación queda en silencio\n",
                         track);
        else
            std::fprintf(stderr, "yurn: aviso: no puedo arrancar ffmpeg para decodificar \"%s\" (%s); la grabación queda en silencio\n",
                         track, system_reason(errno));
        return false;
    }
    if (samples) {
        const size_t bytes = samples->size();
        size_t got = 0;
        uint8_t sink[65536];
        for (;;) {
            uint8_t* into = got < bytes ? samples->data() + got : sink;
            const size_t room = got < bytes ? bytes - got : sizeof sink;
            const ssize_t r = ::read(from_child, into, room);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            if (got < bytes)
                got += static_cast<size_t>(r);
        }
        ::close(from_child);
    }
    if (wait_child(child) != 0) {
        std::fprintf(stderr, "yurn: aviso: ffmpeg no pudo decodificar \"%s\" (¿está dañado?); la grabación queda en silencio\n",
                     track);
        if (samples)
            std::fill(samples->begin(), samples->end(), uint8_t(0));
        return false;
    }
    return true;
}

// ffmpeg writes the video under a temporary name beside the file it will
// replace, with the target's extension (which picks the container), renamed
// on success.
std::string make_video_temp(const std::string& replaced, const std::string& target)
{
    const std::string ext = target.substr(target.rfind('.'));
    std::string temp = temporary_name(replaced) + ext;
    const int fd = ::mkstemps(temp.data(), int(ext.size()));
    if (fd < 0)
        fatal_error("No puedo escribir \"%s\": %s", target.c_str(), system_reason(errno));
    // ffmpeg writes over it in place, keeping mkstemps's private mode.
    ::fchmod(fd, replacing_file_mode(replaced.c_str()));
    ::close(fd);
    return temp;
}

bool fades_music()
{
    return capture->options.music_fade_to_ms > capture->options.music_fade_from_ms &&
           capture->options.music_fade_from_ms >= 0.0;
}

// The music's fade-out as the live show plays it: the gain falls in a straight
// line from 1 at the fade's start to 0 at its end, silence after.  samples are
// 16-bit little-endian, SOUND_CHANNELS to a frame.
void fade_out(std::vector<uint8_t>& samples)
{
    if (!fades_music())
        return;
    const double from = capture->options.music_fade_from_ms, to = capture->options.music_fade_to_ms;
    const size_t frame_bytes = SOUND_CHANNELS * 2;
    for (size_t at = 0; at + frame_bytes <= samples.size(); at += frame_bytes) {
        const double t = double(at / frame_bytes) * 1000.0 / SOUND_RATE;
        if (t < from)
            continue;
        const double gain = t >= to ? 0.0 : (to - t) / (to - from);
        for (size_t k = at; k < at + frame_bytes; k += 2) {
            const auto value = int16_t(uint16_t(samples[k] | samples[k + 1] << 8));
            const auto faded = uint16_t(int16_t(double(value) * gain));
            samples[k] = uint8_t(faded);
            samples[k + 1] = uint8_t(faded >> 8);
        }
    }
}

void start_encoder(int32_t width, int32_t height)
{
    const std::string target = capture->options.target;
    const char* track = capture->options.sound_track;
    const bool sound = track && file_exists(track);
    // A track ffmpeg cannot decode would fail the whole video: a silent one
    // takes its place.
    capture->sound_decodes = sound && track_decodes(track, nullptr);
    capture->video_temp.path = make_video_temp(capture->video_path, target);
    std::vector<std::string> args = ffmpeg_args({"-y", "-f", "rawvideo", "-pix_fmt", "rgb24"});
    args.insert(args.end(), {"-video_size", std::to_string(width) + "x" + std::to_string(height), "-framerate",
                             fps_text(capture->options), "-i", "pipe:0"});
    if (capture->sound_decodes)
        args.insert(args.end(), {"-i", track});
    else if (sound)
        args.insert(args.end(), {"-f", "lavfi", "-i",
                                 "anullsrc=channel_layout=stereo:sample_rate=" + std::to_string(SOUND_RATE)});
    if (sound)
        args.insert(args.end(), {"-map", "0:v", "-map", "1:a"});
    if (capture->sound_decodes && fades_music()) {
        char fade[96];
        std::snprintf(fade, sizeof fade, "afade=t=out:st=%.3f:d=%.3f", capture->options.music_fade_from_ms / 1000.0,
                      (capture->options.music_fade_to_ms - capture->options.music_fade_from_ms) / 1000.0);
        args.insert(args.end(), {"-af", fade});
    }
    // Nearest neighbour keeps every show pixel a sharp 3 x 3 block.  The
    // colours are converted before the scale, on a ninth of the pixels: the
    // same picture (conversion is per pixel), a third less time.
    const std::string scale = std::to_string(VIDEO_SCALE);
    args.insert(args.end(), {"-vf", "format=yuv444p,scale=iw*" + scale + ":ih*" + scale +
                                        ":flags=neighbor,format=yuv420p"});
    if (has_suffix(target, ".webm")) {
        // The real-time deadline at its fastest speed: ten times the "good"
        // deadline's speed for a picture the eye cannot tell from it.
        args.insert(args.end(), {"-c:v", "libvpx-vp9", "-crf", "30", "-b:v", "0", "-deadline", "realtime",
                                 "-cpu-used", "8", "-row-mt", "1", "-pix_fmt", "yuv420p"});
        if (sound)
            args.insert(args.end(), {"-c:a", "libopus", "-b:a", "128k"});
    } else {
        // The fastest preset: on blocks of flat colour it loses nothing to
        // the eye at this quality (a higher PSNR than the slower presets at
        // the same CRF, for a larger file), at several times real time.
        args.insert(args.end(), {"-c:v", "libx264", "-preset", "ultrafast", "-crf", "18", "-pix_fmt", "yuv420p"});
        if (sound)
            args.insert(args.end(), {"-c:a", "aac", "-b:a", "160k"});
        if (has_suffix(target, ".mp4"))
            args.insert(args.end(), {"-movflags", "+faststart"});
    }
    // The track is longer than the show: the output ends with the last frame.
    // No dates or tool versions in the file, so every run gives the same bytes.
    if (sound)
        args.push_back("-shortest");
    // "file:" keeps a name that starts with '-' or looks like a URL a plain file.
    args.insert(args.end(), {"-map_metadata", "-1", "-fflags", "+bitexact", "-flags:v", "+bitexact",
                             "-flags:a", "+bitexact", "file:" + capture->video_temp.path});
    if (!spawn_child(args, 0, capture->encoder, capture->encoder_input)) {
        if (errno == ENOENT)
            fatal_error("No encuentro ffmpeg: hace falta para grabar \"%s\" (instálalo, p. ej. apt-get install ffmpeg)",
                        target.c_str());
        fatal_error("No puedo arrancar ffmpeg para grabar \"%s\": %s", target.c_str(), system_reason(errno));
    }
}

// Closes ffmpeg's input and waits for it; on success its file replaces the
// target, on failure the temporary goes and the old target stays.
void finish_encoder()
{
    if (capture->encoder < 0)
        return;
    ::close(capture->encoder_input);
    capture->encoder_input = -1;
    const int status = wait_child(capture->encoder);
    capture->encoder = -1;
    if (status != 0)
        fatal_error("ffmpeg terminó con error (%d) al grabar \"%s\"; el fichero anterior queda como estaba", status,
                    capture->options.target);
    if (::rename(capture->video_temp.path.c_str(), capture->video_path.c_str()) != 0)
        fatal_error("No puedo escribir \"%s\": %s", capture->options.target, system_reason(errno));
    capture->video_temp.path.clear();
}

void write_image(const PresentedFrame& frame)
{
    char name[32];
    const char* ext = capture->options.format == CAPTURE_PNG   ? "png"
                      : capture->options.format == CAPTURE_PPM ? "ppm"
                                                               : "raw";
    std::snprintf(name, sizeof name, "/frame-%06lld.%s", static_cast<long long>(capture->written), ext);
    const std::string path = capture->folder + name;
    const size_t pixels = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    if (capture->options.format == CAPTURE_PNG) {
        // A photograph is held for seconds: same pixels, same file bytes.
        if (capture->encoded.empty() || capture->previous_rgb != capture->rgb) {
            png_encode_rgb(capture->rgb.data(), frame.width, frame.height, capture->encoded);
            capture->previous_rgb = capture->rgb;
        }
        write_file(path, {{capture->encoded.data(), capture->encoded.size()}}, false);
    } else if (capture->options.format == CAPTURE_PPM) {
        char header[48];
        const int length = std::snprintf(header, sizeof header, "P6\n%d %d\n255\n", frame.width, frame.height);
        write_file(path, {{header, static_cast<size_t>(length)}, {capture->rgb.data(), pixels * 3}}, false);
    } else {
        write_file(path, {{frame.pixels, pixels * static_cast<size_t>(frame.depth / 8)}}, false);
    }
}

void draw_progress(bool final)
{
    const double now = steady_ms();
    if (!final && now - capture->last_bar_ms < 100.0)
        return;
    capture->last_bar_ms = now;
    const double seconds = (now - capture->started_ms) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(capture->written) / seconds : 0.0;
    const int64_t total = capture->expected > capture->written ? capture->expected : capture->written;
    const double eta = rate > 0 ? static_cast<double>(total - capture->written) / rate : 0.0;
    constexpr int32_t WIDTH = 30;
    const int32_t filled = total > 0 ? static_cast<int32_t>(capture->written * WIDTH / total) : WIDTH;
    char bar[WIDTH + 1];
    for (int32_t i = 0; i < WIDTH; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[WIDTH] = 0;
    std::fprintf(stderr, "\r[%s] %lld/%lld fotogramas  %.1f fps  quedan %.1f s ", bar,
                 static_cast<long long>(capture->written), static_cast<long long>(total), rate, eta);
    if (final)
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

void on_present(const PresentedFrame& frame, void*)
{
    if (capture->stopping)
        return;
    if (pending_signal.load(std::memory_order_relaxed) != 0) {
        // Interrupted: this frame is not recorded; the show is closed as if
        // its window were, and capture_end finishes what was written.
        capture->stopping = true;
        headless_queue_event({.type = EVENT_CLOSE, .key = 0, .minimised = 0}, 0);
        return;
    }
    if (capture->expected == 0) {
        // Frames are rendered at every T up to the show's end, as long as the
        // script says it runs: only an estimate for the bar.
        const double end_ms = capture->options.show_length_ms > 0.0 ? capture->options.show_length_ms : 50000.0;
        capture->expected = static_cast<int64_t>(end_ms * static_cast<double>(capture->options.fps_numerator) /
                                                 (1000.0 * static_cast<double>(capture->options.fps_denominator))) +
                            1;
    }
    capture->rgb.resize(static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3);
    if (capture->options.format != CAPTURE_RAW)
        capture_frame_rgb(frame, capture->rgb.data());
    if (capture->options.format == CAPTURE_VIDEO) {
        // Started at the first frame, when its size is known.
        if (capture->encoder < 0)
            start_encoder(frame.width, frame.height);
        write_all(capture->encoder_input, capture->rgb.data(), capture->rgb.size());
    } else {
        write_image(frame);
        char line[96];
        const int length = std::snprintf(line, sizeof line, "%lld\t%.6f\t%d\n", static_cast<long long>(frame.frame),
                                         frame.time_ms, frame.stage);
        if (!output_write(capture->table, line, static_cast<size_t>(length)))
            fatal_error("No puedo escribir \"%s\": %s", capture->table.path.c_str(),
                        system_reason(capture->table.error));
    }
    ++capture->written;
    capture->last_frame = frame.frame;
    capture->last_time_ms = frame.time_ms;
    if (capture->terminal)
        draw_progress(false);
}

void put_u32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_u16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// The track decoded from its start (ffmpeg drops the encoder's delay and
// padding from the LAME header, as a gapless player does), cut or padded with
// silence to the show's length: T of the last frame, to the sample.  Without a
// track the show is silent and so is the file; a track that cannot be decoded
// gives silence and a warning.
void write_sound()
{
    const int64_t n = capture->last_frame < 0 ? 0 : capture->last_frame;
    // T = n * 1000 * D / N ms, so samples = n * D * rate / N exactly, rounded down.
    const int64_t frames = n * capture->options.fps_denominator * SOUND_RATE / capture->options.fps_numerator;
    const size_t bytes = static_cast<size_t>(frames) * SOUND_CHANNELS * 2;
    std::vector<uint8_t> samples(bytes, 0);
    const char* track = capture->options.sound_track;
    if (track && file_exists(track))
        track_decodes(track, &samples);
    fade_out(samples);
    std::vector<uint8_t> header;
    header.insert(header.end(), {'R', 'I', 'F', 'F'});
    put_u32(header, static_cast<uint32_t>(36 + bytes));
    header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_u32(header, 16);
    put_u16(header, 1);  // PCM
    put_u16(header, SOUND_CHANNELS);
    put_u32(header, SOUND_RATE);
    put_u32(header, SOUND_RATE * SOUND_CHANNELS * 2);
    put_u16(header, SOUND_CHANNELS * 2);
    put_u16(header, 16);
    header.insert(header.end(), {'d', 'a', 't', 'a'});
    put_u32(header, static_cast<uint32_t>(bytes));
    write_file(capture->folder + "/" + SOUND_NAME, {{header.data(), header.size()}, {samples.data(), bytes}}, true);
}

// The frames were written without a flush to disk each: one flush of the
// folder's file system puts them all there before frames.tsv lists them.
void flush_folder()
{
#if !defined(__EMSCRIPTEN__)  // the browser's file system lives in memory
    const int fd = ::open(capture->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::syncfs(fd);
    ::close(fd);
#endif
}

// Makes the folder, or accepts an existing one that is empty; with
// --overwrite removes the files an earlier capture left in it first (and only
// those).
void prepare_folder()
{
    const char* folder = capture->folder.c_str();
    if (::mkdir(folder, 0777) == 0)
        return;
    if (errno != EEXIST)
        fatal_error("No puedo crear la carpeta \"%s\": %s", folder, system_reason(errno));
    struct stat st;
    if (::stat(folder, &st) != 0 || !S_ISDIR(st.st_mode))
        fatal_error("\"%s\" no es una carpeta", folder);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder), ::closedir);
    if (!dir)
        fatal_error("No puedo leer la carpeta \"%s\": %s", folder, system_reason(errno));
    std::vector<std::string> ours;
    std::string other;
    int64_t entries = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        ++entries;
        if (is_capture_file(name))
            ours.push_back(name);
        else if (other.empty())
            other = name;
    }
    if (entries == 0)
        return;
    if (!capture->options.overwrite)
        fatal_error("La carpeta \"%s\" no está vacía (%lld ficheros): los fotogramas nuevos se mezclarían con los "
                    "que ya tiene; usa --overwrite para sustituir los de una grabación anterior, o una carpeta nueva",
                    folder, static_cast<long long>(entries));
    for (const std::string& name : ours) {
        const std::string path = capture->folder + "/" + name;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            fatal_error("No puedo borrar \"%s\": %s", path.c_str(), system_reason(errno));
    }
}

}  // namespace

int32_t capture_format_named(const char* name)
{
    if (!std::strcmp(name, "png"))
        return CAPTURE_PNG;
    if (!std::strcmp(name, "ppm"))
        return CAPTURE_PPM;
    if (!std::strcmp(name, "raw"))
        return CAPTURE_RAW;
    return -1;
}

bool capture_is_video(const char* target) { return target && is_video_target(target); }

bool capture_target_valid(const char* target, char* error, size_t error_size)
{
    if (!target || !*target) {
        std::snprintf(error, error_size, "--capture necesita una carpeta o un fichero .mp4, .mkv o .webm");
        return false;
    }
    struct stat st;
    const bool folder = ::stat(target, &st) == 0 && S_ISDIR(st.st_mode);
    if (is_video_target(target)) {
        // Found only when the finished video could not replace it.
        if (folder)
            std::snprintf(error, error_size,
                          "\"%s\" es una carpeta: un vídeo .mp4, .mkv o .webm se graba en un fichero", target);
        return !folder;
    }
    if (folder)
        return true;
    for (const char* ext : OTHER_VIDEO_EXTENSIONS) {
        if (has_suffix(target, ext)) {
            std::snprintf(error, error_size,
                          "no sé grabar vídeos \"%s\" (\"%s\"): --capture graba .mp4, .mkv o .webm, o fotogramas en "
                          "una carpeta",
                          ext, target);
            return false;
        }
    }
    return true;
}

void capture_begin(const CaptureOptions& options)
{
    capture = std::make_unique<Capture>();
    capture->options = options;
    pending_signal.store(0, std::memory_order_relaxed);
    result_frames = 0;
    result_last_ms = 0.0;
    char error[256];
    if (!capture_target_valid(options.target, error, sizeof error))
        fatal_error("%s", error);
    if (options.fps_numerator <= 0 || options.fps_denominator <= 0)
        fatal_error("Frecuencia de grabación no válida: %lld/%lld", static_cast<long long>(options.fps_numerator),
                    static_cast<long long>(options.fps_denominator));
    if (is_video_target(options.target)) {
        capture->options.format = CAPTURE_VIDEO;
        capture->video_path = replaced_path(options.target);
    }
    capture->terminal = ::isatty(2) != 0;
    capture->started_ms = steady_ms();
    // A write to a pipe whose reader died must come back as an error we can
    // report, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Ours before the first output file is opened: the files module then
    // leaves SIGINT and SIGTERM to us, and restoring them at the end gives
    // back the defaults, not its handler.
    install_signal_handlers();
    if (capture->options.format != CAPTURE_VIDEO) {
        capture->folder = options.target;
        while (capture->folder.size() > 1 && capture->folder.back() == '/')
            capture->folder.pop_back();
        prepare_folder();
        const std::string table = capture->folder + "/" + TABLE_NAME;
        static constexpr char HEADER[] = "frame\tT_ms\tstage\n";
        if (!output_open(capture->table, table.c_str()) || !output_write(capture->table, HEADER, sizeof HEADER - 1))
            fatal_error("No puedo escribir \"%s\": %s", table.c_str(), system_reason(capture->table.error));
    }
    headless_set_present_hook(on_present, nullptr);
}

int32_t capture_end(int32_t exit_code)
{
    if (!capture)
        return exit_code;
    headless_set_present_hook(nullptr, nullptr);
    if (capture->options.format == CAPTURE_VIDEO) {
        finish_encoder();
    } else {
        flush_folder();
        if (!output_commit(capture->table))
            fatal_error("No puedo escribir \"%s\": %s", capture->table.path.c_str(),
                        system_reason(capture->table.error));
        write_sound();
    }
    result_frames = capture->written;
    result_last_ms = capture->last_time_ms;
    const double seconds = (steady_ms() - capture->started_ms) / 1000.0;
    if (capture->terminal) {
        draw_progress(true);
    } else {
        std::fprintf(stderr, "yurn: %lld fotogramas grabados en \"%s\" en %.2f s (%.1f fps), T final %.3f ms\n",
                     static_cast<long long>(capture->written), capture->options.target, seconds,
                     seconds > 0 ? static_cast<double>(capture->written) / seconds : 0.0, capture->last_time_ms);
    }
    restore_signal_handlers();
    const int32_t signal_number = pending_signal.exchange(0, std::memory_order_relaxed);
    capture.reset();
    if (signal_number != 0) {
        std::fprintf(stderr, "yurn: grabación interrumpida (%s): se guardó lo grabado hasta T = %.3f ms\n",
                     signal_number == SIGINT ? "SIGINT, Ctrl+C" : signal_number == SIGTERM ? "SIGTERM" : "una señal", result_last_ms);
        return CAPTURE_INTERRUPTED_BASE + signal_number;
    }
    return exit_code;
}

int64_t capture_frames_written() { return result_frames; }
double capture_last_time_ms() { return result_last_ms; }

void capture_frame_rgb(const PresentedFrame& frame, uint8_t* rgb)
{
    const size_t count = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    const uint8_t* p = frame.pixels;
    switch (frame.depth) {
    case 32:
    case 24: {
        const size_t step = static_cast<size_t>(frame.depth / 8);  // bytes B, G, R (and the top byte)
        for (size_t i = 0; i < count; ++i, p += step, rgb += 3) {
            rgb[0] = p[2];
            rgb[1] = p[1];
            rgb[2] = p[0];
        }
        break;
    }
    case 16: {
        // 5-6-5 or 5-5-5, settled once per frame: where red starts and how
        // many bits green has; each field is widened to 8 bits by replication.
        const uint32_t red_shift = frame.rgb565 ? 11 : 10;
        const uint32_t green_bits = frame.rgb565 ? 6 : 5;
        const uint32_t green_mask = (1u << green_bits) - 1;
        for (size_t i = 0; i < count; ++i, p += 2, rgb += 3) {
            const uint32_t w = static_cast<uint32_t>(p[0] | p[1] << 8);
            const uint32_t r = (w >> red_shift) & 31;
            const uint32_t g = (w >> 5) & green_mask;
            const uint32_t b = w & 31;
            rgb[0] = static_cast<uint8_t>(r << 3 | r >> 2);
            rgb[1] = static_cast<uint8_t>(g << (8 - green_bits) | g >> (2 * green_bits - 8));
            rgb[2] = static_cast<uint8_t>(b << 3 | b >> 2);
        }
        break;
    }
    case 8:
        if (!frame.palette) {
            std::memset(rgb, 0, count * 3);
            break;
        }
        for (size_t i = 0; i < count; ++i, ++p, rgb += 3)
            std::memcpy(rgb, frame.palette + 3 * p[0], 3);
        break;
    default:
        std::memset(rgb, 0, count * 3);
        break;
    }
}
