// PCX files written by independent programs (ImageMagick's convert, netpbm's
// ppmtopcx) decode to the pixels of their source, and those programs read ours.
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

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Gradients, noise and a flat band of 0xC8: runs of every length and literal
// bytes of 0xC0 and above.  With `colours`, at most that many colours.
std::vector<uint32_t> picture(uint32_t w, uint32_t h, uint32_t colours = 0)
{
    std::mt19937 rng(w);
    std::vector<uint32_t> px(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t r = (x * 255 / w + rng() % 8) & 0xFF, g = y * 255 / h;
            uint32_t b = x < w / 3 ? 0xC8 : (rng() & 0xFF);
            px[size_t(y) * w + x] = colours ? (rng() % colours) * 0x010305 : r << 16 | g << 8 | b;
        }
    return px;
}

// PPM head and RGB bytes, as the programs read and write them.
Bytes ppm(uint32_t w, uint32_t h, const std::vector<uint32_t>& px)
{
    std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    Bytes b(head.begin(), head.end());
    for (uint32_t p : px)
        b.insert(b.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)});
    return b;
}

// Decodes a PCX file to RGB: three planes directly, one through its palette.
std::vector<uint32_t> decode(const Bytes& file, PcxHeader* h)
{
    *h = read_pcx_header("t.pcx", file.data(), file.size());
    std::vector<uint32_t> px(size_t(h->width) * h->height);
    if (h->planes == 3) {
        read_pcx_memory("t.pcx", file.data(), file.size(), px.data(), px.size() * 4, nullptr, h);
        return px;
    }
    Bytes index(px.size());
    uint8_t pal[768];
    read_pcx_memory("t.pcx", file.data(), file.size(), index.data(), index.size(), pal, h);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint32_t(pal[3 * index[i]]) << 16 | uint32_t(pal[3 * index[i] + 1]) << 8 |
                pal[3 * index[i] + 2];
    return px;
}

class ForeignPcx : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("yurn-pcxrt-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    // Runs `command` in the scratch folder with in.* written from `input`;
    // returns out.* (empty when the program is missing or fails).
    Bytes run(const char* program, const std::string& command, const Bytes& input,
              const char* in_name, const char* out_name)
    {
        if (std::system(("command -v " + std::string(program) + " >/dev/null").c_str()) != 0) {
            missing += std::string(" ") + program;
            return {};
        }
        std::ofstream(dir / in_name, std::ios::binary)
            .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
        EXPECT_EQ(std::system(("cd " + dir.string() + " && " + command + " 2>/dev/null").c_str()), 0)
            << command;
        return slurp(dir / out_name);
    }
    fs::path dir;
    std::string missing;
};

} // namespace

// For odd widths both programs write lines of exactly width bytes (bytes per
// line = width, no pad byte), which is what the reader assumes.  A program
// that padded lines to an even length would make the reader take the pad
// bytes as pixels and drift by one byte per line (PcxThreePlanes.BytesPerLineIsIgnored).
TEST_F(ForeignPcx, ThreeAndOnePlaneFilesDecodeToTheirSource)
{
    const std::pair<const char*, const char*> writers[] = {
        {"convert", "convert in.ppm -type TrueColor out.pcx"},
        {"ppmtopcx", "ppmtopcx -24bit in.ppm > out.pcx"},
        {"convert", "convert in.ppm -type Palette out.pcx"},
        {"ppmtopcx", "ppmtopcx -8bit in.ppm > out.pcx"},
    };
    for (int i = 0; i < 4; ++i) {
        const bool palette = i >= 2;
        for (auto [w, h] : {std::pair{320u, 240u}, {37u, 23u}, {1u, 5u}}) {
            std::vector<uint32_t> src = picture(w, h, palette ? 200 : 0);
            Bytes pcx = run(writers[i].first, writers[i].second, ppm(w, h, src), "in.ppm", "out.pcx");
            if (pcx.empty())
                break;
            PcxHeader hd{};
            EXPECT_EQ(decode(pcx, &hd), src) << writers[i].second << " " << w << "x" << h;
            EXPECT_EQ(hd.planes, palette ? 1 : 3);
            EXPECT_EQ(hd.bytes_per_line, w);
            EXPECT_EQ(hd.palette_found, palette);
        }
    }
    if (!missing.empty())
        GTEST_SKIP() << "not installed:" << missing;
}

