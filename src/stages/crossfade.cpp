// The cross-fade stage: blends the previous neighbour's frame into the next
// one's while a weight climbs on the timer tick.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define YURN_X86 1
#elif defined(__wasm_simd128__)
#include <wasm_simd128.h>
#define YURN_WASM_SIMD 1
#endif

#include <memory>

#include "display/cpu.h"
#include "display/error.h"
#include "shell/shell.h"
#include "stages/show_stages.h"
#include "stages/stages_local.h"

namespace {

// ---------------------------------------------------------------------------
// blend kernels
//
// Per lane: floor(d * a / 256) + floor(c * b / 256), d = 255 - c.  The vector
// versions put each byte in the high half of a 16-bit word (a << 8) and take the
// high half of an unsigned 16 x 16 product: ((a << 8) * d) >> 16 is exactly
// floor(a * d / 256).  The top byte lane uses the multipliers 256 for A and 0
// for B, which gives A's top byte unchanged: ((a << 8) * 256) >> 16 = a.  Each
// sum fits in 8 bits (at most 254 in a colour lane), so the two halves of a
// word are put back together with a shift and an or.  The AVX-512 kernel
// places its results differently (see there).  The loops are unrolled: at
// this width the loop's own bookkeeping shows in the time.
// ---------------------------------------------------------------------------

inline uint32_t blend_pixel(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    uint32_t result = a & 0xFF000000u;
    for (int shift = 0; shift < 24; shift += 8) {
        const uint32_t lane = (((a >> shift) & 0xFF) * d >> 8) + (((b >> shift) & 0xFF) * c >> 8);
        result |= lane << shift;
    }
    return result;
}

void blend_tail(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t from, int32_t count,
                uint32_t c)
{
    for (int32_t i = from; i < count; ++i)
        dst[i] = blend_pixel(a[i], b[i], c, 255 - c);
}

#ifdef YURN_X86
// Blends single pixels until dst sits on a 64-byte boundary and returns how
// many it did: a vector store that splits a cache line costs twice.
int32_t blend_head(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint32_t c)
{
    int32_t i = 0;
    while (i < count && (reinterpret_cast<uintptr_t>(dst + i) & 63) != 0) {
        dst[i] = blend_pixel(a[i], b[i], c, 255 - c);
        ++i;
    }
    return i;
}
#endif

}  // namespace

void blend_plain(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c)
{
    blend_tail(dst, a, b, 0, count, c);
}

#ifdef YURN_X86
void blend_sse2(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c)
{
    // Words hold (blue, green) and (red, top).  The even bytes (blue, red) are
    // moved to the high half of their word by a shift left; the odd bytes
    // (green, top) are there already and are masked.  No shuffles: shifts,
    // multiplies and adds only, which keeps the loop off the shuffle port.
    const int16_t d = static_cast<int16_t>(255 - c);
    const __m128i even_a = _mm_set1_epi16(d);
    const __m128i even_b = _mm_set1_epi16(c);
    const __m128i odd_a = _mm_set1_epi32(256 << 16 | static_cast<uint16_t>(d));
    const __m128i odd_b = _mm_set1_epi32(c);
    const __m128i high = _mm_set1_epi16(static_cast<int16_t>(0xFF00));
    int32_t i = blend_head(dst, a, b, count, c);
    for (; i + 4 <= count; i += 4) {
        const __m128i pa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i pb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        const __m128i even = _mm_add_epi16(_mm_mulhi_epu16(_mm_slli_epi16(pa, 8), even_a),
                                           _mm_mulhi_epu16(_mm_slli_epi16(pb, 8), even_b));
        const __m128i odd = _mm_add_epi16(_mm_mulhi_epu16(_mm_and_si128(pa, high), odd_a),
                                          _mm_mulhi_epu16(_mm_and_si128(pb, high), odd_b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_or_si128(even, _mm_slli_epi16(odd, 8)));
    }
    blend_tail(dst, a, b, i, count, c);
}

__attribute__((target("avx2"))) void blend_avx2(uint32_t* dst, const uint32_t* a,
                                                const uint32_t* b, int32_t count, uint8_t c)
{
    const int16_t d = static_cast<int16_t>(255 - c);
    const __m256i even_a = _mm256_set1_epi16(d);
    const __m256i even_b = _mm256_set1_epi16(c);
    const __m256i odd_a = _mm256_set1_epi32(256 << 16 | static_cast<uint16_t>(d));
    const __m256i odd_b = _mm256_set1_epi32(c);
    const __m256i high = _mm256_set1_epi16(static_cast<int16_t>(0xFF00));
    int32_t i = blend_head(dst, a, b, count, c);
#pragma GCC unroll 4
    for (; i + 8 <= count; i += 8) {
        const __m256i pa = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i pb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        const __m256i even = _mm256_add_epi16(_mm256_mulhi_epu16(_mm256_slli_epi16(pa, 8), even_a),
                                              _mm256_mulhi_epu16(_mm256_slli_epi16(pb, 8), even_b));
        const __m256i odd = _mm256_add_epi16(_mm256_mulhi_epu16(_mm256_and_si256(pa, high), odd_a),
                                             _mm256_mulhi_epu16(_mm256_and_si256(pb, high), odd_b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                            _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)));
    }
    blend_tail(dst, a, b, i, count, c);
}

