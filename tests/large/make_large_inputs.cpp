// yurn-large-inputs DIR: writes the four small files that cost the tools the
// most for their size, for the memory tests and bench/large_inputs.sh:
//   rle1.pcx   one plane, 16000 x 8257, every pixel in runs of 63 (4.19 MB)
//   rle3.pcx   three planes, 2048 x 21502, the same runs (4.19 MB)
//   huge.png   11585 x 11585 RGB (134 million pixels, just under encode's
//              limit), one gradient row repeated, at zlib's best (~406 KB)
//   many.pak   170,000 members of one byte each (4.3 MB)
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

bool write_all(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// A run-length PCX whose data are runs of 63 only (the last one shorter),
// each of its own value: the largest picture its bytes can hold.
bool write_runs_pcx(const std::string& path, uint32_t width, uint32_t height, uint8_t planes)
{
    std::vector<uint8_t> b(128, 0);
    b[0] = 10;  // maker
    b[1] = 5;   // version
    b[2] = 1;   // run-length
    b[3] = 8;   // bits per plane
    put16(b, 8, width - 1);
    put16(b, 10, height - 1);
    put16(b, 12, 72);
    put16(b, 14, 72);
    b[65] = planes;
    put16(b, 66, width);
    put16(b, 68, 1);
    uint64_t left = uint64_t(width) * height * planes;
    b.reserve(size_t(128 + left / 63 * 2 + 2 + 769));
    for (uint32_t run = 0; left > 0; ++run) {
        const uint32_t count = left < 63 ? uint32_t(left) : 63;
        b.push_back(uint8_t(0xC0 | count));
        b.push_back(uint8_t(run * 37));
        left -= count;
    }
    if (planes == 1) {
        b.push_back(12);
        for (int i = 0; i < 256; ++i)
            b.insert(b.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i ^ 0x55)});
    }
    return write_all(path, b);
}

bool write_huge_png(const std::string& path, uint32_t side)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, side, side, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);  // every row after the first: zeros
    png_set_compression_level(png, 9);
    png_write_info(png, info);
    std::vector<uint8_t> row(size_t(side) * 3);
    for (uint32_t x = 0; x < side; ++x) {
        row[3 * size_t(x)] = uint8_t(x * 255 / (side - 1));
        row[3 * size_t(x) + 1] = uint8_t(128);
        row[3 * size_t(x) + 2] = uint8_t(255 - x * 255 / (side - 1));
    }
    for (uint32_t y = 0; y < side; ++y)
        png_write_row(png, row.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}

// Members "m/000000" to "m/169999", one byte each ('a' + index % 26).
bool write_many_pak(const std::string& path, uint32_t count)
{
    const uint64_t directory = (uint64_t(count) + 1) * 24;
    std::vector<uint8_t> b(size_t(directory), 0);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* e = b.data() + size_t(i) * 24;
        char name[17];
        std::snprintf(name, sizeof name, "m/%06u", unsigned(i));
        std::memcpy(e, name, std::strlen(name));
        const uint32_t offset = uint32_t(directory + i);
        for (int k = 0; k < 4; ++k) {
            e[16 + k] = uint8_t(offset >> (8 * k));
            e[20 + k] = uint8_t(1u >> (8 * k));
        }
    }
    for (uint32_t i = 0; i < count; ++i)
        b.push_back(uint8_t('a' + i % 26));
    return write_all(path, b);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Uso: yurn-large-inputs CARPETA\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = write_runs_pcx(dir + "/rle1.pcx", 16000, 8257, 1) && write_runs_pcx(dir + "/rle3.pcx", 2048, 21502, 3) &&
                    write_huge_png(dir + "/huge.png", 11585) && write_many_pak(dir + "/many.pak", 170000);
    if (!ok) {
        std::fprintf(stderr, "yurn-large-inputs: no puedo escribir en %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
