// PCX reader: header checks, destination checks, the one- and three-plane
// paths raw and run-length, the palette, short files, streams, and the writer.
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
using Pixels = std::vector<uint32_t>;

struct Head {
    uint32_t width = 4, height = 3;
    uint8_t planes = 3, encoding = 1, bits = 8, manufacturer = 10, version = 5;
    uint16_t xmin = 0, bytes_per_line = 0;  // 0: width
};

Bytes header(const Head& h)
{
    Bytes b(PCX_HEADER_SIZE, 0);
    auto le16 = [&](size_t at, uint32_t v) { b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8); };
    b[0] = h.manufacturer, b[1] = h.version, b[2] = h.encoding, b[3] = h.bits, b[65] = h.planes;
    le16(4, h.xmin);
    le16(8, h.xmin + h.width - 1);
    le16(10, h.height - 1);
    le16(66, h.bytes_per_line ? h.bytes_per_line : h.width);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Pixels decode_rgb(const Bytes& file, uint32_t width, uint32_t height)
{
    Pixels px(size_t(width) * height, 0xDEADBEEF);
    read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), px.size() * 4, nullptr, nullptr);
    return px;
}

std::string message_of(const Bytes& file, size_t capacity = 1 << 16)
{
    Bytes px(capacity);
    return fatal_message_of([&] {
        read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), capacity, nullptr, nullptr);
    });
}

// Plain reference: the image data are one stream over the plane lines (red,
// green, blue of row 0, then row 1...), each width bytes; run-length codes
// are decoded over the whole stream and the end cuts the last run.
Bytes reference_stream(const Bytes& codes, size_t total)
{
    Bytes out;
    for (size_t i = 0; out.size() < total;) {
        uint8_t c = codes.at(i++);
        uint8_t v = c < 0xC0 ? c : codes.at(i++);
        for (int k = 0; k < (c < 0xC0 ? 1 : c & 0x3F) && out.size() < total; ++k)
            out.push_back(v);
    }
    return out;
}

Pixels reference_rgb(const Bytes& planar, uint32_t width, uint32_t height)
{
    Pixels px(size_t(width) * height);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            const uint8_t* line = &planar[y * 3 * width + x];
            px[y * width + x] = uint32_t(line[0]) << 16 | uint32_t(line[width]) << 8 | line[2 * width];
        }
    return px;
}

// Codes for a byte stream with runs cut at random, ignoring line ends, and
// count-0 codes thrown in.
Bytes encode_randomly(const Bytes& s, std::mt19937& rng)
{
    Bytes out;
    for (size_t i = 0; i < s.size();) {
        if (rng() % 16 == 0)
            out.insert(out.end(), {0xC0, uint8_t(rng())});
        size_t same = 1;
        while (i + same < s.size() && same < 63 && s[i + same] == s[i])
            ++same;
        size_t n = 1 + rng() % same;
        if (n == 1 && s[i] < 0xC0 && rng() % 2)
            out.push_back(s[i]);
        else
            out.insert(out.end(), {uint8_t(0xC0 | n), s[i]});
        i += n;
    }
    return out;
}

// Long stretches of one value among short ones, so runs cross lines and rows.
Bytes streaky(size_t n, std::mt19937& rng)
{
    Bytes s;
    while (s.size() < n) {
        size_t len = rng() % 4 == 0 ? 1 + rng() % 200 : 1 + rng() % 3;
        s.insert(s.end(), std::min(len, n - s.size()), uint8_t(rng()));
    }
    return s;
}

constexpr char TRUNCATED[] = "El fichero x.pcx termina antes de completar la imagen\n";

} // namespace

// --- Header -----------------------------------------------------------------

