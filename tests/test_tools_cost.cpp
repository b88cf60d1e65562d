// What the tools cost on the small files that announce the most work for
// their size (written by yurn-large-inputs): a one-plane PCX of 16000 x 8257
// run-length pixels, a three-plane one of 2048 x 21502 (4.19 MB each), a PNG
// of 11585 x 11585 (406 KB) and an archive of 170,000 one-byte members.
// Each conversion must stay within 200 MB of address space (ulimit -v), so
// it holds rows, never the picture; the output is checked where it is cheap.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

const std::string BIN = YURN_BINARY_DIR;
constexpr int LIMIT_KB = 200 * 1024;

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ToolCost : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the sanitizers reserve far more address space than the limit";
#endif
        for (const char* tool : {"yurn-large-inputs", "yurn-pcx", "yurn-pak"})
            if (!fs::exists(BIN + "/" + tool))
                GTEST_SKIP() << tool << " is not built";
        dir = fs::temp_directory_path() / ("yurn-cost-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_EQ(std::system((BIN + "/yurn-large-inputs " + dir.string()).c_str()), 0);
    }
    void TearDown() override
    {
        if (!dir.empty())
            fs::remove_all(dir);
    }
    // Runs a tool in the scratch folder under the address-space limit; its
    // exit code, standard error in err.
    int limited(const std::string& command)
    {
        const std::string line = "cd " + dir.string() + " && (ulimit -v " + std::to_string(LIMIT_KB) + "; exec " +
                                 BIN + "/" + command + ") >out.txt 2>err.txt";
        const int status = std::system(line.c_str());
        err = slurp(dir / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    fs::path dir;
    std::string err;
};

} // namespace

TEST_F(ToolCost, DecodingALargeRunLengthPictureHoldsRowsNotThePicture)
{
    // One plane through its palette: 396 MB of RGB, written as it is decoded.
    ASSERT_EQ(limited("yurn-pcx decode rle1.pcx o1.ppm"), 0) << err;
    const uint64_t pixels = 16000ull * 8257;
    const std::string head = "P6\n16000 8257\n255\n";
    EXPECT_EQ(fs::file_size(dir / "o1.ppm"), head.size() + pixels * 3);
    // The first pixels: runs of 63 of values 0, 37, 74... (run i has value
    // i * 37 mod 256) through the palette (i, 255 - i, i ^ 0x55).
    {
        std::ifstream in(dir / "o1.ppm", std::ios::binary);
        std::string start(head.size() + 3 * 130, '\0');
        in.read(&start[0], std::streamsize(start.size()));
        EXPECT_EQ(start.substr(0, head.size()), head);
        for (size_t x : {size_t(0), size_t(62), size_t(63), size_t(126), size_t(127)}) {
            const uint8_t v = uint8_t((x / 63) * 37);
            const std::string rgb = start.substr(head.size() + 3 * x, 3);
            EXPECT_EQ(rgb, std::string({char(v), char(255 - v), char(v ^ 0x55)})) << "pixel " << x;
        }
    }
    fs::remove(dir / "o1.ppm");
    ASSERT_EQ(limited("yurn-pcx decode rle1.pcx o1.png"), 0) << err;
    EXPECT_EQ(slurp(dir / "o1.png").substr(1, 3), "PNG");
    ASSERT_EQ(limited("yurn-pcx decode rle1.pcx --indices o1.pgm"), 0) << err;
    EXPECT_EQ(fs::file_size(dir / "o1.pgm"), std::string("P5\n16000 8257\n255\n").size() + pixels);
    fs::remove(dir / "o1.pgm");
    // Three planes: runs flow from line to line and row to row.
    ASSERT_EQ(limited("yurn-pcx decode rle3.pcx o3.png"), 0) << err;
    ASSERT_EQ(limited("yurn-pcx decode rle3.pcx o3.ppm"), 0) << err;
    EXPECT_EQ(fs::file_size(dir / "o3.ppm"), std::string("P6\n2048 21502\n255\n").size() + 2048ull * 21502 * 3);
}

TEST_F(ToolCost, EncodingAHugePngReadsItARowAtATime)
{
    ASSERT_EQ(limited("yurn-pcx encode huge.png h.pcx"), 0) << err;
    ASSERT_EQ(limited("yurn-pcx decode h.pcx h.ppm"), 0) << err;
    const std::string ppm = slurp(dir / "h.ppm");
    const std::string head = "P6\n320 240\n255\n";
    ASSERT_EQ(ppm.size(), head.size() + 320 * 240 * 3);
    // The picture: red rising from 0 to 255 left to right, green 128, blue
    // falling, the same on every row.  A square cropped to 4:3 keeps its
    // whole width, so column x of 320 shows the ramp at about (x + 0.5) / 320.
    const auto at = [&](int x, int y, int c) { return int(uint8_t(ppm[head.size() + (size_t(y) * 320 + x) * 3 + c])); };
    for (int y : {0, 120, 239}) {
        for (int x : {0, 80, 160, 240, 319}) {
            const double ramp = 255.0 * (x + 0.5) / 320;
            EXPECT_NEAR(at(x, y, 0), ramp, 3) << x << "," << y;
            EXPECT_NEAR(at(x, y, 1), 128, 1) << x << "," << y;
            EXPECT_NEAR(at(x, y, 2), 255 - ramp, 3) << x << "," << y;
        }
    }
}

TEST_F(ToolCost, ExtractingManySmallMembersStaysSmall)
{
    fs::create_directories(dir / "x");
    ASSERT_EQ(limited("yurn-pak extract many.pak -C x"), 0) << err;
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir / "x" / "m")) {
        (void)entry;
        ++count;
    }
    EXPECT_EQ(count, 170000u);
    EXPECT_EQ(slurp(dir / "x" / "m" / "000027"), "b");
    EXPECT_EQ(slurp(dir / "x" / "m" / "169999"), std::string(1, char('a' + 169999 % 26)));
}
