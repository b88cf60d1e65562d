// PCX reader: header checks, destination checks, the one- and three-plane
// paths raw and run-length, the palette, short files, and the writer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/files.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

struct Head {
    uint32_t width = 4, height = 3;
    uint8_t planes = 3, encoding = 1, bits = 8, version = 5, manufacturer = 10;
    uint16_t xmin = 0, ymin = 0;
    uint16_t bytes_per_line = 0;  // 0: width
};

Bytes header(const Head& h)
{
    Bytes b(PCX_HEADER_SIZE, 0);
    auto le16 = [&](size_t at, uint32_t v) {
        b[at] = uint8_t(v);
        b[at + 1] = uint8_t(v >> 8);
    };
    b[0] = h.manufacturer;
    b[1] = h.version;
    b[2] = h.encoding;
    b[3] = h.bits;
    le16(4, h.xmin);
    le16(6, h.ymin);
    le16(8, h.xmin + h.width - 1);
    le16(10, h.ymin + h.height - 1);
    b[65] = h.planes;
    le16(66, h.bytes_per_line ? h.bytes_per_line : h.width);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Decodes a three-plane file from memory into width*height pixels.
std::vector<uint32_t> decode_rgb(const Bytes& file, uint32_t width, uint32_t height)
{
    std::vector<uint32_t> px(size_t(width) * height, 0xDEADBEEF);
    read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), px.size() * 4, nullptr, nullptr);
    return px;
}

std::string message_of(const Bytes& file, size_t capacity = 1 << 20, uint8_t* palette = nullptr)
{
    std::vector<uint8_t> px(capacity);
    return fatal_message_of([&] {
        read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), capacity, palette, nullptr);
    });
}

// Plain reference for both encodings: the image data are one stream over the
// plane lines (red, green, blue of row 0, then row 1...), each width bytes.
// Run-length codes are decoded over the whole stream; the end cuts a run.
Bytes reference_planar(const Bytes& data, size_t total, bool encoded)
{
    Bytes out;
    if (!encoded)
        return Bytes(data.begin(), data.begin() + std::ptrdiff_t(total));
    for (size_t i = 0; out.size() < total;) {
        uint8_t c = data.at(i++);
        if (c < 0xC0) {
            out.push_back(c);
        } else {
            uint8_t v = data.at(i++);
            for (int k = 0; k < (c & 0x3F) && out.size() < total; ++k)
                out.push_back(v);
        }
    }
    return out;
}

std::vector<uint32_t> reference_rgb(const Bytes& planar, uint32_t width, uint32_t height)
{
    std::vector<uint32_t> px(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            size_t line = size_t(y) * 3 * width;
            px[size_t(y) * width + x] = uint32_t(planar[line + x]) << 16 |
                                        uint32_t(planar[line + width + x]) << 8 |
                                        planar[line + 2 * width + x];
        }
    return px;
}

// Run-length codes for a byte stream with runs chosen at random, ignoring
// line ends, with count-0 codes thrown in.
Bytes encode_stream_randomly(const Bytes& s, std::mt19937& rng)
{
    Bytes out;
    for (size_t i = 0; i < s.size();) {
        if (rng() % 16 == 0) {
            out.push_back(0xC0);
            out.push_back(uint8_t(rng()));
        }
        size_t same = 1;
        while (i + same < s.size() && same < 63 && s[i + same] == s[i])
            ++same;
        size_t n = 1 + rng() % same;
        if (n == 1 && s[i] < 0xC0 && rng() % 2) {
            out.push_back(s[i]);
        } else {
            out.push_back(uint8_t(0xC0 | n));
            out.push_back(s[i]);
        }
        i += n;
    }
    return out;
}

// Picture data with long stretches of one value, so runs cross lines and rows.
Bytes streaky_bytes(size_t n, std::mt19937& rng)
{
    Bytes s;
    while (s.size() < n) {
        uint8_t v = uint8_t(rng());
        size_t len = rng() % 4 == 0 ? 1 + rng() % 200 : 1 + rng() % 3;
        s.insert(s.end(), std::min(len, n - s.size()), v);
    }
    return s;
}

constexpr char TRUNCATED[] = "El fichero x.pcx termina antes de completar la imagen\n";

} // namespace

// --- Header ---------------------------------------------------------------

