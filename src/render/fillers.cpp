// The four triangle fillers: one scan-conversion skeleton in 16.16 fixed
// point (set-up in double, rows and spans all integer) and per-filler,
// per-pass span kernels chosen once per triangle.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#elif defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "display/cpu.h"
#include "engine/engine.h"
#include "render/fixed.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/frame.h"

namespace {

enum Shade : int32_t { SHADE_FLAT, SHADE_GOURAUD, SHADE_TEXTURED, SHADE_TEXTURED_GOURAUD };

// The interpolated quantities, and which of them each filler carries.
enum Quantity : int32_t { Q_X, Q_Z, Q_U, Q_V, Q_R, Q_G, Q_B, Q_COUNT };
constexpr int32_t Q_LANES = 8;  // Q_COUNT rounded up for the packed set-up
constexpr uint32_t bit(int32_t q) { return 1u << q; }
constexpr uint32_t QUANTITIES[4] = {
    bit(Q_X) | bit(Q_Z),
    bit(Q_X) | bit(Q_Z) | bit(Q_R) | bit(Q_G) | bit(Q_B),
    bit(Q_X) | bit(Q_Z) | bit(Q_U) | bit(Q_V),
    bit(Q_X) | bit(Q_Z) | bit(Q_U) | bit(Q_V) | bit(Q_R) | bit(Q_G) | bit(Q_B),
};

// One span handed from the row loop to a kernel: count pixels from frame and
// depth, each quantity's value at the first pixel and its step per pixel.
struct Span {
    uint32_t* frame;
    uint32_t* depth;
    int32_t count;
    uint32_t generation;
    uint32_t colour;           // fill_flat
    const uint32_t* texture;   // texture fillers
    int32_t size;              // texture side S
    int32_t size_shift;        // log2 S when S is a power of two
    int32_t before;            // words of both buffers before the span, at most 8
    int32_t after;             // words of both buffers after the span, at most 8
    uint32_t value[Q_LANES];
    uint32_t step[Q_LANES];
};
using SpanKernel = void (*)(const Span& span);

// Per-channel min(a + b, 255) of two 0x00RRGGBB words; the top byte comes out
// 0.  All three lanes at once: add the low seven bits, put the top bits back
// with xor, and fill every lane that carried out with 0xFF.
inline uint32_t add_saturate(uint32_t a, uint32_t b)
{
#if defined(__wasm_simd128__)
    // In the page the saturating byte add is one instruction.
    const v128_t sum =
        wasm_u8x16_add_sat(wasm_i32x4_splat(static_cast<int32_t>(a)), wasm_i32x4_splat(static_cast<int32_t>(b)));
    return static_cast<uint32_t>(wasm_i32x4_extract_lane(sum, 0)) & 0xFFFFFF;
#else
    const uint32_t sum = ((a & 0x7F7F7F) + (b & 0x7F7F7F)) ^ ((a ^ b) & 0x808080);
    const uint32_t carry = ((a & b) | ((a | b) & ~sum)) & 0x808080;
    return (sum | ((carry >> 7) * 0xFF)) & 0xFFFFFF;
#endif
}

// The interpolated colour: bits 16..23 of each running channel.
inline uint32_t pack_channels(uint32_t r, uint32_t g, uint32_t b)
{
    return (r & 0xFF0000) | ((g >> 8) & 0xFF00) | ((b >> 16) & 0xFF);
}

// Wraps a running texture coordinate into 0 .. S*65536 - 1: the same result
// as adding or subtracting S*65536 until it fits.
inline uint32_t wrap_coordinate(uint32_t value, int32_t size)
{
    int32_t v = static_cast<int32_t>(value);
    const int32_t period = size << FIXED_SHIFT;
    if (v < 0 || (v >> FIXED_SHIFT) >= size) {
        v %= period;
        if (v < 0)
            v += period;
    }
    return static_cast<uint32_t>(v);
}

// ---------------------------------------------------------------------------
// Plain kernels.  With a power-of-two side the texel index masks the running
// coordinate; that picks the same texels as wrapping it, because every wrap
// (and every 32-bit overflow) moves it by a multiple of S*65536.  Any other
// side wraps the running values pixel by pixel, as the slow path must.
// ---------------------------------------------------------------------------
template <int32_t SHADE, bool ADDITIVE, bool POWER_OF_TWO>
[[gnu::always_inline]] inline void span_plain_inline(const Span& s)
{
    uint32_t z = s.value[Q_Z], u = s.value[Q_U], v = s.value[Q_V];
    uint32_t r = s.value[Q_R], g = s.value[Q_G], b = s.value[Q_B];
    const uint32_t mask = static_cast<uint32_t>(s.size) - 1u;  // unsigned: without a texture the side may be any value
    for (int32_t i = 0; i < s.count; i++) {
        const uint32_t word = s.generation | static_cast<uint32_t>(static_cast<int32_t>(z) >> FIXED_SHIFT);
        if (s.depth[i] > word) {
            uint32_t c;
            if constexpr (SHADE == SHADE_FLAT) {
                c = s.colour;
            } else if constexpr (SHADE == SHADE_GOURAUD) {
                c = pack_channels(r, g, b);
            } else {
                uint32_t column, row;
                if constexpr (POWER_OF_TWO) {
                    column = static_cast<uint32_t>(static_cast<int32_t>(u) >> FIXED_SHIFT) & mask;
                    row = static_cast<uint32_t>(static_cast<int32_t>(v) >> FIXED_SHIFT) & mask;
                } else {
                    u = wrap_coordinate(u, s.size);
                    v = wrap_coordinate(v, s.size);
                    column = u >> FIXED_SHIFT;
                    row = v >> FIXED_SHIFT;
                }
                c = s.texture[static_cast<size_t>(row) * static_cast<uint32_t>(s.size) + column];
                if constexpr (SHADE == SHADE_TEXTURED_GOURAUD)
                    c = add_saturate(c, pack_channels(r, g, b));
            }
            if constexpr (ADDITIVE) {
                s.frame[i] = add_saturate(s.frame[i], c);
            } else {
                s.frame[i] = c;
                s.depth[i] = word;
            }
        }
        z += s.step[Q_Z];
        if constexpr (SHADE == SHADE_TEXTURED || SHADE == SHADE_TEXTURED_GOURAUD) {
            u += s.step[Q_U];
            v += s.step[Q_V];
        }
        if constexpr (SHADE == SHADE_GOURAUD || SHADE == SHADE_TEXTURED_GOURAUD) {
            r += s.step[Q_R];
            g += s.step[Q_G];
            b += s.step[Q_B];
        }
    }
}

template <int32_t SHADE, bool ADDITIVE, bool POWER_OF_TWO>
void span_plain(const Span& s)
{
    span_plain_inline<SHADE, ADDITIVE, POWER_OF_TWO>(s);
}

#if defined(__x86_64__) || defined(__i386__)
// ---------------------------------------------------------------------------
// AVX2 kernels: eight pixels at a time, the same integer arithmetic (lane k
// holds value + k * step, which is what k additions give modulo 2^32).
// ---------------------------------------------------------------------------
#define YURN_AVX2 __attribute__((target("avx2")))

YURN_AVX2 inline __m256i lanes_from(uint32_t value, uint32_t step)
{
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(value)),
                            _mm256_mullo_epi32(lane, _mm256_set1_epi32(static_cast<int32_t>(step))));
}

YURN_AVX2 inline __m256i step8(uint32_t step) { return _mm256_set1_epi32(static_cast<int32_t>(step * 8u)); }

YURN_AVX2 inline __m256i pack_channels8(__m256i r, __m256i g, __m256i b)
{
    const __m256i red = _mm256_and_si256(r, _mm256_set1_epi32(0xFF0000));
    const __m256i green = _mm256_and_si256(_mm256_srli_epi32(g, 8), _mm256_set1_epi32(0xFF00));
    const __m256i blue = _mm256_and_si256(_mm256_srli_epi32(b, 16), _mm256_set1_epi32(0xFF));
    return _mm256_or_si256(red, _mm256_or_si256(green, blue));
}

