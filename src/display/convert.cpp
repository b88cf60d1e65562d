// Frame conversion: copy, 24-bit packing, 16-bit packing and 8-bit dithering.
// The packers have SSSE3 / SSE2 / AVX2 kernels picked at run time (the build
// targets generic x86-64); every kernel is bit-exact with the scalar one.
#include <immintrin.h>

#include <cstring>
#include <vector>

#include "display/display.h"
#include "shell/shell.h"

namespace {

using Converter = void (*)(const uint32_t* source, void* destination);

// ---------------------------------------------------------------------------
// Dither storage and packed-lane helpers
//
// dither_8 keeps the three error terms of a pixel in one word, red in bits
// 20-29, green in 10-19, blue in 0-9.  A channel plus its incoming error stays
// below 512 (at most 255 + 63) and every share product below 1024, so no lane
// ever carries into the next and the arithmetic per lane is the plain one.
// ---------------------------------------------------------------------------
constexpr uint32_t LANE_ONES = 1u | 1u << 10 | 1u << 20;
constexpr uint32_t LANE_LOW8 = 0xFFu * LANE_ONES;
constexpr uint32_t ERROR_BITS = 0x1Fu << 20 | 0x1Fu << 10 | 0x3Fu;  // what the 3-3-2 truncation drops
constexpr uint32_t SHARE_BITS = 0x3Fu * LANE_ONES;                  // a share is below 64

std::vector<uint32_t> error_rows;  // two rows of packed errors; grows only for a wider frame

inline uint32_t spread_lanes(uint32_t p) { return (p & 0xFF0000) << 4 | (p & 0xFF00) << 2 | (p & 0xFF); }

// ---------------------------------------------------------------------------
// Converter choice: once per settled depth and 565 flag
// ---------------------------------------------------------------------------
void convert_copy(const uint32_t* source, void* destination)
{
    std::memcpy(destination, source, size_t(frame_width) * size_t(frame_height) * 4);
}

void convert_24(const uint32_t* source, void* destination)
{
    pack_24(source, destination, frame_width * frame_height);
}

void convert_16(const uint32_t* source, void* destination)
{
    pack_16(source, destination, frame_width * frame_height);
}

void convert_8(const uint32_t* source, void* destination)
{
    dither_8(source, static_cast<uint8_t*>(destination), frame_width, frame_height);
}

void convert_nothing(const uint32_t*, void*) {}

using Pack24 = void (*)(const uint32_t*, uint8_t*, int32_t);
using Pack16 = void (*)(const uint32_t*, uint16_t*, int32_t, bool);

Converter converter = nullptr;
int32_t converter_depth = -1;
int32_t converter_565 = -1;
Pack24 pack_24_kernel = nullptr;
Pack16 pack_16_kernel = nullptr;

void choose_kernels()
{
    if (pack_24_kernel)
        return;
    pack_24_kernel = cpu_has_ssse3() ? pack_24_ssse3 : pack_24_scalar;
    pack_16_kernel = cpu_has_avx2() ? pack_16_avx2 : pack_16_sse2;
}

void choose_converter()
{
    choose_kernels();
    switch (display_depth) {
    case 32: converter = convert_copy; break;
    case 24: converter = convert_24; break;
    case 16: converter = convert_16; break;
    case 8: converter = convert_8; break;
    default: converter = convert_nothing; break;
    }
    converter_depth = display_depth;
    converter_565 = rgb565;
}

inline uint32_t pixel_565(uint32_t p) { return ((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) | ((p >> 3) & 0x001F); }
inline uint32_t pixel_555(uint32_t p) { return ((p >> 9) & 0x7C00) | ((p >> 6) & 0x03E0) | ((p >> 3) & 0x001F); }

inline void store_16(uint16_t* destination, uint32_t value)
{
    const uint16_t word = uint16_t(value);
    std::memcpy(destination, &word, 2);  // little-endian on this machine
}

// One 32-bit lane of each vector to its 16-bit word, sign-extended so that the
// signed saturating pack keeps the low 16 bits exactly.
template <bool IS_565>
inline __m128i words_sse2(__m128i p)
{
    __m128i w;
    if constexpr (IS_565)
        w = _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_srli_epi32(p, 8), _mm_set1_epi32(0xF800)),
                                      _mm_and_si128(_mm_srli_epi32(p, 5), _mm_set1_epi32(0x07E0))),
                         _mm_and_si128(_mm_srli_epi32(p, 3), _mm_set1_epi32(0x001F)));
    else
        w = _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_srli_epi32(p, 9), _mm_set1_epi32(0x7C00)),
                                      _mm_and_si128(_mm_srli_epi32(p, 6), _mm_set1_epi32(0x03E0))),
                         _mm_and_si128(_mm_srli_epi32(p, 3), _mm_set1_epi32(0x001F)));
    return _mm_srai_epi32(_mm_slli_epi32(w, 16), 16);
}

