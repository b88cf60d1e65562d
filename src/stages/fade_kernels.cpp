// Byte-lane kernels of the fade stages: a saturating subtract and a minimum,
// sixteen bytes at a time with SSE2 (part of every x86-64).  Both passes are
// bound by memory traffic, so wider registers buy nothing here.  Results equal
// the plain per-lane loops byte for byte (checked in the tests).
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "stages/fades.h"

namespace {

#if defined(__x86_64__) || defined(__i386__)
// 0x00aaaaaa: the amount in the three colour lanes, 0 in the top lane, so a
// saturating subtract leaves the top byte as it is.
inline uint32_t lane_amount(uint8_t amount) { return uint32_t(amount) * 0x010101u; }
#endif

inline uint32_t darken_pixel(uint32_t p, uint8_t amount)
{
    uint32_t out = p & 0xFF000000u;
    for (int shift = 0; shift < 24; shift += 8) {
        uint32_t lane = (p >> shift) & 0xFF;
        out |= (lane >= amount ? lane - amount : 0) << shift;
    }
    return out;
}

inline uint32_t min_pixel(uint32_t p, uint8_t level)
{
    uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        uint32_t lane = (p >> shift) & 0xFF;
        out |= (lane < level ? lane : level) << shift;
    }
    return out;
}

}  // namespace

void darken_copy(uint32_t* dst, const uint32_t* src, uint8_t amount, int32_t count)
{
    int32_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
    const __m128i sub = _mm_set1_epi32(int32_t(lane_amount(amount)));
    for (; i + 4 <= count; i += 4) {
        __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_subs_epu8(p, sub));
    }
#endif
    for (; i < count; i++) dst[i] = darken_pixel(src[i], amount);
}

void darken(uint32_t* pixels, uint8_t amount, int32_t count) { darken_copy(pixels, pixels, amount, count); }

void ceiling_pass(uint32_t* dst, const uint32_t* src, uint8_t level, int32_t count)
{
    int32_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
    const __m128i cap = _mm_set1_epi8(char(level));
    for (; i + 4 <= count; i += 4) {
        __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_min_epu8(p, cap));
    }
#endif
    for (; i < count; i++) dst[i] = min_pixel(src[i], level);
}