template <int32_t SHADE, bool ADDITIVE>
YURN_AVX2 void span_avx2(const Span& s)
{
    constexpr bool TEXTURED = SHADE == SHADE_TEXTURED || SHADE == SHADE_TEXTURED_GOURAUD;
    constexpr bool SHADED = SHADE == SHADE_GOURAUD || SHADE == SHADE_TEXTURED_GOURAUD;
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i sign = _mm256_set1_epi32(INT32_MIN);
    const __m256i rgb = _mm256_set1_epi32(0xFFFFFF);
    const __m256i generation = _mm256_set1_epi32(static_cast<int32_t>(s.generation));
    const __m256i colour = _mm256_set1_epi32(static_cast<int32_t>(s.colour));
    const __m256i texel_mask = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(s.size) - 1u));
    const __m128i shift = _mm_cvtsi32_si128(s.size_shift);
    __m256i z = lanes_from(s.value[Q_Z], s.step[Q_Z]);
    __m256i u = lanes_from(s.value[Q_U], s.step[Q_U]);
    __m256i v = lanes_from(s.value[Q_V], s.step[Q_V]);
    __m256i r = lanes_from(s.value[Q_R], s.step[Q_R]);
    __m256i g = lanes_from(s.value[Q_G], s.step[Q_G]);
    __m256i b = lanes_from(s.value[Q_B], s.step[Q_B]);
    const __m256i dz = step8(s.step[Q_Z]), du = step8(s.step[Q_U]), dv = step8(s.step[Q_V]);
    const __m256i dr = step8(s.step[Q_R]), dg = step8(s.step[Q_G]), db = step8(s.step[Q_B]);

    for (int32_t i = 0; i < s.count; i += 8) {
        const int32_t left = s.count - i;
        const __m256i live = left >= 8 ? _mm256_set1_epi32(-1) : _mm256_cmpgt_epi32(_mm256_set1_epi32(left), lane);
        int* depth = reinterpret_cast<int*>(s.depth + i);
        int* frame = reinterpret_cast<int*>(s.frame + i);
        const __m256i word = _mm256_or_si256(generation, _mm256_srai_epi32(z, FIXED_SHIFT));
        const __m256i stored = _mm256_maskload_epi32(depth, live);
        // stored > word, unsigned: flip the sign bits and compare signed.
        const __m256i pass = _mm256_and_si256(
            live, _mm256_cmpgt_epi32(_mm256_xor_si256(stored, sign), _mm256_xor_si256(word, sign)));
        if (!_mm256_testz_si256(pass, pass)) {
            __m256i c;
            if constexpr (SHADE == SHADE_FLAT) {
                c = colour;
            } else if constexpr (SHADE == SHADE_GOURAUD) {
                c = pack_channels8(r, g, b);
            } else {
                const __m256i column = _mm256_and_si256(_mm256_srai_epi32(u, FIXED_SHIFT), texel_mask);
                const __m256i row = _mm256_and_si256(_mm256_srai_epi32(v, FIXED_SHIFT), texel_mask);
                const __m256i index = _mm256_or_si256(_mm256_sll_epi32(row, shift), column);
                c = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int*>(s.texture),
                                                index, pass, 4);
                if constexpr (SHADE == SHADE_TEXTURED_GOURAUD)
                    c = _mm256_and_si256(_mm256_adds_epu8(c, pack_channels8(r, g, b)), rgb);
            }
            if constexpr (ADDITIVE) {
                const __m256i old = _mm256_maskload_epi32(frame, pass);
                _mm256_maskstore_epi32(frame, pass, _mm256_and_si256(_mm256_adds_epu8(old, c), rgb));
            } else {
                _mm256_maskstore_epi32(frame, pass, c);
                _mm256_maskstore_epi32(depth, pass, word);
            }
        }
        z = _mm256_add_epi32(z, dz);
        if constexpr (TEXTURED) {
            u = _mm256_add_epi32(u, du);
            v = _mm256_add_epi32(v, dv);
        }
        if constexpr (SHADED) {
            r = _mm256_add_epi32(r, dr);
            g = _mm256_add_epi32(g, dg);
            b = _mm256_add_epi32(b, db);
        }
    }
}


// ---------------------------------------------------------------------------
// AVX2 kernels without masked loads, masked stores or (optionally) gathers,
// which some processors run as long microcode sequences.  The span is walked
// in windows of eight pixels on the frame's 32-byte grid; every window is
// read and written whole, and the pixels of a window that the span does not
// cover, or that fail the depth test, are written back with the values just
// read (a blend).  A window may therefore reach up to seven words past
// either end of the span, never past the buffers (Span::before, after): the
// renderer owns both buffers while it draws, so rewriting a word with its own
// value changes nothing.  Only the first and last windows of a span are
// partial, and only where the buffers end does the last window slide back
// over the one before it (its pixels are then counted once, by lane).
// ---------------------------------------------------------------------------

// The interpolated quantities of one window, lane k at pixel at + k.
struct Window8 {
    __m256i z, u, v, r, g, b;
};

// What every window of a span reads, in registers (read from the Span
// through memory, the compiler would load them again after every store).
struct Span8 {
    uint32_t* frame;
    uint32_t* depth;
    const uint32_t* texture;
    __m256i generation, colour, texel_mask;
    __m128i shift;
};

// The lanes of a window at pixel at that lie outside pixels [from, to).
YURN_AVX2 inline __m256i outside8(int32_t from, int32_t to, int32_t at)
{
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(from - at), lane),
                           _mm256_cmpgt_epi32(lane, _mm256_set1_epi32(to - at - 1)));
}

// The window moved by pixels (negative: to the left), k steps being k * step
// modulo 2^32.
YURN_AVX2 inline __m256i moved8(__m256i value, uint32_t step, int32_t pixels)
{
    return _mm256_add_epi32(value, _mm256_set1_epi32(static_cast<int32_t>(step * static_cast<uint32_t>(pixels))));
}

// The texels of eight texel indices, fetched with one gather or with eight
// scalar loads (the faster way on processors whose gather is microcoded).
template <bool GATHER>
YURN_AVX2 inline __m256i texels8(const uint32_t* texture, __m256i index)
{
    if constexpr (GATHER) {
        return _mm256_i32gather_epi32(reinterpret_cast<const int*>(texture), index, 4);
    } else {
        // The indices through memory and the texels through general
        // registers, two to a 64-bit word: few vector operations, since
        // those ports are the busy ones.
        alignas(32) uint32_t at[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
        __asm__("" : "+m"(at));  // read back from memory, not extracted lane by lane
        const auto pair = [texture, &at](int32_t k) {
            return static_cast<int64_t>(texture[at[k]] | static_cast<uint64_t>(texture[at[k + 1]]) << 32);
        };
        const __m128i low = _mm_insert_epi64(_mm_cvtsi64_si128(pair(0)), pair(2), 1);
        const __m128i high = _mm_insert_epi64(_mm_cvtsi64_si128(pair(4)), pair(6), 1);
        return _mm256_set_m128i(high, low);
    }
}

// One window at pixel at: lanes in outside are left as they are.
template <int32_t SHADE, bool ADDITIVE, bool GATHER>
[[gnu::always_inline]] YURN_AVX2 inline void window8(const Span8& s, int32_t at, __m256i outside, const Window8& q)
{
    int* depth = reinterpret_cast<int*>(s.depth + at);
    int* frame = reinterpret_cast<int*>(s.frame + at);
    const __m256i word = _mm256_or_si256(s.generation, _mm256_srai_epi32(q.z, FIXED_SHIFT));
    const __m256i stored = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(depth));
    // Kept: stored <= word (unsigned), or not the span's.
    const __m256i keep = _mm256_or_si256(_mm256_cmpeq_epi32(_mm256_max_epu32(stored, word), word), outside);
    const int32_t kept = _mm256_movemask_ps(_mm256_castsi256_ps(keep));
    if (kept == 0xFF)
        return;
    const __m256i rgb = _mm256_set1_epi32(0xFFFFFF);
    __m256i c;
    if constexpr (SHADE == SHADE_FLAT) {
        c = s.colour;
    } else if constexpr (SHADE == SHADE_GOURAUD) {
        c = pack_channels8(q.r, q.g, q.b);
    } else {
        const __m256i column = _mm256_and_si256(_mm256_srai_epi32(q.u, FIXED_SHIFT), s.texel_mask);
        const __m256i row = _mm256_and_si256(_mm256_srai_epi32(q.v, FIXED_SHIFT), s.texel_mask);
        const __m256i index = _mm256_or_si256(_mm256_sll_epi32(row, s.shift), column);
        c = texels8<GATHER>(s.texture, index);
        if constexpr (SHADE == SHADE_TEXTURED_GOURAUD)
            c = _mm256_and_si256(_mm256_adds_epu8(c, pack_channels8(q.r, q.g, q.b)), rgb);
    }
    if (!ADDITIVE && kept == 0) {  // every pixel drawn: nothing to keep
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(frame), c);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(depth), word);
        return;
    }
    const __m256i old = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frame));
    if constexpr (ADDITIVE)
        c = _mm256_and_si256(_mm256_adds_epu8(old, c), rgb);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(frame), _mm256_blendv_epi8(c, old, keep));
    if constexpr (!ADDITIVE)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(depth), _mm256_blendv_epi8(word, stored, keep));
}

