// One presented frame as an image file (PNG, PPM or the surface's raw bytes),
// and the display's colours of a frame as R, G, B.
#include <cstdio>
#include <cstring>
#include <string>

#include "capture/capture.h"
#include "capture/capture_local.h"
#include "platform/platform.h"

void write_image(const PresentedFrame& frame)
{
    const std::string path = capture->folder + "/" + frame_file_name(capture->written);
    const size_t pixels = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    if (capture->options.format == CAPTURE_PNG) {
        // A photograph is held for seconds: same pixels, same file bytes.
        if (capture->encoded.empty() || capture->previous_rgb != capture->rgb) {
            png_encode_rgb(capture->rgb.data(), frame.width, frame.height, capture->encoded);
            capture->previous_rgb = capture->rgb;
        }
        write_file(path, {{capture->encoded.data(), capture->encoded.size()}}, false);
    } else if (capture->options.format == CAPTURE_PPM) {
        char header[48];
        const int length = std::snprintf(header, sizeof header, "P6\n%d %d\n255\n", frame.width, frame.height);
        write_file(path, {{header, static_cast<size_t>(length)}, {capture->rgb.data(), pixels * 3}}, false);
    } else {
        write_file(path, {{frame.pixels, pixels * static_cast<size_t>(frame.depth / 8)}}, false);
    }
}

void capture_frame_rgb(const PresentedFrame& frame, uint8_t* rgb)
{
    const size_t count = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height);
    const uint8_t* p = frame.pixels;
    switch (frame.depth) {
    case 32:
    case 24: {
        const size_t step = static_cast<size_t>(frame.depth / 8);  // bytes B, G, R (and the top byte)
        for (size_t i = 0; i < count; ++i, p += step, rgb += 3) {
            rgb[0] = p[2];
            rgb[1] = p[1];
            rgb[2] = p[0];
        }
        break;
    }
    case 16: {
        // 5-6-5 or 5-5-5, settled once per frame: where red starts and how
        // many bits green has; each field is widened to 8 bits by replication.
        const uint32_t red_shift = frame.rgb565 ? 11 : 10;
        const uint32_t green_bits = frame.rgb565 ? 6 : 5;
        const uint32_t green_mask = (1u << green_bits) - 1;
        for (size_t i = 0; i < count; ++i, p += 2, rgb += 3) {
            const uint32_t w = static_cast<uint32_t>(p[0] | p[1] << 8);
            const uint32_t r = (w >> red_shift) & 31;
            const uint32_t g = (w >> 5) & green_mask;
            const uint32_t b = w & 31;
            rgb[0] = static_cast<uint8_t>(r << 3 | r >> 2);
            rgb[1] = static_cast<uint8_t>(g << (8 - green_bits) | g >> (2 * green_bits - 8));
            rgb[2] = static_cast<uint8_t>(b << 3 | b >> 2);
        }
        break;
    }
    case 8:
        if (!frame.palette) {
            std::memset(rgb, 0, count * 3);
            break;
        }
        for (size_t i = 0; i < count; ++i, ++p, rgb += 3)
            std::memcpy(rgb, frame.palette + 3 * p[0], 3);
        break;
    default:
        std::memset(rgb, 0, count * 3);
        break;
    }
}
