// Frame conversion: copy, 24-bit packing, 16-bit packing and 8-bit dithering.
// The packers have SSE2 / SSSE3 / AVX2 / AVX-512 kernels picked at run time
// (the build targets generic x86-64), and WebAssembly SIMD (128-bit) ones in
// the page's SIMD build; every kernel is bit-exact with the scalar one, which
// is the only one elsewhere.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define YURN_X86 1
#elif defined(__wasm_simd128__)
#include <wasm_simd128.h>
#define YURN_WASM_SIMD 1
#endif

#include <cstring>
#include <utility>
#include <vector>

#include "display/convert.h"
#include "display/cpu.h"
#include "display/display.h"
#include "shell/frame.h"

int32_t rgb565 = 1;  // set by init_display

namespace {

using Converter = void (*)(const uint32_t* source, void* destination);
using Pack24 = void (*)(const uint32_t*, uint8_t*, int32_t);
using Pack16 = void (*)(const uint32_t*, uint16_t*, int32_t, bool);

// ---------------------------------------------------------------------------
// Dither storage
//
// dither_8 keeps a pixel's channels and errors as four 16-bit lanes (blue,
// green, red, and the top byte whose error mask is 0), the lane order in
// which a 0x00RRGGBB pixel unpacks.  A channel plus its incoming error stays
// below 320 and a share product below 450, so 16-bit lanes never overflow and
// each lane's arithmetic is the plain one.  Rows carry padding pixels on
// each side (DITHER_PAD on x86, where the wavefront ramps reach 7 out; one
// elsewhere) so that shares beyond a row's ends land in the padding.
// ---------------------------------------------------------------------------
// x86: the incoming and outgoing error rows and four rows of quantised values;
// elsewhere: the current and below error rows.  Grows only for a wider frame.
std::vector<int16_t> dither_rows;

// ---------------------------------------------------------------------------
// Converter choice: once per settled depth and 565 flag, and again whenever
// the processor level is capped anew (cpu_generation)
// ---------------------------------------------------------------------------
Converter converter = nullptr;
int32_t converter_depth = -1;
int32_t converter_565 = -1;
Pack24 pack_24_kernel = nullptr;
Pack16 pack_16_kernel = nullptr;
uint32_t kernels_generation = 0;

// memcpy everywhere: in the page it hands a frame to the engine's own block
// copy (copyWithin), about three times as fast as a loop of 128-bit loads and
// stores there.
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

void choose_kernels()
{
    if (pack_24_kernel && kernels_generation == cpu_generation())
        return;
    kernels_generation = cpu_generation();
#ifdef YURN_X86
    const int32_t level = cpu_level();
    pack_24_kernel = level >= CPU_AVX512 ? pack_24_avx512
                     : level >= CPU_AVX2 ? pack_24_avx2
                     : cpu_has_ssse3()   ? pack_24_ssse3
                                         : pack_24_sse2;
    pack_16_kernel = level >= CPU_AVX512 ? pack_16_avx512 : level >= CPU_AVX2 ? pack_16_avx2 : pack_16_sse2;
#elif defined(YURN_WASM_SIMD)
    const bool simd = cpu_level() >= CPU_SIMD128;
    pack_24_kernel = simd ? pack_24_simd128 : pack_24_scalar;
    pack_16_kernel = simd ? pack_16_simd128 : pack_16_scalar;
#else
    pack_24_kernel = pack_24_scalar;
    pack_16_kernel = pack_16_scalar;
#endif
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

#ifdef YURN_X86
// Each pixel's word in the low half of its 32-bit lane.  With red and blue
// masked to their kept bits, one multiply-add places blue and red and the
// kept green bits are already where they belong, so a single shift finishes
// it: 5-6-5 is (B*4 + R*0x2000 | G kept) >> 5, 5-5-5 is (B*8 + R*0x2000 | G
// kept) >> 6.  Bit for bit the shifts-and-masks formula.
constexpr int32_t RB_KEPT = 0x00F800F8;
constexpr int32_t G_KEPT_565 = 0x0000FC00;
constexpr int32_t G_KEPT_555 = 0x0000F800;
constexpr int32_t RB_SCALE_565 = 0x20000004;  // 16-bit factors: 4 for blue, 0x2000 for red
constexpr int32_t RB_SCALE_555 = 0x20000008;

template <bool IS_565>
inline __m128i words_sse2(__m128i p)
{
    const __m128i rb = _mm_madd_epi16(_mm_and_si128(p, _mm_set1_epi32(RB_KEPT)),
                                      _mm_set1_epi32(IS_565 ? RB_SCALE_565 : RB_SCALE_555));
    const __m128i w = _mm_or_si128(rb, _mm_and_si128(p, _mm_set1_epi32(IS_565 ? G_KEPT_565 : G_KEPT_555)));
    // Shifted into the high half and back arithmetically: the sign-extended
    // word survives the signed saturating pack exactly (SSE2 has no unsigned one).
    return _mm_srai_epi32(_mm_slli_epi32(w, IS_565 ? 11 : 10), 16);
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
    const __m256i rb = _mm256_madd_epi16(_mm256_and_si256(p, _mm256_set1_epi32(RB_KEPT)),
                                         _mm256_set1_epi32(IS_565 ? RB_SCALE_565 : RB_SCALE_555));
    const __m256i w = _mm256_or_si256(rb, _mm256_and_si256(p, _mm256_set1_epi32(IS_565 ? G_KEPT_565 : G_KEPT_555)));
    return _mm256_srli_epi32(w, IS_565 ? 5 : 6);
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
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), packed);
    }
    for (; i < count; i++)
        store_16(destination + i, IS_565 ? pixel_565(source[i]) : pixel_555(source[i]));
}