// The window moved by pixels (negative: to the left); q stepped by a
// window (d holds eight steps).
template <bool TEXTURED, bool SHADED>
[[gnu::always_inline]] YURN_AVX2 inline Window8 moved_window8(Window8 q, const uint32_t step[Q_LANES], int32_t pixels)
{
    q.z = moved8(q.z, step[Q_Z], pixels);
    if constexpr (TEXTURED) {
        q.u = moved8(q.u, step[Q_U], pixels);
        q.v = moved8(q.v, step[Q_V], pixels);
    }
    if constexpr (SHADED) {
        q.r = moved8(q.r, step[Q_R], pixels);
        q.g = moved8(q.g, step[Q_G], pixels);
        q.b = moved8(q.b, step[Q_B], pixels);
    }
    return q;
}

template <bool TEXTURED, bool SHADED>
[[gnu::always_inline]] YURN_AVX2 inline void advance8(Window8& q, const Window8& d)
{
    q.z = _mm256_add_epi32(q.z, d.z);
    if constexpr (TEXTURED) {
        q.u = _mm256_add_epi32(q.u, d.u);
        q.v = _mm256_add_epi32(q.v, d.v);
    }
    if constexpr (SHADED) {
        q.r = _mm256_add_epi32(q.r, d.r);
        q.g = _mm256_add_epi32(q.g, d.g);
        q.b = _mm256_add_epi32(q.b, d.b);
    }
}

template <int32_t SHADE, bool ADDITIVE, bool GATHER>
YURN_AVX2 void span_avx2_whole(const Span& s)
{
    constexpr bool TEXTURED = SHADE == SHADE_TEXTURED || SHADE == SHADE_TEXTURED_GOURAUD;
    constexpr bool SHADED = SHADE == SHADE_GOURAUD || SHADE == SHADE_TEXTURED_GOURAUD;
    const int32_t n = s.count;
    if (s.before + n + s.after < 8) {  // buffers narrower than a window
        span_plain<SHADE, ADDITIVE, true>(s);
        return;
    }
    const Span8 s8 = {
        .frame = s.frame,
        .depth = s.depth,
        .texture = s.texture,
        .generation = _mm256_set1_epi32(static_cast<int32_t>(s.generation)),
        .colour = _mm256_set1_epi32(static_cast<int32_t>(s.colour)),
        .texel_mask = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(s.size) - 1u)),
        .shift = _mm_cvtsi32_si128(s.size_shift),
    };
    uint32_t step[Q_LANES];
    std::memcpy(step, s.step, sizeof step);
    // The first window starts on the grid at or before the first pixel, or
    // where the buffers start; a window never ends past the buffers' end
    // (last_at), sliding back there if it must.
    const int32_t misalign = static_cast<int32_t>((reinterpret_cast<uintptr_t>(s.frame) / sizeof(uint32_t)) & 7);
    int32_t w = -std::min(misalign, s.before);
    const int32_t last_at = n + s.after - 8;
    const uint32_t first = static_cast<uint32_t>(w);
    Window8 q = {}, d = {};
    q.z = lanes_from(s.value[Q_Z] + first * step[Q_Z], step[Q_Z]);
    d.z = step8(step[Q_Z]);
    if constexpr (TEXTURED) {
        q.u = lanes_from(s.value[Q_U] + first * step[Q_U], step[Q_U]);
        q.v = lanes_from(s.value[Q_V] + first * step[Q_V], step[Q_V]);
        d.u = step8(step[Q_U]);
        d.v = step8(step[Q_V]);
    }
    if constexpr (SHADED) {
        q.r = lanes_from(s.value[Q_R] + first * step[Q_R], step[Q_R]);
        q.g = lanes_from(s.value[Q_G] + first * step[Q_G], step[Q_G]);
        q.b = lanes_from(s.value[Q_B] + first * step[Q_B], step[Q_B]);
        d.r = step8(step[Q_R]);
        d.g = step8(step[Q_G]);
        d.b = step8(step[Q_B]);
    }
    // First window: pixels [0, min(w + 8, n)) of it are the span's.
    {
        const int32_t at = std::min(w, last_at);
        window8<SHADE, ADDITIVE, GATHER>(s8, at, outside8(0, std::min(w + 8, n), at),
                                         at == w ? q : moved_window8<TEXTURED, SHADED>(q, step, at - w));
    }
    w += 8;
    advance8<TEXTURED, SHADED>(q, d);
    for (; w + 8 <= n; w += 8) {
        window8<SHADE, ADDITIVE, GATHER>(s8, w, _mm256_setzero_si256(), q);
        advance8<TEXTURED, SHADED>(q, d);
    }
    // Last window: pixels [w, n).
    if (w < n) {
        const int32_t at = std::min(w, last_at);
        window8<SHADE, ADDITIVE, GATHER>(s8, at, outside8(w, n, at),
                                         at == w ? q : moved_window8<TEXTURED, SHADED>(q, step, at - w));
    }
}

#endif

#if defined(__wasm_simd128__)
// ---------------------------------------------------------------------------
// WebAssembly SIMD (128-bit) kernels for the page: the AVX2 whole-window
// kernels' scheme with windows of four pixels on the frame's 16-byte grid.
// WebAssembly has neither masked stores nor gathers: every window is read
// and written whole (the pixels it keeps written back as read, never past
// the buffers) and the texels are four scalar loads.
// ---------------------------------------------------------------------------
struct Window4 {
    v128_t z, u, v, r, g, b;
};

struct Span4 {
    uint32_t* frame;
    uint32_t* depth;
    const uint32_t* texture;
    v128_t generation, colour, texel_mask;
    uint32_t shift;
};

inline v128_t lanes_from4(uint32_t value, uint32_t step)
{
    return wasm_i32x4_add(wasm_i32x4_splat(static_cast<int32_t>(value)),
                          wasm_i32x4_mul(wasm_i32x4_make(0, 1, 2, 3), wasm_i32x4_splat(static_cast<int32_t>(step))));
}

inline v128_t pack_channels4(v128_t r, v128_t g, v128_t b)
{
    return wasm_v128_or(wasm_v128_and(r, wasm_i32x4_splat(0xFF0000)),
                        wasm_v128_or(wasm_v128_and(wasm_u32x4_shr(g, 8), wasm_i32x4_splat(0xFF00)),
                                     wasm_v128_and(wasm_u32x4_shr(b, 16), wasm_i32x4_splat(0xFF))));
}

// The lanes of a window at pixel at that lie outside pixels [from, to).
inline v128_t outside4(int32_t from, int32_t to, int32_t at)
{
    const v128_t lane = wasm_i32x4_make(0, 1, 2, 3);
    return wasm_v128_or(wasm_i32x4_gt(wasm_i32x4_splat(from - at), lane),
                        wasm_i32x4_gt(lane, wasm_i32x4_splat(to - at - 1)));
}

inline v128_t moved4(v128_t value, uint32_t step, int32_t pixels)
{
    return wasm_i32x4_add(value, wasm_i32x4_splat(static_cast<int32_t>(step * static_cast<uint32_t>(pixels))));
}

template <bool TEXTURED, bool SHADED>
inline Window4 moved_window4(Window4 q, const uint32_t step[Q_LANES], int32_t pixels)
{
    q.z = moved4(q.z, step[Q_Z], pixels);
    if constexpr (TEXTURED) {
        q.u = moved4(q.u, step[Q_U], pixels);
        q.v = moved4(q.v, step[Q_V], pixels);
    }
    if constexpr (SHADED) {
        q.r = moved4(q.r, step[Q_R], pixels);
        q.g = moved4(q.g, step[Q_G], pixels);
        q.b = moved4(q.b, step[Q_B], pixels);
    }
    return q;
}

template <bool TEXTURED, bool SHADED>
inline void advance4(Window4& q, const Window4& d)
{
    q.z = wasm_i32x4_add(q.z, d.z);
    if constexpr (TEXTURED) {
        q.u = wasm_i32x4_add(q.u, d.u);
        q.v = wasm_i32x4_add(q.v, d.v);
    }
    if constexpr (SHADED) {
        q.r = wasm_i32x4_add(q.r, d.r);
        q.g = wasm_i32x4_add(q.g, d.g);
        q.b = wasm_i32x4_add(q.b, d.b);
    }
}