TEST(PcxHeader, RejectionsCarryTheirExactMessages)
{
    Head bad_maker;
    bad_maker.manufacturer = 11;
    EXPECT_EQ(message_of(header(bad_maker)), "EL FICHERO x.pcx NO ES DE FORMATO PCX\n");
    EXPECT_EQ(message_of(Bytes{}), "EL FICHERO x.pcx NO ES DE FORMATO PCX\n");
    Head bits;
    bits.bits = 1;
    EXPECT_EQ(message_of(header(bits)), "UNICAMENTE IMPLEMENTADO 8 BITS POR PIXEL Y PLANO.\n");
    for (uint8_t planes : {0, 2, 4}) {
        Head h;
        h.planes = planes;
        EXPECT_EQ(message_of(header(h)), "UNICAMENTE IMPLEMENTADOS 1 Y 3 PLANOS.\n");
    }
    // Fields are checked in file order: the bits before the planes.
    bits.planes = 4;
    EXPECT_EQ(message_of(header(bits)), "UNICAMENTE IMPLEMENTADO 8 BITS POR PIXEL Y PLANO.\n");
}

TEST(PcxHeader, ReversedBoundsAreRejected)
{
    Bytes h = header(Head{});
    h[8] = 5;  // xmax 5 < xmin 9
    h[4] = 9;
    EXPECT_EQ(message_of(h), "El fichero x.pcx tiene limites no validos: x de 9 a 5, y de 0 a 2\n");
    h = header(Head{});
    h[6] = 3;  // ymin 3 > ymax 2
    EXPECT_EQ(message_of(h), "El fichero x.pcx tiene limites no validos: x de 0 a 3, y de 3 a 2\n");
}

TEST(PcxHeader, ShortHeaderIsRejected)
{
    Bytes h = header(Head{});
    for (size_t n : {2, 10, 65, 127}) {
        Bytes cut(h.begin(), h.begin() + std::ptrdiff_t(n));
        EXPECT_EQ(message_of(cut), "La cabecera del fichero x.pcx esta incompleta\n") << n;
    }
}

TEST(PcxHeader, AnyVersionAndOffsetBoundsAreAccepted)
{
    for (uint8_t version : {0, 2, 5, 255}) {
        Head h;
        h.version = version;
        h.encoding = 0;
        h.xmin = 100;
        h.ymin = 200;
        Bytes file = header(h) + Bytes(36, 7);
        PcxHeader got{};
        std::vector<uint32_t> px(12);
        EXPECT_EQ(read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 48, nullptr, &got), 1);
        EXPECT_EQ(got.width, 4u);
        EXPECT_EQ(got.height, 3u);
        EXPECT_EQ(px[11], 0x070707u);
    }
}

TEST(PcxHeader, MissingFileIsReported)
{
    uint32_t px[1];
    EXPECT_EQ(fatal_message_of([&] { read_pcx("no/existe.pcx", px, sizeof px, nullptr); }),
              "No encuentro el fichero \"no/existe.pcx\"");
}

// --- Destination ----------------------------------------------------------

TEST(PcxDestination, PictureLargerThanTheDestinationIsRejectedBeforeWriting)
{
    Bytes file = header(Head{}) + Bytes(36, 1);  // 4 x 3, three planes raw
    file[2] = 0;
    std::vector<uint8_t> px(64, 0x55);
    EXPECT_EQ(fatal_message_of([&] {
                  read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 47, nullptr, nullptr);
              }),
              "La imagen x.pcx de 4x3 pixeles necesita 48 bytes y el destino tiene 47\n");
    EXPECT_EQ(px, std::vector<uint8_t>(64, 0x55));
    EXPECT_EQ(fatal_message_of([&] {
                  read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 48, nullptr, nullptr);
              }),
              "");
}

TEST(PcxDestination, SizesDoNotOverflow)
{
    Head h;
    h.planes = 1;
    h.width = 65536;
    h.height = 65536;
    EXPECT_EQ(message_of(header(h), 320 * 240 * 4),
              "La imagen x.pcx de 65536x65536 pixeles necesita 4294967296 bytes y el destino "
              "tiene 307200\n");
}

TEST(PcxDestination, ThreePlanesAtMost2048Wide)
{
    Head h;
    h.width = 2049;
    h.height = 1;
    EXPECT_EQ(message_of(header(h)),
              "La imagen x.pcx mide 2049 pixeles de ancho; con 3 planos el maximo es 2048\n");
    h.width = 2048;
    h.encoding = 0;
    EXPECT_EQ(message_of(header(h) + Bytes(3 * 2048, 5)), "");
    h.width = 4000;  // one plane has no row storage to outgrow
    h.planes = 1;
    EXPECT_EQ(message_of(header(h) + Bytes(4000 * 3, 0)), "");
}