// GCC 12 warns of an "uninitialised" value inside its own AVX-512 headers
// (their undefined-vector placeholder); the kernel reads nothing uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
template <bool IS_565>
__attribute__((target("avx512f,avx512bw"))) void pack_16_avx512_body(const uint32_t* source, uint16_t* destination,
                                                                      int32_t count)
{
    const __m512i rb_kept = _mm512_set1_epi32(RB_KEPT);
    const __m512i rb_scale = _mm512_set1_epi32(IS_565 ? RB_SCALE_565 : RB_SCALE_555);
    const __m512i g_kept = _mm512_set1_epi32(IS_565 ? G_KEPT_565 : G_KEPT_555);
    const __m512i in_order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    int32_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m512i a = _mm512_loadu_si512(source + i);
        const __m512i b = _mm512_loadu_si512(source + i + 16);
        // rb | (p & g_kept) in one three-way logic op (0xF8: A | (B & C)).
        const __m512i wa = _mm512_srli_epi32(
            _mm512_ternarylogic_epi32(_mm512_madd_epi16(_mm512_and_si512(a, rb_kept), rb_scale), a, g_kept, 0xF8),
            IS_565 ? 5 : 6);
        const __m512i wb = _mm512_srli_epi32(
            _mm512_ternarylogic_epi32(_mm512_madd_epi16(_mm512_and_si512(b, rb_kept), rb_scale), b, g_kept, 0xF8),
            IS_565 ? 5 : 6);
        _mm512_storeu_si512(destination + i, _mm512_permutexvar_epi64(in_order, _mm512_packus_epi32(wa, wb)));
    }
    for (; i < count; i++)
        store_16(destination + i, IS_565 ? pixel_565(source[i]) : pixel_555(source[i]));
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// ---------------------------------------------------------------------------
// 24-bit vector helpers
// ---------------------------------------------------------------------------

// Four pixels to two runs of six bytes, one per 64-bit half: pixel 0's three
// bytes stay and pixel 1's move down one byte beside them (shifts and masks
// only: SSE2 has no byte shuffle).
inline __m128i six_bytes_sse2(__m128i p)
{
    const __m128i low = _mm_set1_epi64x(0x0000000000FFFFFF);
    const __m128i high = _mm_set1_epi64x(0x0000FFFFFF000000);
    return _mm_or_si128(_mm_and_si128(p, low), _mm_and_si128(_mm_srli_epi64(p, 8), high));
}

// Eight pixels (a, b) to 24 bytes: v holds a's first run plus two bytes of
// its second, then b's the same; w holds the other four bytes of each second
// run in its dwords 0 and 2.  In order the bytes are v0 v1 w0 v2 v3 w2 (dwords).
inline void eight_to_24_sse2(__m128i a, __m128i b, __m128& v, __m128& w)
{
    const __m128i first = _mm_unpacklo_epi64(a, b), second = _mm_unpackhi_epi64(a, b);
    v = _mm_castsi128_ps(_mm_or_si128(first, _mm_slli_epi64(second, 48)));
    w = _mm_castsi128_ps(_mm_srli_epi64(second, 16));
}

#endif  // YURN_X86

}  // namespace

