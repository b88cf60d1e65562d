// The video: the frames piped to an ffmpeg child that scales them 3x and
// encodes them with the sound track, under a temporary name renamed over the
// target once ffmpeg has finished.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_local.h"
#include "display/error.h"
#include "files/signals.h"

namespace {

std::string fps_text(const CaptureOptions& o)
{
    return std::to_string(o.fps_numerator) + "/" + std::to_string(o.fps_denominator);
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

}  // namespace

void start_encoder(int32_t width, int32_t height)
{
    const std::string target = capture->options.target;
    // Any named track gives the video a sound: the track as sound.wav would
    // hold it (decoded, faded, then silence), or silence when it is missing
    // or cannot be decoded.  It comes through a pipe of its own, descriptor 3.
    const bool sound = capture->options.sound_track != nullptr;
    capture->video_temp.set(make_video_temp(capture->video_path, target));
    std::vector<std::string> args = ffmpeg_args({"-y", "-f", "rawvideo", "-pix_fmt", "rgb24"});
    args.insert(args.end(), {"-video_size", std::to_string(width) + "x" + std::to_string(height), "-framerate",
                             fps_text(capture->options), "-i", "pipe:0"});
    if (sound)
        args.insert(args.end(), {"-f", "s16le", "-ar", std::to_string(SOUND_RATE), "-ac",
                                 std::to_string(SOUND_CHANNELS), "-i", "pipe:3", "-map", "0:v", "-map", "1:a"});
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
    // The sound runs on past the last frame: the output ends with it.
    // No dates or tool versions in the file, so every run gives the same bytes.
    if (sound)
        args.push_back("-shortest");
    // "file:" keeps a name that starts with '-' or looks like a URL a plain file.
    args.insert(args.end(), {"-map_metadata", "-1", "-fflags", "+bitexact", "-flags:v", "+bitexact",
                             "-flags:a", "+bitexact", "file:" + capture->video_temp.path});
    int sound_pipe[2] = {-1, -1};
    if (sound && ::pipe2(sound_pipe, O_CLOEXEC) != 0)
        fatal_error("No puedo arrancar ffmpeg para grabar \"%s\": %s", target.c_str(), system_reason(errno));
    const bool started = spawn_child(args, 0, capture->encoder, capture->encoder_input, sound_pipe[0]);
    const int error = errno;
    if (sound) {
        ::close(sound_pipe[0]);
        capture->sound_feed = std::make_unique<SoundFeed>();
        if (started)
            start_sound_feed(*capture->sound_feed, sound_pipe[1]);
        else
            ::close(sound_pipe[1]);
    }
    if (started) {
        // A pipe of a few frames rather than a quarter of one: the writer
        // and the encoder wait on each other less.
        ::fcntl(capture->encoder_input, F_SETPIPE_SZ, 1 << 20);
        capture->frame_writer = std::make_unique<FrameWriter>();
        start_frame_writer(*capture->frame_writer, capture->encoder_input,
                           size_t(width) * size_t(height) * 3);
    }
    if (!started) {
        errno = error;
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
    const int error = frame_writer_finish(*capture->frame_writer);
    ::close(capture->encoder_input);
    capture->encoder_input = -1;
    if (error != 0)
        fatal_error("ffmpeg dejó de aceptar fotogramas para \"%s\" (%s)", capture->options.target,
                    system_reason(error));
    if (capture->sound_feed) {
        // As much sound as the frames last, and a second more: the encoder
        // ends the file with the last frame.
        const int64_t frames = (capture->written * capture->options.fps_denominator + capture->options.fps_numerator) *
                               SOUND_RATE / capture->options.fps_numerator;
        stop_sound_feed(*capture->sound_feed, frames);
    }
    const int status = wait_child(capture->encoder);
    capture->encoder = -1;
    if (status != 0)
        fatal_error("ffmpeg terminó con error (%d) al grabar \"%s\"; el fichero anterior queda como estaba", status,
                    capture->options.target);
    // Cut short by a signal over an earlier video: that one stays, and what
    // was captured goes beside it under a name of its own.
    std::string final_path = capture->video_path;
    struct stat st;
    if (signals_caught(false) != 0 && ::lstat(final_path.c_str(), &st) == 0) {
        const size_t dot = final_path.rfind('.');
        final_path = partial_name(final_path.substr(0, dot), final_path.substr(dot));
        capture->saved_to = final_path;
        std::fprintf(stderr, "yurn: el vídeo anterior \"%s\" queda como estaba; lo grabado está en \"%s\"\n",
                     capture->options.target, final_path.c_str());
    }
    if (::rename(capture->video_temp.path.c_str(), final_path.c_str()) != 0)
        fatal_error("No puedo escribir \"%s\": %s", final_path.c_str(), system_reason(errno));
    capture->video_temp.clear(false);
}

uint8_t* encoder_frame_slot()
{
    int error = 0;
    uint8_t* slot = frame_writer_slot(*capture->frame_writer, error);
    if (!slot)
        fatal_error("ffmpeg dejó de aceptar fotogramas para \"%s\" (%s)", capture->options.target,
                    system_reason(error));
    return slot;
}

void encoder_frame_ready() { frame_writer_push(*capture->frame_writer); }
