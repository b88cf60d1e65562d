// yurn-pcx: encode keeps pixels exact at the frame size and fits other sizes,
// decode gives back what the reader reads, errors end with a non-zero status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string ppm_head(uint32_t w, uint32_t h, const char* magic = "P6")
{
    return std::string(magic) + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
}

void write(const fs::path& path, const std::string& head, const Bytes& body)
{
    std::ofstream out(path, std::ios::binary);
    out << head;
    out.write(reinterpret_cast<const char*>(body.data()), std::streamsize(body.size()));
}

class PcxTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        tool = fs::path(YURN_BINARY_DIR) / "yurn-pcx";
        if (!fs::exists(tool))
            GTEST_SKIP() << "yurn-pcx is not built";
        dir = fs::temp_directory_path() /
              ("yurn-pcxtool-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    int pcx(const std::string& arguments)
    {
        std::string command = "cd " + dir.string() + " && " + tool.string() + " " + arguments +
                              " >out.txt 2>err.txt";
        int status = std::system(command.c_str());
        Bytes o = slurp(dir / "out.txt"), e = slurp(dir / "err.txt");
        out.assign(o.begin(), o.end());
        err.assign(e.begin(), e.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::vector<uint32_t> read(const std::string& name, uint32_t w, uint32_t h)
    {
        std::vector<uint32_t> px(size_t(w) * h);
        read_pcx((dir / name).c_str(), px.data(), px.size() * 4, nullptr);
        return px;
    }
    fs::path tool, dir;
    std::string out, err;
};

Bytes noise_rgb(size_t pixels)
{
    Bytes b(pixels * 3);
    uint32_t s = 1;
    for (uint8_t& v : b) {
        s = s * 1103515245u + 12345u;
        v = uint8_t(s >> 16);
    }
    return b;
}

} // namespace

TEST_F(PcxTool, FrameSizedPictureEncodesExactlyAndDecodesBack)
{
    Bytes rgb = noise_rgb(320 * 240);
    write(dir / "in.ppm", ppm_head(320, 240), rgb);
    ASSERT_EQ(pcx("encode in.ppm foto.pcx"), 0) << err;
    std::vector<uint32_t> px = read("foto.pcx", 320, 240);
    for (size_t i = 0; i < px.size(); ++i)
        ASSERT_EQ(px[i], uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2]);
    ASSERT_EQ(pcx("decode foto.pcx back.ppm"), 0) << err;
    Bytes back = slurp(dir / "back.ppm");
    std::string head = ppm_head(320, 240);
    ASSERT_EQ(back.size(), head.size() + rgb.size());
    EXPECT_EQ(Bytes(back.begin() + std::ptrdiff_t(head.size()), back.end()), rgb);
    ASSERT_EQ(pcx("info foto.pcx"), 0) << err;
    EXPECT_NE(out.find("320 x 240"), std::string::npos) << out;
}

TEST_F(PcxTool, FitsOtherSizes)
{
    // 64 x 16 of one colour: letterbox keeps the 4:1 shape in a 32 x 24 frame
    // (rows 8 to 15) with black bands; crop and stretch fill the frame.
    Bytes rgb(64 * 16 * 3);
    for (size_t i = 0; i < rgb.size(); i += 3)
        rgb[i] = 200, rgb[i + 1] = 100, rgb[i + 2] = 50;
    write(dir / "in.ppm", ppm_head(64, 16), rgb);
    ASSERT_EQ(pcx("encode in.ppm l.pcx --fit letterbox --size 32x24"), 0) << err;
    std::vector<uint32_t> l = read("l.pcx", 32, 24);
    for (uint32_t y = 0; y < 24; ++y)
        EXPECT_EQ(l[y * 32 + 5], (y >= 8 && y < 16) ? 0xC86432u : 0u) << y;
    for (const char* fit : {"crop", "stretch"}) {
        ASSERT_EQ(pcx(std::string("encode in.ppm c.pcx --size 32x24 --fit ") + fit), 0) << err;
        for (uint32_t p : read("c.pcx", 32, 24))
            ASSERT_EQ(p, 0xC86432u) << fit;
    }
}

TEST_F(PcxTool, OnePlaneDecodesThroughThePaletteOrAsIndices)
{
    // 2 x 1, raw, indices 1 and 2, palette entry i = (i, 2i, 3i).
    Bytes f(PCX_HEADER_SIZE, 0);
    f[0] = 10, f[1] = 5, f[3] = 8, f[8] = 1, f[65] = 1, f[66] = 2;
    f.push_back(1);
    f.push_back(2);
    f.push_back(12);
    for (int i = 0; i < 256; ++i)
        f.insert(f.end(), {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i)});
    write(dir / "p.pcx", "", f);
    ASSERT_EQ(pcx("decode p.pcx rgb.ppm"), 0) << err;
    Bytes rgb = slurp(dir / "rgb.ppm");
    EXPECT_EQ(Bytes(rgb.end() - 6, rgb.end()), (Bytes{1, 2, 3, 2, 4, 6}));
    ASSERT_EQ(pcx("decode p.pcx idx.pgm --indices"), 0) << err;
    Bytes idx = slurp(dir / "idx.pgm");
    EXPECT_EQ(std::string(idx.begin(), idx.begin() + 2), "P5");
    EXPECT_EQ(Bytes(idx.end() - 2, idx.end()), (Bytes{1, 2}));
}

TEST_F(PcxTool, ErrorsEndWithNonZeroStatus)
{
    write(dir / "in.ppm", ppm_head(4, 4), noise_rgb(16));
    write(dir / "basura.pcx", "", Bytes(300, 1));
    EXPECT_NE(pcx("decode basura.pcx x.ppm"), 0);
    EXPECT_NE(err.find("EL FICHERO basura.pcx NO ES DE FORMATO PCX"), std::string::npos) << err;
    EXPECT_NE(pcx("decode no_existe.pcx x.ppm"), 0);
    EXPECT_NE(pcx("encode in.ppm x.pcx --fit girar"), 0);
    EXPECT_NE(pcx("encode in.ppm x.pcx --size 4000x10"), 0);
    EXPECT_NE(pcx("encode in.ppm x.png"), 0);
    EXPECT_NE(pcx("encode basura.pcx x.pcx"), 0);
    EXPECT_NE(pcx("info"), 0);
    EXPECT_NE(pcx("rotar in.ppm"), 0);
    EXPECT_NE(pcx(""), 0);
    EXPECT_EQ(pcx("--help"), 0);
    EXPECT_NE(out.find("encode"), std::string::npos);
    // A cut file is reported, not shown half-read.
    ASSERT_EQ(pcx("encode in.ppm ok.pcx --size 4x4"), 0) << err;
    Bytes ok = slurp(dir / "ok.pcx");
    write(dir / "corto.pcx", "", Bytes(ok.begin(), ok.end() - 5));
    EXPECT_NE(pcx("decode corto.pcx x.ppm"), 0);
    EXPECT_NE(err.find("corto.pcx"), std::string::npos) << err;
}