TEST(PcxHeader, RejectionsInFileOrder)
{
    EXPECT_EQ(message_of(header({.manufacturer = 11})), "EL FICHERO x.pcx NO ES DE FORMATO PCX\n");
    EXPECT_EQ(message_of(Bytes{}), "EL FICHERO x.pcx NO ES DE FORMATO PCX\n");
    // Bits are checked before planes.
    EXPECT_EQ(message_of(header({.planes = 4, .bits = 1})),
              "UNICAMENTE IMPLEMENTADO 8 BITS POR PIXEL Y PLANO.\n");
    for (uint8_t planes : {0, 2, 4})
        EXPECT_EQ(message_of(header({.planes = planes})), "UNICAMENTE IMPLEMENTADOS 1 Y 3 PLANOS.\n");
    Bytes h = header({});
    for (size_t n : {2, 10, 65, 127})
        EXPECT_EQ(message_of(Bytes(h.begin(), h.begin() + std::ptrdiff_t(n))),
                  "La cabecera del fichero x.pcx está incompleta\n");
    h[4] = 9;  // xmin 9 > xmax 3
    EXPECT_EQ(message_of(h), "El fichero x.pcx tiene límites no válidos: x de 9 a 3, y de 0 a 2\n");
    h = header({});
    h[6] = 3;  // ymin 3 > ymax 2
    EXPECT_EQ(message_of(h), "El fichero x.pcx tiene límites no válidos: x de 0 a 3, y de 3 a 2\n");
    // Bounds are checked after the planes: a bad plane count is reported first.
    h[65] = 2;
    EXPECT_EQ(message_of(h), "UNICAMENTE IMPLEMENTADOS 1 Y 3 PLANOS.\n");
    uint32_t px[1];
    EXPECT_EQ(fatal_message_of([&] { read_pcx("no/existe.pcx", px, sizeof px, nullptr); }),
              "No encuentro el fichero \"no/existe.pcx\"");
}

TEST(PcxHeader, AnyVersionAndOffsetBoundsAreAccepted)
{
    for (uint8_t version : {0, 2, 255}) {
        Bytes file = header({.encoding = 0, .version = version, .xmin = 100}) + Bytes(36, 7);
        EXPECT_EQ(decode_rgb(file, 4, 3), Pixels(12, 0x070707)) << int(version);
    }
}

// --- Destination --------------------------------------------------------------

TEST(PcxDestination, TooSmallIsRejectedBeforeWriting)
{
    Bytes file = header({.encoding = 0}) + Bytes(36, 1);  // 4 x 3 x 4 = 48 bytes
    Bytes px(64, 0x55);
    auto read_into = [&](size_t capacity) {
        return fatal_message_of([&] {
            read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), capacity, nullptr, nullptr);
        });
    };
    EXPECT_EQ(read_into(47), "La imagen x.pcx de 4x3 píxeles necesita 48 bytes y el destino tiene 47\n");
    EXPECT_EQ(px, Bytes(64, 0x55));
    EXPECT_EQ(read_into(48), "");
    // The largest header does not overflow the size.
    EXPECT_EQ(message_of(header({.width = 65536, .height = 65536, .planes = 1}), 307200),
              "La imagen x.pcx de 65536x65536 píxeles necesita 4294967296 bytes y el destino "
              "tiene 307200\n");
}

TEST(PcxDestination, ThreePlanesAtMost2048Wide)
{
    EXPECT_EQ(message_of(header({.width = 2049, .height = 1})),
              "La imagen x.pcx mide 2049 píxeles de ancho; con 3 planos el máximo es 2048\n");
    EXPECT_EQ(message_of(header({.width = 2048, .height = 1, .encoding = 0}) + Bytes(6144)), "");
    EXPECT_EQ(message_of(header({.width = 4000, .height = 1, .planes = 1, .encoding = 0}) +
                         Bytes(4000)),
              "");
}

// --- Three planes -------------------------------------------------------------

TEST(PcxThreePlanes, RawFrameTakesEachPixelFromItsThreeLines)
{
    Bytes planar;
    for (uint32_t y = 0; y < 240; ++y)
        for (uint32_t i = 0; i < 3 * 320; ++i)
            planar.push_back(uint8_t(i * 7 + y * 3));
    Pixels px = decode_rgb(header({.width = 320, .height = 240, .encoding = 0}) + planar, 320, 240);
    ASSERT_EQ(px.size(), 76800u);
    EXPECT_EQ(px, reference_rgb(planar, 320, 240));
    EXPECT_EQ(px[1 * 320 + 2], uint32_t(uint8_t(2 * 7 + 3)) << 16 | uint8_t(322 * 7 + 3) << 8 |
                                   uint8_t(642 * 7 + 3));
}

TEST(PcxThreePlanes, RunFromRedIntoGreenLine)
{
    // Width 4: a run of six 0x80 from red position 2 covers red 2-3 and green
    // 0-3; the code after it lands at blue 0.  Any encoding byte but 0 is run-length.
    for (uint8_t encoding : {1, 2, 255}) {
        Bytes file = header({.height = 1, .encoding = encoding}) +
                     Bytes{0x01, 0x02, 0xC6, 0x80, 0x11, 0x12, 0x13, 0x14};
        EXPECT_EQ(decode_rgb(file, 4, 1), (Pixels{0x018011, 0x028012, 0x808013, 0x808014}));
    }
}

