// The two fade stages of the effect library.  A stage script stores their
// create entry points in its stage records; everything else is reached through
// the records (see shell/shell.h for the protocol).
//
//  ceiling fade-in  [i] -> [i+1]  caps every byte of the next stage's frame at a
//                                 level rising 1 per tick; finished after the
//                                 256th tick.  Must not stand in the last record.
//  fade-out   [i-1] -> [i]        copies the previous stage's frame and lowers
//                                 its colour lanes by a level rising 2.5 per
//                                 tick; never finishes.  Must not stand in record 0.
#pragma once

#include <atomic>
#include <cstdint>

struct CeilingState {
    std::atomic<uint8_t> finished;  // set by the tick after level reached 255; timer writes, main reads
    std::atomic<uint8_t> level;     // 0..255 cap; timer writes, main reads once per frame
    uint32_t* buffer;               // count pixels, allocated and cleared by the first prepare
    int32_t count;                  // width * height given to create
};

struct FadeOutState {
    std::atomic<uint8_t> finished;  // never set: the stage stays until its cue
    std::atomic<float> level;       // amount to subtract, +2.5 per tick, held at 255.0
    uint32_t* buffer;               // count pixels, allocated by the first prepare, rewritten whole every frame
    int32_t count;
};

void ceiling_create(int32_t index, int32_t width, int32_t height);
void fadeout_create(int32_t index, int32_t width, int32_t height);

// Pixel kernels, exposed for the tests and benchmarks.  Each picks AVX-512,
// AVX2 or SSE2 by cpu_level (display/cpu.h), the plain loop off x86, and
// is bit-exact with the plain per-lane loop.
// ceiling_pass: every byte (top byte included) of dst = min(src byte, level).
void ceiling_pass(uint32_t* dst, const uint32_t* src, uint8_t level, int32_t count);
// darken: the three low byte lanes of every pixel lowered by amount, stopping
// at 0; the top byte is kept.  In place.
void darken(uint32_t* pixels, uint8_t amount, int32_t count);
// darken_copy: dst = src darkened, in one pass (same result as copy + darken).
void darken_copy(uint32_t* dst, const uint32_t* src, uint8_t amount, int32_t count);
