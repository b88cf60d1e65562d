// The capture's sound: the track decoded by an ffmpeg child, faded out as the
// live show fades it, and sound.wav in a folder capture.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/capture_local.h"

namespace {


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

}  // namespace


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

bool fades_music()
{
    return capture->options.music_fade_to_ms > capture->options.music_fade_from_ms &&
           capture->options.music_fade_from_ms >= 0.0;
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
