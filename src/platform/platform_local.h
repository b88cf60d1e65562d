// Shared between the backends of platform/ only.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The real periodic timer (platform/timer.cpp).
uint32_t real_start_timer(uint32_t period_ms, TimerCallback callback);
void real_kill_timer(uint32_t id);

// SDL_mixer playback (platform/audio.cpp).
void* sdl_audio_open(const char* path);
void sdl_audio_play(void* stream);
void sdl_audio_stop();
