// PCX writer for the tools and tests: three planes, run-length, version 5.

#include "files/files.h"
#include "files/little_endian.h"

namespace {

constexpr uint8_t MAX_RUN = 63;

// One plane line.  Runs stop at the line's end: some readers decode line by
// line.  A single byte of 0xC0 or more must be written as a run of one.
void encode_line(const uint8_t* line, uint32_t width, std::vector<uint8_t>& out)
{
    uint32_t x = 0;
    while (x < width) {
        uint8_t v = line[x];
        uint32_t n = 1;
        while (x + n < width && n < MAX_RUN && line[x + n] == v)
            ++n;
        if (n > 1 || v >= 0xC0) {
            out.push_back(uint8_t(0xC0 | n));
            out.push_back(v);
        } else {
            out.push_back(v);
        }
        x += n;
    }
}

} // namespace

std::vector<uint8_t> encode_pcx_rgb(const uint32_t* pixels, uint32_t width, uint32_t height)
{
    std::vector<uint8_t> out(PCX_HEADER_SIZE, 0);
    uint8_t* h = out.data();
    h[0] = 10;  // manufacturer
    h[1] = 5;   // version: 3.0 and later, 24-bit capable
    h[2] = 1;   // run-length
    h[3] = 8;   // bits per pixel and plane
    write_le16(h + 4, 0);
    write_le16(h + 6, 0);
    write_le16(h + 8, uint16_t(width - 1));
    write_le16(h + 10, uint16_t(height - 1));
    write_le16(h + 12, 72);  // dots per inch
    write_le16(h + 14, 72);
    h[65] = 3;
    // Lines hold exactly width bytes, even for odd widths: readers that honour
    // this field and ours, which always uses width, then agree.
    write_le16(h + 66, uint16_t(width));
    write_le16(h + 68, 1);  // colour
    out.reserve(PCX_HEADER_SIZE + size_t(width) * height * 3 + size_t(width) * height / 2);

    std::vector<uint8_t> line(width);
    for (uint32_t y = 0; y < height; ++y) {
        const uint32_t* row = pixels + size_t(y) * width;
        for (int shift = 16; shift >= 0; shift -= 8) {
            for (uint32_t x = 0; x < width; ++x)
                line[x] = uint8_t(row[x] >> shift);
            encode_line(line.data(), width, out);
        }
    }
    return out;
}
