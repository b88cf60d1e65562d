// Frame conversion: a 0x00RRGGBB frame into the display's pixel format, by
// the display depth (shell globals) and the display's 5-6-5 flag (rgb565,
// display/display.h); the kernels pick their instruction set through
// display/cpu.h.  Defined in display/convert.cpp.
#pragma once

#include <cstdint>

// Converts frame_width x frame_height pixels of source into destination, one
// contiguous block in the format of display_depth (32: copy; 24: bytes B, G,
// R; 16: 5-6-5 or 5-5-5 by rgb565; 8: dithered 3-3-2 indices); any other
// depth leaves destination alone.  pixel_count is not used.  The converter is
// chosen once per settled depth, not per frame.  Main thread.
void convert_frame(const uint32_t* source, void* destination, int32_t pixel_count);

// Three bytes B, G, R per pixel, four pixels to twelve bytes at a time; a
// count that is not a multiple of 4 ends pixel by pixel.  Any count >= 0.
void pack_24(const uint32_t* source, void* destination, int32_t count);

// One little-endian 16-bit word per pixel, by rgb565; truncates.  Any count >= 0.
void pack_16(const uint32_t* source, void* destination, int32_t count);

// Floyd-Steinberg error diffusion into the 3-3-2 palette, integer only, left to
// right on every row, errors starting from zero on every call.  Its error rows
// are storage kept between calls (grown only when a wider frame comes).
void dither_8(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height);

// The kernels behind pack_24 and pack_16, exposed for tests and benchmarks.
// The *_scalar ones run anywhere; the others exist only on x86 and may be
// called only where cpu_has_* tells the set is there (*_sse2 always on x86).
void pack_24_scalar(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_16_scalar(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
#if defined(__x86_64__) || defined(__i386__)
void pack_24_sse2(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_24_ssse3(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_24_avx2(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_24_avx512(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_16_sse2(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
void pack_16_avx2(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
void pack_16_avx512(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
#endif
// The page's WebAssembly SIMD build: 128-bit kernels, taken while cpu_level()
// is CPU_SIMD128 (a cap of CPU_PLAIN takes the scalar ones).
#ifdef __wasm_simd128__
void pack_24_simd128(const uint32_t* source, uint8_t* destination, int32_t count);
void pack_16_simd128(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565);
#endif
