// The player's pictures: the overlay drawn with a small built-in 3 x 5
// bitmap font (the time bar, "12.4 / 50.0 s", the list of keys), and the
// screenshot's PNG file, written with stored deflate blocks so that the
// program needs no image library for it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "shell/shell_local.h"

namespace {

constexpr uint8_t SHADE = 1;
constexpr uint8_t INK = 2;

struct Glyph {
    char c;
    const char* rows;  // 5 rows of 3 columns, top first, separated by spaces; '#' is drawn
};

// Upper-case letters, digits, the time's 's' and the punctuation the key
// list uses; anything else is drawn as a space.
constexpr Glyph FONT[] = {
    {'0', "### #.# #.# #.# ###"}, {'1', ".#. ##. .#. .#. ###"}, {'2', "### ..# ### #.. ###"},
    {'3', "### ..# .## ..# ###"}, {'4', "#.# #.# ### ..# ..#"}, {'5', "### #.. ### ..# ###"},
    {'6', "### #.. ### #.# ###"}, {'7', "### ..# ..# .#. .#."}, {'8', "### #.# ### #.# ###"},
    {'9', "### #.# ### ..# ###"}, {'/', "..# ..# .#. #.. #.."}, {'.', "... ... ... ... .#."},
    {',', "... ... ... .#. #.."}, {'s', "... .## .#. ..# ##."}, {'<', "..# .#. #.. .#. ..#"},
    {'>', "#.. .#. ..# .#. #.."}, {'-', "... ... ### ... ..."}, {'+', "... .#. ### .#. ..."},
    {'?', "### ..# .## ... .#."}, {':', "... .#. ... .#. ..."}, {'A', ".#. #.# ### #.# #.#"},
    {'B', "##. #.# ##. #.# ##."}, {'C', ".## #.. #.. #.. .##"}, {'D', "##. #.# #.# #.# ##."},
    {'E', "### #.. ##. #.. ###"}, {'F', "### #.. ##. #.. #.."}, {'G', ".## #.. #.# #.# .##"},
    {'H', "#.# #.# ### #.# #.#"}, {'I', "### .#. .#. .#. ###"}, {'J', "..# ..# ..# #.# .#."},
    {'K', "#.# #.# ##. #.# #.#"}, {'L', "#.. #.. #.. #.. ###"}, {'M', "#.# ### ### #.# #.#"},
    {'N', "##. #.# #.# #.# #.#"}, {'O', ".#. #.# #.# #.# .#."}, {'P', "##. #.# ##. #.. #.."},
    {'Q', ".#. #.# #.# ### .##"}, {'R', "##. #.# ##. #.# #.#"}, {'S', ".## #.. .#. ..# ##."},
    {'T', "### .#. .#. .#. .#."}, {'U', "#.# #.# #.# #.# ###"}, {'V', "#.# #.# #.# #.# .#."},
    {'W', "#.# #.# ### ### #.#"}, {'X', "#.# #.# .#. #.# #.#"}, {'Y', "#.# #.# .#. .#. .#."},
    {'Z', "### ..# .#. #.. ###"},
};

constexpr int32_t GLYPH_W = 3;
constexpr int32_t GLYPH_H = 5;

const char* glyph_rows(char c)
{
    for (const Glyph& glyph : FONT)
        if (glyph.c == c)
            return glyph.rows;
    return nullptr;
}

struct Canvas {
    uint8_t* mask;
    int32_t width;
    int32_t height;
};

void fill(const Canvas& canvas, int32_t x0, int32_t y0, int32_t w, int32_t h, uint8_t value)
{
    for (int32_t y = y0 < 0 ? 0 : y0; y < y0 + h && y < canvas.height; y++)
        for (int32_t x = x0 < 0 ? 0 : x0; x < x0 + w && x < canvas.width; x++)
            canvas.mask[size_t(y) * size_t(canvas.width) + size_t(x)] = value;
}

// Draws text at (x, y), each font pixel a scale x scale square; returns the
// width drawn.
int32_t draw_text(const Canvas& canvas, int32_t x, int32_t y, const char* text, int32_t scale)
{
    const int32_t start = x;
    for (const char* p = text; *p; p++, x += (GLYPH_W + 1) * scale) {
        const char* rows = glyph_rows(*p);
        if (!rows)
            continue;
        for (int32_t row = 0; row < GLYPH_H; row++)
            for (int32_t column = 0; column < GLYPH_W; column++)
                if (rows[row * (GLYPH_W + 1) + column] == '#')
                    fill(canvas, x + column * scale, y + row * scale, scale, scale, INK);
    }
    return x - start;
}

constexpr const char* KEY_LINES[] = {
    "ESPACIO   PAUSA / SIGUE",
    "<- ->     RETROCEDE / AVANZA 5 S",
    "+ SHIFT   1 S",
    ", .       UN FOTOGRAMA",
    "INICIO    AL PRINCIPIO",
    "L         BUCLE",
    "M         SILENCIO",
    "S         CAPTURA PNG",
    "? H       TECLAS",
    "ESC       SALIR",
};

// ---------------------------------------------------------------------------
// PNG
// ---------------------------------------------------------------------------

uint32_t crc_table[256];

void make_crc_table()
{
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[n] = c;
    }
}