void convert_frame(const uint32_t* source, void* destination, int32_t)
{
    // A compare per frame, not per pixel: the converter changes only when the
    // depth (or the 565 flag) is settled anew, or the level is capped anew.
    if (display_depth != converter_depth || rgb565 != converter_565 || !converter ||
        kernels_generation != cpu_generation())
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

#ifdef YURN_X86
void pack_24_sse2(const uint32_t* source, uint8_t* destination, int32_t count)
{
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i* in = reinterpret_cast<const __m128i*>(source + i);
        __m128 v, w, v2, w2;
        eight_to_24_sse2(six_bytes_sse2(_mm_loadu_si128(in)), six_bytes_sse2(_mm_loadu_si128(in + 1)), v, w);
        eight_to_24_sse2(six_bytes_sse2(_mm_loadu_si128(in + 2)), six_bytes_sse2(_mm_loadu_si128(in + 3)), v2, w2);
        // The twelve dwords v0 v1 w0 v2 | v3 w2 v2_0 v2_1 | w2_0 v2_2 v2_3 w2_2, by dword shuffles.
        const __m128 m = _mm_shuffle_ps(w, v, _MM_SHUFFLE(2, 2, 0, 0));  // w0 w0 v2 v2
        const __m128 n = _mm_shuffle_ps(v, w, _MM_SHUFFLE(2, 2, 3, 3));  // v3 v3 w2 w2
        const __m128 o = _mm_shuffle_ps(w2, v2, _MM_SHUFFLE(2, 2, 0, 0));
        const __m128 q = _mm_shuffle_ps(v2, w2, _MM_SHUFFLE(2, 2, 3, 3));
        float* out = reinterpret_cast<float*>(destination);
        _mm_storeu_ps(out, _mm_shuffle_ps(v, m, _MM_SHUFFLE(2, 1, 1, 0)));
        _mm_storeu_ps(out + 4, _mm_shuffle_ps(n, v2, _MM_SHUFFLE(1, 0, 2, 1)));
        _mm_storeu_ps(out + 8, _mm_shuffle_ps(o, q, _MM_SHUFFLE(2, 0, 2, 0)));
        destination += 48;
    }
    pack_24_scalar(source + i, destination, count - i);
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

// Thirty-two pixels per step, three whole 32-byte stores.  A byte shuffle
// drops the top bytes inside each 128-bit half (three good dwords of four); a
// dword permute of each of the four registers puts its good dwords where its
// share of the three stores wants them, and dword blends join the shares.
__attribute__((target("avx2"))) void pack_24_avx2(const uint32_t* source, uint8_t* destination, int32_t count)
{
    const __m256i drop_top = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                              0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // Good dwords of a register: 0 1 2 4 5 6 (g0..g5).
    const __m256i first = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);   // g0..g5 at 0-5
    const __m256i second = _mm256_setr_epi32(2, 4, 5, 6, 3, 7, 0, 1);  // g2..g5 at 0-3, g0 g1 at 6-7
    const __m256i third = _mm256_setr_epi32(5, 6, 3, 7, 0, 1, 2, 4);   // g4 g5 at 0-1, g0..g3 at 4-7
    const __m256i fourth = _mm256_setr_epi32(3, 7, 0, 1, 2, 4, 5, 6);  // g0..g5 at 2-7
    int32_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i* in = reinterpret_cast<const __m256i*>(source + i);
        const __m256i a = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(in), drop_top), first);
        const __m256i b = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(in + 1), drop_top), second);
        const __m256i c = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(in + 2), drop_top), third);
        const __m256i d = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(_mm256_loadu_si256(in + 3), drop_top), fourth);
        __m256i* out = reinterpret_cast<__m256i*>(destination);
        _mm256_storeu_si256(out, _mm256_blend_epi32(a, b, 0xC0));
        _mm256_storeu_si256(out + 1, _mm256_blend_epi32(b, c, 0xF0));
        _mm256_storeu_si256(out + 2, _mm256_blend_epi32(c, d, 0xFC));
        destination += 96;
    }
    pack_24_sse2(source + i, destination, count - i);
}

// (GCC 12's AVX-512 headers warn of their own undefined-vector placeholder.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Sixty-four pixels per step, three whole 64-byte stores: the byte shuffle of
// the AVX2 kernel, then each store takes its twelve or sixteen good dwords
// from two neighbouring registers with one two-source dword permute.  A tail
// of fewer than 64 pixels goes sixteen at a time through masked stores.
__attribute__((target("avx512f,avx512bw"))) void pack_24_avx512(const uint32_t* source, uint8_t* destination,
                                                                 int32_t count)
{
    const __m512i drop_top =
        _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    // Good dwords g0..g11 of a register sit at 0 1 2 4 5 6 8 9 10 12 13 14; 16+ is the second source.
    const __m512i join_ab = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20);
    const __m512i join_bc = _mm512_setr_epi32(5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25);
    const __m512i join_cd = _mm512_setr_epi32(10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25, 26, 28, 29, 30);
    const __m512i close_gap = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15);
    int32_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const __m512i a = _mm512_shuffle_epi8(_mm512_loadu_si512(source + i), drop_top);
        const __m512i b = _mm512_shuffle_epi8(_mm512_loadu_si512(source + i + 16), drop_top);
        const __m512i c = _mm512_shuffle_epi8(_mm512_loadu_si512(source + i + 32), drop_top);
        const __m512i d = _mm512_shuffle_epi8(_mm512_loadu_si512(source + i + 48), drop_top);
        _mm512_storeu_si512(destination, _mm512_permutex2var_epi32(a, join_ab, b));
        _mm512_storeu_si512(destination + 64, _mm512_permutex2var_epi32(b, join_bc, c));
        _mm512_storeu_si512(destination + 128, _mm512_permutex2var_epi32(c, join_cd, d));
        destination += 192;
    }
    for (; i < count; i += 16) {
        const int32_t left = count - i < 16 ? count - i : 16;
        const __m512i p =
            _mm512_shuffle_epi8(_mm512_maskz_loadu_epi32(__mmask16((1u << left) - 1), source + i), drop_top);
        _mm512_mask_storeu_epi8(destination, (1ull << (3 * left)) - 1, _mm512_permutexvar_epi32(close_gap, p));
        destination += 48;
    }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif  // YURN_X86

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

#ifdef YURN_X86
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

