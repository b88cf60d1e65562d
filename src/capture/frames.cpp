// One presented frame as an image file (PNG, PPM or the surface's raw bytes),
// and the display's colours of a frame as R, G, B.
#include <cstdio>
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
