// Byte-lane kernels of the fade stages: a saturating subtract and a minimum.
// With the frame in the second-level cache the passes are not bound by memory
// traffic, so the widest registers the processor offers pay: AVX-512, AVX2 or
// SSE2 (part of every x86-64) picked at run time, WebAssembly SIMD (128-bit)
// in the page's SIMD build, the plain loops elsewhere.
// Results equal the plain per-lane loops byte for byte (checked in the tests).
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define YURN_X86 1
#elif defined(__wasm_simd128__)
#include <wasm_simd128.h>
#define YURN_WASM_SIMD 1
#endif

#include "display/cpu.h"
#include "stages/fades.h"

namespace {

using CeilingKernel = void (*)(uint32_t* dst, const uint32_t* src, uint8_t level, int32_t count);
using DarkenKernel = void (*)(uint32_t* dst, const uint32_t* src, uint8_t amount, int32_t count);

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

void darken_plain(uint32_t* dst, const uint32_t* src, uint8_t amount, int32_t count)
{
    for (int32_t i = 0; i < count; i++)
        dst[i] = darken_pixel(src[i], amount);
}

void ceiling_plain(uint32_t* dst, const uint32_t* src, uint8_t level, int32_t count)
{
    for (int32_t i = 0; i < count; i++)
        dst[i] = min_pixel(src[i], level);
}

#ifdef YURN_X86
// The amount in the three colour lanes, 0 in the top lane, so a saturating
// subtract leaves the top byte as it is.
inline uint32_t lane_amount(uint8_t amount) { return uint32_t(amount) * 0x010101u; }

void darken_sse2(uint32_t* dst, const uint32_t* src, uint8_t amount, int32_t count)
{
    const __m128i sub = _mm_set1_epi32(int32_t(lane_amount(amount)));
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_subs_epu8(p, sub));
    }
    darken_plain(dst + i, src + i, amount, count - i);
}

void ceiling_sse2(uint32_t* dst, const uint32_t* src, uint8_t level, int32_t count)
{
    const __m128i cap = _mm_set1_epi8(char(level));
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_min_epu8(p, cap));
    }
    ceiling_plain(dst + i, src + i, level, count - i);
}

// Two registers per step: the loop overhead is a fair share of so little work.
__attribute__((target("avx2"))) void darken_avx2(uint32_t* dst, const uint32_t* src, uint8_t amount, int32_t count)
{
    const __m256i sub = _mm256_set1_epi32(int32_t(lane_amount(amount)));
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i* in = reinterpret_cast<const __m256i*>(src + i);
        __m256i* out = reinterpret_cast<__m256i*>(dst + i);
        const __m256i a = _mm256_loadu_si256(in), b = _mm256_loadu_si256(in + 1);
        _mm256_storeu_si256(out, _mm256_subs_epu8(a, sub));
        _mm256_storeu_si256(out + 1, _mm256_subs_epu8(b, sub));
    }
    darken_sse2(dst + i, src + i, amount, count - i);
}

__attribute__((target("avx2"))) void ceiling_avx2(uint32_t* dst, const uint32_t* src, uint8_t level, int32_t count)
{
    const __m256i cap = _mm256_set1_epi8(char(level));
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i* in = reinterpret_cast<const __m256i*>(src + i);
        __m256i* out = reinterpret_cast<__m256i*>(dst + i);
        const __m256i a = _mm256_loadu_si256(in), b = _mm256_loadu_si256(in + 1);
        _mm256_storeu_si256(out, _mm256_min_epu8(a, cap));
        _mm256_storeu_si256(out + 1, _mm256_min_epu8(b, cap));
    }
    ceiling_sse2(dst + i, src + i, level, count - i);
}

// The tail goes through a masked load and store rather than a scalar loop.
__attribute__((target("avx512f,avx512bw"))) void darken_avx512(uint32_t* dst, const uint32_t* src, uint8_t amount,
                                                                int32_t count)
{
    const __m512i sub = _mm512_set1_epi32(int32_t(lane_amount(amount)));
    int32_t i = 0;
    for (; i + 16 <= count; i += 16)
        _mm512_storeu_si512(dst + i, _mm512_subs_epu8(_mm512_loadu_si512(src + i), sub));
    if (i < count) {
        const __mmask16 left = __mmask16((1u << (count - i)) - 1);
        _mm512_mask_storeu_epi32(dst + i, left, _mm512_subs_epu8(_mm512_maskz_loadu_epi32(left, src + i), sub));
    }
}