// GCC 12 warns of an "uninitialised" value inside its own AVX-512 headers
// (their undefined-vector placeholder); the kernel reads nothing uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f,avx512bw"))) void pack_16_avx512(const uint32_t* source, uint16_t* destination,
                                                                  int32_t count, bool is_565)
{
    if (is_565)
        pack_16_avx512_body<true>(source, destination, count);
    else
        pack_16_avx512_body<false>(source, destination, count);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif  // YURN_X86

#ifdef YURN_WASM_SIMD
// ---------------------------------------------------------------------------
// WebAssembly SIMD (128-bit): the browsers' engines turn each operation into
// one or two SSE / NEON instructions, so the kernels keep to plain lane work
// and constant shuffles.
// ---------------------------------------------------------------------------

// Sixteen pixels to 48 bytes: one two-source byte shuffle per output vector
// picks the blue, green and red bytes of each pixel in order (indices 16-31
// name the second source).
void pack_24_simd128(const uint32_t* source, uint8_t* destination, int32_t count)
{
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const v128_t a = wasm_v128_load(source + i), b = wasm_v128_load(source + i + 4);
        const v128_t c = wasm_v128_load(source + i + 8), d = wasm_v128_load(source + i + 12);
        wasm_v128_store(destination, wasm_i8x16_shuffle(a, b, 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20));
        wasm_v128_store(destination + 16,
                        wasm_i8x16_shuffle(b, c, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25));
        wasm_v128_store(destination + 32,
                        wasm_i8x16_shuffle(c, d, 10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25, 26, 28, 29, 30));
        destination += 48;
    }
    pack_24_scalar(source + i, destination, count - i);
}

namespace {

// Each pixel's word in its 32-bit lane by the shifts and masks of the plain
// formula; an unsigned narrowing (exact: every word is below 65536) packs
// eight of them into one vector.
template <bool IS_565>
inline v128_t words_simd128(v128_t p)
{
    const v128_t red = wasm_v128_and(wasm_u32x4_shr(p, IS_565 ? 8 : 9), wasm_i32x4_splat(IS_565 ? 0xF800 : 0x7C00));
    const v128_t green = wasm_v128_and(wasm_u32x4_shr(p, IS_565 ? 5 : 6), wasm_i32x4_splat(IS_565 ? 0x07E0 : 0x03E0));
    const v128_t blue = wasm_v128_and(wasm_u32x4_shr(p, 3), wasm_i32x4_splat(0x001F));
    return wasm_v128_or(wasm_v128_or(red, green), blue);
}

template <bool IS_565>
void pack_16_simd128_body(const uint32_t* source, uint16_t* destination, int32_t count)
{
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const v128_t a = words_simd128<IS_565>(wasm_v128_load(source + i));
        const v128_t b = words_simd128<IS_565>(wasm_v128_load(source + i + 4));
        const v128_t c = words_simd128<IS_565>(wasm_v128_load(source + i + 8));
        const v128_t d = words_simd128<IS_565>(wasm_v128_load(source + i + 12));
        wasm_v128_store(destination + i, wasm_u16x8_narrow_i32x4(a, b));
        wasm_v128_store(destination + i + 8, wasm_u16x8_narrow_i32x4(c, d));
    }
    for (; i < count; i++)
        store_16(destination + i, IS_565 ? pixel_565(source[i]) : pixel_555(source[i]));
}

}  // namespace

void pack_16_simd128(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565)
{
    if (is_565)
        pack_16_simd128_body<true>(source, destination, count);
    else
        pack_16_simd128_body<false>(source, destination, count);
}

#endif  // YURN_WASM_SIMD

