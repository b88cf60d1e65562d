// yurn-pcx: a frame-sized picture goes through encode and decode unchanged,
// other sizes are fitted, errors end with a non-zero status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
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
    // Runs a shell command in the scratch folder; its exit status.
    int sh(const std::string& command)
    {
        int status = std::system(("cd " + dir.string() + " && " + command).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Runs yurn-pcx with standard output kept in `out`.
    int pcx_out(const std::string& arguments)
    {
        int status = sh(YURN_BINARY_DIR "/yurn-pcx " + arguments + " >out.txt 2>err.txt");
        out = slurp(dir / "out.txt");
        err = slurp(dir / "err.txt");
        return status;
    }
    bool have(const char* program) { return sh(std::string("command -v ") + program + " >/dev/null") == 0; }
    std::vector<uint32_t> read(const std::string& name, uint32_t w, uint32_t h)
    {
        std::vector<uint32_t> px(size_t(w) * h);
        read_pcx((dir / name).c_str(), px.data(), px.size() * 4, nullptr);
        return px;
    }
    fs::path dir;
    std::string err, out;
};

// The pixels of a binary PPM (P6, maxval 255).
std::string ppm_pixels(const std::string& ppm)
{
    size_t at = 0;
    for (int fields = 0; fields < 4; ++fields) {
        while (at < ppm.size() && std::isspace(static_cast<unsigned char>(ppm[at])))
            ++at;
        while (at < ppm.size() && !std::isspace(static_cast<unsigned char>(ppm[at])))
            ++at;
    }
    return at < ppm.size() ? ppm.substr(at + 1) : std::string();
}

// Mean absolute difference of two equally long byte strings (255 when not).
double mean_difference(const std::string& a, const std::string& b)
{
    if (a.size() != b.size() || a.empty())
        return 255;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i])));
    return sum / double(a.size());
}

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