TEST(PcxThreePlanes, RunsLongerThanALineGoOnWithTheirOwnValue)
{
    // Width 2, 3 rows: a literal, a run of 15 0x40 over the rest of row 0, all
    // of row 1 and the red and green lines of row 2, then two literals.
    Bytes file = header({.width = 2, .height = 3}) + Bytes{0x01, 0xCF, 0x40, 0x77, 0x99};
    EXPECT_EQ(decode_rgb(file, 2, 3),
              (Pixels{0x014040, 0x404040, 0x404040, 0x404040, 0x404077, 0x404099}));
    // A run past the picture's end is cut there.
    Pixels px(3, 0xAAAAAAAA);
    Bytes one = header({.width = 1, .height = 1}) + Bytes{0xFF, 0x33};
    read_pcx_memory("x.pcx", one.data(), one.size(), px.data(), 4, nullptr, nullptr);
    EXPECT_EQ(px, (Pixels{0x333333, 0xAAAAAAAA, 0xAAAAAAAA}));
}

TEST(PcxThreePlanes, EncodedDecodesLikeRaw)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        uint32_t width = 1 + rng() % (round < 100 ? 8 : 400), height = 1 + rng() % 12;
        Bytes planar = streaky(size_t(width) * height * 3, rng);
        Bytes codes = encode_randomly(planar, rng);
        ASSERT_EQ(reference_stream(codes, planar.size()), planar);
        Pixels want = reference_rgb(planar, width, height);
        ASSERT_EQ(decode_rgb(header({.width = width, .height = height, .encoding = 0}) + planar,
                             width, height),
                  want);
        ASSERT_EQ(decode_rgb(header({.width = width, .height = height}) + codes, width, height),
                  want);
    }
}

TEST(PcxThreePlanes, BytesPerLineIsIgnored)
{
    // The header claims lines of 4 bytes; lines of exactly width 3 are read.
    Bytes planar = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    Head h{.width = 3, .height = 2, .encoding = 0, .bytes_per_line = 4};
    EXPECT_EQ(decode_rgb(header(h) + planar, 3, 2), reference_rgb(planar, 3, 2));
    // So when the data really are padded to 4 bytes a line, the pad bytes are
    // taken as pixels and every line after the first starts late: only the
    // first red line comes out right (green of pixel 0 is the pad byte 0).
    Bytes padded = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0, 13, 14, 15, 0, 16, 17, 18, 0};
    EXPECT_EQ(decode_rgb(header(h) + padded, 3, 2)[0], 0x010006u);
}

// --- One plane ------------------------------------------------------------------

TEST(PcxOnePlane, IndicesRawAndEncoded)
{
    // Runs cross the row end; 0xC0 takes its value byte and gives nothing; the
    // last run is cut at the picture's end.
    Bytes raw = header({.width = 3, .height = 2, .planes = 1, .encoding = 0}) +
                Bytes{1, 2, 3, 4, 5, 0xC7};
    Bytes rle = header({.width = 3, .height = 2, .planes = 1}) +
                Bytes{1, 0xC0, 9, 2, 0xC1, 3, 0xC0, 0xFF, 4, 5, 0xCF, 0xC7};
    for (const Bytes& file : {raw, rle}) {
        Bytes px(10, 0xAA);
        read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 6, nullptr, nullptr);
        EXPECT_EQ(px, (Bytes{1, 2, 3, 4, 5, 0xC7, 0xAA, 0xAA, 0xAA, 0xAA}));
    }
}

TEST(PcxOnePlane, PaletteAfterByte12OrZeroed)
{
    Bytes pal(768);
    for (size_t i = 0; i < 768; ++i)
        pal[i] = uint8_t(i * 5);
    Bytes body = header({.width = 2, .height = 1, .planes = 1, .encoding = 0}) + Bytes{3, 4};
    auto palette_of = [&](const Bytes& tail, bool* found) {
        Bytes file = body + tail, px(2), got(768, 0xAA);
        PcxHeader h{};
        read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 2, got.data(), &h);
        *found = h.palette_found;
        return got;
    };
    bool found = false;
    EXPECT_EQ(palette_of(Bytes{12} + pal, &found), pal);
    EXPECT_TRUE(found);
    EXPECT_EQ(palette_of(Bytes{0, 1, 0xC0, 12} + pal, &found), pal);  // the scan skips to the 12
    EXPECT_EQ(palette_of(Bytes{1, 2, 3}, &found), Bytes(768, 0));     // no 12: stops at the end
    EXPECT_FALSE(found);
    Bytes cut(768, 0);
    cut[0] = 9, cut[1] = 8;
    EXPECT_EQ(palette_of(Bytes{12, 9, 8}, &found), cut);  // what is there, then zeros
    // Without a palette destination the tail is not read at all.
    Bytes file = body + Bytes{1}, px(2);
    read_pcx_memory("x.pcx", file.data(), file.size(), px.data(), 2, nullptr, nullptr);
    EXPECT_EQ(px, (Bytes{3, 4}));
}

