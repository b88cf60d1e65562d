// The music's fade-out, computed in one place for every way the show is
// heard: the live player (platform/audio.cpp, on the mixer's thread), and the
// capture's sound.wav and video sound (capture/sound.cpp).  The gain falls in
// a straight line from 1 at the fade's start to 0 at its end and stays 0
// after; samples are scaled by it and truncated toward zero.
#pragma once

#include <cstddef>
#include <cstdint>

// A fade-out from from_ms to to_ms, in ms of the music's own time (0 at its
// first sample).  None when to_ms is not after from_ms or from_ms < 0.
struct MusicFade {
    double from_ms = 0.0;
    double to_ms = 0.0;
};

// True when the fade changes anything.
bool music_fade_active(const MusicFade& fade);

// The gain at sample frame `frame` (one sample per channel) of a sound at
// `rate` frames a second.  1 for a fade that is not active.
double music_fade_gain(const MusicFade& fade, int64_t frame, int32_t rate);

// Scales `frames` interleaved 16-bit frames of `channels` samples each, the
// first of them frame number first_frame of the music, by the gain.  Any
// thread; touches nothing but samples.
void music_fade_apply(const MusicFade& fade, int16_t* samples, size_t frames, int32_t channels, int64_t first_frame,
                      int32_t rate);