// Multiplies and word shifts share one port at this width, byte shuffles have
// another, so the bytes are moved by shuffles and the results merged under
// byte masks instead of shifted and or-ed:
//  - even bytes (blue, red): a shuffle moves each to the high half of its word
//    over a zero low half; the product's high half is the floor, in the low
//    byte, and the high byte is zero.
//  - odd bytes (green, top): the low half is zeroed and the multiplier is
//    d * 256, so the high half of the product is the whole 16-bit d * a, whose
//    high byte is the floor.  Byte adds keep the low bytes' garbage from
//    carrying into the high bytes.  For the top byte A's word gets 0xFF in its
//    low half and the multiplier 65535: (256 * t + 255) * 65535 >> 16 is
//    256 * t + 254, high byte t; B's multiplier there is 0.
//  - a masked byte add writes the even sums over the odd ones' garbage.
// Ten vector operations per 16 pixels: four multiplies, three shuffles, three
// others.
__attribute__((target("avx512bw"))) void blend_avx512(uint32_t* dst, const uint32_t* a,
                                                       const uint32_t* b, int32_t count, uint8_t c)
{
    const uint32_t d = 255u - c;
    const __m512i even_a = _mm512_set1_epi16(static_cast<int16_t>(d));
    const __m512i even_b = _mm512_set1_epi16(c);
    const __m512i odd_a = _mm512_set1_epi32(static_cast<int32_t>(0xFFFF0000u | d << 8));
    const __m512i odd_b = _mm512_set1_epi32(static_cast<int32_t>(uint32_t(c) << 8));
    // Shuffle controls, per 16 bytes: bytes 0, 2, 4 ... to 1, 3, 5 ..., and
    // bytes 1, 3, 5 ... kept; 0x80 gives zero.
    const __m512i to_high = _mm512_set4_epi32(0x0E800C80, 0x0A800880, 0x06800480, 0x02800080);
    const __m512i keep_high = _mm512_set4_epi32(0x0F800D80, 0x0B800980, 0x07800580, 0x03800180);
    const __m512i high = _mm512_set1_epi32(static_cast<int32_t>(0xFF00FF00u));
    const __m512i top_fill = _mm512_set1_epi32(0x00FF0000);
    const __mmask64 even = 0x5555555555555555ull;
    int32_t i = blend_head(dst, a, b, count, c);
#pragma GCC unroll 4
    for (; i + 16 <= count; i += 16) {
        const __m512i pa = _mm512_loadu_si512(a + i);
        const __m512i pb = _mm512_loadu_si512(b + i);
        // (pa & high) | top_fill
        const __m512i odd_pa = _mm512_ternarylogic_epi32(pa, high, top_fill, 0xEA);
        const __m512i odd = _mm512_add_epi8(_mm512_mulhi_epu16(odd_pa, odd_a),
                                            _mm512_mulhi_epu16(_mm512_shuffle_epi8(pb, keep_high), odd_b));
        const __m512i even_from_a = _mm512_mulhi_epu16(_mm512_shuffle_epi8(pa, to_high), even_a);
        const __m512i even_from_b = _mm512_mulhi_epu16(_mm512_shuffle_epi8(pb, to_high), even_b);
        _mm512_storeu_si512(dst + i, _mm512_mask_add_epi8(odd, even, even_from_a, even_from_b));
    }
    blend_tail(dst, a, b, i, count, c);
}
#endif  // YURN_X86