TEST_F(ForeignPcx, OtherProgramsReadOurFiles)
{
    const std::pair<const char*, const char*> readers[] = {
        {"convert", "convert in.pcx -depth 8 out.ppm"},
        {"pcxtoppm", "pcxtoppm in.pcx > out.ppm"},
    };
    for (auto [program, command] : readers)
        for (auto [w, h] : {std::pair{320u, 240u}, {37u, 23u}}) {
            std::vector<uint32_t> src = picture(w, h);
            Bytes back = run(program, command, encode_pcx_rgb(src.data(), w, h), "in.pcx", "out.ppm");
            if (back.empty())
                break;
            EXPECT_EQ(back, ppm(w, h, src)) << program << " " << w << "x" << h;
        }
    if (!missing.empty())
        GTEST_SKIP() << "not installed:" << missing;
}

namespace {

// A PCX header for width x height, planes, encoding and bytes per line.
Bytes padded_header(uint16_t width, uint16_t height, uint8_t planes, uint8_t encoding, uint16_t line)
{
    Bytes h(PCX_HEADER_SIZE, 0);
    h[0] = 10;
    h[1] = 5;
    h[2] = encoding;
    h[3] = 8;
    h[8] = uint8_t(width - 1);
    h[10] = uint8_t(height - 1);
    h[65] = planes;
    h[66] = uint8_t(line);
    return h;
}

} // namespace

TEST(PcxLines, PaddedLinesReadByTheirLengthOrAsTheShowReadsThem)
{
    // 3 x 2, three planes raw, lines of 4 bytes: the fourth byte of each line is padding (0xEE).
    Bytes f = padded_header(3, 2, 3, 0, 4);
    const uint8_t data[] = {1, 2, 3, 0xEE, 4, 5, 6, 0xEE, 7, 8, 9, 0xEE,
                            10, 11, 12, 0xEE, 13, 14, 15, 0xEE, 16, 17, 18, 0xEE};
    f.insert(f.end(), std::begin(data), std::end(data));
    uint32_t px[6];
    read_pcx_memory("p.pcx", f.data(), f.size(), px, sizeof px, nullptr, nullptr, PcxLines::bytes_per_line);
    EXPECT_EQ(px[0], 0x010407u);
    EXPECT_EQ(px[2], 0x030609u);
    EXPECT_EQ(px[3], 0x0A0D10u);
    EXPECT_EQ(px[5], 0x0C0F12u);
    // The show reads 3-byte lines whatever the header says: the padding lands in the picture.
    read_pcx_memory("p.pcx", f.data(), f.size(), px, sizeof px, nullptr, nullptr);
    EXPECT_EQ(px[0], 0x01EE06u);
    EXPECT_EQ(px[3], 0x080AEEu);

    // One plane, run-length, 3 x 2 in lines of 4: a run of 5 crosses the first
    // line's padding into the second line.
    Bytes g = padded_header(3, 2, 1, 1, 4);
    const uint8_t rle[] = {0x11, 0x22, 0xC5, 0x33, 0x44};
    g.insert(g.end(), std::begin(rle), std::end(rle));
    uint8_t idx[6];
    read_pcx_memory("q.pcx", g.data(), g.size(), idx, sizeof idx, nullptr, nullptr, PcxLines::bytes_per_line);
    EXPECT_EQ(Bytes(idx, idx + 6), (Bytes{0x11, 0x22, 0x33, 0x33, 0x33, 0x33}));
    const Bytes raw = padded_header(3, 2, 3, 0, 4);
    const PcxHeader header = read_pcx_header("p.pcx", raw.data(), raw.size());
    EXPECT_FALSE(pcx_data_can_fill(header, PCX_HEADER_SIZE + 23, PcxLines::bytes_per_line));
    EXPECT_TRUE(pcx_data_can_fill(header, PCX_HEADER_SIZE + 24, PcxLines::bytes_per_line));
    EXPECT_TRUE(pcx_data_can_fill(header, PCX_HEADER_SIZE + 18, PcxLines::width));
}