// ---------------------------------------------------------------------------
// 8 bits: Floyd-Steinberg into 3-3-2
//
// Along a row each pixel waits for the s7 share of the one on its left, but
// a row waits for the row above only two pixels ahead of it: pixel (x, y)
// needs (x + 1, y - 1) done.  So two rows run side by side in the two halves
// of a register, the lower row two pixels behind the upper one (a wavefront),
// and one step quantises a pixel of each.  A channel sits in a 16-bit lane
// (blue, green, red, top; the top lane's error mask is 0).
//
// The upper row's shares for the lower one travel in registers: s3 of step t
// is due at the lower row's next step, s5 two steps on and s1 three, so three
// registers carry them along.  The upper row's incoming errors come from the
// row buffer the previous pair filled; the lower row's go to the other row
// buffer, every entry there written exactly once.  Lanes outside their row (the ramp at
// either end, or a missing second row) have their errors masked to 0 and so
// pass nothing on; what they store lands in padding.  The quantised values
// are kept and a second pass per row turns them into indices.
// ---------------------------------------------------------------------------
#ifdef YURN_X86
namespace {

constexpr int32_t DITHER_PAD = 8;  // padding pixels on each side of a row: the ramps reach 7 out

struct DitherRows {
    const uint32_t* upper;  // source rows
    const uint32_t* lower;
    const int16_t* incoming;  // errors into the upper row
    int16_t* outgoing;        // errors out of the lower row, for the next pair
    int16_t* values_upper;
    int16_t* values_lower;
    int32_t width;
    bool two_rows;
};

// Shares are summed in the half of the row that made them and moved down a
// half once per step: the upper row's due_1 is the lower row's incoming at the
// next step, and the lower row's due_1 is its final outgoing entry.
struct DitherState {
    __m128i right = _mm_setzero_si128();  // s7 of each row's previous pixel
    __m128i due_1 = _mm_setzero_si128();  // this step's s3, last step's s5, the one before's s1
    __m128i due_2 = _mm_setzero_si128();
    __m128i due_3 = _mm_setzero_si128();
};

template <bool EDGE>
inline void dither_step(const DitherRows& r, DitherState& s, int32_t t)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i error_bits = _mm_setr_epi16(0x3F, 0x1F, 0x1F, 0, 0x3F, 0x1F, 0x1F, 0);
    const int32_t x0 = t, x1 = t - 2;
    __m128i mask = error_bits;
    uint32_t p0, p1;
    __m128i incoming;
    if (EDGE) {
        const bool on0 = x0 < r.width, on1 = r.two_rows && x1 >= 0 && x1 < r.width;
        p0 = on0 ? r.upper[x0] : 0;
        p1 = on1 ? r.lower[x1] : 0;
        mask = _mm_and_si128(mask, _mm_set_epi64x(on1 ? -1 : 0, on0 ? -1 : 0));
        incoming = on0 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r.incoming + 4 * x0)) : zero;
    } else {
        p0 = r.upper[x0];
        p1 = r.lower[x1];
        incoming = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(r.incoming + 4 * x0));
    }
    const __m128i p = _mm_unpacklo_epi8(
        _mm_unpacklo_epi32(_mm_cvtsi32_si128(int32_t(p0)), _mm_cvtsi32_si128(int32_t(p1))), zero);
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(p, _mm_add_epi16(incoming, _mm_slli_si128(s.due_1, 8))), s.right);
    const __m128i v = _mm_min_epi16(sum, _mm_set1_epi16(255));  // over 255 becomes 255
    _mm_storel_epi64(reinterpret_cast<__m128i*>(r.values_upper + 4 * x0), v);
    _mm_storeh_pd(reinterpret_cast<double*>(r.values_lower + 4 * x1), _mm_castsi128_pd(v));
    const __m128i e = _mm_and_si128(v, mask);
    const __m128i s7 = _mm_srli_epi16(_mm_sub_epi16(_mm_slli_epi16(e, 3), e), 4);
    const __m128i s3 = _mm_srli_epi16(_mm_add_epi16(_mm_slli_epi16(e, 1), e), 4);
    const __m128i s5 = _mm_srli_epi16(_mm_add_epi16(_mm_slli_epi16(e, 2), e), 4);
    const __m128i s1 = _mm_sub_epi16(_mm_sub_epi16(_mm_sub_epi16(e, s7), s3), s5);
    s.right = s7;
    s.due_1 = _mm_add_epi16(s.due_2, s3);
    s.due_2 = _mm_add_epi16(s.due_3, s5);
    s.due_3 = s1;
    // The lower row at x1: its s3 with the s5 and s1 made before completes outgoing[x1 - 1].
    _mm_storeh_pd(reinterpret_cast<double*>(r.outgoing + 4 * (x1 - 1)), _mm_castsi128_pd(s.due_1));
}

// Indices from the quantised values: bytes b, g, r, top of a 32-bit word.
void dither_indices(const int16_t* values, uint8_t* out, int32_t width)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i red = _mm_set1_epi32(0xE0), green = _mm_set1_epi32(0x1C), blue = _mm_set1_epi32(0x03);
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m128i* v = reinterpret_cast<const __m128i*>(values + 4 * x);
        const __m128i w = _mm_packus_epi16(_mm_loadu_si128(v), _mm_loadu_si128(v + 1));
        const __m128i index = _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_srli_epi32(w, 16), red),
                                                        _mm_and_si128(_mm_srli_epi32(w, 11), green)),
                                           _mm_and_si128(_mm_srli_epi32(w, 6), blue));
        const int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(index, zero), zero));
        std::memcpy(out + x, &bytes, 4);
    }
    for (; x < width; x++) {
        const int16_t* v = values + 4 * x;
        out[x] = uint8_t((v[2] & 0xE0) | ((v[1] & 0xE0) >> 3) | ((v[0] & 0xC0) >> 6));
    }
}


