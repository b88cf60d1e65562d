// Shared between the backends of platform/ only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "platform/platform.h"

// Allocator of the surfaces' pixel memory: 64-byte boundaries, so that the
// conversion kernels' widest stores (and the stages' frames, on the same rule)
// never split a cache line.
template <class T>
struct SurfaceAllocator {
    using value_type = T;
    SurfaceAllocator() = default;
    template <class U>
    SurfaceAllocator(const SurfaceAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(64))); }
    void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t(64)); }
    template <class U>
    bool operator==(const SurfaceAllocator<U>&) const { return true; }
};
using SurfaceBytes = std::vector<uint8_t, SurfaceAllocator<uint8_t>>;

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

// A backend's surface as a displayed frame: depth is the mode set_display_mode
// was given, and 16-bit pixels are laid out as green_mask reports them (where
// init_display reads the display's rgb565 from), so the two cannot disagree.
// frame, time_ms and stage are left 0 for the caller.
inline PresentedFrame surface_frame(const uint8_t* pixels, int32_t width, int32_t height, int32_t depth,
                                    bool mode_555, const uint8_t* palette)
{
    return {.pixels = pixels, .width = width, .height = height, .depth = depth,
            .rgb565 = green_mask_of(16, mode_555) == GREEN_MASK_565 ? 1 : 0, .palette = palette,
            .frame = 0, .time_ms = 0.0, .stage = 0};
}

// The real periodic timer (platform/timer.cpp).
uint32_t real_start_timer(uint32_t period_ms, TimerCallback callback);
void real_kill_timer(uint32_t id);

// SDL_mixer playback (platform/audio.cpp).
void* sdl_audio_open(const char* path);
void sdl_audio_play(void* stream);
void sdl_audio_stop();
void sdl_audio_fade(uint32_t length_ms);
void sdl_audio_pause(bool paused);
void sdl_audio_seek(double ms);
void sdl_audio_mute(bool muted);
double sdl_audio_position_ms();