// One window at pixel at: lanes in outside are left as they are.
template <int32_t SHADE, bool ADDITIVE>
[[gnu::always_inline]] inline void window4(const Span4& s, int32_t at, v128_t outside, const Window4& q)
{
    uint32_t* depth = s.depth + at;
    uint32_t* frame = s.frame + at;
    const v128_t word = wasm_v128_or(s.generation, wasm_i32x4_shr(q.z, FIXED_SHIFT));
    const v128_t stored = wasm_v128_load(depth);
    // Kept: stored <= word (unsigned), or not the span's.
    const v128_t keep = wasm_v128_or(wasm_i32x4_eq(wasm_u32x4_max(stored, word), word), outside);
    const uint32_t kept = wasm_i32x4_bitmask(keep);
    if (kept == 0xF)
        return;
    const v128_t rgb = wasm_i32x4_splat(0xFFFFFF);
    v128_t c;
    if constexpr (SHADE == SHADE_FLAT) {
        c = s.colour;
    } else if constexpr (SHADE == SHADE_GOURAUD) {
        c = pack_channels4(q.r, q.g, q.b);
    } else {
        const v128_t column = wasm_v128_and(wasm_i32x4_shr(q.u, FIXED_SHIFT), s.texel_mask);
        const v128_t row = wasm_v128_and(wasm_i32x4_shr(q.v, FIXED_SHIFT), s.texel_mask);
        const v128_t index = wasm_v128_or(wasm_i32x4_shl(row, s.shift), column);
        c = wasm_i32x4_make(static_cast<int32_t>(s.texture[wasm_u32x4_extract_lane(index, 0)]),
                            static_cast<int32_t>(s.texture[wasm_u32x4_extract_lane(index, 1)]),
                            static_cast<int32_t>(s.texture[wasm_u32x4_extract_lane(index, 2)]),
                            static_cast<int32_t>(s.texture[wasm_u32x4_extract_lane(index, 3)]));
        if constexpr (SHADE == SHADE_TEXTURED_GOURAUD)
            c = wasm_v128_and(wasm_u8x16_add_sat(c, pack_channels4(q.r, q.g, q.b)), rgb);
    }
    if (!ADDITIVE && kept == 0) {  // every pixel drawn: nothing to keep
        wasm_v128_store(frame, c);
        wasm_v128_store(depth, word);
        return;
    }
    const v128_t old = wasm_v128_load(frame);
    if constexpr (ADDITIVE)
        c = wasm_v128_and(wasm_u8x16_add_sat(old, c), rgb);
    wasm_v128_store(frame, wasm_v128_bitselect(old, c, keep));
    if constexpr (!ADDITIVE)
        wasm_v128_store(depth, wasm_v128_bitselect(stored, word, keep));
}

template <int32_t SHADE, bool ADDITIVE>
void span_simd128(const Span& s)
{
    constexpr bool TEXTURED = SHADE == SHADE_TEXTURED || SHADE == SHADE_TEXTURED_GOURAUD;
    constexpr bool SHADED = SHADE == SHADE_GOURAUD || SHADE == SHADE_TEXTURED_GOURAUD;
    const int32_t n = s.count;
    if (s.before + n + s.after < 4) {  // buffers narrower than a window
        span_plain<SHADE, ADDITIVE, true>(s);
        return;
    }
    const Span4 s4 = {
        .frame = s.frame,
        .depth = s.depth,
        .texture = s.texture,
        .generation = wasm_i32x4_splat(static_cast<int32_t>(s.generation)),
        .colour = wasm_i32x4_splat(static_cast<int32_t>(s.colour)),
        .texel_mask = wasm_i32x4_splat(static_cast<int32_t>(static_cast<uint32_t>(s.size) - 1u)),
        .shift = static_cast<uint32_t>(s.size_shift),
    };
    uint32_t step[Q_LANES];
    std::memcpy(step, s.step, sizeof step);
    const int32_t misalign = static_cast<int32_t>((reinterpret_cast<uintptr_t>(s.frame) / sizeof(uint32_t)) & 3);
    int32_t w = -std::min(misalign, s.before);
    const int32_t last_at = n + s.after - 4;
    const uint32_t first = static_cast<uint32_t>(w);
    Window4 q = {}, d = {};
    q.z = lanes_from4(s.value[Q_Z] + first * step[Q_Z], step[Q_Z]);
    d.z = wasm_i32x4_splat(static_cast<int32_t>(step[Q_Z] * 4u));
    if constexpr (TEXTURED) {
        q.u = lanes_from4(s.value[Q_U] + first * step[Q_U], step[Q_U]);
        q.v = lanes_from4(s.value[Q_V] + first * step[Q_V], step[Q_V]);
        d.u = wasm_i32x4_splat(static_cast<int32_t>(step[Q_U] * 4u));
        d.v = wasm_i32x4_splat(static_cast<int32_t>(step[Q_V] * 4u));
    }
    if constexpr (SHADED) {
        q.r = lanes_from4(s.value[Q_R] + first * step[Q_R], step[Q_R]);
        q.g = lanes_from4(s.value[Q_G] + first * step[Q_G], step[Q_G]);
        q.b = lanes_from4(s.value[Q_B] + first * step[Q_B], step[Q_B]);
        d.r = wasm_i32x4_splat(static_cast<int32_t>(step[Q_R] * 4u));
        d.g = wasm_i32x4_splat(static_cast<int32_t>(step[Q_G] * 4u));
        d.b = wasm_i32x4_splat(static_cast<int32_t>(step[Q_B] * 4u));
    }
    {
        const int32_t at = std::min(w, last_at);
        window4<SHADE, ADDITIVE>(s4, at, outside4(0, std::min(w + 4, n), at),
                                 at == w ? q : moved_window4<TEXTURED, SHADED>(q, step, at - w));
    }
    w += 4;
    advance4<TEXTURED, SHADED>(q, d);
    for (; w + 4 <= n; w += 4) {
        window4<SHADE, ADDITIVE>(s4, w, wasm_i32x4_splat(0), q);
        advance4<TEXTURED, SHADED>(q, d);
    }
    if (w < n) {
        const int32_t at = std::min(w, last_at);
        window4<SHADE, ADDITIVE>(s4, at, outside4(w, n, at),
                                 at == w ? q : moved_window4<TEXTURED, SHADED>(q, step, at - w));
    }
}
#endif

// Kernel for a filler and pass at a level; texture kernels also by
// power-of-two side (the wide ones need one).
SpanKernel choose_kernel(int32_t shade, bool additive, bool power_of_two, [[maybe_unused]] int32_t level)
{
    static constexpr SpanKernel plain[4][2][2] = {
        {{span_plain<SHADE_FLAT, false, true>, span_plain<SHADE_FLAT, false, true>},
         {span_plain<SHADE_FLAT, true, true>, span_plain<SHADE_FLAT, true, true>}},
        {{span_plain<SHADE_GOURAUD, false, true>, span_plain<SHADE_GOURAUD, false, true>},
         {span_plain<SHADE_GOURAUD, true, true>, span_plain<SHADE_GOURAUD, true, true>}},
        {{span_plain<SHADE_TEXTURED, false, false>, span_plain<SHADE_TEXTURED, false, true>},
         {span_plain<SHADE_TEXTURED, true, false>, span_plain<SHADE_TEXTURED, true, true>}},
        {{span_plain<SHADE_TEXTURED_GOURAUD, false, false>, span_plain<SHADE_TEXTURED_GOURAUD, false, true>},
         {span_plain<SHADE_TEXTURED_GOURAUD, true, false>, span_plain<SHADE_TEXTURED_GOURAUD, true, true>}},
    };
#if defined(__x86_64__) || defined(__i386__)
    static constexpr SpanKernel wide[SPAN_VARIANTS][4][2] = {
        {
            {span_avx2<SHADE_FLAT, false>, span_avx2<SHADE_FLAT, true>},
            {span_avx2<SHADE_GOURAUD, false>, span_avx2<SHADE_GOURAUD, true>},
            {span_avx2<SHADE_TEXTURED, false>, span_avx2<SHADE_TEXTURED, true>},
            {span_avx2<SHADE_TEXTURED_GOURAUD, false>, span_avx2<SHADE_TEXTURED_GOURAUD, true>},
        },
        {
            {span_avx2_whole<SHADE_FLAT, false, true>, span_avx2_whole<SHADE_FLAT, true, true>},
            {span_avx2_whole<SHADE_GOURAUD, false, true>, span_avx2_whole<SHADE_GOURAUD, true, true>},
            {span_avx2_whole<SHADE_TEXTURED, false, true>, span_avx2_whole<SHADE_TEXTURED, true, true>},
            {span_avx2_whole<SHADE_TEXTURED_GOURAUD, false, true>, span_avx2_whole<SHADE_TEXTURED_GOURAUD, true, true>},
        },
        {
            {span_avx2_whole<SHADE_FLAT, false, false>, span_avx2_whole<SHADE_FLAT, true, false>},
            {span_avx2_whole<SHADE_GOURAUD, false, false>, span_avx2_whole<SHADE_GOURAUD, true, false>},
            {span_avx2_whole<SHADE_TEXTURED, false, false>, span_avx2_whole<SHADE_TEXTURED, true, false>},
            {span_avx2_whole<SHADE_TEXTURED_GOURAUD, false, false>,
             span_avx2_whole<SHADE_TEXTURED_GOURAUD, true, false>},
        },
    };
    if (level >= 1 && (power_of_two || shade < SHADE_TEXTURED))
        return wide[span_variant][shade][additive];
#elif defined(__wasm_simd128__)
    static constexpr SpanKernel wide[4][2] = {
        {span_simd128<SHADE_FLAT, false>, span_simd128<SHADE_FLAT, true>},
        {span_simd128<SHADE_GOURAUD, false>, span_simd128<SHADE_GOURAUD, true>},
        {span_simd128<SHADE_TEXTURED, false>, span_simd128<SHADE_TEXTURED, true>},
        {span_simd128<SHADE_TEXTURED_GOURAUD, false>, span_simd128<SHADE_TEXTURED_GOURAUD, true>},
    };
    if (level >= 1 && (power_of_two || shade < SHADE_TEXTURED))
        return wide[shade][additive];
#endif
    return plain[shade][additive][power_of_two];
}