#ifdef YURN_WASM_SIMD
// WebAssembly SIMD has no multiply-high, but it widens bytes as it
// multiplies: each lane's d * a and c * b as 16-bit products, shifted down 8
// (the floor), added, and narrowed back to bytes (exact: at most 254).  The
// top lane's multipliers are 0, and A's top byte is put back by a bit select.
void blend_simd128(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c)
{
    const uint32_t d = 255u - c;
    const v128_t weight_a = wasm_i32x4_splat(int32_t(d * 0x010101u));
    const v128_t weight_b = wasm_i32x4_splat(int32_t(uint32_t(c) * 0x010101u));
    const v128_t top = wasm_i32x4_splat(int32_t(0xFF000000u));
    int32_t i = 0;
#pragma clang loop unroll_count(2)
    for (; i + 4 <= count; i += 4) {
        const v128_t pa = wasm_v128_load(a + i), pb = wasm_v128_load(b + i);
        const v128_t low = wasm_i16x8_add(wasm_u16x8_shr(wasm_u16x8_extmul_low_u8x16(pa, weight_a), 8),
                                          wasm_u16x8_shr(wasm_u16x8_extmul_low_u8x16(pb, weight_b), 8));
        const v128_t high = wasm_i16x8_add(wasm_u16x8_shr(wasm_u16x8_extmul_high_u8x16(pa, weight_a), 8),
                                           wasm_u16x8_shr(wasm_u16x8_extmul_high_u8x16(pb, weight_b), 8));
        wasm_v128_store(dst + i, wasm_v128_bitselect(pa, wasm_u8x16_narrow_i16x8(low, high), top));
    }
    blend_tail(dst, a, b, i, count, c);
}
#endif  // YURN_WASM_SIMD