// --- Three planes ---------------------------------------------------------

TEST(PcxThreePlanes, RawPictureFillsTheFrame)
{
    Head h;
    h.width = 320;
    h.height = 240;
    h.encoding = 0;
    Bytes data;
    for (uint32_t y = 0; y < 240; ++y)
        for (uint32_t plane = 0; plane < 3; ++plane)
            for (uint32_t x = 0; x < 320; ++x)
                data.push_back(uint8_t(x * 7 + y * 3 + plane * 50));
    std::vector<uint32_t> px = decode_rgb(header(h) + data, 320, 240);
    ASSERT_EQ(px.size(), 76800u);
    for (uint32_t y = 0; y < 240; ++y)
        for (uint32_t x = 0; x < 320; ++x) {
            uint32_t r = uint8_t(x * 7 + y * 3), g = uint8_t(r + 50), b = uint8_t(r + 100);
            ASSERT_EQ(px[y * 320 + x], r << 16 | g << 8 | b) << x << "," << y;
        }
}

TEST(PcxThreePlanes, RunFromRedIntoGreenLine)
{
    // Width 4: two literals, a run of six 0x80 from red position 2, then 0x11.
    // Any encoding byte but 0 means run-length.
    Bytes data = {0x01, 0x02, 0xC6, 0x80, 0x11, 0x12, 0x13, 0x14};
    for (uint8_t encoding : {1, 2, 255}) {
        std::vector<uint32_t> px = decode_rgb(header(Head{.height = 1, .encoding = encoding}) + data, 4, 1);
        EXPECT_EQ(px, (std::vector<uint32_t>{0x018011, 0x028012, 0x808013, 0x808014}));
    }
}

TEST(PcxThreePlanes, RunsLongerThanALineGoOnWithTheirOwnValue)
{
    // Width 2, 3 rows: a literal, then one run of 15 0x40 covering the rest of
    // red and all of green, blue, and row 1 and most of row 2; a code after it.
    Bytes data = {0x01, 0xCF, 0x40, 0x77, 0x99};
    std::vector<uint32_t> px = decode_rgb(header(Head{.width = 2, .height = 3}) + data, 2, 3);
    EXPECT_EQ(px, (std::vector<uint32_t>{0x014040, 0x404040, 0x404040, 0x404040, 0x404077,
                                         0x404099}));
}

TEST(PcxThreePlanes, EncodedDecodesLikeRaw)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        uint32_t width = 1 + rng() % (round < 100 ? 8 : 400);
        uint32_t height = 1 + rng() % 12;
        Bytes planar = streaky_bytes(size_t(width) * height * 3, rng);
        Bytes raw = header(Head{.width = width, .height = height, .encoding = 0}) + planar;
        Bytes codes = encode_stream_randomly(planar, rng);
        ASSERT_EQ(reference_planar(codes, planar.size(), true), planar);
        Bytes rle = header(Head{.width = width, .height = height}) + codes;
        std::vector<uint32_t> want = reference_rgb(planar, width, height);
        ASSERT_EQ(decode_rgb(raw, width, height), want) << round;
        ASSERT_EQ(decode_rgb(rle, width, height), want) << round;
    }
}

TEST(PcxThreePlanes, LastRunIsCutAtTheEndOfThePicture)
{
    Bytes file = header(Head{.width = 1, .height = 1}) + Bytes{0xFF, 0x33};
    std::vector<uint32_t> px(3, 0xAAAAAAAA);
    read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 4, nullptr, nullptr);
    EXPECT_EQ(px, (std::vector<uint32_t>{0x333333, 0xAAAAAAAA, 0xAAAAAAAA}));
}

TEST(PcxThreePlanes, BytesPerLineIsIgnored)
{
    // Lines of exactly width bytes under a header that claims padded lines.
    Bytes planar = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    Bytes file = header(Head{.width = 3, .height = 2, .encoding = 0, .bytes_per_line = 4}) + planar;
    EXPECT_EQ(decode_rgb(file, 3, 2), reference_rgb(planar, 3, 2));
}