// Every quantity of an edge or a span at once, one 32-bit lane each (Q_X
// first): the row walker steps them with one add and divides them with one
// packed division.
using Lanes = uint32_t __attribute__((vector_size(4 * Q_LANES)));
using SignedLanes = int32_t __attribute__((vector_size(4 * Q_LANES)));
using DoubleLanes = double __attribute__((vector_size(8 * Q_LANES)));

// A vertex's quantities in fixed point, as doubles: float fields times 65536
// (exact), colour channels moved to bits 16..23.
template <uint32_t USED>
inline void load_quantities(const Vertex* vertex, double out[Q_LANES])
{
    out[Q_X] = to_fixed(vertex->screen_x);
    out[Q_Z] = to_fixed(vertex->transformed.z);
    if constexpr ((USED & bit(Q_U)) != 0) {
        out[Q_U] = to_fixed(vertex->u);
        out[Q_V] = to_fixed(vertex->v);
    }
    if constexpr ((USED & bit(Q_R)) != 0) {
        out[Q_R] = static_cast<double>(vertex->colour & 0xFF0000);
        out[Q_G] = static_cast<double>((vertex->colour & 0xFF00) << 8);
        out[Q_B] = static_cast<double>((vertex->colour & 0xFF) << 16);
    }
}

// Edge set-up from vertex quantities from to to: slope = trunc(dQ / dy) and
// start = trunc(float(slope) * pre + Q at from).  The slope is truncated
// before the start uses it.
template <uint32_t USED>
inline void edge_set_up_plain(const double from[Q_LANES], const double to[Q_LANES], double inverse, float pre,
                              Lanes& slope, Lanes& start)
{
#pragma GCC unroll 7
    for (int32_t q = 0; q < Q_COUNT; q++) {
        if (USED & bit(q)) {
            const int32_t s = trunc_to_int((to[q] - from[q]) * inverse);
            slope[q] = static_cast<uint32_t>(s);
            start[q] = static_cast<uint32_t>(trunc_to_int(static_cast<double>(static_cast<float>(s)) * pre + from[q]));
        } else {
            slope[q] = 0;
            start[q] = 0;
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The packed version, straight from the two vertices (built in registers:
// going through memory would stall on store forwarding).  The packed
// truncation gives 0x80000000 for NaN and out-of-range values, exactly as
// trunc_to_int does; the int-to-float rounding and the separate multiply and
// add are the scalar ones.  Lanes of quantities a filler does not use hold
// whatever the vertex has and are never read.
YURN_AVX2 inline void quantities8(const Vertex* v, __m256d& low, __m256d& high)
{
    low = _mm256_mul_pd(_mm256_cvtps_pd(_mm_setr_ps(v->screen_x, v->transformed.z, v->u, v->v)),
                        _mm256_set1_pd(65536.0));
    const uint32_t c = v->colour;
    high = _mm256_cvtepi32_pd(_mm_setr_epi32(static_cast<int32_t>(c & 0xFF0000), static_cast<int32_t>((c & 0xFF00) << 8),
                                             static_cast<int32_t>((c & 0xFF) << 16), 0));
}

YURN_AVX2 inline void edge_half(__m256d from, __m256d to, __m256d scale, __m256d prestep, __m128i& slope,
                                __m128i& start)
{
    slope = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_sub_pd(to, from), scale));
    const __m256d s_float = _mm256_cvtps_pd(_mm_cvtepi32_ps(slope));
    start = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(s_float, prestep), from));
}

YURN_AVX2 inline void edge_set_up_avx2(const Vertex* from, const Vertex* to, double inverse, float pre, Lanes& slope,
                                Lanes& start)
{
    const __m256d scale = _mm256_set1_pd(inverse);
    const __m256d prestep = _mm256_set1_pd(pre);
    __m256d from_low, from_high, to_low, to_high;
    quantities8(from, from_low, from_high);
    quantities8(to, to_low, to_high);
    __m128i slope_low, slope_high, start_low, start_high;
    edge_half(from_low, to_low, scale, prestep, slope_low, start_low);
    edge_half(from_high, to_high, scale, prestep, slope_high, start_high);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(&slope), _mm256_set_m128i(slope_high, slope_low));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(&start), _mm256_set_m128i(start_high, start_low));
}
#endif

#if defined(__wasm_simd128__)
// The packed set-up for the page's SIMD build, two quantities per 128-bit
// register of doubles, truncated by trunc_to_int2.

// slope = trunc((to - from) * scale), start = trunc(float(slope) * prestep + from)
// of two quantities, in 32-bit lanes 0 and 1.
inline void edge_pair(v128_t from, v128_t to, v128_t scale, v128_t prestep, v128_t& slope, v128_t& start)
{
    slope = trunc_to_int2(wasm_f64x2_mul(wasm_f64x2_sub(to, from), scale));
    const v128_t s_float = wasm_f64x2_promote_low_f32x4(wasm_f32x4_convert_i32x4(slope));
    start = trunc_to_int2(wasm_f64x2_add(wasm_f64x2_mul(s_float, prestep), from));
}

// A vertex's quantities as four pairs of doubles: (x, z), (u, v), (r, g), (b, 0).
struct Quantities2 {
    v128_t pair[4];
};

template <uint32_t USED>
inline Quantities2 quantities2(const Vertex* v)
{
    Quantities2 q = {};
    const v128_t fixed_one = wasm_f64x2_splat(65536.0);
    q.pair[0] = wasm_f64x2_mul(wasm_f64x2_make(v->screen_x, v->transformed.z), fixed_one);
    if constexpr ((USED & bit(Q_U)) != 0)
        q.pair[1] = wasm_f64x2_mul(wasm_f64x2_make(v->u, v->v), fixed_one);
    if constexpr ((USED & bit(Q_R)) != 0) {
        const uint32_t c = v->colour;
        q.pair[2] = wasm_f64x2_make(static_cast<double>(c & 0xFF0000), static_cast<double>((c & 0xFF00) << 8));
        q.pair[3] = wasm_f64x2_make(static_cast<double>((c & 0xFF) << 16), 0.0);
    }
    return q;
}

