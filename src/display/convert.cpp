// Frame conversion: copy, 24-bit packing, 16-bit packing and 8-bit dithering.
// The packers have SSSE3 / SSE2 / AVX2 kernels picked at run time (the build
// targets generic x86-64); every kernel is bit-exact with the scalar one.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstring>
#include <vector>

#include "display/display.h"
#include "shell/shell.h"

int32_t rgb565 = 1;  // set by init_display

namespace {

using Converter = void (*)(const uint32_t* source, void* destination);

// ---------------------------------------------------------------------------
// Dither storage
//
// dither_8 keeps a pixel's channels and errors as four 16-bit lanes (blue,
// green, red, and the top byte whose error mask is 0), the lane order in
// which a 0x00RRGGBB pixel unpacks.  A channel plus its incoming error stays
// below 320 and a share product below 450, so 16-bit lanes never overflow and
// each lane's arithmetic is the plain one.  Rows carry one padding pixel on
// each side so that shares beyond a row's ends land in the padding.
// ---------------------------------------------------------------------------
std::vector<int16_t> dither_rows;  // current, below and values rows; grows only for a wider frame

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
#if defined(__x86_64__) || defined(__i386__)
    pack_24_kernel = cpu_has_ssse3() ? pack_24_ssse3 : pack_24_scalar;
    pack_16_kernel = cpu_has_avx512bw() ? pack_16_avx512 : cpu_has_avx2() ? pack_16_avx2 : pack_16_sse2;
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

// Each pixel's word in the low half of its 32-bit lane.  With red and blue
// masked to their kept bits, one multiply-add places blue and red and the
// kept green bits are already where they belong, so a single shift finishes
// it: 5-6-5 is (B*4 + R*0x2000 | G kept) >> 5, 5-5-5 is (B*8 + R*0x2000 | G
// kept) >> 6.  Bit for bit the shifts-and-masks formula.
#if defined(__x86_64__) || defined(__i386__)
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

#endif

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
bool cpu_has_avx512bw()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

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
#else
// No x86 vector instructions here (WebAssembly): the plain kernels run.
bool cpu_has_ssse3() { return false; }
bool cpu_has_avx2() { return false; }
bool cpu_has_avx512bw() { return false; }
#endif

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

#if defined(__x86_64__) || defined(__i386__)
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
#endif

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

#if defined(__x86_64__) || defined(__i386__)
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
#endif

// ---------------------------------------------------------------------------
// 8 bits: Floyd-Steinberg into 3-3-2
//
// The only serial dependence along a row is "right": the s7 share a pixel
// passes to the next one.  The loop keeps that chain short (add, clamp, mask,
// times 7, shift) with the three channels side by side in one register, and
// does the rest beside it: below[x] receives s1 of x-1, s5 of x and s3 of
// x+1, so two running partial sums carry it along and every entry of the row
// below is written exactly once.  The clamped values are kept, and a second
// pass over the row turns them into indices four pixels at a time.
// ---------------------------------------------------------------------------
#if defined(__x86_64__) || defined(__i386__)
void dither_8(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return;
    const size_t row = (size_t(width) + 2) * 4;  // lanes per row, padding included
    if (dither_rows.size() < row * 3)
        dither_rows.assign(row * 3, 0);
    int16_t* current = dither_rows.data() + 4;  // pixel 0 of each row; pixel -1 is padding
    int16_t* below = current + row;
    int16_t* values = below + row;
    std::memset(current, 0, size_t(width) * 8);  // no error comes into the first row

    const __m128i zero = _mm_setzero_si128();
    const __m128i top = _mm_set1_epi16(255);
    const __m128i error_bits = _mm_setr_epi16(0x3F, 0x1F, 0x1F, 0, 0x3F, 0x1F, 0x1F, 0);  // dropped by 3-3-2
    const __m128i red = _mm_set1_epi32(0xE0), green = _mm_set1_epi32(0x1C), blue = _mm_set1_epi32(0x03);
    for (int32_t y = 0; y < height; y++) {
        const uint32_t* in = source + size_t(y) * size_t(width);
        uint8_t* out = destination + size_t(y) * size_t(width);
        __m128i right = zero;       // s7 of the pixel on the left
        __m128i below_left = zero;  // s1 of x-2 plus s5 of x-1: below[x-1] but for s3 of x
        __m128i below_here = zero;  // s1 of x-1: below[x] but for s5 of x and s3 of x+1
        for (int32_t x = 0; x < width; x++) {
            const __m128i p = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int32_t(in[x])), zero);
            const __m128i incoming = _mm_add_epi16(p, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(current + 4 * x)));
            const __m128i v = _mm_min_epi16(_mm_add_epi16(incoming, right), top);  // over 255 becomes 255
            _mm_storel_epi64(reinterpret_cast<__m128i*>(values + 4 * x), v);
            const __m128i e = _mm_and_si128(v, error_bits);
            right = _mm_srli_epi16(_mm_sub_epi16(_mm_slli_epi16(e, 3), e), 4);
            const __m128i s3 = _mm_srli_epi16(_mm_add_epi16(_mm_slli_epi16(e, 1), e), 4);
            const __m128i s5 = _mm_srli_epi16(_mm_add_epi16(_mm_slli_epi16(e, 2), e), 4);
            const __m128i s1 = _mm_sub_epi16(_mm_sub_epi16(_mm_sub_epi16(e, right), s3), s5);
            // At x = 0 this writes the padding pixel: s3 of the first pixel is dropped.
            _mm_storel_epi64(reinterpret_cast<__m128i*>(below + 4 * (x - 1)), _mm_add_epi16(below_left, s3));
            below_left = _mm_add_epi16(below_here, s5);
            below_here = s1;
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(below + 4 * (width - 1)), below_left);

        // Indices: the clamped channels as bytes b, g, r, top of a 32-bit word.
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
        int16_t* swap = current;
        current = below;
        below = swap;
    }
}
#else
// The same diffusion one lane at a time, in the same storage layout.
void dither_8(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return;
    const size_t row = (size_t(width) + 2) * 4;  // lanes per row, padding included
    if (dither_rows.size() < row * 3)
        dither_rows.assign(row * 3, 0);
    int16_t* current = dither_rows.data() + 4;  // pixel 0 of each row; pixel -1 is padding
    int16_t* below = current + row;
    std::memset(current - 4, 0, row * 2);  // no error comes into the first row
    constexpr int32_t ERROR_BITS[3] = {0x3F, 0x1F, 0x1F};  // blue, green, red: what 3-3-2 drops
    for (int32_t y = 0; y < height; y++) {
        const uint32_t* in = source + size_t(y) * size_t(width);
        uint8_t* out = destination + size_t(y) * size_t(width);
        std::memset(below - 4, 0, row * 2);
        for (int32_t x = 0; x < width; x++) {
            int32_t v[3];
            for (int32_t c = 0; c < 3; c++) {
                int32_t value = int32_t((in[x] >> (8 * c)) & 0xFF) + current[4 * x + c];
                if (value > 255)
                    value = 255;
                v[c] = value;
                const int32_t e = value & ERROR_BITS[c];
                const int32_t s7 = (7 * e) >> 4, s3 = (3 * e) >> 4, s5 = (5 * e) >> 4;
                // Shares past either end of a row land in the padding pixels.
                current[4 * (x + 1) + c] = int16_t(current[4 * (x + 1) + c] + s7);
                below[4 * (x - 1) + c] = int16_t(below[4 * (x - 1) + c] + s3);
                below[4 * x + c] = int16_t(below[4 * x + c] + s5);
                below[4 * (x + 1) + c] = int16_t(below[4 * (x + 1) + c] + (e - s7 - s3 - s5));
            }
            out[x] = uint8_t((v[2] & 0xE0) | ((v[1] & 0xE0) >> 3) | ((v[0] & 0xC0) >> 6));
        }
        int16_t* swap = current;
        current = below;
        below = swap;
    }
}
#endif
