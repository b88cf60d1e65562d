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

// The real periodic timer (platform/timer.cpp).
uint32_t real_start_timer(uint32_t period_ms, TimerCallback callback);
void real_kill_timer(uint32_t id);

// SDL_mixer playback (platform/audio.cpp).
void* sdl_audio_open(const char* path);
void sdl_audio_play(void* stream);
void sdl_audio_stop();