// edge_set_up_plain's results; the lanes of quantities the filler does not
// use hold 0, as there.
template <uint32_t USED>
inline void edge_set_up_simd128(const Vertex* from, const Vertex* to, double inverse, float pre, Lanes& slope,
                                Lanes& start)
{
    const v128_t scale = wasm_f64x2_splat(inverse);
    const v128_t prestep = wasm_f64x2_splat(pre);
    const Quantities2 a = quantities2<USED>(from), b = quantities2<USED>(to);
    v128_t s[4] = {}, t[4] = {};
    edge_pair(a.pair[0], b.pair[0], scale, prestep, s[0], t[0]);
    if constexpr ((USED & bit(Q_U)) != 0)
        edge_pair(a.pair[1], b.pair[1], scale, prestep, s[1], t[1]);
    if constexpr ((USED & bit(Q_R)) != 0) {
        edge_pair(a.pair[2], b.pair[2], scale, prestep, s[2], t[2]);
        edge_pair(a.pair[3], b.pair[3], scale, prestep, s[3], t[3]);
        s[3] = wasm_i32x4_replace_lane(s[3], 1, 0);
        t[3] = wasm_i32x4_replace_lane(t[3], 1, 0);
    }
    const v128_t slope_low = wasm_i32x4_shuffle(s[0], s[1], 0, 1, 4, 5);
    const v128_t slope_high = wasm_i32x4_shuffle(s[2], s[3], 0, 1, 4, 5);
    const v128_t start_low = wasm_i32x4_shuffle(t[0], t[1], 0, 1, 4, 5);
    const v128_t start_high = wasm_i32x4_shuffle(t[2], t[3], 0, 1, 4, 5);
    slope = Lanes(__builtin_shufflevector(slope_low, slope_high, 0, 1, 2, 3, 4, 5, 6, 7));
    start = Lanes(__builtin_shufflevector(start_low, start_high, 0, 1, 2, 3, 4, 5, 6, 7));
}

// Four 32-bit differences divided by n (not 0 or 1) and truncated: the packed
// division and conversion of set_up_span.  The quotients always fit (see
// there), so the saturating conversion truncates them exactly.
inline v128_t quotient4(v128_t difference, v128_t n)
{
    const v128_t low = wasm_i32x4_trunc_sat_f64x2_zero(wasm_f64x2_div(wasm_f64x2_convert_low_i32x4(difference), n));
    const v128_t high = wasm_i32x4_trunc_sat_f64x2_zero(
        wasm_f64x2_div(wasm_f64x2_convert_low_i32x4(wasm_i32x4_shuffle(difference, difference, 2, 3, 2, 3)), n));
    return wasm_i32x4_shuffle(low, high, 0, 1, 4, 5);
}
#endif

// One edge from vertex from (whose quantities are q_from) to vertex to.
template <uint32_t USED, bool WIDE>
[[gnu::always_inline]] inline void edge_set_up([[maybe_unused]] const Vertex* from, [[maybe_unused]] const Vertex* to,
                                               const double q_from[Q_LANES], const double q_to[Q_LANES],
                                               double inverse, float pre, Lanes& slope, Lanes& start)
{
#if defined(__x86_64__) || defined(__i386__)
    if constexpr (WIDE) {
        edge_set_up_avx2(from, to, inverse, pre, slope, start);
        return;
    }
#elif defined(__wasm_simd128__)
    if constexpr (WIDE) {
        edge_set_up_simd128<USED>(from, to, inverse, pre, slope, start);
        return;
    }
#endif
    edge_set_up_plain<USED>(q_from, q_to, inverse, pre, slope, start);
}

// Spans shorter than this go to the plain kernels.  In the page the SIMD
// kernels only gain on long spans (measured in Chromium: 1.4-2.8 times the
// plain ones on frame-wide triangles, no gain on spans of a few to some 20
// pixels, less with a shorter cut), so short ones stay plain there.
#if defined(__wasm_simd128__)
constexpr int32_t SHORT_SPAN = 16;
#else
constexpr int32_t SHORT_SPAN = 3;
#endif

// ---------------------------------------------------------------------------
// The row walker.  All quantities of an edge travel together as eight 32-bit
// lanes (Q_X first), so the edges step with one add and the span gradients
// are one packed division; the same source is compiled for the generic build
// and, where the CPU has it, for AVX2 (in the page's SIMD build, for
// WebAssembly SIMD), and only the span kernel it calls differs between the
// fillers.
// ---------------------------------------------------------------------------

// What the set-up hands the walker: the two edges at the first drawn row,
// their slopes, the short edge's restart at B, and the rows to draw.
struct RowWalk {
    Lanes long_edge, short_edge;
    Lanes long_slope, upper_slope, lower_slope;
    Lanes b_start;
    int64_t top, bottom;  // rows drawn, already inside the frame
    int64_t b_row;        // after this row the short edge restarts at B
    int64_t width;
    int64_t words;        // in each buffer
    int32_t short_span;   // spans of fewer pixels go to the short kernel
    bool additive;        // the pass, and whether the texture side is a power of two:
    bool power_of_two;    // which plain kernel short_kernel is
    uint32_t* frame_buffer;
    uint32_t* depth_buffer;
};

// The differences across a span of n > 1 columns divided by n, truncated, in place.
// The quantities are divided four at a time; a filler that uses none of the
// upper four (r, g, b) divides only the lower ones.
template <uint32_t USED, bool WIDE>
[[gnu::always_inline]] inline void span_gradient(Lanes& difference, int32_t n)
{
    constexpr bool UPPER = (USED & 0xF0u) != 0;
#if defined(__wasm_simd128__)
    if constexpr (WIDE) {
        const v128_t divisor = wasm_f64x2_splat(static_cast<double>(n));
        const v128_t low = quotient4(v128_t(__builtin_shufflevector(difference, difference, 0, 1, 2, 3)), divisor);
        const v128_t high =
            UPPER ? quotient4(v128_t(__builtin_shufflevector(difference, difference, 4, 5, 6, 7)), divisor)
                  : wasm_i32x4_splat(0);
        difference = Lanes(__builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7));
        return;
    }
#endif
    if constexpr (UPPER) {
        const DoubleLanes wide = __builtin_convertvector(SignedLanes(difference), DoubleLanes);
        difference = Lanes(__builtin_convertvector(wide / static_cast<double>(n), SignedLanes));
    } else {
        using Half = int32_t __attribute__((vector_size(16)));
        using DoubleHalf = double __attribute__((vector_size(32)));
        const Half low = {static_cast<int32_t>(difference[0]), static_cast<int32_t>(difference[1]),
                          static_cast<int32_t>(difference[2]), static_cast<int32_t>(difference[3])};
        const Half quotient =
            __builtin_convertvector(__builtin_convertvector(low, DoubleHalf) / static_cast<double>(n), Half);
        difference = Lanes{static_cast<uint32_t>(quotient[0]), static_cast<uint32_t>(quotient[1]),
                           static_cast<uint32_t>(quotient[2]), static_cast<uint32_t>(quotient[3]), 0, 0, 0, 0};
    }
}

// The span of row y from the edges there, false when the row draws nothing:
// the fill rule and the edge cut, stated once.  Row y uses the edges at
// vertical position y + 1; the span covers columns (left x >> 16) up to
// (right x >> 16) - 1, cut to the frame.  Each gradient is
// (right - left) / n truncated toward zero: the double quotient of an int32
// by n <= 65535 truncates to the integer quotient exactly, as its rounding
// error (under 2^-22) is smaller than the distance 1/n from any non-integer
// quotient to the next integer; and the quotient always fits in 32 bits.
template <uint32_t USED, bool WIDE>
[[gnu::always_inline]] inline bool set_up_span(const RowWalk& rows, int64_t y, const Lanes& long_edge,
                                               const Lanes& short_edge, Span& span)
{
    const int32_t long_x = static_cast<int32_t>(long_edge[int32_t{Q_X}]);
    const int32_t short_x = static_cast<int32_t>(short_edge[int32_t{Q_X}]);
    // The long edge is the left one when both have the same x.
    const bool long_left = long_x <= short_x;
    const bool skipped = interlace_flag && ((interlace_parity ^ static_cast<int32_t>(y)) & 1);
    const int32_t x0 = fixed_floor(long_left ? long_x : short_x);
    const int32_t x1 = fixed_floor(long_left ? short_x : long_x);
    const int32_t n = x1 - x0;
    if (skipped || n == 0)
        return false;
    const int64_t clip_left = std::max<int64_t>(x0, 0);
    const int64_t clip_right = std::min<int64_t>(x1, rows.width);
    if (clip_left >= clip_right)
        return false;
    const Lanes left = long_left ? long_edge : short_edge;
    const Lanes right = long_left ? short_edge : long_edge;
    Lanes gradient = right - left;  // over one column, the difference itself
    if (n != 1)
        span_gradient<USED, WIDE>(gradient, n);
    const Lanes value = left + gradient * static_cast<uint32_t>(clip_left - x0);
    std::memcpy(span.step, &gradient, sizeof span.step);
    std::memcpy(span.value, &value, sizeof span.value);
    const int64_t offset = y * rows.width + clip_left;
    span.frame = rows.frame_buffer + offset;
    span.depth = rows.depth_buffer + offset;
    span.count = static_cast<int32_t>(clip_right - clip_left);
    span.before = static_cast<int32_t>(std::min<int64_t>(offset, 8));
    span.after = static_cast<int32_t>(std::min<int64_t>(rows.words - offset - span.count, 8));
    return true;
}