TEST(PcxThreePlanes, TrulyPaddedLinesDrift)
{
    // When the data really hold bytes_per_line = width + 1 bytes per line, the
    // pad bytes are read as pixels: every line after the first starts one byte
    // later per pad met, so only the first red line comes out right.
    Bytes padded = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0, 13, 14, 15, 0, 16, 17, 18, 0};
    Bytes file = header(Head{.width = 3, .height = 2, .encoding = 0, .bytes_per_line = 4}) + padded;
    EXPECT_EQ(decode_rgb(file, 3, 2), reference_rgb(padded, 3, 2));
    EXPECT_EQ(decode_rgb(file, 3, 2)[0], 0x010006u);
}

// --- One plane -------------------------------------------------------------

TEST(PcxOnePlane, RawAndEncodedGiveIndices)
{
    Bytes raw = header(Head{.width = 3, .height = 2, .planes = 1, .encoding = 0}) +
                Bytes{1, 2, 3, 4, 5, 0xC7};
    // Runs cross the row end; 0xC0 takes its value byte and gives nothing.
    Bytes rle = header(Head{.width = 3, .height = 2, .planes = 1}) +
                Bytes{1, 0xC0, 9, 2, 0xC1, 3, 0xC0, 0xFF, 4, 5, 0xC1, 0xC7};
    for (const Bytes& file : {raw, rle}) {
        Bytes px(6);
        read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 6, nullptr, nullptr);
        EXPECT_EQ(px, (Bytes{1, 2, 3, 4, 5, 0xC7}));
    }
}

TEST(PcxOnePlane, LastRunIsCutAtTheEndOfThePicture)
{
    Bytes file = header(Head{.width = 2, .height = 2, .planes = 1}) + Bytes{7, 0xFF, 8};
    Bytes px(10, 0xAA);
    read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 4, nullptr, nullptr);
    EXPECT_EQ(px, (Bytes{7, 8, 8, 8, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
}

TEST(PcxOnePlane, PaletteFollowsByte12)
{
    Bytes pal(768);
    for (size_t i = 0; i < 768; ++i)
        pal[i] = uint8_t(i * 5);
    Bytes body = header(Head{.width = 2, .height = 1, .planes = 1, .encoding = 0}) + Bytes{3, 4};
    // Bytes before the 12 are skipped by the scan.
    for (const Bytes& tail : {Bytes{12}, Bytes{0, 1, 0xC0, 12}}) {
        Bytes file = body + tail + pal;
        Bytes px(2), got(768, 0xAA);
        PcxHeader h{};
        read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 2, got.data(), &h);
        EXPECT_EQ(got, pal);
        EXPECT_TRUE(h.palette_found);
        // Without a palette destination the palette is left alone.
        read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 2, nullptr, nullptr);
        EXPECT_EQ(px, (Bytes{3, 4}));
    }
}

TEST(PcxOnePlane, MissingOrShortPaletteIsZeroed)
{
    Bytes body = header(Head{.width = 2, .height = 1, .planes = 1, .encoding = 0}) + Bytes{3, 4};
    Bytes got(768, 0xAA), px(2);
    PcxHeader h{};
    Bytes no_mark = body + Bytes{1, 2, 3};
    read_pcx_memory("x.pcx", no_mark.data(), no_mark.size(), px.data(), 2, got.data(), &h);
    EXPECT_FALSE(h.palette_found);
    EXPECT_EQ(got, Bytes(768, 0));

    Bytes short_pal = body + Bytes{12, 9, 8, 7};
    std::fill(got.begin(), got.end(), 0xAA);
    read_pcx_memory("x.pcx", short_pal.data(), short_pal.size(), px.data(), 2, got.data(), &h);
    Bytes want(768, 0);
    want[0] = 9, want[1] = 8, want[2] = 7;
    EXPECT_EQ(got, want);
}

// --- Short files ------------------------------------------------------------

TEST(PcxShortFiles, EndBeforeThePictureIsComplete)
{
    Bytes one_raw = header(Head{.width = 3, .height = 2, .planes = 1, .encoding = 0}) + Bytes(5);
    Bytes one_rle = header(Head{.width = 3, .height = 2, .planes = 1}) + Bytes{0xC5, 1};
    Bytes one_code = header(Head{.width = 3, .height = 2, .planes = 1}) + Bytes{0xC5, 1, 0xC1};
    Bytes rgb_raw = header(Head{.encoding = 0}) + Bytes(35);
    Bytes rgb_rle = header(Head{.width = 30, .height = 3}) + Bytes{0xFF, 1};
    Bytes rgb_empty = header(Head{});
    for (const Bytes& file : {one_raw, one_rle, one_code, rgb_raw, rgb_rle, rgb_empty})
        EXPECT_EQ(message_of(file), TRUNCATED);
}

