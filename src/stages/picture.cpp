// Pictures of a fixed size for the stages: a photograph the size of the
// frame, a texture the size the renderer samples.
#include <cstdio>

#include "display/error.h"
#include "files/files.h"
#include "stages/stages_local.h"

void read_rgb_picture(const char* what, const char* path, uint32_t* pixels, int32_t width, int32_t height)
{
    File file(open_data_file(path, "rb"));
    if (!file)
        fatal_error("No encuentro el fichero \"%s\"", path);
    // The header is checked before anything is decoded: the reader fills
    // whatever the picture holds, so a smaller picture would leave part of
    // the buffer unwritten, and a one-plane picture whose bytes happen to fit
    // would fill it with palette indices.
    const long start = std::ftell(file.get());
    uint8_t bytes[PCX_HEADER_SIZE];
    const size_t got = std::fread(bytes, 1, sizeof bytes, file.get());
    const PcxHeader header = read_pcx_header(path, bytes, got);  // the reader's own checks and messages
    if (header.planes == 1)
        fatal_error("%s \"%s\" tiene 1 plano de color; hacen falta 3 (24 bits)\n", what, path);
    if (int64_t(header.width) != width || int64_t(header.height) != height)
        fatal_error("%s \"%s\" mide %u x %u; hace falta %d x %d\n", what, path, unsigned(header.width),
                    unsigned(header.height), width, height);
    // Back to the picture's first byte (an archive member starts mid-file),
    // and the whole picture through the reader from there.
    std::fseek(file.get(), start, SEEK_SET);
    read_pcx_stream(path, file.get(), pixels, pcx_decoded_size(header), nullptr);
}