// The same wavefront four rows deep, one row per 64-bit quarter of a 256-bit
// register, each row two pixels behind the one above.  The shares for the
// rows below are summed where they are made (row k's s3 of this step, s5 of
// the last, s1 of the one before meet in due_1's quarter k) and moved one
// quarter down once per step; the bottom row's quarter of that sum is its
// final outgoing entry.
__attribute__((target("avx2"))) void dither_quads_avx2(const uint32_t* source, uint8_t* destination, int32_t width,
                                                       int32_t height, int16_t* incoming, int16_t* outgoing,
                                                       int16_t* values, size_t row)
{
    const __m256i error_bits = _mm256_setr_epi16(0x3F, 0x1F, 0x1F, 0, 0x3F, 0x1F, 0x1F, 0,  //
                                                 0x3F, 0x1F, 0x1F, 0, 0x3F, 0x1F, 0x1F, 0);
    const __m256i top = _mm256_set1_epi16(255);
    for (int32_t y = 0; y < height; y += 4) {
        const int32_t rows = height - y < 4 ? height - y : 4;
        const uint32_t* in[4];
        int16_t* kept[4];
        for (int32_t k = 0; k < 4; k++) {
            in[k] = source + size_t(y + (k < rows ? k : 0)) * size_t(width);
            kept[k] = values + size_t(k) * row;
        }
        __m256i right = _mm256_setzero_si256();
        __m256i due_1 = _mm256_setzero_si256();  // shares made for the row below, due next step
        __m256i due_2 = _mm256_setzero_si256();
        __m256i due_3 = _mm256_setzero_si256();
        // Row 3's last pixel is at t = width + 5; one step more flushes its
        // sums into outgoing[width - 1].
        const int32_t steps = width + 7;
        const int32_t steady_begin = rows == 4 ? 6 : steps, steady_end = rows == 4 ? width : steps;
        for (int32_t t = 0; t < steps; t++) {
            uint32_t p0, p1, p2, p3;
            __m256i mask = error_bits;
            __m128i from_above;
            if (t >= steady_begin && t < steady_end) {
                p0 = in[0][t];
                p1 = in[1][t - 2];
                p2 = in[2][t - 4];
                p3 = in[3][t - 6];
                from_above = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(incoming + 4 * t));
            } else {
                const bool on0 = t < width;
                const bool on1 = rows > 1 && t >= 2 && t - 2 < width;
                const bool on2 = rows > 2 && t >= 4 && t - 4 < width;
                const bool on3 = rows > 3 && t >= 6 && t - 6 < width;
                p0 = on0 ? in[0][t] : 0;
                p1 = on1 ? in[1][t - 2] : 0;
                p2 = on2 ? in[2][t - 4] : 0;
                p3 = on3 ? in[3][t - 6] : 0;
                mask = _mm256_and_si256(mask, _mm256_setr_epi64x(on0 ? -1 : 0, on1 ? -1 : 0, on2 ? -1 : 0, on3 ? -1 : 0));
                from_above = on0 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(incoming + 4 * t))
                                 : _mm_setzero_si128();
            }
            // Built in registers: four small stores read back as one would stall.
            const __m128i four = _mm_unpacklo_epi64(
                _mm_unpacklo_epi32(_mm_cvtsi32_si128(int32_t(p0)), _mm_cvtsi32_si128(int32_t(p1))),
                _mm_unpacklo_epi32(_mm_cvtsi32_si128(int32_t(p2)), _mm_cvtsi32_si128(int32_t(p3))));
            const __m256i pixels = _mm256_cvtepu8_epi16(four);
            // Each row's incoming: the top row's from the buffer, the others'
            // from the quarter above.
            const __m256i incoming_now = _mm256_blend_epi32(_mm256_permute4x64_epi64(due_1, _MM_SHUFFLE(2, 1, 0, 0)),
                                                            _mm256_castsi128_si256(from_above), 0x03);
            const __m256i v = _mm256_min_epi16(_mm256_add_epi16(_mm256_add_epi16(pixels, incoming_now), right), top);
            const __m128i v_low = _mm256_castsi256_si128(v), v_high = _mm256_extracti128_si256(v, 1);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(kept[0] + 4 * t), v_low);
            _mm_storeh_pd(reinterpret_cast<double*>(kept[1] + 4 * (t - 2)), _mm_castsi128_pd(v_low));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(kept[2] + 4 * (t - 4)), v_high);
            _mm_storeh_pd(reinterpret_cast<double*>(kept[3] + 4 * (t - 6)), _mm_castsi128_pd(v_high));
            const __m256i e = _mm256_and_si256(v, mask);
            const __m256i s7 = _mm256_srli_epi16(_mm256_sub_epi16(_mm256_slli_epi16(e, 3), e), 4);
            const __m256i s3 = _mm256_srli_epi16(_mm256_add_epi16(_mm256_slli_epi16(e, 1), e), 4);
            const __m256i s5 = _mm256_srli_epi16(_mm256_add_epi16(_mm256_slli_epi16(e, 2), e), 4);
            const __m256i s1 = _mm256_sub_epi16(_mm256_sub_epi16(_mm256_sub_epi16(e, s7), s3), s5);
            right = s7;
            due_1 = _mm256_add_epi16(due_2, s3);
            due_2 = _mm256_add_epi16(due_3, s5);
            due_3 = s1;
            // Row 3 at x = t - 6: its s3 with the s5 and s1 made before completes outgoing[x - 1].
            _mm_storeh_pd(reinterpret_cast<double*>(outgoing + 4 * (t - 7)),
                          _mm_castsi128_pd(_mm256_extracti128_si256(due_1, 1)));
        }
        for (int32_t k = 0; k < rows; k++)
            dither_indices(kept[k], destination + size_t(y + k) * size_t(width), width);
        std::swap(incoming, outgoing);
    }
}

}  // namespace