template <bool IS_565>
void pack_16_sse2_body(const uint32_t* source, uint16_t* destination, int32_t count)
{
    int32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i a = words_sse2<IS_565>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i)));
        const __m128i b = words_sse2<IS_565>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 4)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), _mm_packs_epi32(a, b));
    }
    for (; i < count; i++)
        store_16(destination + i, IS_565 ? pixel_565(source[i]) : pixel_555(source[i]));
}

template <bool IS_565>
__attribute__((target("avx2"))) inline __m256i words_avx2(__m256i p)
{
    __m256i w;
    if constexpr (IS_565)
        w = _mm256_or_si256(
            _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(p, 8), _mm256_set1_epi32(0xF800)),
                            _mm256_and_si256(_mm256_srli_epi32(p, 5), _mm256_set1_epi32(0x07E0))),
            _mm256_and_si256(_mm256_srli_epi32(p, 3), _mm256_set1_epi32(0x001F)));
    else
        w = _mm256_or_si256(
            _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(p, 9), _mm256_set1_epi32(0x7C00)),
                            _mm256_and_si256(_mm256_srli_epi32(p, 6), _mm256_set1_epi32(0x03E0))),
            _mm256_and_si256(_mm256_srli_epi32(p, 3), _mm256_set1_epi32(0x001F)));
    return _mm256_srai_epi32(_mm256_slli_epi32(w, 16), 16);
}

template <bool IS_565>
__attribute__((target("avx2"))) void pack_16_avx2_body(const uint32_t* source, uint16_t* destination,
                                                       int32_t count)
{
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i a = words_avx2<IS_565>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i)));
        const __m256i b = words_avx2<IS_565>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 8)));
        // The pack works within 128-bit halves; put the four quarters in order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), packed);
    }
    for (; i < count; i++)
        store_16(destination + i, IS_565 ? pixel_565(source[i]) : pixel_555(source[i]));
}

}  // namespace

bool cpu_has_ssse3()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}

bool cpu_has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

void convert_frame(const uint32_t* source, void* destination, int32_t)
{
    // A compare per frame, not per pixel: the converter changes only when the
    // depth (or the 565 flag) is settled anew.
    if (display_depth != converter_depth || rgb565 != converter_565 || !converter)
        choose_converter();
    converter(source, destination);
}

// ---------------------------------------------------------------------------
// 24 bits: four pixels become three words B0 G0 R0 B1 | G1 R1 B2 G2 | R2 B3 G3 R3
// ---------------------------------------------------------------------------
void pack_24(const uint32_t* source, void* destination, int32_t count)
{
    choose_kernels();
    pack_24_kernel(source, static_cast<uint8_t*>(destination), count);
}

void pack_24_scalar(const uint32_t* source, uint8_t* destination, int32_t count)
{
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const uint32_t p0 = source[i], p1 = source[i + 1], p2 = source[i + 2], p3 = source[i + 3];
        const uint32_t words[3] = {(p0 & 0xFFFFFF) | p1 << 24, ((p1 >> 8) & 0xFFFF) | p2 << 16,
                                   ((p2 >> 16) & 0xFF) | p3 << 8};
        std::memcpy(destination, words, 12);
        destination += 12;
    }
    // A count that is not a multiple of four finishes pixel by pixel rather
    // than running past the end.
    for (; i < count; i++) {
        destination[0] = uint8_t(source[i]);
        destination[1] = uint8_t(source[i] >> 8);
        destination[2] = uint8_t(source[i] >> 16);
        destination += 3;
    }
}