// --- Short files -------------------------------------------------------------------

TEST(PcxShortFiles, EndBeforeThePictureIsCompleteIsReported)
{
    for (const Bytes& file : {
             header({.width = 3, .height = 2, .planes = 1, .encoding = 0}) + Bytes(5),
             header({.width = 3, .height = 2, .planes = 1}) + Bytes{0xC5, 1},
             header({.width = 3, .height = 2, .planes = 1}) + Bytes{0xC5, 1, 0xC1},
             header({.encoding = 0}) + Bytes(35),
             header({.width = 30}) + Bytes{0xFF, 1},
             header({}),
         })
        EXPECT_EQ(message_of(file), TRUNCATED);
}

// --- Streams ------------------------------------------------------------------------

class PcxFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("yurn-pcx-" + std::to_string(getpid()));
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
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        return path;
    }
    fs::path dir;
};

TEST_F(PcxFiles, PictureFromDiskAndFromAnArchiveMemberMidFile)
{
    // Several read chunks long, with runs over line ends.
    std::mt19937 rng(11);
    Bytes planar = streaky(320 * 240 * 3, rng);
    Bytes pcx = header({.width = 320, .height = 240}) + encode_randomly(planar, rng);
    ASSERT_GT(pcx.size(), 2u * 16384);
    const Pixels want = reference_rgb(planar, 320, 240);
    Pixels px(76800);
    std::string path = write("foto.pcx", pcx);
    EXPECT_EQ(read_pcx(path.c_str(), px.data(), px.size() * 4, nullptr), 1);
    EXPECT_EQ(px, want);

    // Directory, 1000 bytes of another member, the picture, then more bytes.
    Bytes pak(48, 0);
    std::memcpy(pak.data(), "datos/Foto10.pcx", 16);  // fills the name field
    pak[16] = (48 + 1000) & 0xFF, pak[17] = (48 + 1000) >> 8;
    std::string pak_path = write("Yurn.pak", pak + Bytes(1000, 12) + pcx + Bytes(5000, 0xFF));
    archive_name = pak_path.data();
    std::fill(px.begin(), px.end(), 0);
    read_pcx("DATOS/FOTO10.PCX", px.data(), px.size() * 4, nullptr);
    EXPECT_EQ(px, want);

    // A short file on disk is reported with its path.
    path = write("corto.pcx", header({}) + Bytes{1, 2});
    EXPECT_EQ(fatal_message_of([&] { read_pcx(path.c_str(), px.data(), 48, nullptr); }),
              "El fichero " + path + " termina antes de completar la imagen\n");
}

// --- Writer -------------------------------------------------------------------------

TEST(PcxWriter, RoundTripsWithLinesOfWidthBytesAndRunsWithinLines)
{
    std::mt19937 rng(5);
    for (uint32_t width : {1u, 2u, 3u, 63u, 64u, 65u, 321u}) {
        Pixels px(size_t(width) * 3);
        for (size_t i = 0; i < px.size(); ++i)
            px[i] = (i / 70) % 2 ? 0xC0C1FF : (rng() & 0xFFFFFF);  // long runs of codes >= 0xC0
        Bytes file = encode_pcx_rgb(px.data(), width, 3);
        PcxHeader h{};
        Pixels got(px.size());
        read_pcx_memory("x.pcx", file.data(), file.size(), got.data(), got.size() * 4, nullptr, &h);
        EXPECT_EQ(got, px) << width;
        EXPECT_EQ(h.bytes_per_line, width);
        size_t pos = 0;
        for (size_t i = PCX_HEADER_SIZE; i < file.size(); i += file[i] < 0xC0 ? 1 : 2) {
            size_t n = file[i] < 0xC0 ? 1 : file[i] & 0x3Fu;
            ASSERT_LE(pos % width + n, width) << "run across a line end, width " << width;
            pos += n;
        }
    }
}

