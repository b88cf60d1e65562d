// PNG rows through libpng.  libpng reports an error by jumping back to the
// setjmp of the call that met it, so nothing with a destructor lives in the
// functions that set one.
#include "png_rows.h"

#include <zlib.h>

#include <csetjmp>
#include <cstring>

namespace {

void write_to_output(png_structp png, png_bytep data, png_size_t size)
{
    auto* out = static_cast<OutputFile*>(png_get_io_ptr(png));
    if (!output_write(*out, data, size))
        png_error(png, "no se puede escribir la salida");
}

void no_flush(png_structp) {}

// libpng's messages are English; the reader keeps the error for the caller,
// warnings are not shown.
void keep_error(png_structp png, png_const_charp message)
{
    auto* reader = static_cast<PngRowReader*>(png_get_error_ptr(png));
    if (reader)
        reader->error = message;
    png_longjmp(png, 1);
}

void ignore_warning(png_structp, png_const_charp) {}

} // namespace

PngRowWriter::~PngRowWriter()
{
    if (png)
        png_destroy_write_struct(&png, &info);
}

bool png_rows_begin(PngRowWriter& writer, OutputFile& out, uint32_t width, uint32_t height, int channels, int level)
{
    writer.out = &out;
    writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, keep_error, ignore_warning);
    if (!writer.png)
        return false;
    writer.info = png_create_info_struct(writer.png);
    if (!writer.info)
        return false;
    if (setjmp(png_jmpbuf(writer.png)))
        return false;
    png_set_write_fn(writer.png, &out, write_to_output, no_flush);
    png_set_IHDR(writer.png, writer.info, width, height, 8, channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(writer.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(writer.png, level);
    png_set_compression_strategy(writer.png, Z_RLE);
    png_set_compression_buffer_size(writer.png, 256 * 1024);
    png_write_info(writer.png, writer.info);
    return true;
}

bool png_rows_write(PngRowWriter& writer, const uint8_t* row)
{
    if (setjmp(png_jmpbuf(writer.png)))
        return false;
    png_write_row(writer.png, row);
    return true;
}

bool png_rows_end(PngRowWriter& writer)
{
    if (setjmp(png_jmpbuf(writer.png)))
        return false;
    png_write_end(writer.png, writer.info);
    return true;
}

PngRowReader::~PngRowReader()
{
    if (png)
        png_destroy_read_struct(&png, &info, nullptr);
}

bool png_rows_open(PngRowReader& reader, FILE* file)
{
    reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, keep_error, ignore_warning);
    if (!reader.png)
        return false;
    reader.info = png_create_info_struct(reader.png);
    if (!reader.info)
        return false;
    if (setjmp(png_jmpbuf(reader.png)))
        return false;
    png_init_io(reader.png, file);
    // The caller limits the pixels; libpng's own default limit (a million a
    // side) would refuse a valid picture the caller accepts.
    png_set_user_limits(reader.png, 0x7FFFFFFF, 0x7FFFFFFF);
    png_read_info(reader.png, reader.info);
    const int depth = png_get_bit_depth(reader.png, reader.info);
    const int colour = png_get_color_type(reader.png, reader.info);
    if (colour == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(reader.png);
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8)
        png_set_expand_gray_1_2_4_to_8(reader.png);
    if (depth == 16)
        png_set_strip_16(reader.png);
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(reader.png);
    if (colour & PNG_COLOR_MASK_ALPHA)
        png_set_strip_alpha(reader.png);
    reader.interlaced = png_get_interlace_type(reader.png, reader.info) != PNG_INTERLACE_NONE;
    png_read_update_info(reader.png, reader.info);
    reader.width = png_get_image_width(reader.png, reader.info);
    reader.height = png_get_image_height(reader.png, reader.info);
    if (png_get_rowbytes(reader.png, reader.info) != size_t(reader.width) * 3)
        png_error(reader.png, "unexpected row layout");
    return true;
}

bool png_rows_read(PngRowReader& reader, uint8_t* row)
{
    if (setjmp(png_jmpbuf(reader.png)))
        return false;
    png_read_row(reader.png, row, nullptr);
    return true;
}
