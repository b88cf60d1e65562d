// The music's fade-out: one gain per sample frame, the same for the live
// player and the capture.
#include "platform/music_fade.h"

bool music_fade_active(const MusicFade& fade) { return fade.to_ms > fade.from_ms && fade.from_ms >= 0.0; }

double music_fade_gain(const MusicFade& fade, int64_t frame, int32_t rate)
{
    if (!music_fade_active(fade))
        return 1.0;
    const double t = double(frame) * 1000.0 / rate;
    if (t < fade.from_ms)
        return 1.0;
    return t >= fade.to_ms ? 0.0 : (fade.to_ms - t) / (fade.to_ms - fade.from_ms);
}

void music_fade_apply(const MusicFade& fade, int16_t* samples, size_t frames, int32_t channels, int64_t first_frame,
                      int32_t rate)
{
    if (!music_fade_active(fade))
        return;
    for (size_t i = 0; i < frames; ++i) {
        const double gain = music_fade_gain(fade, first_frame + int64_t(i), rate);
        if (gain == 1.0)
            continue;
        int16_t* frame = samples + i * size_t(channels);
        for (int32_t c = 0; c < channels; ++c)
            frame[c] = int16_t(double(frame[c]) * gain);
    }
}