#if defined(__wasm_simd128__)
// The filler of the quantities USED.
constexpr int32_t shade_of(uint32_t used)
{
    return used == QUANTITIES[SHADE_FLAT]      ? SHADE_FLAT
           : used == QUANTITIES[SHADE_GOURAUD] ? SHADE_GOURAUD
           : used == QUANTITIES[SHADE_TEXTURED] ? SHADE_TEXTURED
                                                : SHADE_TEXTURED_GOURAUD;
}

// The plain kernels' pixels, one at a time, for the short spans of the
// page's SIMD build: the three running channels step together in one
// register, and one byte shuffle packs bits 16..23 of each into the colour
// (pack_channels), which the saturating byte add then takes as it is.
template <int32_t SHADE, bool ADDITIVE, bool POWER_OF_TWO>
[[gnu::always_inline]] inline void span_short_simd128(const Span& s)
{
    if constexpr (SHADE != SHADE_GOURAUD && SHADE != SHADE_TEXTURED_GOURAUD) {
        span_plain_inline<SHADE, ADDITIVE, POWER_OF_TWO>(s);
    } else {
        const v128_t zero = wasm_i32x4_splat(0);
        v128_t channels = wasm_i32x4_make(static_cast<int32_t>(s.value[Q_R]), static_cast<int32_t>(s.value[Q_G]),
                                          static_cast<int32_t>(s.value[Q_B]), 0);
        const v128_t channel_step = wasm_i32x4_make(static_cast<int32_t>(s.step[Q_R]),
                                                    static_cast<int32_t>(s.step[Q_G]),
                                                    static_cast<int32_t>(s.step[Q_B]), 0);
        uint32_t z = s.value[Q_Z], u = s.value[Q_U], v = s.value[Q_V];
        const uint32_t mask = static_cast<uint32_t>(s.size) - 1u;
        for (int32_t i = 0; i < s.count; i++) {
            const uint32_t word = s.generation | static_cast<uint32_t>(static_cast<int32_t>(z) >> FIXED_SHIFT);
            if (s.depth[i] > word) {
                // Byte 0 from b, 1 from g, 2 from r, each its bits 16..23; the rest 0.
                v128_t c = wasm_i8x16_shuffle(channels, zero, 10, 6, 2, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,
                                              16, 16);
                if constexpr (SHADE == SHADE_TEXTURED_GOURAUD) {
                    uint32_t column, row;
                    if constexpr (POWER_OF_TWO) {
                        column = static_cast<uint32_t>(static_cast<int32_t>(u) >> FIXED_SHIFT) & mask;
                        row = static_cast<uint32_t>(static_cast<int32_t>(v) >> FIXED_SHIFT) & mask;
                    } else {
                        u = wrap_coordinate(u, s.size);
                        v = wrap_coordinate(v, s.size);
                        column = u >> FIXED_SHIFT;
                        row = v >> FIXED_SHIFT;
                    }
                    const uint32_t texel = s.texture[static_cast<size_t>(row) * static_cast<uint32_t>(s.size) + column];
                    c = wasm_u8x16_add_sat(wasm_i32x4_splat(static_cast<int32_t>(texel)), c);
                }
                if constexpr (ADDITIVE)
                    c = wasm_u8x16_add_sat(wasm_i32x4_splat(static_cast<int32_t>(s.frame[i])), c);
                s.frame[i] = static_cast<uint32_t>(wasm_i32x4_extract_lane(c, 0)) & 0xFFFFFF;
                if constexpr (!ADDITIVE)
                    s.depth[i] = word;
            }
            z += s.step[Q_Z];
            if constexpr (SHADE == SHADE_TEXTURED_GOURAUD) {
                u += s.step[Q_U];
                v += s.step[Q_V];
            }
            channels = wasm_i32x4_add(channels, channel_step);
        }
    }
}

// What the plain kernel choose_kernel gives at level 0 draws, written out in place.
template <uint32_t USED>
[[gnu::always_inline]] inline void short_span_plain(const Span& span, bool additive, bool power_of_two)
{
    constexpr int32_t SHADE = shade_of(USED);
    constexpr bool TEXTURED = SHADE == SHADE_TEXTURED || SHADE == SHADE_TEXTURED_GOURAUD;
    if (additive) {
        if (!TEXTURED || power_of_two)
            span_short_simd128<SHADE, true, true>(span);
        else
            span_short_simd128<SHADE, true, false>(span);
    } else {
        if (!TEXTURED || power_of_two)
            span_short_simd128<SHADE, false, true>(span);
        else
            span_short_simd128<SHADE, false, false>(span);
    }
}
#endif

// One row's span, by the short kernel or the wide one.
template <uint32_t USED, bool WIDE>
[[gnu::always_inline]] inline void draw_span(const RowWalk& rows, const Span& span, SpanKernel kernel,
                                             SpanKernel short_kernel)
{
    if (span.count >= rows.short_span) {
        kernel(span);
        return;
    }
#if defined(__wasm_simd128__)
    // In the page a call through a pointer costs a short span more than most
    // of its pixels: there the plain kernel is written out in the walker.
    if constexpr (WIDE) {
        short_span_plain<USED>(span, rows.additive, rows.power_of_two);
        return;
    }
#endif
    short_kernel(span);
}

// Rows top to bottom.  Each row's span is set up before the row above it is
// drawn, so that its division runs while that row's kernel does.  spans:
// two spans holding the triangle's common fields, used in turn.
template <uint32_t USED, bool WIDE>
[[gnu::always_inline]] inline void walk_rows(const RowWalk& rows, Span spans[2], SpanKernel kernel,
                                             SpanKernel short_kernel)
{
    Lanes long_edge = rows.long_edge, short_edge = rows.short_edge;
    // After row y: the edges at row y + 1.
    const auto step_edges = [&rows, &long_edge, &short_edge](int64_t y) {
        long_edge += rows.long_slope;
        if (y > rows.b_row)
            short_edge += rows.lower_slope;
        else if (y == rows.b_row)
            short_edge = rows.b_start;
        else
            short_edge += rows.upper_slope;
    };
    int32_t current = 0;
    bool drawn = set_up_span<USED, WIDE>(rows, rows.top, long_edge, short_edge, spans[0]);
    step_edges(rows.top);
    for (int64_t y = rows.top; y <= rows.bottom; y++) {
        bool next_drawn = false;
        if (y < rows.bottom) {
            next_drawn = set_up_span<USED, WIDE>(rows, y + 1, long_edge, short_edge, spans[current ^ 1]);
            step_edges(y + 1);
        }
        if (drawn)
            draw_span<USED, WIDE>(rows, spans[current], kernel, short_kernel);
        drawn = next_drawn;
        current ^= 1;
    }
}

