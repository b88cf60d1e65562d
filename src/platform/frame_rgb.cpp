// Reading the display's pixel formats back to RGB, one loop per depth and layout.
#include "platform/frame_rgb.h"

#include <bit>
#include <cstddef>
#include <cstring>

// A 32-bit pixel is the frame's word 0x00RRGGBB as convert_frame copied it,
// and words are written whole below: the program runs little-endian only.
static_assert(std::endian::native == std::endian::little);

namespace {

// Where one pixel's channels go, per layout; inlined into each depth's loop.
// word: a 32-bit pixel 0x00RRGGBB, rearranged whole where the layout allows.
struct PutRgb {
    static constexpr size_t SIZE = 3;
    static void word(uint8_t* out, uint32_t p) { put(out, p >> 16 & 0xFF, p >> 8 & 0xFF, p & 0xFF); }
    static void put(uint8_t* out, uint32_t r, uint32_t g, uint32_t b)
    {
        out[0] = uint8_t(r);
        out[1] = uint8_t(g);
        out[2] = uint8_t(b);
    }
};

struct PutRgba {
    static constexpr size_t SIZE = 4;
    static void word(uint8_t* out, uint32_t p)
    {
        const uint32_t rgba = 0xFF000000u | (p & 0x0000FF00u) | (p >> 16 & 0xFFu) | (p & 0xFFu) << 16;
        std::memcpy(out, &rgba, 4);
    }
    static void put(uint8_t* out, uint32_t r, uint32_t g, uint32_t b)
    {
        out[0] = uint8_t(r);
        out[1] = uint8_t(g);
        out[2] = uint8_t(b);
        out[3] = 0xFF;
    }
};

struct PutXrgb {
    static constexpr size_t SIZE = 4;
    static void word(uint8_t* out, uint32_t p)
    {
        const uint32_t xrgb = p & 0x00FFFFFFu;
        std::memcpy(out, &xrgb, 4);
    }
    static void put(uint8_t* out, uint32_t r, uint32_t g, uint32_t b)
    {
        const uint32_t word = r << 16 | g << 8 | b;
        std::memcpy(out, &word, 4);
    }
};

// A 5- or 6-bit field widened to 8 bits by repeating its top bits.
inline uint32_t widen5(uint32_t v) { return v << 3 | v >> 2; }
inline uint32_t widen6(uint32_t v) { return v << 2 | v >> 4; }

template <class Put>
void expand(const PresentedFrame& frame, size_t count, uint8_t* out)
{
    const uint8_t* p = frame.pixels;
    switch (frame.depth) {
    case 32:
        for (size_t i = 0; i < count; ++i) {
            uint32_t word;
            std::memcpy(&word, p + 4 * i, 4);
            Put::word(out + i * Put::SIZE, word);
        }
        return;
    case 24:
        for (size_t i = 0; i < count; ++i)
            Put::put(out + i * Put::SIZE, p[3 * i + 2], p[3 * i + 1], p[3 * i]);
        return;
    case 16:
        // The layout is settled once per frame, not per pixel.
        if (frame.rgb565) {
            for (size_t i = 0; i < count; ++i) {
                const uint32_t w = uint32_t(p[2 * i]) | uint32_t(p[2 * i + 1]) << 8;
                Put::put(out + i * Put::SIZE, widen5(w >> 11), widen6((w >> 5) & 63), widen5(w & 31));
            }
        } else {
            for (size_t i = 0; i < count; ++i) {
                const uint32_t w = uint32_t(p[2 * i]) | uint32_t(p[2 * i + 1]) << 8;
                Put::put(out + i * Put::SIZE, widen5((w >> 10) & 31), widen5((w >> 5) & 31), widen5(w & 31));
            }
        }
        return;
    case 8:
        if (frame.palette) {
            // The 256 colours laid out once, then copied per index.
            uint8_t colours[256 * Put::SIZE];
            for (size_t c = 0; c < 256; ++c)
                Put::put(colours + c * Put::SIZE, frame.palette[3 * c], frame.palette[3 * c + 1],
                         frame.palette[3 * c + 2]);
            for (size_t i = 0; i < count; ++i)
                std::memcpy(out + i * Put::SIZE, colours + size_t(p[i]) * Put::SIZE, Put::SIZE);
            return;
        }
        break;
    default:
        break;
    }
    for (size_t i = 0; i < count; ++i)
        Put::put(out + i * Put::SIZE, 0, 0, 0);
}

}  // namespace

void frame_to_rgb(const PresentedFrame& frame, RgbLayout layout, uint8_t* out)
{
    const size_t count = size_t(frame.width) * size_t(frame.height);
    switch (layout) {
    case RGB_BYTES:
        expand<PutRgb>(frame, count, out);
        return;
    case RGBA_BYTES:
        expand<PutRgba>(frame, count, out);
        return;
    case XRGB_WORDS:
        expand<PutXrgb>(frame, count, out);
        return;
    }
}
