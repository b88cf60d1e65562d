// The two stages of the photograph show: the photo stage (a still picture read
// at start-up) and the cross-fade stage that blends its two neighbours.  A stage
// script stores their create entry points in its stage records; everything else
// is reached through the records (see shell/shell.h for the protocol).
//
//  photo        [i]                  shows its photograph unchanged; never
//                                    finishes, so it stays until its cue.
//  cross-fade   [i-1] -> [i] -> [i+1] blends the frames of both neighbours with
//                                    a weight rising 2.0 per tick; finished once
//                                    the weight reaches 254 (127 ticks, 1.778 s).
//                                    Must stand neither in record 0 nor in the last.
#pragma once

#include <atomic>
#include <cstdint>

// State of one photo stage; behind the record's data from create on.
struct Water {
    uint32_t* pixels;  // width * height pixels 0x00RRGGBB, written once by create; owned here
    int32_t width;     // as given to create
    int32_t height;
};

// State of one cross-fade stage; behind the record's data from create on.
struct CrossFade {
    uint32_t* buffer;           // frame_width * frame_height pixels, allocated by the first prepare
    std::atomic<float> weight;  // share of the next frame, 0..255; the timer adds step per tick,
                                // render clamps it to 255.0 and reads it; never reset
    float step = 2.0f;          // added per tick: 2.0 (127 ticks, 1.778 s) unless a show file
                                // asks for a fade of another length; set once at create
};

// Number of photographs of the show and their files, in show order.
constexpr int32_t PHOTO_COUNT = 10;
constexpr const char* PHOTO_FILES[PHOTO_COUNT] = {
    "datos/Foto1.pcx", "datos/Foto2.pcx", "datos/Foto3.pcx", "datos/Foto4.pcx", "datos/Foto5.pcx",
    "datos/Foto6.pcx", "datos/Foto7.pcx", "datos/Foto8.pcx", "datos/Foto9.pcx", "datos/Foto10.pcx",
};

// One create per photograph (the protocol's create carries no file name).
// Each reads its PCX file, which must be a three-plane picture of exactly
// width x height, into the stage's own buffer; any failure ends in fatal_error.
// Main thread, once at start-up.
void photo_create_1(int32_t index, int32_t width, int32_t height);
void photo_create_2(int32_t index, int32_t width, int32_t height);
void photo_create_3(int32_t index, int32_t width, int32_t height);
void photo_create_4(int32_t index, int32_t width, int32_t height);
void photo_create_5(int32_t index, int32_t width, int32_t height);
void photo_create_6(int32_t index, int32_t width, int32_t height);
void photo_create_7(int32_t index, int32_t width, int32_t height);
void photo_create_8(int32_t index, int32_t width, int32_t height);
void photo_create_9(int32_t index, int32_t width, int32_t height);
void photo_create_10(int32_t index, int32_t width, int32_t height);

// The same ten, indexed by photograph number - 1.
using PhotoCreate = void (*)(int32_t index, int32_t width, int32_t height);
extern const PhotoCreate photo_creates[PHOTO_COUNT];

// The photo stage for any file name (the ten above call it).  path must stay
// valid while the stage lives.
void photo_create_file(int32_t index, int32_t width, int32_t height, const char* path);

// The cross-fade's constructor, shared by every cross-fade record.
void crossfade_create(int32_t index, int32_t width, int32_t height);

// The photograph show's stage script: fills the schedule, then records 0-18
// (photographs 1-10 on the even records, cross-fades between them), calls
// their create in index order with the frame size, and leaves record 19's data
// null to end the show.  Run by build_stage_table at start-up; main thread.
void build_photo_show();

// dst = per pixel, for the red, green and blue lanes,
//   floor((255 - c) * a / 256) + floor(c * b / 256)
// and the top byte of a.  Dividing by 256 means no lane ever reaches 255, so
// c = 0 darkens a by one step: deliberate.  Picks AVX-512, AVX2 or SSE2 at
// run time (cpu_level, display/cpu.h), the 128-bit kernel in the page's
// WebAssembly SIMD build, the plain kernel elsewhere or under a cap;
// bit-exact with the plain per-lane formula.  dst may equal a or b.
void blend(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c);

// The kernels blend chooses between, exposed for the tests and benchmarks.
// blend_plain runs anywhere; the others exist on x86 only, and blend_avx2 and
// blend_avx512 may be called only when the processor has the instruction set,
// as cpu_has_avx2 and cpu_has_avx512bw (display/cpu.h) tell.
void blend_plain(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c);
#if defined(__x86_64__) || defined(__i386__)
void blend_sse2(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c);
void blend_avx2(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c);
void blend_avx512(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c);
#endif
// The page's WebAssembly SIMD build: the 128-bit kernel, taken at CPU_SIMD128.
#ifdef __wasm_simd128__
void blend_simd128(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c);
#endif
