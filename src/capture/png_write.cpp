// PNG files of captured frames through libpng: RGB, 8 bits per channel, the
// Paeth filter on every row, and zlib's run-length strategy.  Photographs and
// cross-fades gain little from long-distance matches, so runs at distance 1
// keep the files near a general deflater's size at a fraction of its time.
#include "capture/capture.h"
#include "display/error.h"

#if defined(__EMSCRIPTEN__)

// The browser build has no libpng, and no folder to capture into.
void png_encode_rgb(const uint8_t*, int32_t width, int32_t height, std::vector<uint8_t>&)
{
    fatal_error("Esta versión no graba fotogramas PNG (%d x %d)", width, height);
}

#else

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <vector>

namespace {

// The compressed stream goes out in pieces of this size; a frame is ~100 KB,
// so a few calls per frame rather than a dozen.
constexpr size_t COMPRESSION_BUFFER = 128 * 1024;

void append_bytes(png_structp png, png_bytep data, png_size_t size)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + size);
}

void no_flush(png_structp) {}

// libpng reports an error by jumping back to the setjmp here, so nothing
// with a destructor lives in this function.  False when libpng gave up.
bool write_png(png_structp png, png_infop info, const uint8_t* rgb, int32_t width, int32_t height)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_PAETH);
    png_set_compression_level(png, 1);
    png_set_compression_strategy(png, Z_RLE);
    png_set_compression_buffer_size(png, COMPRESSION_BUFFER);
    png_write_info(png, info);
    const size_t stride = size_t(width) * 3;
    for (int32_t y = 0; y < height; ++y)
        png_write_row(png, rgb + stride * size_t(y));
    png_write_end(png, info);
    return true;
}

// Owns libpng's write and info records.
struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngWriter() = default;
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;
    ~PngWriter() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

}  // namespace

void png_encode_rgb(const uint8_t* rgb, int32_t width, int32_t height, std::vector<uint8_t>& out)
{
    out.clear();
    PngWriter writer;
    writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (writer.png)
        writer.info = png_create_info_struct(writer.png);
    if (!writer.info)
        fatal_error("No hay memoria para codificar un fotograma PNG de %d x %d", width, height);
    png_set_write_fn(writer.png, &out, append_bytes, no_flush);
    if (!write_png(writer.png, writer.info, rgb, width, height))
        fatal_error("libpng no pudo codificar un fotograma PNG de %d x %d", width, height);
}

#endif