void dither_8(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return;
    const size_t row = (size_t(width) + 2 * DITHER_PAD) * 4;  // lanes per row, padding included
    if (dither_rows.size() < row * 6)
        dither_rows.assign(row * 6, 0);
    int16_t* base = dither_rows.data() + 4 * DITHER_PAD;  // pixel 0 of the first row
    int16_t* incoming = base;
    int16_t* outgoing = base + row;
    std::memset(incoming, 0, size_t(width) * 8);  // no error comes into the first row
    if (cpu_has_avx2()) {
        dither_quads_avx2(source, destination, width, height, incoming, outgoing, base + 2 * row, row);
        return;
    }
    DitherRows r = {.upper = source, .lower = source, .incoming = incoming, .outgoing = outgoing,
                    .values_upper = base + 2 * row, .values_lower = base + 3 * row, .width = width, .two_rows = false};
    for (int32_t y = 0; y < height; y += 2) {
        r.upper = source + size_t(y) * size_t(width);
        r.two_rows = y + 1 < height;
        r.lower = r.two_rows ? r.upper + width : r.upper;
        r.incoming = incoming;
        r.outgoing = outgoing;
        DitherState state;
        // Steps 0-1 and the last ones have a lane outside its row; the
        // lower row's last step (t = width + 1) is followed by one more that
        // flushes its running sums into outgoing[width - 1].
        const int32_t steady_end = r.two_rows ? width : 2;
        int32_t t = 0;
        for (; t < 2 && t < width + 3; t++)
            dither_step<true>(r, state, t);
        for (; t < steady_end; t++)
            dither_step<false>(r, state, t);
        for (; t < width + 3; t++)
            dither_step<true>(r, state, t);
        dither_indices(r.values_upper, destination + size_t(y) * size_t(width), width);
        if (r.two_rows)
            dither_indices(r.values_lower, destination + size_t(y + 1) * size_t(width), width);
        std::swap(incoming, outgoing);
    }
}
#else
namespace {

// Off x86: the same rows and the same order of steps, lane by lane.
void dither_plain(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return;
    const size_t row = (size_t(width) + 2) * 4;
    if (dither_rows.size() < row * 2)
        dither_rows.assign(row * 2, 0);
    int16_t* current = dither_rows.data() + 4;
    int16_t* below = current + row;
    std::memset(current, 0, size_t(width) * 8);
    constexpr int16_t ERROR_BITS[3] = {0x3F, 0x1F, 0x1F};  // blue, green, red
    for (int32_t y = 0; y < height; y++) {
        const uint32_t* in = source + size_t(y) * size_t(width);
        uint8_t* out = destination + size_t(y) * size_t(width);
        std::memset(below - 4, 0, (size_t(width) + 2) * 8);
        for (int32_t x = 0; x < width; x++) {
            int16_t v[3];
            for (int32_t k = 0; k < 3; k++) {
                const int32_t sum = int32_t((in[x] >> (8 * k)) & 0xFF) + current[4 * x + k];
                v[k] = int16_t(sum > 255 ? 255 : sum);
                const int32_t e = v[k] & ERROR_BITS[k];
                const int32_t s7 = (7 * e) >> 4, s3 = (3 * e) >> 4, s5 = (5 * e) >> 4;
                // Shares past either end land in the padding pixels.
                current[4 * (x + 1) + k] = int16_t(current[4 * (x + 1) + k] + s7);
                below[4 * (x - 1) + k] = int16_t(below[4 * (x - 1) + k] + s3);
                below[4 * x + k] = int16_t(below[4 * x + k] + s5);
                below[4 * (x + 1) + k] = int16_t(below[4 * (x + 1) + k] + (e - s7 - s3 - s5));
            }
            out[x] = uint8_t((v[2] & 0xE0) | ((v[1] & 0xE0) >> 3) | ((v[0] & 0xC0) >> 6));
        }
        int16_t* swap = current;
        current = below;
        below = swap;
    }
}

}  // namespace