__attribute__((target("avx512f,avx512bw"))) void ceiling_avx512(uint32_t* dst, const uint32_t* src, uint8_t level,
                                                                 int32_t count)
{
    const __m512i cap = _mm512_set1_epi8(char(level));
    int32_t i = 0;
    for (; i + 16 <= count; i += 16)
        _mm512_storeu_si512(dst + i, _mm512_min_epu8(_mm512_loadu_si512(src + i), cap));
    if (i < count) {
        const __mmask16 left = __mmask16((1u << (count - i)) - 1);
        _mm512_mask_storeu_epi32(dst + i, left, _mm512_min_epu8(_mm512_maskz_loadu_epi32(left, src + i), cap));
    }
}
#endif  // YURN_X86

#ifdef YURN_WASM_SIMD
// Four vectors a step, as the AVX2 kernels take two: the loop's bookkeeping
// is a fair share of so little work.  The amount is 0 in the top lane, so the
// saturating subtract leaves the top byte as it is.
void darken_simd128(uint32_t* dst, const uint32_t* src, uint8_t amount, int32_t count)
{
    const v128_t sub = wasm_i32x4_splat(int32_t(uint32_t(amount) * 0x010101u));
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const v128_t a = wasm_v128_load(src + i), b = wasm_v128_load(src + i + 4);
        const v128_t c = wasm_v128_load(src + i + 8), d = wasm_v128_load(src + i + 12);
        wasm_v128_store(dst + i, wasm_u8x16_sub_sat(a, sub));
        wasm_v128_store(dst + i + 4, wasm_u8x16_sub_sat(b, sub));
        wasm_v128_store(dst + i + 8, wasm_u8x16_sub_sat(c, sub));
        wasm_v128_store(dst + i + 12, wasm_u8x16_sub_sat(d, sub));
    }
    darken_plain(dst + i, src + i, amount, count - i);
}

void ceiling_simd128(uint32_t* dst, const uint32_t* src, uint8_t level, int32_t count)
{
    const v128_t cap = wasm_u8x16_splat(level);
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const v128_t a = wasm_v128_load(src + i), b = wasm_v128_load(src + i + 4);
        const v128_t c = wasm_v128_load(src + i + 8), d = wasm_v128_load(src + i + 12);
        wasm_v128_store(dst + i, wasm_u8x16_min(a, cap));
        wasm_v128_store(dst + i + 4, wasm_u8x16_min(b, cap));
        wasm_v128_store(dst + i + 8, wasm_u8x16_min(c, cap));
        wasm_v128_store(dst + i + 12, wasm_u8x16_min(d, cap));
    }
    ceiling_plain(dst + i, src + i, level, count - i);
}
#endif  // YURN_WASM_SIMD

struct FadeKernels {
    CeilingKernel ceiling;
    DarkenKernel darken;
};

// Picked on first use and again after the level is capped anew.  Main thread.
const FadeKernels& kernels()
{
    static FadeKernels chosen = {};
    static uint32_t generation = 0;
    if (!chosen.ceiling || generation != cpu_generation()) {
        generation = cpu_generation();
#ifdef YURN_X86
        const int32_t level = cpu_level();
        if (level >= CPU_AVX512)
            chosen = {.ceiling = ceiling_avx512, .darken = darken_avx512};
        else if (level >= CPU_AVX2)
            chosen = {.ceiling = ceiling_avx2, .darken = darken_avx2};
        else
            chosen = {.ceiling = ceiling_sse2, .darken = darken_sse2};
#elif defined(YURN_WASM_SIMD)
        if (cpu_level() >= CPU_SIMD128)
            chosen = {.ceiling = ceiling_simd128, .darken = darken_simd128};
        else
            chosen = {.ceiling = ceiling_plain, .darken = darken_plain};
#else
        chosen = {.ceiling = ceiling_plain, .darken = darken_plain};
#endif
    }
    return chosen;
}

}  // namespace

void darken_copy(uint32_t* dst, const uint32_t* src, uint8_t amount, int32_t count)
{
    kernels().darken(dst, src, amount, count);
}

void darken(uint32_t* pixels, uint8_t amount, int32_t count) { kernels().darken(pixels, pixels, amount, count); }

void ceiling_pass(uint32_t* dst, const uint32_t* src, uint8_t level, int32_t count)
{
    kernels().ceiling(dst, src, level, count);
}