// --- Row by row ---------------------------------------------------------------

namespace {

struct Collected {
    Bytes indices;
    Pixels rgb;
    uint32_t next_row = 0;
    bool palette_known_at_first_row = false;
};

void collect(void* context, const PcxHeader& header, uint32_t y, const void* row)
{
    auto& c = *static_cast<Collected*>(context);
    EXPECT_EQ(y, c.next_row++);
    if (y == 0)
        c.palette_known_at_first_row = header.palette_found;
    if (header.planes == 1) {
        const auto* p = static_cast<const uint8_t*>(row);
        c.indices.insert(c.indices.end(), p, p + header.width);
    } else {
        const auto* p = static_cast<const uint32_t*>(row);
        c.rgb.insert(c.rgb.end(), p, p + header.width);
    }
}

// The rows of a file through a stream over its bytes.
PcxHeader rows_of(const Bytes& file, PcxLines lines, uint8_t* palette, Collected& c)
{
    FILE* stream = ::fmemopen(const_cast<uint8_t*>(file.data()), file.size(), "rb");
    const PcxHeader h = read_pcx_rows("x.pcx", stream, lines, palette, collect, &c);
    std::fclose(stream);
    return h;
}

} // namespace

TEST(PcxRows, RowByRowGivesThePictureTheWholeReaderGives)
{
    std::mt19937 rng(23);
    for (int round = 0; round < 40; ++round) {
        const uint32_t width = 1 + rng() % 70, height = 1 + rng() % 30;
        const uint8_t planes = round % 2 ? 3 : 1;
        const bool raw = round % 5 == 0;
        const uint32_t pad = round % 3 == 0 ? rng() % 4 : 0;  // lines padded past width
        const PcxLines lines = round % 4 == 0 ? PcxLines::width : PcxLines::bytes_per_line;
        Head h;
        h.width = width, h.height = height, h.planes = planes, h.encoding = raw ? 0 : 1;
        h.bytes_per_line = uint16_t(width + pad);
        const uint32_t line = lines == PcxLines::bytes_per_line ? width + pad : width;
        const Bytes data = streaky(size_t(line) * planes * height, rng);
        Bytes file = header(h) + (raw ? data : encode_randomly(data, rng));
        Bytes palette_bytes(769);
        palette_bytes[0] = 12;
        for (size_t i = 1; i < palette_bytes.size(); ++i)
            palette_bytes[i] = uint8_t(rng());
        if (planes == 1)
            file = file + palette_bytes;
        Collected c;
        uint8_t palette[768] = {}, whole_palette[768] = {};
        const PcxHeader got = rows_of(file, lines, planes == 1 ? palette : nullptr, c);
        EXPECT_EQ(c.next_row, height);
        PcxHeader whole{};
        if (planes == 1) {
            Bytes expected(size_t(width) * height);
            read_pcx_memory("x.pcx", file.data(), file.size(), expected.data(), expected.size(), whole_palette,
                            &whole, lines);
            EXPECT_EQ(c.indices, expected) << "round " << round;
            EXPECT_EQ(std::memcmp(palette, whole_palette, 768), 0);
            EXPECT_TRUE(c.palette_known_at_first_row);
            EXPECT_EQ(got.palette_found, whole.palette_found);
        } else {
            Pixels expected(size_t(width) * height);
            read_pcx_memory("x.pcx", file.data(), file.size(), expected.data(), expected.size() * 4, nullptr, &whole,
                            lines);
            EXPECT_EQ(c.rgb, expected) << "round " << round;
        }
    }
}

TEST(PcxRows, AShortFileIsReportedAsByTheWholeReader)
{
    Head h;
    h.width = 10, h.height = 4, h.planes = 3;
    const Bytes file = header(h) + Bytes{0xC5, 7};
    Collected c;
    EXPECT_EQ(fatal_message_of([&] { rows_of(file, PcxLines::width, nullptr, c); }), TRUNCATED);
    EXPECT_EQ(message_of(file), TRUNCATED);
    // One plane without a byte 12 after it: the rows come, the palette is not found.
    Head one;
    one.width = 3, one.height = 2, one.planes = 1, one.encoding = 0;
    uint8_t palette[768];
    Collected d;
    EXPECT_FALSE(rows_of(header(one) + Bytes{1, 2, 3, 4, 5, 6}, PcxLines::width, palette, d).palette_found);
    EXPECT_EQ(d.indices, (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(d.palette_known_at_first_row);
}