#ifdef YURN_WASM_SIMD
namespace {

// WebAssembly SIMD: the two-row wavefront of the SSE2 kernel above, step for
// step (each row pixel in a 64-bit half of a register, the lower row two
// pixels behind), so the same argument makes it bit-exact with the plain rows.
constexpr int32_t DITHER_PAD = 4;  // padding pixels on each side of a row: the ramps reach 3 out

struct DitherRows {
    const uint32_t* upper;
    const uint32_t* lower;
    const int16_t* incoming;
    int16_t* outgoing;
    int16_t* values_upper;
    int16_t* values_lower;
    int32_t width;
    bool two_rows;
};

struct DitherState {
    v128_t right = wasm_i64x2_splat(0);
    v128_t due_1 = wasm_i64x2_splat(0);
    v128_t due_2 = wasm_i64x2_splat(0);
    v128_t due_3 = wasm_i64x2_splat(0);
};

template <bool EDGE>
inline void dither_step_simd128(const DitherRows& r, DitherState& s, int32_t t)
{
    const v128_t zero = wasm_i64x2_splat(0);
    v128_t mask = wasm_i16x8_make(0x3F, 0x1F, 0x1F, 0, 0x3F, 0x1F, 0x1F, 0);
    const int32_t x0 = t, x1 = t - 2;
    uint32_t p0, p1;
    v128_t incoming;
    if (EDGE) {
        const bool on0 = x0 < r.width, on1 = r.two_rows && x1 >= 0 && x1 < r.width;
        p0 = on0 ? r.upper[x0] : 0;
        p1 = on1 ? r.lower[x1] : 0;
        mask = wasm_v128_and(mask, wasm_i64x2_make(on0 ? -1 : 0, on1 ? -1 : 0));
        incoming = on0 ? wasm_v128_load64_zero(r.incoming + 4 * x0) : zero;
    } else {
        p0 = r.upper[x0];
        p1 = r.lower[x1];
        incoming = wasm_v128_load64_zero(r.incoming + 4 * x0);
    }
    const v128_t p = wasm_u16x8_extend_low_u8x16(wasm_i32x4_make(int32_t(p0), int32_t(p1), 0, 0));
    // The upper row's shares for the lower one move from the low half to the high half.
    const v128_t from_above = wasm_i64x2_shuffle(zero, s.due_1, 0, 2);
    const v128_t sum = wasm_i16x8_add(wasm_i16x8_add(p, wasm_i16x8_add(incoming, from_above)), s.right);
    const v128_t v = wasm_i16x8_min(sum, wasm_i16x8_splat(255));  // over 255 becomes 255
    wasm_v128_store64_lane(r.values_upper + 4 * x0, v, 0);
    wasm_v128_store64_lane(r.values_lower + 4 * x1, v, 1);
    const v128_t e = wasm_v128_and(v, mask);
    const v128_t s7 = wasm_u16x8_shr(wasm_i16x8_sub(wasm_i16x8_shl(e, 3), e), 4);
    const v128_t s3 = wasm_u16x8_shr(wasm_i16x8_add(wasm_i16x8_shl(e, 1), e), 4);
    const v128_t s5 = wasm_u16x8_shr(wasm_i16x8_add(wasm_i16x8_shl(e, 2), e), 4);
    const v128_t s1 = wasm_i16x8_sub(wasm_i16x8_sub(wasm_i16x8_sub(e, s7), s3), s5);
    s.right = s7;
    s.due_1 = wasm_i16x8_add(s.due_2, s3);
    s.due_2 = wasm_i16x8_add(s.due_3, s5);
    s.due_3 = s1;
    // The lower row at x1: its s3 with the s5 and s1 made before completes outgoing[x1 - 1].
    wasm_v128_store64_lane(r.outgoing + 4 * (x1 - 1), s.due_1, 1);
}

// Indices from the quantised values (blue, green, red, top lanes), four
// pixels a step: narrowed to bytes, each pixel a 32-bit word.
void dither_indices_simd128(const int16_t* values, uint8_t* out, int32_t width)
{
    const v128_t red = wasm_i32x4_splat(0xE0), green = wasm_i32x4_splat(0x1C), blue = wasm_i32x4_splat(0x03);
    int32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        const v128_t w = wasm_u8x16_narrow_i16x8(wasm_v128_load(values + 4 * x), wasm_v128_load(values + 4 * x + 8));
        const v128_t index = wasm_v128_or(wasm_v128_or(wasm_v128_and(wasm_u32x4_shr(w, 16), red),
                                                       wasm_v128_and(wasm_u32x4_shr(w, 11), green)),
                                          wasm_v128_and(wasm_u32x4_shr(w, 6), blue));
        wasm_v128_store32_lane(out + x, wasm_i8x16_shuffle(index, index, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12, 0, 4, 8, 12), 0);
    }
    for (; x < width; x++) {
        const int16_t* v = values + 4 * x;
        out[x] = uint8_t((v[2] & 0xE0) | ((v[1] & 0xE0) >> 3) | ((v[0] & 0xC0) >> 6));
    }
}

void dither_simd128(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    const size_t row = (size_t(width) + 2 * DITHER_PAD) * 4;  // lanes per row, padding included
    if (dither_rows.size() < row * 4)
        dither_rows.assign(row * 4, 0);
    int16_t* base = dither_rows.data() + 4 * DITHER_PAD;  // pixel 0 of the first row
    int16_t* incoming = base;
    int16_t* outgoing = base + row;
    std::memset(incoming, 0, size_t(width) * 8);  // no error comes into the first row
    DitherRows r = {.upper = source, .lower = source, .incoming = incoming, .outgoing = outgoing,
                    .values_upper = base + 2 * row, .values_lower = base + 3 * row, .width = width, .two_rows = false};
    for (int32_t y = 0; y < height; y += 2) {
        r.upper = source + size_t(y) * size_t(width);
        r.two_rows = y + 1 < height;
        r.lower = r.two_rows ? r.upper + width : r.upper;
        r.incoming = incoming;
        r.outgoing = outgoing;
        DitherState state;
        const int32_t steady_end = r.two_rows ? width : 2;
        int32_t t = 0;
        for (; t < 2 && t < width + 3; t++)
            dither_step_simd128<true>(r, state, t);
        for (; t < steady_end; t++)
            dither_step_simd128<false>(r, state, t);
        for (; t < width + 3; t++)
            dither_step_simd128<true>(r, state, t);
        dither_indices_simd128(r.values_upper, destination + size_t(y) * size_t(width), width);
        if (r.two_rows)
            dither_indices_simd128(r.values_lower, destination + size_t(y + 1) * size_t(width), width);
        std::swap(incoming, outgoing);
    }
}

}  // namespace
#endif  // YURN_WASM_SIMD

void dither_8(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
#ifdef YURN_WASM_SIMD
    if (width > 0 && height > 0 && cpu_level() >= CPU_SIMD128) {
        dither_simd128(source, destination, width, height);
        return;
    }
#endif
    dither_plain(source, destination, width, height);
}
#endif  // YURN_X86