__attribute__((target("ssse3"))) void pack_24_ssse3(const uint32_t* source, uint8_t* destination, int32_t count)
{
    const __m128i drop_top = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i* in = reinterpret_cast<const __m128i*>(source + i);
        const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(in), drop_top);
        const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), drop_top);
        const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), drop_top);
        const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), drop_top);
        __m128i* out = reinterpret_cast<__m128i*>(destination);
        _mm_storeu_si128(out, _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storeu_si128(out + 1, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        _mm_storeu_si128(out + 2, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
        destination += 48;
    }
    pack_24_scalar(source + i, destination, count - i);
}

// ---------------------------------------------------------------------------
// 16 bits
// ---------------------------------------------------------------------------
void pack_16(const uint32_t* source, void* destination, int32_t count)
{
    choose_kernels();
    pack_16_kernel(source, static_cast<uint16_t*>(destination), count, rgb565 != 0);
}

void pack_16_scalar(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565)
{
    if (is_565)
        for (int32_t i = 0; i < count; i++)
            store_16(destination + i, pixel_565(source[i]));
    else
        for (int32_t i = 0; i < count; i++)
            store_16(destination + i, pixel_555(source[i]));
}

void pack_16_sse2(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565)
{
    if (is_565)
        pack_16_sse2_body<true>(source, destination, count);
    else
        pack_16_sse2_body<false>(source, destination, count);
}

__attribute__((target("avx2"))) void pack_16_avx2(const uint32_t* source, uint16_t* destination, int32_t count,
                                                  bool is_565)
{
    if (is_565)
        pack_16_avx2_body<true>(source, destination, count);
    else
        pack_16_avx2_body<false>(source, destination, count);
}

// ---------------------------------------------------------------------------
// 8 bits: Floyd-Steinberg into 3-3-2
//
// The row below is written once per pixel instead of accumulated: below[x]
// receives s1 of x-1, s5 of x and s3 of x+1, so two running partial sums
// carry it along the row and every entry of the row below is written exactly
// once (shares beyond either end of the row are never formed into it).
// ---------------------------------------------------------------------------
void dither_8(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return;
    if (error_rows.size() < size_t(width) * 2)
        error_rows.resize(size_t(width) * 2);
    uint32_t* current = error_rows.data();
    uint32_t* below = current + width;
    std::memset(current, 0, size_t(width) * sizeof(uint32_t));  // no error comes into the first row
    for (int32_t y = 0; y < height; y++) {
        const uint32_t* in = source + size_t(y) * size_t(width);
        uint8_t* out = destination + size_t(y) * size_t(width);
        uint32_t right = 0;        // s7 of the pixel on the left
        uint32_t below_left = 0;   // s1 of x-2 plus s5 of x-1: below[x-1] but for s3 of x
        uint32_t below_here = 0;   // s1 of x-1: below[x] but for s5 of x and s3 of x+1
        for (int32_t x = 0; x < width; x++) {
            uint32_t v = spread_lanes(in[x]) + current[x] + right;
            v = (v & LANE_LOW8) | ((v >> 8) & LANE_ONES) * 0xFF;  // each lane over 255 becomes 255
            out[x] = uint8_t(((v >> 20) & 0xE0) | ((v >> 13) & 0x1C) | ((v >> 6) & 0x03));
            const uint32_t e = v & ERROR_BITS;
            const uint32_t s7 = ((e * 7) >> 4) & SHARE_BITS;
            const uint32_t s3 = ((e * 3) >> 4) & SHARE_BITS;
            const uint32_t s5 = ((e * 5) >> 4) & SHARE_BITS;
            const uint32_t s1 = e - s7 - s3 - s5;
            right = s7;
            if (x > 0)
                below[x - 1] = below_left + s3;
            below_left = below_here + s5;
            below_here = s1;
        }
        below[width - 1] = below_left;
        uint32_t* swap = current;
        current = below;
        below = swap;
    }
}