// The whole filler, compiled once for the generic build and once for AVX2
// (WIDE: packed set-up, and the lanes in 256-bit registers) or, in the page's
// SIMD build, for WebAssembly SIMD (WIDE: packed set-up and span gradients).
template <int32_t SHADE, bool WIDE>
[[gnu::always_inline]] inline void fill_triangle_body(Vertex* const triangle[3], uint32_t colour,
                                                      const uint32_t* texture, uint32_t* frame_buffer,
                                                      uint32_t* depth_buffer)
{
    constexpr uint32_t USED = QUANTITIES[SHADE];
    const Vertex* a = triangle[0];
    const Vertex* b = triangle[1];
    const Vertex* c = triangle[2];
    // Three compare-and-swaps; equal rows are never swapped.
    if (a->screen_y > b->screen_y)
        std::swap(a, b);
    if (b->screen_y > c->screen_y)
        std::swap(b, c);
    if (a->screen_y > b->screen_y)
        std::swap(a, b);
    const float ya = a->screen_y, yb = b->screen_y, yc = c->screen_y;
    if (yc - ya == 0)
        return;
    const int32_t iya = trunc_to_int(ya);
    const int32_t iyb = trunc_to_int(yb);
    const int32_t iyc = trunc_to_int(yc);
    const float pre_a = static_cast<float>(static_cast<double>(iya) + 1.0 - ya);

    // The rows drawn, known before any edge is set up: a triangle that
    // crosses no row boundary inside the frame (most of a dense mesh's) costs
    // no more than this.  With a flat top the first row is trunc(yB).
    const int64_t first_row = yb - ya != 0 ? iya : iyb;
    if (first_row >= iyc)
        return;
    // Rows outside the frame are not drawn; the edges are advanced straight
    // to the first visible row (k steps of a slope are k * slope mod 2^32).
    const int64_t last_row = static_cast<int64_t>(iyc) - 1;
    const int64_t top = std::max<int64_t>(first_row, 0);
    const int64_t bottom = std::min<int64_t>(last_row, static_cast<int64_t>(frame_height) - 1);
    if (top > bottom)
        return;

    double qa[Q_LANES] = {}, qb[Q_LANES] = {}, qc[Q_LANES] = {};
    if constexpr (!WIDE) {
        load_quantities<USED>(a, qa);
        load_quantities<USED>(b, qb);
        load_quantities<USED>(c, qc);
    }
    Lanes long_slope, upper_slope = {}, lower_slope = {};
    Lanes long_start, upper_start = {}, b_start = {};
    edge_set_up<USED, WIDE>(a, c, qa, qc, 1.0 / (static_cast<double>(yc) - ya), pre_a, long_slope, long_start);
    if (yb - ya != 0)
        edge_set_up<USED, WIDE>(a, b, qa, qb, 1.0 / (static_cast<double>(yb) - ya), pre_a, upper_slope, upper_start);
    if (yc - yb != 0) {
        // b_start: where the short edge restarts at B (at once when B is on the first row).
        const float pre_b = static_cast<float>(static_cast<double>(iyb) + 1.0 - yb);
        edge_set_up<USED, WIDE>(b, c, qb, qc, 1.0 / (static_cast<double>(yc) - yb), pre_b, lower_slope, b_start);
    }

    RowWalk rows;
    rows.b_row = static_cast<int64_t>(iyb) - 1;
    // k steps of a slope are k * slope modulo 2^32.
    rows.long_edge = long_start + long_slope * static_cast<uint32_t>(top - first_row);
    if (top <= rows.b_row)
        rows.short_edge = upper_start + upper_slope * static_cast<uint32_t>(top - first_row);
    else
        rows.short_edge = b_start + lower_slope * static_cast<uint32_t>(top - iyb);
    rows.long_slope = long_slope;
    rows.upper_slope = upper_slope;
    rows.lower_slope = lower_slope;
    rows.b_start = b_start;
    rows.top = top;
    rows.bottom = bottom;
    rows.width = frame_width;
    rows.words = static_cast<int64_t>(frame_width) * frame_height;
    rows.frame_buffer = frame_buffer;
    rows.depth_buffer = depth_buffer;

    const uint32_t side = static_cast<uint32_t>(current_texture_size);  // unsigned: any size, no overflow
    const bool power_of_two = (side & (side - 1)) == 0;
    Span spans[2];
    for (Span& span : spans) {
        span.generation = depth_generation;
        span.colour = colour;
        span.texture = texture;
        span.size = current_texture_size;
        span.size_shift = __builtin_ctz(static_cast<uint32_t>(current_texture_size) | 0x80000000u);
    }
    // A WIDE body runs at level 1 only, the generic one at level 0.
    const SpanKernel kernel = choose_kernel(SHADE, additive_pass != 0, power_of_two, WIDE ? 1 : span_level);
    // A span of a pixel or two costs the wide kernels more in set-up than
    // they save; the plain ones draw the same pixels.
    const SpanKernel short_kernel = choose_kernel(SHADE, additive_pass != 0, power_of_two, 0);
    rows.short_span = SHORT_SPAN;
    rows.additive = additive_pass != 0;
    rows.power_of_two = power_of_two;
    walk_rows<USED, WIDE>(rows, spans, kernel, short_kernel);
}

template <int32_t SHADE>
void fill_triangle_plain(Vertex* const triangle[3], uint32_t colour, const uint32_t* texture, uint32_t* frame_buffer,
                         uint32_t* depth_buffer)
{
    fill_triangle_body<SHADE, false>(triangle, colour, texture, frame_buffer, depth_buffer);
}

#if defined(__x86_64__) || defined(__i386__)
template <int32_t SHADE>
YURN_AVX2 void fill_triangle_avx2(Vertex* const triangle[3], uint32_t colour, const uint32_t* texture,
                                  uint32_t* frame_buffer, uint32_t* depth_buffer)
{
    fill_triangle_body<SHADE, true>(triangle, colour, texture, frame_buffer, depth_buffer);
}
#elif defined(__wasm_simd128__)
template <int32_t SHADE>
void fill_triangle_simd128(Vertex* const triangle[3], uint32_t colour, const uint32_t* texture,
                           uint32_t* frame_buffer, uint32_t* depth_buffer)
{
    fill_triangle_body<SHADE, true>(triangle, colour, texture, frame_buffer, depth_buffer);
}
#endif

template <int32_t SHADE>
void fill_triangle(Vertex* const triangle[3], uint32_t colour, const uint32_t* texture, uint32_t* frame_buffer,
                   uint32_t* depth_buffer)
{
#if defined(__x86_64__) || defined(__i386__)
    if (span_level >= 1) {
        fill_triangle_avx2<SHADE>(triangle, colour, texture, frame_buffer, depth_buffer);
        return;
    }
#elif defined(__wasm_simd128__)
    if (span_level >= 1) {
        fill_triangle_simd128<SHADE>(triangle, colour, texture, frame_buffer, depth_buffer);
        return;
    }
#endif
    fill_triangle_plain<SHADE>(triangle, colour, texture, frame_buffer, depth_buffer);
}

}  // namespace

namespace {
// The widest span kernels the processor (as capped) runs: AVX2, or in the
// page's SIMD build WebAssembly SIMD.
int32_t widest_span_level()
{
#if defined(__x86_64__) || defined(__i386__)
    return cpu_has_avx2() ? 1 : 0;
#elif defined(__wasm_simd128__)
    return cpu_level() >= CPU_SIMD128 ? 1 : 0;
#else
    return 0;
#endif
}
}  // namespace

int32_t span_level = widest_span_level();

namespace {
// YURN_SPANS, or else the variant for this processor: gathers and masked
// stores are microcoded on AMD processors (scalar texel loads there), fast
// on Intel ones.
int32_t default_span_variant()
{
    const char* value = std::getenv("YURN_SPANS");
    if (value && *value) {
        static constexpr const char* names[SPAN_VARIANTS] = {"masked", "gather", "loads"};
        for (int32_t variant = 0; variant < SPAN_VARIANTS; variant++) {
            size_t i = 0;
            while (names[variant][i] && (value[i] | 0x20) == names[variant][i])  // any case
                i++;
            if (!names[variant][i] && !value[i])
                return variant;
        }
        std::fprintf(stderr,
                     "Aviso: YURN_SPANS=\"%s\" no es una variante conocida (masked, gather o loads); "
                     "se elige según el procesador.\n",
                     value);
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_is("intel"))
        return SPANS_GATHER;
#endif
    return SPANS_LOADS;
}
}  // namespace

int32_t span_variant = default_span_variant();

int32_t set_span_variant(int32_t variant)
{
    span_variant = variant >= 0 && variant < SPAN_VARIANTS ? variant : default_span_variant();
    return span_variant;
}

namespace {
// The cpu_generation the level was last chosen at; a newer cap re-picks it.
uint32_t span_generation = cpu_generation();
}  // namespace

int32_t set_span_level(int32_t level)
{
    span_level = std::clamp(level, 0, widest_span_level());
    span_generation = cpu_generation();
    return span_level;
}

void follow_cpu_cap()
{
    if (span_generation != cpu_generation())
        set_span_level(1);
}

void fill_flat(Vertex* const triangle[3], uint32_t colour, uint32_t* frame_buffer, uint32_t* depth_buffer)
{
    fill_triangle<SHADE_FLAT>(triangle, colour, nullptr, frame_buffer, depth_buffer);
}

void fill_gouraud(Vertex* const triangle[3], uint32_t* frame_buffer, uint32_t* depth_buffer)
{
    fill_triangle<SHADE_GOURAUD>(triangle, 0, nullptr, frame_buffer, depth_buffer);
}

void fill_textured(Vertex* const triangle[3], const uint32_t* texture, uint32_t* frame_buffer,
                   uint32_t* depth_buffer)
{
    if (texture_usable(texture, current_texture_size))
        fill_triangle<SHADE_TEXTURED>(triangle, 0, texture, frame_buffer, depth_buffer);
}

void fill_textured_gouraud(Vertex* const triangle[3], const uint32_t* texture, uint32_t* frame_buffer,
                           uint32_t* depth_buffer)
{
    if (texture_usable(texture, current_texture_size))
        fill_triangle<SHADE_TEXTURED_GOURAUD>(triangle, 0, texture, frame_buffer, depth_buffer);
}