namespace {

using BlendKernel = void (*)(uint32_t*, const uint32_t*, const uint32_t*, int32_t, uint8_t);


// ---------------------------------------------------------------------------
// The stage's entry points
// ---------------------------------------------------------------------------

CrossFade* state_of(int32_t index) { return static_cast<CrossFade*>(stage_table[index].data); }

void crossfade_prepare(int32_t index)
{
    Stage& next = stage_table[index + 1];
    next.prepare(index + 1);
    Stage& stage = stage_table[index];
    if (stage.ready.load(std::memory_order_relaxed) != 0)
        return;
    // ready goes up before the buffer exists: the timer may tick from here on,
    // and tick touches only the weight.
    stage.ready.store(1, std::memory_order_relaxed);
    const int64_t pixels = int64_t(frame_width) * frame_height;
    FrameBuffer buffer = allocate_frame(
        pixels, "Error: No hay memoria suficiente para el buffer del fundido (%lld bytes).\n", static_cast<long long>(pixels * 4));
    CrossFade* fade = state_of(index);
    fade->buffer = buffer.release();
    stage.output = fade->buffer;
}

int32_t crossfade_render(int32_t index)
{
    Stage& previous = stage_table[index - 1];
    Stage& next = stage_table[index + 1];
    previous.render(index - 1);
    next.render(index + 1);
    CrossFade* fade = state_of(index);
    // Three separate reads of the weight: a tick may land between any two.
    if (fade->weight.load(std::memory_order_relaxed) > 255.0f)
        fade->weight.store(255.0f, std::memory_order_relaxed);
    int32_t c = static_cast<int32_t>(fade->weight.load(std::memory_order_relaxed));
    // A tick between the clamp and this read can lift the weight to 257.0;
    // the blend takes a byte, so hold c to its range rather than let it wrap.
    if (c > 255)
        c = 255;
    blend(fade->buffer, previous.output, next.output, frame_width * frame_height,
          static_cast<uint8_t>(c));
    return fade->weight.load(std::memory_order_relaxed) >= 254.0f ? 1 : 0;
}

void crossfade_tick(int32_t index)
{
    stage_table[index - 1].tick.load(std::memory_order_relaxed)(index - 1);
    stage_table[index + 1].tick.load(std::memory_order_relaxed)(index + 1);
    // The timer thread is the only one that adds, so a plain load and store
    // suffice; render's clamp store may win against it only after the fade is over.
    CrossFade* fade = state_of(index);
    fade->weight.store(fade->weight.load(std::memory_order_relaxed) + fade->step, std::memory_order_relaxed);
}

// render without the blend: the neighbours advance, the weight is clamped
// and the same result is returned.
int32_t crossfade_advance(int32_t index)
{
    advance_stage(index - 1);
    advance_stage(index + 1);
    CrossFade* fade = state_of(index);
    if (fade->weight.load(std::memory_order_relaxed) > 255.0f)
        fade->weight.store(255.0f, std::memory_order_relaxed);
    return fade->weight.load(std::memory_order_relaxed) >= 254.0f ? 1 : 0;
}

// The weight starts again from 0; the buffer stays.
void crossfade_rewind(int32_t index) { state_of(index)->weight.store(0.0f, std::memory_order_relaxed); }

void crossfade_release(int32_t index)
{
    std::unique_ptr<CrossFade> fade = take_stage_state<CrossFade>(index);
    if (fade)
        free_frame(fade->buffer);
}

}  // namespace

void blend(uint32_t* dst, const uint32_t* a, const uint32_t* b, int32_t count, uint8_t c)
{
    // Chosen on the first call from what the processor offers, and again
    // after the level is capped anew.  Main thread.
    static BlendKernel kernel = nullptr;
    static uint32_t generation = 0;
    if (!kernel || generation != cpu_generation()) {
        generation = cpu_generation();
#ifdef YURN_X86
        kernel = cpu_has_avx512bw() ? blend_avx512 : cpu_has_avx2() ? blend_avx2 : blend_sse2;
#elif defined(YURN_WASM_SIMD)
        kernel = cpu_level() >= CPU_SIMD128 ? blend_simd128 : blend_plain;
#else
        kernel = blend_plain;
#endif
    }
    kernel(dst, a, b, count, c);
}

constexpr StageEntries CROSSFADE_ENTRIES = {
    .prepare = crossfade_prepare,
    .render = crossfade_render,
    .tick = crossfade_tick,
    .release = crossfade_release,
    .advance = crossfade_advance,
    .rewind = crossfade_rewind,
};

void crossfade_create(int32_t index, int32_t, int32_t)
{
    // It reads both neighbours: in the first or the last record one of them
    // would lie outside the table.
    if (index <= 0 || index >= stage_table_length - 1)
        fatal_error("Error: un fundido necesita una etapa a cada lado; no puede ir en el registro %d.\n", index);
    std::unique_ptr<CrossFade> fade =
        allocate_state<CrossFade>("Error: No hay memoria suficiente para el fundido %d.\n", index);  // buffer null, weight 0.0
    install_stage(index, fade.release(), CROSSFADE_ENTRIES);
}