uint32_t crc32(const uint8_t* bytes, size_t size)
{
    if (crc_table[1] == 0)
        make_crc_table();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++)
        c = crc_table[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put_be32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(value >> shift));
}

void put_chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data)
{
    put_be32(out, uint32_t(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, crc32(out.data() + start, out.size() - start));
}

}  // namespace

void draw_player_overlay(uint8_t* mask, int32_t width, int32_t height, double time_ms, double length_ms, bool keys,
                         const char* state)
{
    const Canvas canvas = {.mask = mask, .width = width, .height = height};
    // Along the bottom: a band, the bar of the time gone, the time in text.
    constexpr int32_t BAND = 20;
    constexpr int32_t MARGIN = 8;
    fill(canvas, 0, height - BAND, width, BAND, SHADE);
    const int32_t track = width - 2 * MARGIN;
    double fraction = length_ms > 0.0 ? time_ms / length_ms : 0.0;
    fraction = fraction < 0.0 ? 0.0 : fraction > 1.0 ? 1.0 : fraction;
    fill(canvas, MARGIN, height - BAND + 2, int32_t(track * fraction + 0.5), 2, INK);
    fill(canvas, MARGIN + track - 1, height - BAND + 1, 1, 4, INK);  // where the show ends
    char text[64];
    if (length_ms > 0.0)
        std::snprintf(text, sizeof text, "%.1f / %.1f s", time_ms / 1000.0, length_ms / 1000.0);
    else
        std::snprintf(text, sizeof text, "%.1f s", time_ms / 1000.0);
    draw_text(canvas, MARGIN, height - BAND + 7, text, 2);
    // The modes on, right-aligned on the text's line.
    if (state && *state) {
        const int32_t state_width = int32_t(std::strlen(state)) * (GLYPH_W + 1) * 2 - 2;
        draw_text(canvas, width - MARGIN - state_width, height - BAND + 7, state, 2);
    }
    if (!keys)
        return;
    int32_t longest = 0;
    for (const char* line : KEY_LINES)
        longest = int32_t(std::strlen(line)) > longest ? int32_t(std::strlen(line)) : longest;
    constexpr int32_t LINE = GLYPH_H + 3;
    const int32_t lines = int32_t(sizeof KEY_LINES / sizeof KEY_LINES[0]);
    fill(canvas, MARGIN, MARGIN, longest * (GLYPH_W + 1) + 8, lines * LINE + 6, SHADE);
    for (int32_t i = 0; i < lines; i++)
        draw_text(canvas, MARGIN + 4, MARGIN + 4 + i * LINE, KEY_LINES[i], 1);
}

bool write_png_new(const char* path, const uint8_t* rgb, int32_t width, int32_t height)
{
    // Rows with filter 0, in stored deflate blocks of at most 65535 bytes.
    const size_t row = size_t(width) * 3;
    std::vector<uint8_t> raw;
    raw.reserve((row + 1) * size_t(height));
    for (int32_t y = 0; y < height; y++) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb + size_t(y) * row, rgb + size_t(y + 1) * row);
    }
    std::vector<uint8_t> zlib = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t size = raw.size() - at < 65535 ? raw.size() - at : 65535;
        zlib.push_back(at + size == raw.size() ? 1 : 0);
        zlib.push_back(uint8_t(size));
        zlib.push_back(uint8_t(size >> 8));
        zlib.push_back(uint8_t(~size));
        zlib.push_back(uint8_t(~size >> 8));
        zlib.insert(zlib.end(), raw.begin() + ptrdiff_t(at), raw.begin() + ptrdiff_t(at + size));
        at += size;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (const uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put_be32(zlib, b << 16 | a);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    put_be32(header, uint32_t(width));
    put_be32(header, uint32_t(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter choice, no interlace
    put_chunk(png, "IHDR", header);
    put_chunk(png, "IDAT", zlib);
    put_chunk(png, "IEND", {});

    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t written = 0;
    while (written < png.size()) {
        const ssize_t n = write(fd, png.data() + written, png.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            close(fd);
            unlink(path);
            errno = error;
            return false;
        }
        written += size_t(n);
    }
    if (close(fd) != 0) {
        const int error = errno;
        unlink(path);
        errno = error;
        return false;
    }
    return true;
}
