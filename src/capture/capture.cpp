// Frame capture on the headless display: image files and a frame table, or a
// video through an ffmpeg child process.
#include "capture/capture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "display/display.h"
#include "files/files.h"
#include "platform/platform.h"
#include "shell/shell.h"

extern char** environ;

namespace {

constexpr const char* SOUND_TRACK = "datos/cancion.mp3";
constexpr int32_t SOUND_RATE = 44100;
constexpr int32_t SOUND_CHANNELS = 2;
constexpr int32_t VIDEO_SCALE = 3;

// One capture per process: the state lives from capture_begin to capture_end.
struct Capture {
    CaptureOptions options;
    std::string folder;           // folder target, with no trailing slash
    File table;                   // frames.tsv
    pid_t encoder = -1;           // ffmpeg child for a video target
    int encoder_input = -1;       // write end of its standard input
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
    bool active = false;
};

Capture capture;
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
    const std::string t = target;
    return has_suffix(t, ".mp4") || has_suffix(t, ".mkv") || has_suffix(t, ".webm");
}

void write_all(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fatal_error("ffmpeg dejó de aceptar fotogramas para \"%s\" (%s)", capture.options.target,
                        std::strerror(errno));
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Starts argv[0] (looked up in PATH) with its standard input or output on a
// pipe; returns the child and our end of the pipe.  A missing program is
// reported by the caller; errno holds why.
bool spawn_with_pipe(const std::vector<std::string>& args, bool child_reads, pid_t& child, int& our_end)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (child_reads)
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    else
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int err = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(child_reads ? fds[0] : fds[1]);
    our_end = child_reads ? fds[1] : fds[0];
    if (err != 0) {
        ::close(our_end);
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

// Writes the parts one after the other into a new file at path; a file that
// cannot be created or written ends in fatal_error naming it.
struct Part {
    const void* data;
    size_t size;
};
void write_file(const std::string& path, std::initializer_list<Part> parts)
{
    File file(std::fopen(path.c_str(), "wb"));
    if (!file)
        fatal_error("No puedo crear \"%s\": %s", path.c_str(), std::strerror(errno));
    bool ok = true;
    for (const Part& part : parts)
        ok = ok && std::fwrite(part.data, 1, part.size, file.get()) == part.size;
    if (std::fclose(file.release()) != 0 || !ok)
        fatal_error("No puedo escribir \"%s\"", path.c_str());
}

std::string fps_text(const CaptureOptions& o)
{
    return std::to_string(o.fps_numerator) + "/" + std::to_string(o.fps_denominator);
}

void start_encoder(int32_t width, int32_t height)
{
    const std::string target = capture.options.target;
    std::vector<std::string> args = {
        "ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
        "-f", "rawvideo", "-pix_fmt", "rgb24",
        "-video_size", std::to_string(width) + "x" + std::to_string(height),
        "-framerate", fps_text(capture.options), "-i", "pipe:0",
    };
    const bool sound = file_exists(SOUND_TRACK);
    if (sound) {
        args.insert(args.end(), {"-i", SOUND_TRACK, "-map", "0:v", "-map", "1:a"});
    }
    // Nearest neighbour keeps every show pixel a sharp 3 x 3 block.
    args.insert(args.end(), {"-vf", "scale=iw*" + std::to_string(VIDEO_SCALE) + ":ih*" +
                                        std::to_string(VIDEO_SCALE) + ":flags=neighbor"});
    if (has_suffix(target, ".webm")) {
        args.insert(args.end(), {"-c:v", "libvpx-vp9", "-crf", "30", "-b:v", "0", "-deadline", "good",
                                 "-cpu-used", "4", "-row-mt", "1", "-pix_fmt", "yuv420p"});
        if (sound)
            args.insert(args.end(), {"-c:a", "libopus", "-b:a", "128k"});
    } else {
        args.insert(args.end(), {"-c:v", "libx264", "-preset", "medium", "-crf", "18", "-pix_fmt", "yuv420p"});
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
                             "-flags:a", "+bitexact", "file:" + target});
    if (!spawn_with_pipe(args, true, capture.encoder, capture.encoder_input)) {
        if (errno == ENOENT)
            fatal_error("No encuentro ffmpeg: hace falta para grabar \"%s\" (instálalo, p. ej. apt-get install ffmpeg)",
                        target.c_str());
        fatal_error("No puedo arrancar ffmpeg para grabar \"%s\": %s", target.c_str(), std::strerror(errno));
    }
}

void write_image(const PresentedFrame& frame)
{
    char name[32];
    const char* ext = capture.options.format == CAPTURE_PNG ? "png" : capture.options.format == CAPTURE_PPM ? "ppm" : "raw";
    std::snprintf(name, sizeof name, "/frame-%06lld.%s", static_cast<long long>(capture.written), ext);
    const std::string path = capture.folder + name;
    const size_t pixels = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    if (capture.options.format == CAPTURE_PNG) {
        // A photograph is held for seconds: same pixels, same file bytes.
        if (capture.encoded.empty() || capture.previous_rgb != capture.rgb) {
            png_encode_rgb(capture.rgb.data(), frame.width, frame.height, capture.encoded);
            capture.previous_rgb = capture.rgb;
        }
        write_file(path, {{capture.encoded.data(), capture.encoded.size()}});
    } else if (capture.options.format == CAPTURE_PPM) {
        char header[48];
        const int length = std::snprintf(header, sizeof header, "P6\n%d %d\n255\n", frame.width, frame.height);
        write_file(path, {{header, static_cast<size_t>(length)}, {capture.rgb.data(), pixels * 3}});
    } else {
        write_file(path, {{frame.pixels, pixels * static_cast<size_t>(frame.depth / 8)}});
    }
}

void draw_progress(bool final)
{
    const double now = steady_ms();
    if (!final && now - capture.last_bar_ms < 100.0)
        return;
    capture.last_bar_ms = now;
    const double seconds = (now - capture.started_ms) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(capture.written) / seconds : 0.0;
    const int64_t total = capture.expected > capture.written ? capture.expected : capture.written;
    const double eta = rate > 0 ? static_cast<double>(total - capture.written) / rate : 0.0;
    constexpr int32_t WIDTH = 30;
    const int32_t filled = total > 0 ? static_cast<int32_t>(capture.written * WIDTH / total) : WIDTH;
    char bar[WIDTH + 1];
    for (int32_t i = 0; i < WIDTH; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[WIDTH] = 0;
    std::fprintf(stderr, "\r[%s] %lld/%lld fotogramas  %.1f fps  quedan %.1f s ", bar,
                 static_cast<long long>(capture.written), static_cast<long long>(total), rate, eta);
    if (final)
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

void on_present(const PresentedFrame& frame, void*)
{
    if (capture.expected == 0) {
        // The script's last used cue (the tenth) ends the show; frames are
        // rendered at every T <= that cue.  Only an estimate for the bar.
        const double end_ms = (schedule[9] > 0 ? schedule[9] : 50.0f) * 1000.0;
        capture.expected = static_cast<int64_t>(end_ms * static_cast<double>(capture.options.fps_numerator) /
                                                (1000.0 * static_cast<double>(capture.options.fps_denominator))) +
                           1;
    }
    capture.rgb.resize(static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3);
    if (capture.options.format != CAPTURE_RAW)
        capture_frame_rgb(frame, capture.rgb.data());
    if (capture.options.format == CAPTURE_VIDEO) {
        // Started at the first frame, when its size is known.
        if (capture.encoder < 0)
            start_encoder(frame.width, frame.height);
        write_all(capture.encoder_input, capture.rgb.data(), capture.rgb.size());
    } else {
        write_image(frame);
        std::fprintf(capture.table.get(), "%lld\t%.6f\t%d\n", static_cast<long long>(frame.frame), frame.time_ms,
                     frame.stage);
    }
    ++capture.written;
    capture.last_frame = frame.frame;
    capture.last_time_ms = frame.time_ms;
    if (capture.terminal)
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
// track the show is silent and so is the file.
void write_sound()
{
    const int64_t n = capture.last_frame < 0 ? 0 : capture.last_frame;
    // T = n * 1000 * D / N ms, so samples = n * D * rate / N exactly, rounded down.
    const int64_t frames = n * capture.options.fps_denominator * SOUND_RATE / capture.options.fps_numerator;
    const size_t bytes = static_cast<size_t>(frames) * SOUND_CHANNELS * 2;
    std::vector<uint8_t> samples(bytes, 0);
    if (file_exists(SOUND_TRACK)) {
        pid_t child = -1;
        int from_child = -1;
        const std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
                                               "-i", SOUND_TRACK, "-f", "s16le", "-acodec", "pcm_s16le",
                                               "-ac", std::to_string(SOUND_CHANNELS), "-ar",
                                               std::to_string(SOUND_RATE), "pipe:1"};
        if (!spawn_with_pipe(args, false, child, from_child)) {
            std::fprintf(stderr, "Aviso: sin ffmpeg no puedo decodificar \"%s\"; sound.wav queda en silencio\n",
                         SOUND_TRACK);
        } else {
            size_t got = 0;
            uint8_t sink[65536];
            for (;;) {
                uint8_t* into = got < bytes ? samples.data() + got : sink;
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
            if (wait_child(child) != 0)
                fatal_error("ffmpeg no pudo decodificar \"%s\"", SOUND_TRACK);
        }
    }
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
    write_file(capture.folder + "/sound.wav", {{header.data(), header.size()}, {samples.data(), bytes}});
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

void capture_begin(const CaptureOptions& options)
{
    capture.table.reset();
    capture = Capture{};
    capture.options = options;
    if (!options.target || !*options.target)
        fatal_error("--capture necesita una carpeta o un fichero de vídeo");
    if (options.fps_numerator <= 0 || options.fps_denominator <= 0)
        fatal_error("Frecuencia de grabación no válida: %lld/%lld", static_cast<long long>(options.fps_numerator),
                    static_cast<long long>(options.fps_denominator));
    if (is_video_target(options.target))
        capture.options.format = CAPTURE_VIDEO;
    capture.terminal = ::isatty(2) != 0;
    capture.started_ms = steady_ms();
    result_frames = 0;
    result_last_ms = 0.0;
    if (capture.options.format == CAPTURE_VIDEO) {
        // A write to a pipe whose reader died must come back as an error we
        // can report, not kill the process.
        std::signal(SIGPIPE, SIG_IGN);
    } else {
        capture.folder = options.target;
        while (capture.folder.size() > 1 && capture.folder.back() == '/')
            capture.folder.pop_back();
        if (::mkdir(capture.folder.c_str(), 0777) != 0 && errno != EEXIST)
            fatal_error("No puedo crear la carpeta \"%s\": %s", capture.folder.c_str(), std::strerror(errno));
        struct stat st;
        if (::stat(capture.folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            fatal_error("\"%s\" no es una carpeta", capture.folder.c_str());
        const std::string table = capture.folder + "/frames.tsv";
        capture.table.reset(std::fopen(table.c_str(), "w"));
        if (!capture.table)
            fatal_error("No puedo crear \"%s\": %s", table.c_str(), std::strerror(errno));
        std::fprintf(capture.table.get(), "frame\tT_ms\tstage\n");
    }
    capture.active = true;
    headless_set_present_hook(on_present, nullptr);
}

int32_t capture_end(int32_t exit_code)
{
    if (!capture.active)
        return exit_code;
    headless_set_present_hook(nullptr, nullptr);
    capture.active = false;
    if (capture.options.format == CAPTURE_VIDEO && capture.encoder >= 0) {
        ::close(capture.encoder_input);
        capture.encoder_input = -1;
        const int status = wait_child(capture.encoder);
        capture.encoder = -1;
        if (status != 0)
            fatal_error("ffmpeg terminó con error (%d) al grabar \"%s\"", status, capture.options.target);
    } else if (capture.options.format != CAPTURE_VIDEO) {
        FILE* table = capture.table.release();
        if (std::fclose(table) != 0)
            fatal_error("No puedo escribir \"%s/frames.tsv\"", capture.folder.c_str());
        write_sound();
    }
    result_frames = capture.written;
    result_last_ms = capture.last_time_ms;
    const double seconds = (steady_ms() - capture.started_ms) / 1000.0;
    if (capture.terminal) {
        draw_progress(true);
    } else {
        std::fprintf(stderr, "yurn: %lld fotogramas grabados en \"%s\" en %.2f s (%.1f fps), T final %.3f ms\n",
                     static_cast<long long>(capture.written), capture.options.target, seconds,
                     seconds > 0 ? static_cast<double>(capture.written) / seconds : 0.0, capture.last_time_ms);
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
