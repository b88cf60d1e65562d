// PCX reader: 8 bits per plane, one plane (indices) or three (0x00RRGGBB),
// raw or run-length.  Every byte comes through one bounded source that reads
// the C stream in chunks from its current position (an archive member starts
// mid-file and need not end the file) or walks a block of memory.
#include <algorithm>
#include <cstring>
#include <vector>

#include "display/error.h"
#include "files/files.h"
#include "files/little_endian.h"

namespace {

constexpr uint8_t PCX_MANUFACTURER = 10;
constexpr uint8_t PALETTE_MARK = 12;        // byte before the 256-colour palette
constexpr size_t PALETTE_SIZE = 768;
constexpr uint8_t RUN_CODE = 0xC0;          // codes from here on announce a run
constexpr size_t CHUNK_SIZE = 16384;
constexpr size_t ROW_SLACK = 8;              // spare bytes after the row storage

// The bounded reader.  In memory, [next, end) is the whole file and nothing
// refills it; over a stream, it is the unread part of the last chunk.
struct ByteSource {
    const uint8_t* next;
    const uint8_t* end;
    FILE* file;
    uint8_t* chunk;  // CHUNK_SIZE bytes when file is set
};

bool refill(ByteSource& src)
{
    if (!src.file)
        return false;
    size_t got = std::fread(src.chunk, 1, CHUNK_SIZE, src.file);
    src.next = src.chunk;
    src.end = src.chunk + got;
    return got > 0;
}

// Next byte, or -1 at the end of the data (or on a read error).
inline int read_byte(ByteSource& src)
{
    if (src.next == src.end && !refill(src))
        return -1;
    return *src.next++;
}

// Copies up to n bytes; returns how many there were.
size_t read_bytes(ByteSource& src, uint8_t* dst, size_t n)
{
    size_t done = 0;
    while (done < n) {
        if (src.next == src.end && !refill(src))
            break;
        size_t k = std::min(n - done, size_t(src.end - src.next));
        std::memcpy(dst + done, src.next, k);
        src.next += k;
        done += k;
    }
    return done;
}

[[noreturn]] void fail_truncated_header(const char* name)
{
    fatal_error("La cabecera del fichero %s está incompleta\n", name);
}

[[noreturn]] void fail_truncated_data(const char* name)
{
    fatal_error("El fichero %s termina antes de completar la imagen\n", name);
}

// Reads the 128-byte header and checks the fields in file order, so the first
// fault met is the one reported.
PcxHeader read_header(const char* name, ByteSource& src)
{
    uint8_t h[PCX_HEADER_SIZE];
    size_t got = read_bytes(src, h, sizeof h);
    if (got < 1 || h[0] != PCX_MANUFACTURER)
        fatal_error("EL FICHERO %s NO ES DE FORMATO PCX\n", name);
    if (got < 4)
        fail_truncated_header(name);
    if (h[3] != 8)
        fatal_error("UNICAMENTE IMPLEMENTADO 8 BITS POR PIXEL Y PLANO.\n");
    if (got < 66)
        fail_truncated_header(name);
    PcxHeader header{};
    header.version = h[1];  // any version is accepted
    header.encoding = h[2];
    header.bits_per_pixel = h[3];
    header.xmin = read_le16(h + 4);
    header.ymin = read_le16(h + 6);
    header.xmax = read_le16(h + 8);
    header.ymax = read_le16(h + 10);
    header.planes = h[65];
    if (header.planes != 1 && header.planes != 3)
        fatal_error("UNICAMENTE IMPLEMENTADOS 1 Y 3 PLANOS.\n");
    // After the three checks above, so a file they refuse gets their message.
    if (header.xmax < header.xmin || header.ymax < header.ymin)
        fatal_error("El fichero %s tiene límites no válidos: x de %u a %u, y de %u a %u\n", name,
                    unsigned(header.xmin), unsigned(header.xmax), unsigned(header.ymin),
                    unsigned(header.ymax));
    if (got < PCX_HEADER_SIZE)
        fail_truncated_header(name);
    header.horizontal_dpi = read_le16(h + 12);
    header.vertical_dpi = read_le16(h + 14);
    header.bytes_per_line = read_le16(h + 66);  // the show's lines are always width bytes
    header.palette_info = read_le16(h + 68);
    header.width = uint32_t(header.xmax) - header.xmin + 1;
    header.height = uint32_t(header.ymax) - header.ymin + 1;
    if (header.planes == 3 && header.width > PCX_MAX_RGB_WIDTH)
        fatal_error("La imagen %s mide %u píxeles de ancho; con 3 planos el máximo es %u\n", name,
                    unsigned(header.width), unsigned(PCX_MAX_RGB_WIDTH));
    return header;
}

// A run still to be written: it goes on into the following lines, and rows,
// with its own value.
struct Run {
    uint32_t left = 0;
    uint8_t value = 0;
};

// Decodes run-length codes until exactly n bytes are written, starting with
// what is left of `run`.  What is left of the last run stays in `run`.
// WRITE_SLACK: dst has ROW_SLACK writable bytes past n, so each code may store
// eight bytes at once (photos are mostly literals and short runs, whose
// literal-or-run branch would otherwise be mispredicted at every other code).
template <bool WRITE_SLACK>
void decode_rle(const char* name, ByteSource& src, uint8_t* dst, size_t n, Run& run)
{
    size_t pos = 0;
    while (pos < n) {
        if (run.left) {
            size_t k = std::min<size_t>(run.left, n - pos);
            std::memset(dst + pos, run.value, k);
            pos += k;
            run.left -= uint32_t(k);
            continue;
        }
        // Fast path: whole codes (at most two bytes) inside the window.
        const uint8_t* p = src.next;
        const uint8_t* const stop = src.end - std::min<ptrdiff_t>(1, src.end - src.next);
        while (pos < n && p < stop) {
            const uint32_t c = p[0];
            const uint32_t is_run = c >= RUN_CODE;
            // A count of 0 uses its value byte and gives nothing.
            const uint32_t count = is_run ? c & 0x3Fu : 1;
            const uint8_t v = uint8_t(is_run ? p[1] : c);
            p += 1 + is_run;
            if (count > n - pos) {
                run.left = count;  // goes on into the next lines, with its own value
                run.value = v;
                break;
            }
            if constexpr (WRITE_SLACK) {
                const uint64_t eight = v * 0x0101010101010101u;
                std::memcpy(dst + pos, &eight, 8);
                if (count > 8)
                    std::memset(dst + pos + 8, v, count - 8);
            } else {
                for (uint32_t i = 0; i < count; ++i)
                    dst[pos + i] = v;
            }
            pos += count;
        }
        src.next = p;
        if (pos == n || run.left)
            continue;
        // At the window's edge: one code through the refilling reader.
        int c = read_byte(src);
        if (c < 0)
            fail_truncated_data(name);
        if (c < RUN_CODE) {
            dst[pos++] = uint8_t(c);
            continue;
        }
        int v = read_byte(src);
        if (v < 0)
            fail_truncated_data(name);
        run.left = uint32_t(c) & 0x3F;
        run.value = uint8_t(v);
    }
}

// Red, green and blue lines of one row to 0x00RRGGBB pixels.
void join_planes(const uint8_t* line, uint32_t width, uint32_t* out)
{
    const uint8_t* r = line;
    const uint8_t* g = line + width;
    const uint8_t* b = line + 2 * width;
    for (uint32_t x = 0; x < width; ++x)
        out[x] = uint32_t(r[x]) << 16 | uint32_t(g[x]) << 8 | b[x];
}

// Lines of line_length bytes (width or more) of which the first width are
// pixels, for the tools' reading by the bytes-per-line field.  Run-length data
// run on across the padding as across line ends.  Allocates its row storage.
void decode_padded_lines(const char* name, ByteSource& src, const PcxHeader& header, uint32_t line_length,
                         void* pixels)
{
    const uint32_t width = header.width;
    const size_t row_bytes = size_t(line_length) * header.planes;
    std::vector<uint8_t> row(row_bytes + ROW_SLACK);
    Run run;
    for (uint32_t y = 0; y < header.height; ++y) {
        if (header.encoding == 0) {
            if (read_bytes(src, row.data(), row_bytes) != row_bytes)
                fail_truncated_data(name);
        } else {
            decode_rle<true>(name, src, row.data(), row_bytes, run);
        }
        if (header.planes == 1) {
            std::memcpy(static_cast<uint8_t*>(pixels) + size_t(y) * width, row.data(), width);
            continue;
        }
        uint32_t* out = static_cast<uint32_t*>(pixels) + size_t(y) * width;
        const uint8_t* r = row.data();
        for (uint32_t x = 0; x < width; ++x)
            out[x] = uint32_t(r[x]) << 16 | uint32_t(r[line_length + x]) << 8 | r[2 * size_t(line_length) + x];
    }
}

void read_palette(ByteSource& src, uint8_t* palette, PcxHeader& header)
{
    std::memset(palette, 0, PALETTE_SIZE);
    int c;
    while ((c = read_byte(src)) >= 0 && c != PALETTE_MARK) {
    }
    if (c == PALETTE_MARK) {
        // A palette cut short keeps what is there; the rest stays zero.
        read_bytes(src, palette, PALETTE_SIZE);
        header.palette_found = true;
    }
}

// Everything after the source is open: header, checks, image, palette.
PcxHeader decode(const char* name, ByteSource& src, void* pixels, size_t capacity, uint8_t* palette,
                 PcxLines lines)
{
    PcxHeader header = read_header(name, src);
    uint64_t needed = pcx_decoded_size(header);
    if (needed > capacity)
        fatal_error("La imagen %s de %ux%u píxeles necesita %llu bytes y el destino tiene %zu\n",
                    name, unsigned(header.width), unsigned(header.height),
                    static_cast<unsigned long long>(needed), capacity);

    const uint32_t width = header.width;
    const uint32_t height = header.height;
    const uint32_t line_length = pcx_line_length(header, lines);
    if (line_length != width) {
        decode_padded_lines(name, src, header, line_length, pixels);
        if (header.planes == 1 && palette)
            read_palette(src, palette, header);
        return header;
    }
    if (header.planes == 1) {
        auto* out = static_cast<uint8_t*>(pixels);
        size_t total = size_t(width) * height;
        if (header.encoding == 0) {
            if (read_bytes(src, out, total) != total)
                fail_truncated_data(name);
        } else {
            Run run;
            decode_rle<false>(name, src, out, total, run);  // a last run past the end is cut
        }
        if (palette)
            read_palette(src, palette, header);
        return header;
    }

    // Three planes: each row is a red, a green and a blue line of width bytes.
    // Run-length data form one stream over those lines, so a run may go on
    // into the next line or row; the pixels are those of the same picture raw.
    uint8_t line[3 * PCX_MAX_RGB_WIDTH + ROW_SLACK];
    const size_t row_bytes = 3 * size_t(width);
    auto* out = static_cast<uint32_t*>(pixels);
    Run run;
    for (uint32_t y = 0; y < height; ++y, out += width) {
        if (header.encoding == 0) {
            if (read_bytes(src, line, row_bytes) != row_bytes)
                fail_truncated_data(name);
        } else {
            decode_rle<true>(name, src, line, row_bytes, run);
        }
        join_planes(line, width, out);
    }
    return header;
}

} // namespace

