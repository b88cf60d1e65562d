// PNG pictures one row at a time through libpng, for yurn-pcx: decode writes
// a picture too large to hold as it decodes it, and encode reads a large
// PNG row by row while it shrinks it.  Neither holds more than a row.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <png.h>

#include "files/files.h"

// Writes a PNG into an OutputFile.  Owns libpng's records.
struct PngRowWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    OutputFile* out = nullptr;
    PngRowWriter() = default;
    PngRowWriter(const PngRowWriter&) = delete;
    PngRowWriter& operator=(const PngRowWriter&) = delete;
    ~PngRowWriter();
};

// Starts a PNG of width x height, channels 1 (gray) or 3 (RGB), 8 bits,
// compressed at zlib level `level` with its run-length strategy.  Each
// returns false once libpng or the output failed (out.error says why when
// the output did).
bool png_rows_begin(PngRowWriter& writer, OutputFile& out, uint32_t width, uint32_t height, int channels, int level);
bool png_rows_write(PngRowWriter& writer, const uint8_t* row);
bool png_rows_end(PngRowWriter& writer);

// Reads a PNG from a stream as 8-bit RGB rows (a palette expanded, gray
// widened, 16 bits cut to their high byte, alpha dropped), as stb_image
// reads it with three channels.  Owns libpng's records; the stream stays
// the caller's.
struct PngRowReader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    uint32_t width = 0, height = 0;
    bool interlaced = false;
    std::string error;  // libpng's reason, when a call returned false
    PngRowReader() = default;
    PngRowReader(const PngRowReader&) = delete;
    PngRowReader& operator=(const PngRowReader&) = delete;
    ~PngRowReader();
};

// Reads the header and sets the transforms; false (error set) when the
// stream is no PNG libpng can read.  Pictures of any size are accepted: the
// caller sets its own limits from width and height.
bool png_rows_open(PngRowReader& reader, FILE* file);
// The next row, width * 3 bytes.  Only for pictures that are not interlaced
// (an interlaced picture is whole only after its last pass).
bool png_rows_read(PngRowReader& reader, uint8_t* row);
