// The capture's sound: the track decoded by an ffmpeg child from its start
// (ffmpeg drops the encoder's delay and padding from the LAME header, as a
// gapless player does), faded out through music_fade_apply as the live show
// fades it, then padded with silence.  sound.wav gets it cut to the show's
// length; the video's encoder gets the same samples through a pipe, fed by a
// thread of its own while the frames go through another pipe.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_local.h"
#include "files/files.h"
#include "platform/music_fade.h"

namespace {

constexpr size_t FRAME_BYTES = SOUND_CHANNELS * 2;

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

// The decoder's command: the track as 16-bit stereo samples at SOUND_RATE on
// its standard output.
std::vector<std::string> decoder_args(const char* track)
{
    const std::string channels = std::to_string(SOUND_CHANNELS), rate = std::to_string(SOUND_RATE);
    return ffmpeg_args({"-i", track, "-f", "s16le", "-acodec", "pcm_s16le", "-ac", channels.c_str(), "-ar",
                        rate.c_str(), "pipe:1"});
}

void warn_no_decoder(const char* track)
{
    if (errno == ENOENT)
        std::fprintf(stderr, "yurn: aviso: no encuentro ffmpeg para decodificar \"%s\"; la grabación queda en silencio\n",
                     track);
    else
        std::fprintf(stderr,
                     "yurn: aviso: no puedo arrancar ffmpeg para decodificar \"%s\" (%s); la grabación queda en "
                     "silencio\n",
                     track, system_reason(errno));
}

void warn_undecodable(const char* track)
{
    std::fprintf(stderr, "yurn: aviso: ffmpeg no pudo decodificar \"%s\" (¿está dañado?); la grabación queda en silencio\n",
                 track);
}

// Fades bytes of whole 16-bit frames in place, the first being frame `first`.
void fade_bytes(uint8_t* bytes, size_t frames, int64_t first)
{
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit samples are little-endian, as in the file");
    std::vector<int16_t> samples(frames * SOUND_CHANNELS);
    std::memcpy(samples.data(), bytes, frames * FRAME_BYTES);
    const MusicFade fade{.from_ms = capture->options.music_fade_from_ms, .to_ms = capture->options.music_fade_to_ms};
    music_fade_apply(fade, samples.data(), frames, SOUND_CHANNELS, first, SOUND_RATE);
    std::memcpy(bytes, samples.data(), frames * FRAME_BYTES);
}

}  // namespace

// True when there is a track to play; else says once that the capture is silent.
bool track_present()
{
    const char* track = capture->options.sound_track;
    if (!track)
        return false;
    if (file_exists(track))
        return true;
    std::fprintf(stderr, "yurn: aviso: no encuentro la música \"%s\"; el sonido de la grabación es silencio\n", track);
    return false;
}

bool track_decodes(const char* track, std::vector<uint8_t>& samples)
{
    pid_t child = -1;
    int from_child = -1;
    if (!spawn_child(decoder_args(track), 1, child, from_child)) {
        warn_no_decoder(track);
        return false;
    }
    const size_t bytes = samples.size();
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
    if (wait_child(child) != 0) {
        warn_undecodable(track);
        std::fill(samples.begin(), samples.end(), uint8_t(0));
        return false;
    }
    return true;
}

// Cut or padded with silence to the show's length: T of the last frame, to
// the sample.  Without a track the show is silent and so is the file; a track
// that cannot be decoded gives silence and a warning.
void write_sound()
{
    const int64_t n = capture->last_frame < 0 ? 0 : capture->last_frame;
    // T = n * 1000 * D / N ms, so samples = n * D * rate / N exactly, rounded down.
    const int64_t frames = n * capture->options.fps_denominator * SOUND_RATE / capture->options.fps_numerator;
    const size_t bytes = static_cast<size_t>(frames) * FRAME_BYTES;
    std::vector<uint8_t> samples(bytes, 0);
    if (track_present() && track_decodes(capture->options.sound_track, samples))
        fade_bytes(samples.data(), size_t(frames), 0);
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

// ---------------------------------------------------------------------------
// The video's sound, fed while the show is captured
// ---------------------------------------------------------------------------


namespace {

// The thread: the track's samples as decoded, faded, then silence; it stops
// once the encoder has `until` frames, or the encoder stops reading.
void feed(SoundFeed* s)
{
    std::vector<uint8_t> chunk(16384 * FRAME_BYTES);
    size_t held = 0;          // bytes of chunk read but not yet whole frames
    int64_t sent = 0;         // frames written
    bool track_open = s->decoded >= 0;
    for (;;) {
        const int64_t until = s->until.load(std::memory_order_relaxed);
        if (until >= 0 && sent >= until)
            break;
        size_t frames = 0;
        if (track_open) {
            const ssize_t r = ::read(s->decoded, chunk.data() + held, chunk.size() - held);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                track_open = false;  // the rest is silence; a part frame is dropped
                s->track_ended = r == 0;
                continue;
            }
            held += size_t(r);
            frames = held / FRAME_BYTES;
            fade_bytes(chunk.data(), frames, sent);
        } else {
            frames = 4096;
            std::memset(chunk.data(), 0, frames * FRAME_BYTES);
        }
        if (until >= 0 && sent + int64_t(frames) > until)
            frames = size_t(until - sent);
        const uint8_t* at = chunk.data();
        size_t left = frames * FRAME_BYTES;
        while (left > 0) {
            const ssize_t w = ::write(s->output, at, left);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return;  // the encoder has gone: it says why
            at += w;
            left -= size_t(w);
        }
        sent += int64_t(frames);
        if (track_open) {
            const size_t used = held / FRAME_BYTES * FRAME_BYTES;
            std::memmove(chunk.data(), chunk.data() + used, held - used);
            held -= used;
        }
    }
}

}  // namespace

void start_sound_feed(SoundFeed& s, int output)
{
    s.output = output;
    const char* track = capture->options.sound_track;
    if (track_present() && !spawn_child(decoder_args(track), 1, s.decoder, s.decoded))
        warn_no_decoder(track);
    s.thread = std::thread(feed, &s);
}

void stop_sound_feed(SoundFeed& s, int64_t until)
{
    if (!s.thread.joinable())
        return;
    s.until.store(until, std::memory_order_relaxed);
    s.thread.join();
    ::close(s.output);
    s.output = -1;
    if (s.decoder >= 0) {
        // A track longer than the video: the rest is not wanted, and the
        // decoder is stopped rather than left to fail on a closed pipe.
        if (!s.track_ended)
            ::kill(s.decoder, SIGKILL);
        ::close(s.decoded);
        s.decoded = -1;
        if (wait_child(s.decoder) != 0 && s.track_ended)
            warn_undecodable(capture->options.sound_track);
        s.decoder = -1;
    }
}

SoundFeed::~SoundFeed()
{
    // A capture ended by fatal_error: the encoder has been stopped first, so
    // a write the thread is blocked in fails at once.
    if (thread.joinable()) {
        until.store(0, std::memory_order_relaxed);
        thread.join();
    }
    if (output >= 0)
        ::close(output);
    if (decoder >= 0) {
        ::kill(decoder, SIGKILL);
        wait_child(decoder);
    }
    if (decoded >= 0)
        ::close(decoded);
}
