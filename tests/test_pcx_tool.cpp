// yurn-pcx: a frame-sized picture goes through encode and decode unchanged,
// other sizes are fitted, errors end with a non-zero status.
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

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class PcxTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(fs::path(YURN_BINARY_DIR) / "yurn-pcx"))
            GTEST_SKIP() << "yurn-pcx is not built";
        dir = fs::temp_directory_path() / ("yurn-pcxtool-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    int pcx(const std::string& arguments)
    {
        std::string command = "cd " + dir.string() + " && " YURN_BINARY_DIR "/yurn-pcx " +
                              arguments + " >/dev/null 2>err.txt";
        int status = std::system(command.c_str());
        err = slurp(dir / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void write_ppm(const std::string& name, uint32_t w, uint32_t h, const std::string& rgb)
    {
        std::ofstream(dir / name, std::ios::binary)
            << "P6\n" << w << " " << h << "\n255\n" << rgb;
    }
    std::vector<uint32_t> read(const std::string& name, uint32_t w, uint32_t h)
    {
        std::vector<uint32_t> px(size_t(w) * h);
        read_pcx((dir / name).c_str(), px.data(), px.size() * 4, nullptr);
        return px;
    }
    fs::path dir;
    std::string err;
};

} // namespace

TEST_F(PcxTool, FrameSizedPictureEncodesAndDecodesUnchanged)
{
    std::string rgb(320 * 240 * 3, 0);
    uint32_t s = 1;
    for (char& v : rgb)
        v = char((s = s * 1103515245u + 12345u) >> 16);
    write_ppm("in.ppm", 320, 240, rgb);
    ASSERT_EQ(pcx("encode in.ppm foto.pcx"), 0) << err;
    ASSERT_EQ(pcx("decode foto.pcx back.ppm"), 0) << err;
    EXPECT_EQ(slurp(dir / "back.ppm"), slurp(dir / "in.ppm"));
    EXPECT_EQ(pcx("info foto.pcx"), 0) << err;
}

TEST_F(PcxTool, FitsOtherShapes)
{
    // 64 x 16 of one colour into 32 x 24: letterbox keeps rows 8 to 15 with
    // black bands; crop and stretch fill the frame.
    std::string rgb;
    for (int i = 0; i < 64 * 16; ++i)
        rgb += "\xC8\x64\x32";
    write_ppm("in.ppm", 64, 16, rgb);
    ASSERT_EQ(pcx("encode in.ppm l.pcx --fit letterbox --size 32x24"), 0) << err;
    std::vector<uint32_t> l = read("l.pcx", 32, 24);
    for (uint32_t y = 0; y < 24; ++y)
        EXPECT_EQ(l[y * 32 + 5], (y >= 8 && y < 16) ? 0xC86432u : 0u) << y;
    for (const char* fit : {"crop", "stretch"}) {
        ASSERT_EQ(pcx(std::string("encode in.ppm c.pcx --size 32x24 --fit ") + fit), 0) << err;
        EXPECT_EQ(read("c.pcx", 32, 24), std::vector<uint32_t>(32 * 24, 0xC86432u)) << fit;
    }
}

TEST_F(PcxTool, ErrorsEndWithNonZeroStatus)
{
    write_ppm("in.ppm", 2, 2, std::string(12, 'x'));
    std::ofstream(dir / "basura.pcx") << std::string(300, '\1');
    EXPECT_NE(pcx("decode basura.pcx x.ppm"), 0);
    EXPECT_NE(err.find("EL FICHERO basura.pcx NO ES DE FORMATO PCX"), std::string::npos) << err;
    for (const char* bad : {"decode no_existe.pcx x.ppm", "encode in.ppm x.pcx --fit girar",
                            "encode in.ppm x.pcx --size 4000x10", "encode in.ppm x.png",
                            "encode basura.pcx x.pcx", "info", "rotar in.ppm", ""})
        EXPECT_NE(pcx(bad), 0) << bad;
    EXPECT_EQ(pcx("--help"), 0);
    // A cut file is reported, not shown half-read.
    ASSERT_EQ(pcx("encode in.ppm ok.pcx --size 2x2"), 0) << err;
    std::string ok = slurp(dir / "ok.pcx");
    std::ofstream(dir / "corto.pcx", std::ios::binary) << ok.substr(0, ok.size() - 3);
    EXPECT_NE(pcx("decode corto.pcx x.ppm"), 0);
    EXPECT_NE(err.find("corto.pcx"), std::string::npos) << err;
}
