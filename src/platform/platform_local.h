// Shared between the backends of platform/ only.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The OFFER_* bit of a display depth; 0 for a depth no backend offers.
constexpr uint32_t offer_bit(int32_t depth)
{
    switch (depth) {
    case 32: return OFFER_32;
    case 24: return OFFER_24;
    case 16: return OFFER_16;
    case 8: return OFFER_8;
    default: return 0;
    }
}

// The green mask a mode of depth reports: 0 unless it is a 16-bit mode.
constexpr uint32_t green_mask_of(int32_t depth, bool mode_555)
{
    if (depth != 16)
        return 0;
    return mode_555 ? GREEN_MASK_555 : GREEN_MASK_565;
}

// The real periodic timer (platform/timer.cpp).
uint32_t real_start_timer(uint32_t period_ms, TimerCallback callback);
void real_kill_timer(uint32_t id);

// SDL_mixer playback (platform/audio.cpp).
void* sdl_audio_open(const char* path);
void sdl_audio_play(void* stream);
void sdl_audio_stop();
