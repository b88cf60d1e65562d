// The page's WebAssembly SIMD kernels (frame conversion, blend, fades) against
// plain models of their formulas, as the native tests check the x86 ones:
// every dispatcher at the plain level and at the 128-bit level in one
// process, and each 128-bit kernel called directly, on random frames, near
// white, every byte pair at every weight, odd counts and unaligned starts,
// with guard values around each output.  Built by em++ with the SIMD build's
// objects (yurn-kernel-check.js) and run under node by tests/web; prints the
// first differences and exits 1 when there are any.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "display/cpu.h"
#include "display/convert.h"
#include "display/display.h"
#include "shell/shell.h"
#include "stages/fades.h"
#include "stages/show_stages.h"

namespace {

constexpr int32_t W = 320, H = 240, N = W * H;
int64_t checks = 0;
int64_t failures = 0;

void expect(bool ok, const char* format, ...)
{
    checks++;
    if (ok)
        return;
    if (++failures <= 20) {
        std::va_list arguments;
        va_start(arguments, format);
        std::vfprintf(stderr, format, arguments);
        va_end(arguments);
        std::fputc('\n', stderr);
    }
}

// --- plain models, written from the formulas --------------------------------
void model_pack_24(const uint32_t* source, uint8_t* destination, int32_t count)
{
    for (int32_t i = 0; i < count; i++) {
        destination[3 * i] = uint8_t(source[i]);
        destination[3 * i + 1] = uint8_t(source[i] >> 8);
        destination[3 * i + 2] = uint8_t(source[i] >> 16);
    }
}

uint16_t model_16(uint32_t p, bool is_565)
{
    const uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    return is_565 ? uint16_t((r >> 3) << 11 | (g >> 2) << 5 | b >> 3) : uint16_t((r >> 3) << 10 | (g >> 3) << 5 | b >> 3);
}

void model_dither(const uint32_t* source, uint8_t* destination, int32_t width, int32_t height)
{
    std::vector<int32_t> current(3 * width + 3, 0), next(3 * width + 3, 0);
    for (int32_t y = 0; y < height; y++) {
        std::fill(next.begin(), next.end(), 0);
        for (int32_t x = 0; x < width; x++) {
            const uint32_t p = source[y * width + x];
            int32_t c[3] = {int32_t((p >> 16) & 0xFF) + current[3 * x], int32_t((p >> 8) & 0xFF) + current[3 * x + 1],
                            int32_t(p & 0xFF) + current[3 * x + 2]};
            for (int32_t& v : c)
                v = v > 255 ? 255 : v;
            destination[y * width + x] = uint8_t((c[0] & 0xE0) | ((c[1] & 0xE0) >> 3) | ((c[2] & 0xC0) >> 6));
            const int32_t e[3] = {c[0] & 0x1F, c[1] & 0x1F, c[2] & 0x3F};
            for (int32_t k = 0; k < 3; k++) {
                const int32_t s7 = (7 * e[k]) >> 4, s3 = (3 * e[k]) >> 4, s5 = (5 * e[k]) >> 4;
                if (x + 1 < width) {
                    current[3 * (x + 1) + k] += s7;
                    next[3 * (x + 1) + k] += e[k] - s7 - s3 - s5;
                }
                if (x > 0)
                    next[3 * (x - 1) + k] += s3;
                next[3 * x + k] += s5;
            }
        }
        std::swap(current, next);
    }
}

uint32_t model_blend(uint32_t a, uint32_t b, uint32_t c)
{
    uint32_t out = a & 0xFF000000u;
    for (int s = 0; s < 24; s += 8)
        out |= (((a >> s) & 0xFF) * (255 - c) / 256 + ((b >> s) & 0xFF) * c / 256) << s;
    return out;
}

uint32_t model_darken(uint32_t p, uint32_t amount)
{
    uint32_t out = p & 0xFF000000u;
    for (int s = 0; s < 24; s += 8) {
        const uint32_t lane = (p >> s) & 0xFF;
        out |= (lane > amount ? lane - amount : 0) << s;
    }
    return out;
}

uint32_t model_ceiling(uint32_t p, uint32_t level)
{
    uint32_t out = 0;
    for (int s = 0; s < 32; s += 8) {
        const uint32_t lane = (p >> s) & 0xFF;
        out |= (lane < level ? lane : level) << s;
    }
    return out;
}

std::vector<uint32_t> random_pixels(uint32_t seed, int32_t count, bool bright = false)
{
    std::mt19937 rng(seed);
    std::vector<uint32_t> pixels(count);
    for (uint32_t& p : pixels)
        p = rng() | (bright ? 0x00E0E0C0u : 0u);  // near white: the dither's clamp at 255
    return pixels;
}

const char* name_of(int32_t level) { return level == CPU_PLAIN ? "plain" : "simd128"; }

// --- conversion -------------------------------------------------------------
void check_convert_frame(int32_t level)
{
    frame_width = W;
    frame_height = H;
    for (uint32_t seed = 1; seed <= 4; seed++) {
        const std::vector<uint32_t> frame = random_pixels(seed, N, seed == 4);
        std::vector<uint8_t> got(N * 4 + 16, 0xAA), want(N * 4 + 16, 0xAA);
        display_depth = 32;
        convert_frame(frame.data(), got.data(), 0);
        expect(std::memcmp(got.data(), frame.data(), N * 4) == 0 && got[N * 4] == 0xAA,
               "%s: 32 bits is not the frame byte for byte (seed %u)", name_of(level), seed);

        display_depth = 24;
        std::fill(got.begin(), got.end(), 0xAA);
        convert_frame(frame.data(), got.data(), 0);
        model_pack_24(frame.data(), want.data(), N);
        expect(std::memcmp(got.data(), want.data(), N * 3) == 0 && got[N * 3] == 0xAA, "%s: 24 bits differ (seed %u)",
               name_of(level), seed);

        for (int32_t flag : {1, 0}) {
            display_depth = 16;
            rgb565 = flag;
            std::fill(got.begin(), got.end(), 0xAA);
            convert_frame(frame.data(), got.data(), 0);
            int32_t wrong = 0;
            for (int32_t i = 0; i < N; i++)
                wrong += uint16_t(got[2 * i] | got[2 * i + 1] << 8) != model_16(frame[i], flag != 0);
            expect(wrong == 0 && got[N * 2] == 0xAA, "%s: 16 bits (565 flag %d) differ in %d pixels (seed %u)",
                   name_of(level), flag, wrong, seed);
        }

        display_depth = 8;
        convert_frame(frame.data(), got.data(), 0);
        model_dither(frame.data(), want.data(), W, H);
        expect(std::memcmp(got.data(), want.data(), N) == 0, "%s: 8 bits differ (seed %u)", name_of(level), seed);
    }
}

using Pack24 = void (*)(const uint32_t*, uint8_t*, int32_t);
using Pack16 = void (*)(const uint32_t*, uint16_t*, int32_t, bool);

void pack_24_dispatch(const uint32_t* source, uint8_t* destination, int32_t count)
{
    pack_24(source, destination, count);
}

void pack_16_dispatch(const uint32_t* source, uint16_t* destination, int32_t count, bool is_565)
{
    rgb565 = is_565 ? 1 : 0;
    pack_16(source, destination, count);
}

void check_packers_on_odd_counts(int32_t level)
{
    const std::vector<std::pair<const char*, Pack24>> packers_24 = {{"pack_24", pack_24_dispatch},
                                                                    {"pack_24_simd128", pack_24_simd128}};
    const std::vector<std::pair<const char*, Pack16>> packers_16 = {{"pack_16", pack_16_dispatch},
                                                                    {"pack_16_simd128", pack_16_simd128}};
    const std::vector<uint32_t> pixels = random_pixels(7, 1000);
    for (int32_t offset : {0, 1, 3}) {
        for (int32_t count = 0; count <= 70; count++) {
            const uint32_t* source = pixels.data() + offset;
            std::vector<uint8_t> want(count * 3 + 8, 0x55);
            model_pack_24(source, want.data() + 1, count);
            for (auto [name, kernel] : packers_24) {
                std::vector<uint8_t> got(count * 3 + 8, 0x55);
                kernel(source, got.data() + 1, count);  // an unaligned destination too
                expect(got == want, "%s at %s: count %d offset %d", name, name_of(level), count, offset);
            }
            for (bool is_565 : {true, false}) {
                std::vector<uint16_t> want16(count + 4, 0x5555);
                for (int32_t i = 0; i < count; i++)
                    want16[i] = model_16(source[i], is_565);
                for (auto [name, kernel] : packers_16) {
                    std::vector<uint16_t> got16(count + 4, 0x5555);
                    kernel(source, got16.data(), count, is_565);
                    expect(got16 == want16, "%s at %s: count %d offset %d 565 %d", name, name_of(level), count, offset,
                           is_565);
                }
            }
        }
    }
}

void check_dither_sizes(int32_t level)
{
    for (auto [w, h] : {std::pair{1, 1}, {1, 7}, {2, 3}, {3, 5}, {17, 4}, {641, 3}, {5, 40}, {319, 241}}) {
        const std::vector<uint32_t> frame = random_pixels(uint32_t(w * 31 + h), w * h, (w & 1) != 0);
        std::vector<uint8_t> got(w * h + 1, 0x77), want(w * h);
        model_dither(frame.data(), want.data(), w, h);
        dither_8(frame.data(), got.data(), w, h);
        expect(std::memcmp(got.data(), want.data(), w * h) == 0 && got[w * h] == 0x77, "dither_8 at %s: %d x %d",
               name_of(level), w, h);
    }
}

// --- blend ------------------------------------------------------------------
using Blend = void (*)(uint32_t*, const uint32_t*, const uint32_t*, int32_t, uint8_t);

void check_blend(int32_t level)
{
    const std::pair<const char*, Blend> kernels[] = {{"blend", blend}, {"blend_simd128", blend_simd128}};
    // Every (a, b) byte pair in every lane, the top byte included, at every
    // weight; one pixel short of a whole number of vectors, so a tail too.
    constexpr int32_t PAIRS = 65535;
    std::vector<uint32_t> a(PAIRS), b(PAIRS), out(PAIRS);
    for (int32_t i = 0; i < PAIRS; i++) {
        a[i] = uint32_t(i >> 8) * 0x01010101u;
        b[i] = uint32_t(i & 0xFF) * 0x01010101u;
    }
    const std::vector<uint32_t> fa = random_pixels(1234, N), fb = random_pixels(4321, N);
    std::vector<uint32_t> frame(N);
    for (auto [name, kernel] : kernels) {
        for (uint32_t c = 0; c < 256; c++) {
            kernel(out.data(), a.data(), b.data(), PAIRS, uint8_t(c));
            int32_t wrong = 0;
            for (int32_t i = 0; i < PAIRS; i++)
                wrong += out[i] != model_blend(a[i], b[i], c);
            expect(wrong == 0, "%s at %s: %d byte pairs differ at c=%u", name, name_of(level), wrong, c);
            kernel(frame.data(), fa.data(), fb.data(), N, uint8_t(c));
            wrong = 0;
            for (int32_t i = 0; i < N; i++)
                wrong += frame[i] != model_blend(fa[i], fb[i], c);
            expect(wrong == 0, "%s at %s: %d pixels of a random frame differ at c=%u", name, name_of(level), wrong, c);
        }
        for (int32_t start = 0; start < 3; start++) {
            for (int32_t count = 0; count <= 37; count++) {
                std::vector<uint32_t> guarded(64, 0xDEADBEEFu);
                kernel(guarded.data() + start, fa.data() + start, fb.data() + start, count, 77);
                bool ok = true;
                for (int32_t i = 0; i < 64; i++)
                    ok &= guarded[i] == (i >= start && i < start + count ? model_blend(fa[i], fb[i], 77) : 0xDEADBEEFu);
                expect(ok, "%s at %s: start %d count %d", name, name_of(level), start, count);
            }
        }
        // In place over either source.
        std::vector<uint32_t> over_a(fa.begin(), fa.begin() + 131), over_b(fb.begin(), fb.begin() + 131);
        kernel(over_a.data(), over_a.data(), fb.data(), 131, 200);
        kernel(over_b.data(), fa.data(), over_b.data(), 131, 200);
        bool ok = true;
        for (int32_t i = 0; i < 131; i++)
            ok &= over_a[i] == model_blend(fa[i], fb[i], 200) && over_b[i] == model_blend(fa[i], fb[i], 200);
        expect(ok, "%s at %s: in place", name, name_of(level));
    }
}

// --- fades ------------------------------------------------------------------
void check_fades(int32_t level)
{
    const std::vector<uint32_t> source = random_pixels(8, N + 64);
    for (int32_t amount = 0; amount < 256; amount++) {
        const int32_t count = 1 + amount % 263;
        std::vector<uint32_t> got(count);
        darken_copy(got.data(), source.data(), uint8_t(amount), count);
        bool ok = true;
        for (int32_t i = 0; i < count; i++)
            ok &= got[i] == model_darken(source[i], uint32_t(amount));
        expect(ok, "darken_copy at %s: amount %d", name_of(level), amount);
        ceiling_pass(got.data(), source.data(), uint8_t(amount), count);
        ok = true;
        for (int32_t i = 0; i < count; i++)
            ok &= got[i] == model_ceiling(source[i], uint32_t(amount));
        expect(ok, "ceiling_pass at %s: level %d", name_of(level), amount);
        std::vector<uint32_t> in_place(source.begin(), source.begin() + count);
        darken(in_place.data(), uint8_t(amount), count);
        ok = true;
        for (int32_t i = 0; i < count; i++)
            ok &= in_place[i] == model_darken(source[i], uint32_t(amount));
        expect(ok, "darken at %s: amount %d", name_of(level), amount);
    }
    for (int32_t start : {0, 1, 5}) {
        for (int32_t count : {N, 15, 16, 17, 31, 33, 47, 63, 64, 65, 129}) {
            std::vector<uint32_t> got(N + 64, 0x5A5A5A5Au);
            darken_copy(got.data() + start, source.data() + start, 77, count);
            bool ok = true;
            for (int32_t i = 0; i < N + 64; i++)
                ok &= got[i] == (i >= start && i < start + count ? model_darken(source[i], 77) : 0x5A5A5A5Au);
            expect(ok, "darken_copy at %s: start %d count %d", name_of(level), start, count);
            std::fill(got.begin(), got.end(), 0x5A5A5A5Au);
            ceiling_pass(got.data() + start, source.data() + start, 140, count);
            ok = true;
            for (int32_t i = 0; i < N + 64; i++)
                ok &= got[i] == (i >= start && i < start + count ? model_ceiling(source[i], 140) : 0x5A5A5A5Au);
            expect(ok, "ceiling_pass at %s: start %d count %d", name_of(level), start, count);
        }
    }
}

}  // namespace

int main()
{
    for (int32_t level : {CPU_PLAIN, CPU_SIMD128}) {
        expect(cpu_set_cap(level) == level, "the level capped at %s is %d", name_of(level), cpu_level());
        check_convert_frame(level);
        check_packers_on_odd_counts(level);
        check_dither_sizes(level);
        check_blend(level);
        check_fades(level);
    }
    std::printf("kernel check: %lld comparisons at the plain and the simd128 level, %lld differ\n",
                static_cast<long long>(checks), static_cast<long long>(failures));
    return failures == 0 ? 0 : 1;
}