uint32_t pcx_line_length(const PcxHeader& header, PcxLines lines)
{
    if (lines == PcxLines::bytes_per_line && header.bytes_per_line > header.width)
        return header.bytes_per_line;
    return header.width;
}

bool pcx_data_can_fill(const PcxHeader& header, size_t file_size, PcxLines lines)
{
    const uint64_t data = file_size > PCX_HEADER_SIZE ? file_size - PCX_HEADER_SIZE : 0;
    const uint64_t planar = uint64_t(pcx_line_length(header, lines)) * header.height * header.planes;
    return planar <= (header.encoding ? data * 32 : data);
}

uint64_t pcx_decoded_size(const PcxHeader& header)
{
    return uint64_t(header.width) * header.height * (header.planes == 3 ? 4 : 1);
}

int32_t read_pcx(const char* path, void* pixels, size_t pixels_capacity, uint8_t* palette)
{
    File file(open_data_file(path, "rb"));
    if (!file)
        fatal_error("No encuentro el fichero \"%s\"", path);
    return read_pcx_stream(path, file.get(), pixels, pixels_capacity, palette);
}

int32_t read_pcx_stream(const char* name, FILE* file, void* pixels, size_t pixels_capacity, uint8_t* palette)
{
    uint8_t chunk[CHUNK_SIZE];
    ByteSource src{nullptr, nullptr, file, chunk};
    decode(name, src, pixels, pixels_capacity, palette, PcxLines::width);
    return 1;
}

int32_t read_pcx_memory(const char* name, const uint8_t* data, size_t size, void* pixels,
                        size_t pixels_capacity, uint8_t* palette, PcxHeader* header, PcxLines lines)
{
    ByteSource src{data, data + size, nullptr, nullptr};
    PcxHeader h = decode(name, src, pixels, pixels_capacity, palette, lines);
    if (header)
        *header = h;
    return 1;
}

PcxHeader read_pcx_header(const char* name, const uint8_t* data, size_t size)
{
    ByteSource src{data, data + size, nullptr, nullptr};
    return read_header(name, src);
}