// --- Streams ------------------------------------------------------------------

class PcxFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("yurn-pcx-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        archive_name = nullptr;
        fs::remove_all(dir);
    }
    std::string write(const std::string& name, const Bytes& data)
    {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                    std::streamsize(data.size()));
        return path;
    }
    fs::path dir;
};

// A photo-sized picture, several read chunks long, with runs over line ends.
static Bytes big_picture(std::mt19937& rng, Bytes* planar_out)
{
    Bytes planar = streaky_bytes(320 * 240 * 3, rng);
    *planar_out = planar;
    return header(Head{.width = 320, .height = 240}) + encode_stream_randomly(planar, rng);
}

TEST_F(PcxFiles, FileAndMemoryAgree)
{
    std::mt19937 rng(11);
    Bytes planar;
    Bytes file = big_picture(rng, &planar);
    ASSERT_GT(file.size(), 2u * 16384);  // more than one read chunk
    std::string path = write("foto.pcx", file);
    std::vector<uint32_t> px(76800);
    EXPECT_EQ(read_pcx(path.c_str(), px.data(), px.size() * 4, nullptr), 1);
    EXPECT_EQ(px, reference_rgb(planar, 320, 240));
}

TEST_F(PcxFiles, ReadsAnArchiveMemberFromItsOffset)
{
    std::mt19937 rng(12);
    Bytes planar;
    Bytes pcx = big_picture(rng, &planar);
    // Directory, 1000 bytes of another member, the picture, then more bytes.
    Bytes pak(48, 0);
    const char name[] = "datos/Foto10.pcx";  // fills the name field
    std::memcpy(pak.data(), name, 16);
    uint32_t at = 48 + 1000;
    for (int i = 0; i < 4; ++i)
        pak[16 + i] = uint8_t(at >> (8 * i));
    pak = pak + Bytes(1000, 12) + pcx + Bytes(5000, 0xFF);
    std::string pak_path = write("Yurn.pak", pak);
    std::vector<char> name_buf(pak_path.begin(), pak_path.end());
    name_buf.push_back(0);
    archive_name = name_buf.data();
    std::vector<uint32_t> px(76800);
    read_pcx("DATOS/FOTO10.PCX", px.data(), px.size() * 4, nullptr);
    EXPECT_EQ(px, reference_rgb(planar, 320, 240));
}

TEST_F(PcxFiles, ShortFileNamesThePath)
{
    std::string path = write("corto.pcx", header(Head{}) + Bytes{1, 2});
    std::vector<uint32_t> px(12);
    EXPECT_EQ(fatal_message_of([&] { read_pcx(path.c_str(), px.data(), 48, nullptr); }),
              "El fichero " + path + " termina antes de completar la imagen\n");
}

// --- Writer ---------------------------------------------------------------------

TEST(PcxWriter, RoundTripsThroughTheReader)
{
    std::mt19937 rng(5);
    for (uint32_t width : {1u, 2u, 3u, 63u, 64u, 65u, 127u, 321u}) {
        uint32_t height = 1 + rng() % 5;
        std::vector<uint32_t> px(size_t(width) * height);
        for (size_t i = 0; i < px.size(); ++i)
            px[i] = (i / 70) % 2 ? 0xC0C1FF : (rng() & 0xFFFFFF);  // long runs of codes >= 0xC0
        Bytes file = encode_pcx_rgb(px.data(), width, height);
        PcxHeader h{};
        std::vector<uint32_t> got(px.size());
        read_pcx_memory("x.pcx", file.data(), file.size(), got.data(), got.size() * 4, nullptr, &h);
        EXPECT_EQ(got, px) << width;
        EXPECT_EQ(h.bytes_per_line, width);
        EXPECT_EQ(h.version, 5);
        EXPECT_NE(h.encoding, 0);
        // No run crosses a line end.
        size_t pos = 0;
        for (size_t i = PCX_HEADER_SIZE; i < file.size();) {
            uint8_t c = file[i++];
            size_t n = c < 0xC0 ? 1 : (i++, c & 0x3Fu);
            ASSERT_GE(n, 1u);
            ASSERT_LE(pos % width + n, width) << width;
            pos += n;
        }
    }
}
