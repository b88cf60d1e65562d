// PCX files written by independent programs (ImageMagick's convert, netpbm's
// ppmtopcx) decode to the pixels of their source, and theirs read ours.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "files/files.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

struct Rgb {
    uint32_t width, height;
    std::vector<uint32_t> px;  // 0x00RRGGBB
};

bool have(const char* program)
{
    return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

Bytes slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_ppm(const fs::path& path, const Rgb& img)
{
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << img.width << " " << img.height << "\n255\n";
    for (uint32_t p : img.px) {
        char rgb[3] = {char(p >> 16), char(p >> 8), char(p)};
        out.write(rgb, 3);
    }
}

// Reads a binary P6 file as written by pcxtoppm or convert.
Rgb read_ppm(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    uint32_t w = 0, h = 0, max = 0;
    in >> magic >> w >> h >> max;
    in.get();
    Rgb img{w, h, std::vector<uint32_t>(size_t(w) * h)};
    for (uint32_t& p : img.px) {
        unsigned char c[3] = {};
        in.read(reinterpret_cast<char*>(c), 3);
        p = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
    }
    EXPECT_EQ(magic, "P6");
    EXPECT_EQ(max, 255u);
    return img;
}

// Smooth gradients, noise and flat patches: runs of every length and literal
// bytes of 0xC0 and above.
Rgb photo_like(uint32_t w, uint32_t h, uint32_t seed)
{
    std::mt19937 rng(seed);
    Rgb img{w, h, std::vector<uint32_t>(size_t(w) * h)};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t r = (x * 255 / w + rng() % 8) & 0xFF;
            uint32_t g = (y * 255 / h) & 0xFF;
            uint32_t b = x < w / 3 ? 0xC8 : (rng() & 0xFF);
            img.px[size_t(y) * w + x] = r << 16 | g << 8 | b;
        }
    return img;
}

// Decodes a PCX file: RGB for three planes, indices through the palette for one.
Rgb decode_file(const fs::path& path, PcxHeader* header)
{
    Bytes file = slurp(path);
    PcxHeader h = read_pcx_header("t.pcx", file.data(), file.size());
    std::vector<uint32_t> px(size_t(h.width) * h.height);
    Bytes indices(px.size());
    uint8_t palette[768];
    if (h.planes == 3) {
        read_pcx_memory("t.pcx", file.data(), file.size(), px.data(), px.size() * 4, nullptr, header);
    } else {
        read_pcx_memory("t.pcx", file.data(), file.size(), indices.data(), indices.size(), palette,
                        header);
        for (size_t i = 0; i < px.size(); ++i) {
            const uint8_t* c = palette + 3 * indices[i];
            px[i] = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
        }
    }
    return Rgb{h.width, h.height, px};
}

class ForeignPcx : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("yurn-pcxrt-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    int run(const std::string& command) { return std::system(("cd " + dir.string() + " && " + command).c_str()); }
    fs::path dir;
};

} // namespace

// Widths: even, odd and a photo.  For odd widths both programs write lines of
// exactly width bytes (bytes-per-line = width, no pad byte), which is what the
// reader assumes; a program that padded lines to an even length would make the
// reader drift by one byte per line (see PcxThreePlanes.TrulyPaddedLinesDrift).
TEST_F(ForeignPcx, ThreePlaneFilesDecodeToTheirSource)
{
    struct Writer {
        const char* program;
        const char* command;
    } writers[] = {
        {"convert", "convert in.ppm -type TrueColor out.pcx"},
        {"ppmtopcx", "ppmtopcx -24bit in.ppm > out.pcx 2>/dev/null"},
    };
    std::string missing;
    for (const Writer& w : writers) {
        if (!have(w.program)) {
            missing += std::string(" ") + w.program;
            continue;
        }
        for (auto [width, height] : {std::pair{320u, 240u}, {37u, 23u}, {1u, 5u}}) {
            Rgb src = photo_like(width, height, width);
            write_ppm(dir / "in.ppm", src);
            ASSERT_EQ(run(w.command), 0) << w.command;
            PcxHeader h{};
            Rgb got = decode_file(dir / "out.pcx", &h);
            EXPECT_EQ(h.planes, 3) << w.program;
            EXPECT_EQ(h.bytes_per_line, width) << w.program;
            EXPECT_EQ(got.width, width);
            EXPECT_EQ(got.height, height);
            EXPECT_EQ(got.px, src.px) << w.program << " " << width << "x" << height;
        }
    }
    if (!missing.empty())
        GTEST_SKIP() << "not installed:" << missing;
}

TEST_F(ForeignPcx, OnePlaneFilesDecodeThroughTheirPalette)
{
    struct Writer {
        const char* program;
        const char* command;
    } writers[] = {
        {"convert", "convert in.ppm -type Palette out.pcx"},
        {"ppmtopcx", "ppmtopcx -8bit in.ppm > out.pcx 2>/dev/null"},
    };
    std::string missing;
    for (const Writer& w : writers) {
        if (!have(w.program)) {
            missing += std::string(" ") + w.program;
            continue;
        }
        // 200 colours: above 16, so both write one 8-bit plane with a palette.
        Rgb src{31, 17, std::vector<uint32_t>(31 * 17)};
        for (size_t i = 0; i < src.px.size(); ++i)
            src.px[i] = uint32_t((i * 37) % 200) * 0x010305 & 0xFFFFFF;
        write_ppm(dir / "in.ppm", src);
        ASSERT_EQ(run(w.command), 0) << w.command;
        PcxHeader h{};
        Rgb got = decode_file(dir / "out.pcx", &h);
        EXPECT_EQ(h.planes, 1) << w.program;
        EXPECT_TRUE(h.palette_found) << w.program;
        EXPECT_EQ(got.px, src.px) << w.program;
    }
    if (!missing.empty())
        GTEST_SKIP() << "not installed:" << missing;
}

TEST_F(ForeignPcx, OtherProgramsReadOurFiles)
{
    struct Reader {
        const char* program;
        const char* command;
    } readers[] = {
        {"convert", "convert ours.pcx -depth 8 back.ppm"},
        {"pcxtoppm", "pcxtoppm ours.pcx > back.ppm 2>/dev/null"},
    };
    std::string missing;
    for (const Reader& r : readers) {
        if (!have(r.program)) {
            missing += std::string(" ") + r.program;
            continue;
        }
        for (auto [width, height] : {std::pair{320u, 240u}, {37u, 23u}}) {
            Rgb src = photo_like(width, height, 99);
            Bytes pcx = encode_pcx_rgb(src.px.data(), width, height);
            std::ofstream(dir / "ours.pcx", std::ios::binary)
                .write(reinterpret_cast<const char*>(pcx.data()), std::streamsize(pcx.size()));
            ASSERT_EQ(run(r.command), 0) << r.command;
            Rgb back = read_ppm(dir / "back.ppm");
            EXPECT_EQ(back.width, width);
            EXPECT_EQ(back.height, height);
            EXPECT_EQ(back.px, src.px) << r.program << " " << width << "x" << height;
        }
    }
    if (!missing.empty())
        GTEST_SKIP() << "not installed:" << missing;
}