TEST_F(PcxTool, PaddedOddWidthLinesDecodeAsOtherReadersDoAndInfoWarns)
{
    if (!have("ffmpeg") || !have("convert") || !have("pcxtoppm"))
        GTEST_SKIP() << "needs ffmpeg, ImageMagick and netpbm";
    // ffmpeg pads each plane line of an odd width to an even length, as the
    // format asks: 7 pixels, 8 bytes a line.
    ASSERT_EQ(sh("convert -size 7x5 gradient:red-blue -type truecolor src.png && "
                 "ffmpeg -loglevel error -y -i src.png -pix_fmt rgb24 rgb.pcx && "
                 "ffmpeg -loglevel error -y -i src.png -pix_fmt pal8 pal.pcx"), 0);
    for (const char* name : {"rgb.pcx", "pal.pcx"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(pcx(std::string("decode ") + name + " ours.ppm"), 0) << err;
        ASSERT_EQ(sh(std::string("pcxtoppm ") + name + " > netpbm.ppm 2>/dev/null && convert " + name +
                     " -depth 8 ppm:magick.ppm"), 0);
        EXPECT_EQ(ppm_pixels(slurp(dir / "ours.ppm")), ppm_pixels(slurp(dir / "netpbm.ppm")));
        EXPECT_EQ(ppm_pixels(slurp(dir / "ours.ppm")), ppm_pixels(slurp(dir / "magick.ppm")));
        // --as-shown is what the show reads: lines of exactly the width, sheared.
        ASSERT_EQ(pcx(std::string("decode ") + name + " shown.ppm --as-shown"), 0) << err;
        EXPECT_NE(ppm_pixels(slurp(dir / "shown.ppm")), ppm_pixels(slurp(dir / "ours.ppm")));
        ASSERT_EQ(pcx_out(std::string("info ") + name), 0) << err;
        EXPECT_EQ(out.find("imagen:           completa\n"), std::string::npos) << out;
        EXPECT_NE(err.find("aviso: el espectáculo lee líneas de 7 bytes"), std::string::npos) << err;
        EXPECT_NE(err.find("yurn-pcx encode"), std::string::npos) << err;
    }
    std::vector<uint32_t> shown = read("rgb.pcx", 7, 5);  // the show's own reader
    ASSERT_EQ(pcx("decode rgb.pcx shown.ppm --as-shown"), 0) << err;
    const std::string as_shown = ppm_pixels(slurp(dir / "shown.ppm"));
    for (size_t i = 0; i < shown.size(); ++i)
        ASSERT_EQ(uint32_t(uint8_t(as_shown[3 * i])) << 16 | uint32_t(uint8_t(as_shown[3 * i + 1])) << 8 |
                      uint8_t(as_shown[3 * i + 2]),
                  shown[i]) << i;
    // Lines of exactly the width: no warning.
    ASSERT_EQ(pcx("encode src.png ours.pcx --size 7x5"), 0) << err;
    ASSERT_EQ(pcx_out("info ours.pcx"), 0) << err;
    EXPECT_NE(out.find("imagen:           completa\n"), std::string::npos) << out;
    EXPECT_EQ(err.find("aviso"), std::string::npos) << err;
}

TEST_F(PcxTool, PhotographsComeOutUprightByTheirOrientationTag)
{
    if (!have("convert") || !have("python3"))
        GTEST_SKIP() << "needs ImageMagick and python3";
    // Four coloured quadrants, 40 x 24, and a JPEG of it tagged with each
    // orientation; ImageMagick's -auto-orient is the reference.
    ASSERT_EQ(sh("convert -size 20x12 xc:'#e02020' -size 20x12 xc:'#20e020' +append "
                 "\\( -size 20x12 xc:'#2020e0' -size 20x12 xc:'#e0e020' +append \\) -append "
                 "-quality 100 -sampling-factor 1x1 base.jpg"), 0);
    for (int orientation : {1, 3, 6, 8, 5}) {
        SCOPED_TRACE(orientation);
        const std::string o = std::to_string(orientation);
        ASSERT_EQ(sh("python3 - " + o + R"PY( <<'EOF'
import struct, sys
o = int(sys.argv[1])
jpeg = open('base.jpg', 'rb').read()
tiff = b'II*\x00' + struct.pack('<IH', 8, 1) + struct.pack('<HHIHH', 0x112, 3, 1, o, 0) + struct.pack('<I', 0)
app1 = b'Exif\x00\x00' + tiff
open('tagged.jpg', 'wb').write(jpeg[:2] + b'\xff\xe1' + struct.pack('>H', len(app1) + 2) + app1 + jpeg[2:])
EOF)PY"), 0);
        ASSERT_EQ(sh("convert tagged.jpg -auto-orient -depth 8 ppm:ref.ppm"), 0);
        const std::string size = orientation >= 5 ? "24x40" : "40x24";
        ASSERT_EQ(pcx("encode tagged.jpg t.pcx --size " + size), 0) << err;
        ASSERT_EQ(pcx("decode t.pcx t.ppm"), 0) << err;
        EXPECT_LT(mean_difference(ppm_pixels(slurp(dir / "t.ppm")), ppm_pixels(slurp(dir / "ref.ppm"))), 4.0);
    }
}

TEST_F(PcxTool, BottomOriginTargaStaysUpright)
{
    if (!have("ppmtotga"))
        GTEST_SKIP() << "needs netpbm";
    std::string rgb;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x)
            rgb += {char(y * 40), char(x * 30), char(200 - y * 30)};
    write_ppm("in.ppm", 8, 6, rgb);
    ASSERT_EQ(sh("ppmtotga -rgb in.ppm > in.tga 2>/dev/null"), 0);  // rows stored from the bottom
    ASSERT_EQ(pcx("encode in.tga t.pcx --size 8x6"), 0) << err;
    ASSERT_EQ(pcx("decode t.pcx t.ppm"), 0) << err;
    EXPECT_EQ(ppm_pixels(slurp(dir / "t.ppm")), rgb);
}

TEST_F(PcxTool, OutputIsWrittenInTheFormatItsNameSays)
{
    write_ppm("in.ppm", 4, 2, std::string(24, '\x50'));
    ASSERT_EQ(pcx("encode in.ppm c.pcx --size=4x2"), 0) << err;
    // A colour picture is no gray map: refused, nothing written.
    EXPECT_EQ(pcx("decode c.pcx x.pgm"), 2);
    EXPECT_FALSE(fs::exists(dir / "x.pgm"));
    EXPECT_NE(err.find("x.pgm"), std::string::npos) << err;
    EXPECT_EQ(pcx("decode c.pcx x.gif"), 2);
    ASSERT_EQ(pcx("decode c.pcx x.png"), 0) << err;
    EXPECT_EQ(slurp(dir / "x.png").substr(0, 4), "\x89PNG");
    ASSERT_EQ(pcx("decode c.pcx x.pnm"), 0) << err;
    EXPECT_EQ(slurp(dir / "x.pnm").substr(0, 2), "P6");
    ASSERT_EQ(pcx_out("decode c.pcx -"), 0) << err;
    EXPECT_EQ(out, slurp(dir / "x.pnm"));
    ASSERT_EQ(pcx_out("encode in.ppm - --size 4x2"), 0) << err;
    EXPECT_EQ(out, slurp(dir / "c.pcx"));
    // The decoder never overwrites its own input.
    EXPECT_EQ(pcx("decode c.pcx c.pcx"), 2);
    EXPECT_EQ(slurp(dir / "c.pcx"), out);
}

TEST_F(PcxTool, AFailedWriteKeepsTheOldFileAndSaysSo)
{
    std::string rgb(64 * 64 * 3, 0);
    uint32_t s = 7;
    for (char& v : rgb)
        v = char((s = s * 1103515245u + 12345u) >> 16);
    write_ppm("in.ppm", 64, 64, rgb);
    std::ofstream(dir / "old.png") << "antiguo";
    std::ofstream(dir / "old.pcx") << "antiguo";
    ASSERT_EQ(pcx("encode in.ppm ok.pcx --size 64x64"), 0) << err;
    // A file-size limit of 4 KiB: every output here is larger.
    for (const char* command : {"decode ok.pcx old.png", "encode in.ppm old.pcx --size 64x64"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(sh(std::string("(ulimit -f 4; " YURN_BINARY_DIR "/yurn-pcx ") + command + ") >/dev/null 2>err.txt"),
                  1);
        err = slurp(dir / "err.txt");
        EXPECT_NE(err.find("old."), std::string::npos) << err;
        EXPECT_NE(err.find("tamaño máximo"), std::string::npos) << err;
    }
    EXPECT_EQ(slurp(dir / "old.png"), "antiguo");
    EXPECT_EQ(slurp(dir / "old.pcx"), "antiguo");
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
}

TEST_F(PcxTool, APictureTooLargeToConvertIsRefusedBeforeItIsDecoded)
{
    // The header alone announces 400 million pixels; a compressed file that
    // does so can be a few kilobytes.
    std::ofstream(dir / "huge.ppm", std::ios::binary) << "P6\n20000 20000\n255\n";
    EXPECT_EQ(pcx("encode huge.ppm out.pcx"), 1);
    EXPECT_NE(err.find("huge.ppm mide 20000x20000"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "out.pcx"));
}

TEST_F(PcxTool, AReportLostOnAFullDiskIsAFailure)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    write_ppm("in.ppm", 2, 2, std::string(12, 'x'));
    ASSERT_EQ(pcx("encode in.ppm in.pcx --size 2x2"), 0) << err;
    for (const char* command : {"info in.pcx", "--help", "decode in.pcx -"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(sh(std::string(YURN_BINARY_DIR "/yurn-pcx ") + command + " >/dev/full 2>err.txt"), 1);
        err = slurp(dir / "err.txt");
        EXPECT_NE(err.find("no se puede escribir la salida estándar: no queda espacio"), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "one message only: " << err;
    }
    // A closed standard output, in Spanish too.
    EXPECT_EQ(sh(YURN_BINARY_DIR "/yurn-pcx decode in.pcx - >&- 2>err.txt"), 1);
    err = slurp(dir / "err.txt");
    EXPECT_NE(err.find("el descriptor de fichero no es válido"), std::string::npos) << err;
}

TEST_F(PcxTool, ADeviceIsNotReadAndMemoryRunningOutIsAMessage)
{
    EXPECT_EQ(pcx("info /dev/zero"), 1);
    EXPECT_NE(err.find("no leo /dev/zero: es un dispositivo"), std::string::npos) << err;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // they reserve more than the limit
    write_ppm("in.ppm", 2, 2, std::string(12, 'x'));
    // 300 MB of address space; the largest frame takes more.
    EXPECT_EQ(sh("(ulimit -v 300000; " YURN_BINARY_DIR "/yurn-pcx encode in.ppm x.pcx --size 2048x65535) 2>err.txt"), 1);
    err = slurp(dir / "err.txt");
    EXPECT_NE(err.find("no hay memoria suficiente para in.ppm"), std::string::npos) << err;
#endif
}

TEST_F(PcxTool, PicturesAreNotWrittenToATerminal)
{
    if (!have("script"))
        GTEST_SKIP() << "needs script to give the tool a terminal";
    write_ppm("in.ppm", 2, 2, std::string(12, 'x'));
    ASSERT_EQ(pcx("encode in.ppm in.pcx --size 2x2"), 0) << err;
    // script runs the tool on a terminal of its own and copies what it shows.
    for (const char* command : {"decode in.pcx -", "encode in.ppm -"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(sh(std::string("script -qec '" YURN_BINARY_DIR "/yurn-pcx ") + command +
                     "' /dev/null </dev/null >out.txt 2>&1"),
                  2);
        out = slurp(dir / "out.txt");
        EXPECT_NE(out.find("la salida estándar es un terminal"), std::string::npos) << out;
        EXPECT_EQ(out.find("xxx"), std::string::npos) << "the picture reached the terminal";
    }
}

TEST_F(PcxTool, SharedConventionsAndSpanishMessages)
{
    EXPECT_EQ(pcx_out("--version"), 0);
    EXPECT_NE(out.find("yurn-pcx"), std::string::npos);
    EXPECT_EQ(pcx("-h"), 0);
    EXPECT_EQ(pcx("decode"), 2);
    EXPECT_EQ(pcx("frobnicar a b"), 2);
    EXPECT_EQ(pcx("encode a.png b.pcx --girar"), 2);
    EXPECT_EQ(pcx("encode a.png b.pcx --size"), 2);
    // Numbers too large for 32 bits do not wrap round to a size that fits.
    for (const char* size : {"4294967616x240", "-4294967000x240", "320x+240", "' 320x240'"})
        EXPECT_EQ(pcx(std::string("encode a.png b.pcx --size ") + size), 2) << size;
    EXPECT_EQ(pcx("decode a.pcx b.ppm --indices=1"), 2);  // a flag takes no value
    EXPECT_EQ(pcx("encode a.png b.jpg"), 2);
    EXPECT_EQ(pcx("decode no_existe.pcx x.ppm"), 1);
    EXPECT_NE(err.find("no_existe.pcx: no existe el fichero"), std::string::npos) << err;
    EXPECT_EQ(err.find("No such file"), std::string::npos) << err;
    std::ofstream(dir / "texto.txt") << "esto no es una imagen";
    EXPECT_EQ(pcx("encode texto.txt x.pcx"), 1);
    EXPECT_NE(err.find("texto.txt"), std::string::npos) << err;
    EXPECT_EQ(err.find("unknown"), std::string::npos) << err;
    // A PCX of 4 bits per plane: the reader's message, with the file's name.
    std::string header(128, '\0');
    header[0] = 10;
    header[3] = 4;
    std::ofstream(dir / "cuatro.pcx", std::ios::binary) << header;
    EXPECT_EQ(pcx("info cuatro.pcx"), 1);
    EXPECT_NE(err.find("cuatro.pcx: UNICAMENTE IMPLEMENTADO 8 BITS POR PIXEL Y PLANO."), std::string::npos) << err;
}

TEST_F(PcxTool, AValidPngWiderThanTheWholeReaderTakesIsConvertedNotCalledDamaged)
{
    if (!have("python3"))
        GTEST_SKIP() << "needs python3";
    // 16,777,217 x 2 pixels of one grey (wider than stb reads, 33 million
    // pixels, well under the limit), and one of 12000 x 12000 (over it).
    ASSERT_EQ(sh("python3 - <<'EOF'\n"
                 "import struct, zlib\n"
                 "def png(name, w, h, grey):\n"
                 "    def chunk(kind, data):\n"
                 "        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))\n"
                 "    row = b'\\0' + bytes([grey]) * (3 * w)\n"
                 "    idat = zlib.compress(row * h, 9)\n"
                 "    open(name, 'wb').write(b'\\x89PNG\\r\\n\\x1a\\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0))\n"
                 "        + chunk(b'IDAT', idat) + chunk(b'IEND', b''))\n"
                 "png('wide.png', 16777217, 2, 90)\n"
                 "png('square.png', 12000, 12000, 90)\n"
                 "EOF"),
              0);
    EXPECT_EQ(pcx("encode wide.png wide.pcx --size 64x48 --fit stretch"), 0) << err;
    EXPECT_EQ(err.find("dañada"), std::string::npos) << err;
    const std::vector<uint32_t> px = read("wide.pcx", 64, 48);
    for (uint32_t p : {px[0], px[64 * 24 + 32], px.back()})
        EXPECT_EQ(p, 0x5A5A5Au);  // grey 90 stays 90 through any averaging
    EXPECT_EQ(pcx("encode square.png square.pcx"), 1);
    EXPECT_NE(err.find("square.png mide 12000x12000"), std::string::npos) << err;
    EXPECT_EQ(err.find("dañada"), std::string::npos) << err;
}
