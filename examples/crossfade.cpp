// The show's cross-fade of two photographs, frame by frame, without the show:
//   crossfade A.pcx B.pcx OUT_DIR [FRAMES]
// writes OUT_DIR/fade-00.png ... with the weight c going 0 .. 254 (the folder
// must exist); each frame is blend(A, B, c), per byte
//   floor((255 - c) * a / 256) + floor(c * b / 256).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <yurn/capture/capture.h>      // png_encode_rgb
#include <yurn/display/error.h>        // fatal_error
#include <yurn/files/files.h>          // read_pcx, write_whole_file
#include <yurn/stages/show_stages.h>   // blend

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "uso: crossfade A.pcx B.pcx CARPETA [FOTOGRAMAS]\n");
        return 2;
    }
    const int frames = argc > 4 ? std::atoi(argv[4]) : 9;
    constexpr int width = 320, height = 240, count = width * height;
    // read_pcx checks the picture fits; a bad or missing file ends in fatal_error.
    std::vector<uint32_t> a(count), b(count), out(count);
    read_pcx(argv[1], a.data(), count * 4, nullptr);
    read_pcx(argv[2], b.data(), count * 4, nullptr);

    std::vector<uint8_t> rgb(count * 3), png;
    for (int i = 0; i < frames; i++) {
        const uint8_t c = uint8_t(frames > 1 ? 254 * i / (frames - 1) : 0);
        blend(out.data(), a.data(), b.data(), count, c);  // the widest kernel the processor has
        for (int p = 0; p < count; p++) {
            rgb[p * 3] = uint8_t(out[p] >> 16);
            rgb[p * 3 + 1] = uint8_t(out[p] >> 8);
            rgb[p * 3 + 2] = uint8_t(out[p]);
        }
        png_encode_rgb(rgb.data(), width, height, png);
        char name[4096];
        std::snprintf(name, sizeof name, "%s/fade-%02d.png", argv[3], i);
        int error = 0;
        if (!write_whole_file(name, png.data(), png.size(), &error))
            fatal_error("No puedo escribir %s: %s", name, system_reason(error));
    }
    return 0;
}
