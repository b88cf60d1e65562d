// yurn-pcx: turns PCX pictures into PPM/PGM/PNG and back, and shows their headers.
//   yurn-pcx decode IN.pcx OUT.(ppm|pgm|pnm|png) [--indices] [--as-shown]
//   yurn-pcx encode IN.(png|jpg|bmp|tga|ppm) OUT.pcx [--fit crop|letterbox|stretch] [--size WxH]
//   yurn-pcx info IN.pcx
// Decoding goes through the show's own reader.  It reads lines of the length
// the header gives (the picture the file holds); --as-shown reads them as the
// show does, exactly the width long, which differs for padded lines.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <stb_image_write.h>

#include "shell/command_line.h"
#include "common/cli.h"
#include "common/picture.h"
#include "display/error.h"
#include "files/files.h"
#include "files/signals.h"
#include "png_rows.h"

using cli::fail;
using cli::usage_error;

namespace {

constexpr char USAGE[] =
    "Uso: yurn-pcx decode ENTRADA.pcx SALIDA.(ppm|pgm|pnm|png) [--indices] [--as-shown]\n"
    "     yurn-pcx encode ENTRADA.(png|jpg|bmp|tga|ppm) SALIDA.pcx [--fit crop|letterbox|stretch]\n"
    "                     [--size AxB]\n"
    "     yurn-pcx info ENTRADA.pcx\n"
    "     yurn-pcx --help | --version\n"
    "\n"
    "decode   tres planos dan RGB; un plano da RGB a través de su paleta, o los\n"
    "         índices en gris con --indices.  Las líneas se leen con la longitud que\n"
    "         da la cabecera; --as-shown las lee como el espectáculo, del ancho justo\n"
    "         (una imagen de líneas rellenadas sale entonces torcida, como se vería).\n"
    "         SALIDA .pgm es gris (solo con --indices), .ppm color, .pnm lo que toque;\n"
    "         - escribe PNM en la salida estándar.\n"
    "encode   escribe un PCX de tres planos con compresión RLE, de 320x240 salvo\n"
    "         --size (ancho de 1 a 2048).  --fit: crop (por defecto) llena el cuadro\n"
    "         y recorta lo que sobra; letterbox cabe entero con bandas negras;\n"
    "         stretch deforma hasta llenar el cuadro.  Respeta la orientación EXIF\n"
    "         de las fotos JPEG; lee imágenes de hasta 134 millones de píxeles.\n"
    "         SALIDA - escribe en la salida estándar.\n"
    "info     muestra los campos de la cabecera y comprueba que la imagen se lee.\n"
    "\n"
    "Las opciones admiten --opción VALOR y --opción=VALOR.  Salida: 0 si todo fue\n"
    "bien, 1 si algo falló, 2 si la orden está mal escrita.\n";

using picture::Fit;


// Collects what stb writes, so the file goes out through one checked write.
void append_bytes(void* context, void* data, int size)
{
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

// Writes 1 (gray) or 3 (RGB) channels in the format the extension names:
// .png, .ppm (colour; gray is widened), .pgm (gray only), .pnm (either);
// "-" writes PNM to standard output.
void write_image(const std::string& path, const std::vector<uint8_t>& pixels, uint32_t width,
                 uint32_t height, int channels)
{
    const std::string ext = path == "-" ? "pnm" : cli::extension(path);
    std::vector<uint8_t> out;
    if (ext == "png") {
        if (!stbi_write_png_to_func(append_bytes, &out, int(width), int(height), channels, pixels.data(),
                                    int(width) * channels))
            fail("no se pudo codificar %s en PNG", path.c_str());
        cli::write_file(path, out.data(), out.size());
        return;
    }
    if (ext != "ppm" && ext != "pgm" && ext != "pnm")
        usage_error("no sé qué formato escribir en %s: usa .ppm, .pgm, .pnm o .png", path.c_str());
    if (ext == "pgm" && channels == 3)
        usage_error("%s es gris (.pgm) y la imagen es en color: usa .ppm o .png, o --indices", path.c_str());
    const bool gray = ext == "pgm" || (ext == "pnm" && channels == 1);
    const std::string head = std::string(gray ? "P5" : "P6") + "\n" + std::to_string(width) + " " +
                             std::to_string(height) + "\n255\n";
    out.assign(head.begin(), head.end());
    if (gray || channels == 3) {
        out.insert(out.end(), pixels.begin(), pixels.end());
    } else {
        out.reserve(out.size() + pixels.size() * 3);
        for (uint8_t v : pixels)
            out.insert(out.end(), {v, v, v});
    }
    cli::write_file(path, out.data(), out.size());
}

// Reads the file and its header; refuses, before allocating, a picture whose
// data cannot fill it (a run-length pair gives at most 63 bytes).
std::vector<uint8_t> read_pcx_file(const std::string& in, PcxHeader* h, PcxLines lines)
{
    cli::subject = in;
    std::vector<uint8_t> file = cli::read_file(in);
    *h = read_pcx_header(in.c_str(), file.data(), file.size());
    if (!pcx_data_can_fill(*h, file.size(), lines))
        fail("el fichero %s termina antes de completar la imagen", in.c_str());
    return file;
}

// Checks the output's name before any work: a format we write, and the input
// never overwritten by its own conversion.
void check_decode_output(const std::string& in, const std::string& out)
{
    const std::string ext = cli::extension(out);
    if (out != "-" && ext != "png" && ext != "ppm" && ext != "pgm" && ext != "pnm")
        usage_error("no sé qué formato escribir en %s: usa .ppm, .pgm, .pnm o .png", out.c_str());
    if (cli::same_file(in, out))
        usage_error("la salida %s es el mismo fichero que la entrada", out.c_str());
    cli::refuse_binary_terminal(out, "el PNM");
}

// Pictures up to this many pixels are decoded whole and written as PNG by
// stb, as they always were; larger ones are streamed row by row.
constexpr uint64_t WHOLE_PNG_PIXELS = uint64_t(1) << 22;

// The input of a streamed decode: the file itself when it can be read twice
// (a regular file), else its bytes read whole (a pipe) behind a memory stream.
struct DecodeInput {
    File file;
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
};

void open_decode_input(const std::string& in, DecodeInput& input)
{
    cli::subject = in;
    input.file.reset(std::fopen(in.c_str(), "rb"));
    if (!input.file)
        fail("no se puede abrir %s: %s", in.c_str(), system_reason(errno));
    struct stat info;
    if (::fstat(::fileno(input.file.get()), &info) == 0 && S_ISREG(info.st_mode)) {
        input.size = uint64_t(info.st_size);
        return;
    }
    input.file.reset();
    input.bytes = cli::read_file(in);
    input.size = input.bytes.size();
    input.file.reset(::fmemopen(input.bytes.data(), std::max<size_t>(input.bytes.size(), 1), "rb"));
    if (!input.file)
        fail("no hay memoria suficiente para %s", in.c_str());
}

// A failure met while the output is half written: thrown, so the output's
// temporary is removed on the way out, then reported as usual.
struct StreamFailure {
    std::string message;
};

void throw_failure(const char* message) { throw StreamFailure{message}; }

// What the rows become as they are decoded: PNM bytes or PNG rows, through
// one OutputFile, so the old file is replaced only by a whole new one.
struct RowOutput {
    OutputFile out;
    PngRowWriter png;
    bool is_png = false;
    bool gray = false;             // one channel out
    bool indices = false;          // one plane written as its indices
    const uint8_t* palette = nullptr;
    std::vector<uint8_t> line;     // one row of output bytes
    bool failed = false;
    std::string in;
};

void put_row(void* context, const PcxHeader& header, uint32_t y, const void* row)
{
    auto& o = *static_cast<RowOutput*>(context);
    if (o.failed)
        return;
    const uint32_t width = header.width;
    if (y == 0 && header.planes == 1 && !o.indices && !header.palette_found)
        throw StreamFailure{o.in + " no trae paleta de 256 colores tras la imagen; usa --indices"};
    if (header.planes == 3) {
        const auto* px = static_cast<const uint32_t*>(row);
        for (uint32_t x = 0; x < width; ++x) {
            o.line[3 * size_t(x)] = uint8_t(px[x] >> 16);
            o.line[3 * size_t(x) + 1] = uint8_t(px[x] >> 8);
            o.line[3 * size_t(x) + 2] = uint8_t(px[x]);
        }
    } else {
        const auto* index = static_cast<const uint8_t*>(row);
        if (o.gray)
            std::memcpy(o.line.data(), index, width);
        else if (o.indices)
            for (uint32_t x = 0; x < width; ++x)
                std::memset(&o.line[3 * size_t(x)], index[x], 3);
        else
            for (uint32_t x = 0; x < width; ++x)
                std::memcpy(&o.line[3 * size_t(x)], o.palette + 3 * size_t(index[x]), 3);
    }
    o.failed = o.is_png ? !png_rows_write(o.png, o.line.data()) : !output_write(o.out, o.line.data(), o.line.size());
}

[[noreturn]] void fail_writing(const std::string& path, int error)
{
    fail("no se puede escribir %s: %s%s", path == "-" ? "la salida estándar" : path.c_str(),
         system_reason(error ? error : EIO), path == "-" ? "" : "; el fichero anterior, si lo había, sigue intacto");
}

// How a streamed write ended: whole, or a failure to report once the output
// (and its temporary) is gone.
struct StreamResult {
    std::string failure;  // a reader's message
    int write_error = 0;  // errno of a failed write
    bool written = false;
};

StreamResult write_rows(const std::string& in, const std::string& out, bool indices, PcxLines lines, FILE* file,
                        const PcxHeader& h)
{
    StreamResult result;
    const std::string ext = out == "-" ? "pnm" : cli::extension(out);
    RowOutput o;
    o.in = in;
    o.is_png = ext == "png";
    o.indices = indices;
    o.gray = h.planes == 1 && indices && ext != "ppm";
    const int channels = o.gray ? 1 : 3;
    o.line.resize(size_t(h.width) * channels);
    uint8_t palette[768];
    o.palette = palette;
    bool ready = output_open(o.out, out.c_str());
    if (ready && o.is_png) {
        ready = png_rows_begin(o.png, o.out, h.width, h.height, channels, 1);
    } else if (ready) {
        const std::string pnm = std::string(o.gray ? "P5" : "P6") + "\n" + std::to_string(h.width) + " " +
                                std::to_string(h.height) + "\n255\n";
        ready = output_write(o.out, pnm.data(), pnm.size());
    }
    if (!ready) {
        result.write_error = o.out.error ? o.out.error : EIO;
        return result;
    }
    // The reader's fatal errors (data cut short) and a missing palette come
    // back here as exceptions; returning drops the output's temporary.
    set_fatal_handler(throw_failure);
    try {
        read_pcx_rows(in.c_str(), file, lines, h.planes == 1 && !indices ? palette : nullptr, put_row, &o);
    } catch (const StreamFailure& f) {
        result.failure = f.message;
    }
    set_fatal_handler(cli::on_fatal);
    if (!result.failure.empty())
        return result;
    if (o.failed || (o.is_png && !png_rows_end(o.png)) || !output_commit(o.out)) {
        result.write_error = o.out.error ? o.out.error : EIO;
        return result;
    }
    result.written = true;
    return result;
}

// Decodes and writes row by row, holding a few rows: PNM always (the same
// bytes as when held whole), PNG for pictures over WHOLE_PNG_PIXELS, at
// zlib's fastest level so that writing keeps pace with the disk.
int decode_streamed(const std::string& in, const std::string& out, bool indices, PcxLines lines)
{
    DecodeInput input;
    open_decode_input(in, input);
    uint8_t head[PCX_HEADER_SIZE];
    const size_t got = std::fread(head, 1, sizeof head, input.file.get());
    const PcxHeader h = read_pcx_header(in.c_str(), head, got);
    if (!pcx_data_can_fill(h, size_t(std::min<uint64_t>(input.size, SIZE_MAX)), lines))
        fail("el fichero %s termina antes de completar la imagen", in.c_str());
    if (h.planes == 3 && indices)
        usage_error("%s tiene tres planos: no hay índices que sacar", in.c_str());
    if (cli::extension(out) == "pgm" && !(h.planes == 1 && indices))
        usage_error("%s es gris (.pgm) y la imagen es en color: usa .ppm o .png, o --indices", out.c_str());
    std::rewind(input.file.get());
    const StreamResult result = write_rows(in, out, indices, lines, input.file.get(), h);
    if (!result.failure.empty())
        cli::on_fatal(result.failure.c_str());
    if (!result.written)
        fail_writing(out, result.write_error);
    return 0;
}

int decode(const std::string& in, const std::string& out, bool indices, bool as_shown)
{
    check_decode_output(in, out);
    const PcxLines lines = as_shown ? PcxLines::width : PcxLines::bytes_per_line;
    if (out == "-" || cli::extension(out) != "png")
        return decode_streamed(in, out, indices, lines);
    {
        // The header alone says which way a PNG is written.
        DecodeInput input;
        open_decode_input(in, input);
        uint8_t head[PCX_HEADER_SIZE];
        const size_t got = std::fread(head, 1, sizeof head, input.file.get());
        const PcxHeader peek = read_pcx_header(in.c_str(), head, got);
        if (uint64_t(peek.width) * peek.height > WHOLE_PNG_PIXELS)
            return decode_streamed(in, out, indices, lines);
    }
    PcxHeader h{};
    std::vector<uint8_t> file = read_pcx_file(in, &h, lines);
    const size_t count = size_t(h.width) * h.height;
    if (h.planes == 3) {
        if (indices)
            usage_error("%s tiene tres planos: no hay índices que sacar", in.c_str());
        std::vector<uint32_t> px(count);
        read_pcx_memory(in.c_str(), file.data(), file.size(), px.data(), count * 4, nullptr, &h, lines);
        std::vector<uint8_t> rgb(count * 3);
        for (size_t i = 0; i < count; ++i) {
            rgb[3 * i] = uint8_t(px[i] >> 16);
            rgb[3 * i + 1] = uint8_t(px[i] >> 8);
            rgb[3 * i + 2] = uint8_t(px[i]);
        }
        write_image(out, rgb, h.width, h.height, 3);
        return 0;
    }
    std::vector<uint8_t> index(count);
    uint8_t palette[768];
    read_pcx_memory(in.c_str(), file.data(), file.size(), index.data(), count, palette, &h, lines);
    if (indices) {
        write_image(out, index, h.width, h.height, 1);
        return 0;
    }
    if (!h.palette_found)
        fail("%s no trae paleta de 256 colores tras la imagen; usa --indices", in.c_str());
    std::vector<uint8_t> rgb(count * 3);
    for (size_t i = 0; i < count; ++i)
        std::memcpy(&rgb[3 * i], palette + 3 * index[i], 3);
    write_image(out, rgb, h.width, h.height, 3);
    return 0;
}

// Pictures over this many pixels, or wider or taller than stb reads, are
// read from PNG a row at a time; smaller ones are held whole by stb as they
// always were.
constexpr uint64_t WHOLE_INPUT_PIXELS = uint64_t(1) << 24;
constexpr uint32_t STB_MAX_SIDE = uint32_t(1) << 24;

bool is_png(const std::vector<uint8_t>& file)
{
    static constexpr uint8_t SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return file.size() >= 24 && std::memcmp(file.data(), SIGNATURE, 8) == 0;
}

// Width and height from a PNG's IHDR chunk, which must come first.
bool png_size(const std::vector<uint8_t>& file, uint32_t* width, uint32_t* height)
{
    if (!is_png(file) || std::memcmp(file.data() + 12, "IHDR", 4) != 0)
        return false;
    const auto be32 = [&](size_t at) {
        return uint32_t(file[at]) << 24 | uint32_t(file[at + 1]) << 16 | uint32_t(file[at + 2]) << 8 | file[at + 3];
    };
    *width = be32(16);
    *height = be32(20);
    return true;
}

// sRGB byte to linear light, and back (rounded), for averaging as the
// resizer does.
float srgb_to_linear(uint8_t v)
{
    const double c = v / 255.0;
    return float(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
}

uint8_t linear_to_srgb(float v)
{
    const double c = v <= 0.0031308f ? v * 12.92 : 1.055 * std::pow(double(v), 1 / 2.4) - 0.055;
    return uint8_t(std::clamp(c * 255.0 + 0.5, 0.0, 255.0));
}

// A large PNG read row by row and shrunk on the way by boxes of kx x ky
// pixels averaged in linear light, so the result stays at least twice the
// frame (or, for --fit letterbox, the part of it the picture fills) in each
// direction; the fit then scales it as any picture.  For --fit crop only the
// part the crop keeps is read.  Holds a row and the shrunk picture, never
// the picture itself.  Fills *sw and *sh with the shrunk size; false when
// libpng cannot read it, with *interlaced set when that is because it is
// interlaced (only whole after its last pass).
bool read_png_shrunk(const std::vector<uint8_t>& file, int width, int height, Fit fit, std::vector<uint8_t>& shrunk,
                     int* sw, int* sh, bool* interlaced)
{
    File stream(::fmemopen(const_cast<uint8_t*>(file.data()), file.size(), "rb"));
    if (!stream)
        return false;
    PngRowReader reader;
    if (!png_rows_open(reader, stream.get()))
        return false;
    *interlaced = reader.interlaced;
    if (reader.interlaced)
        return false;
    const uint32_t w = reader.width, h = reader.height;
    // The part read: for a crop, the centred part of the frame's shape, as
    // fit_picture cuts it.
    uint32_t x0 = 0, y0 = 0, cw = w, ch = h;
    const int64_t wide = int64_t(w) * height, tall = int64_t(width) * h;
    if (fit == Fit::crop && wide > tall) {
        cw = uint32_t(std::max<int64_t>(1, (int64_t(h) * width + height / 2) / height));
        x0 = (w - cw) / 2;
    } else if (fit == Fit::crop && wide < tall) {
        ch = uint32_t(std::max<int64_t>(1, (int64_t(w) * height + width / 2) / width));
        y0 = (h - ch) / 2;
    }
    const uint32_t ratio_x = cw / uint32_t(width), ratio_y = ch / uint32_t(height);
    uint32_t kx = std::max<uint32_t>(1, ratio_x / 2), ky = std::max<uint32_t>(1, ratio_y / 2);
    if (fit != Fit::stretch)  // the same in both directions, keeping the shape
        kx = ky = std::max<uint32_t>(1, (fit == Fit::letterbox ? std::max(ratio_x, ratio_y)
                                                                : std::min(ratio_x, ratio_y)) / 2);
    const uint32_t out_w = (cw + kx - 1) / kx, out_h = (ch + ky - 1) / ky;
    float linear[256];
    for (int v = 0; v < 256; ++v)
        linear[v] = srgb_to_linear(uint8_t(v));
    std::vector<uint8_t> row(size_t(w) * 3);
    std::vector<float> sum(size_t(out_w) * 3);
    shrunk.assign(size_t(out_w) * out_h * 3, 0);
    for (uint32_t y = 0; y < y0 + ch; ++y) {
        if (!png_rows_read(reader, row.data()))
            return false;
        if (y < y0)
            continue;
        const uint32_t at = y - y0;
        for (uint32_t x = 0; x < cw; ++x) {
            float* s = &sum[size_t(x / kx) * 3];
            const uint8_t* p = &row[size_t(x0 + x) * 3];
            s[0] += linear[p[0]];
            s[1] += linear[p[1]];
            s[2] += linear[p[2]];
        }
        if ((at + 1) % ky != 0 && at + 1 != ch)
            continue;
        const uint32_t rows = at % ky + 1;
        uint8_t* out = &shrunk[size_t(at / ky) * out_w * 3];
        for (uint32_t x = 0; x < out_w; ++x) {
            const float count = float(rows * std::min(kx, cw - x * kx));
            for (int c = 0; c < 3; ++c)
                out[size_t(x) * 3 + c] = linear_to_srgb(sum[size_t(x) * 3 + c] / count);
        }
        std::fill(sum.begin(), sum.end(), 0.0f);
    }
    *sw = int(out_w);
    *sh = int(out_h);
    return true;
}

int write_pcx(const std::string& in, const std::string& out, const std::vector<uint32_t>& px, int sw, int sh,
              int width, int height);

int encode(const std::string& in, const std::string& out, Fit fit, int width, int height)
{
    if (out != "-" && cli::extension(out) != "pcx")
        usage_error("la salida %s debe acabar en .pcx", out.c_str());
    if (cli::same_file(in, out))
        usage_error("la salida %s es el mismo fichero que la entrada", out.c_str());
    cli::refuse_binary_terminal(out, "el PCX");
    cli::subject = in;
    const std::vector<uint8_t> file = cli::read_file(in);
    // A large PNG is read a row at a time (its size from its header, which
    // stb would refuse past 16,777,216 pixels a side).
    uint32_t png_width = 0, png_height = 0;
    if (png_size(file, &png_width, &png_height)) {
        if (uint64_t(png_width) * png_height > picture::MAX_INPUT_PIXELS)
            fail("%s mide %ux%u: más de %llu millones de píxeles, demasiado para convertirla; redúcela antes",
                 in.c_str(), unsigned(png_width), unsigned(png_height),
                 static_cast<unsigned long long>(picture::MAX_INPUT_PIXELS / 1000000));
        if (uint64_t(png_width) * png_height > WHOLE_INPUT_PIXELS || png_width > STB_MAX_SIDE ||
            png_height > STB_MAX_SIDE) {
            std::vector<uint8_t> shrunk;
            int shrunk_w = 0, shrunk_h = 0;
            bool interlaced = false;
            if (read_png_shrunk(file, width, height, fit, shrunk, &shrunk_w, &shrunk_h, &interlaced)) {
                const std::vector<uint8_t> rgb = picture::fit_picture(shrunk.data(), shrunk_w, shrunk_h, width, height, fit);
                shrunk = std::vector<uint8_t>();
                std::vector<uint32_t> px(size_t(width) * height);
                for (size_t i = 0; i < px.size(); ++i)
                    px[i] = uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
                return write_pcx(in, out, px, int(png_width), int(png_height), width, height);
            }
            if (!interlaced)  // an interlaced one is left to stb, whole
                fail("%s está dañada o usa una variante que no se lee", in.c_str());
        }
    }
    const picture::Fitted fitted = picture::load_fitted(file, in, fit, width, height);
    picture::warn_transparency(in, fitted.transparency);
    return write_pcx(in, out, fitted.pixels, fitted.source_width, fitted.source_height, width, height);
}

// The fitted picture as a PCX, and the line that says what was made.
int write_pcx(const std::string& in, const std::string& out, const std::vector<uint32_t>& px, int sw, int sh,
              int width, int height)
{
    std::vector<uint8_t> pcx = encode_pcx_rgb(px.data(), uint32_t(width), uint32_t(height));
    cli::write_file(out, pcx.data(), pcx.size());
    std::fprintf(out == "-" ? stderr : stdout, "%s: %dx%d -> %s: %dx%d, %zu bytes\n", in.c_str(), sw, sh,
                 out.c_str(), width, height, pcx.size());
    return 0;
}

int info(const std::string& in)
{
    PcxHeader h{};
    std::vector<uint8_t> file = read_pcx_file(in, &h, PcxLines::bytes_per_line);
    const uint32_t line = pcx_line_length(h, PcxLines::bytes_per_line);
    std::printf("fichero:          %s (%zu bytes)\n", in.c_str(), file.size());
    std::printf("versión:          %u\n", unsigned(h.version));
    std::printf("codificación:     %u (%s)\n", unsigned(h.encoding), h.encoding ? "RLE" : "sin comprimir");
    std::printf("bits por plano:   %u\n", unsigned(h.bits_per_pixel));
    std::printf("planos:           %u\n", unsigned(h.planes));
    std::printf("límites:          x %u..%u, y %u..%u\n", unsigned(h.xmin), unsigned(h.xmax),
                unsigned(h.ymin), unsigned(h.ymax));
    std::printf("tamaño:           %u x %u\n", unsigned(h.width), unsigned(h.height));
    std::printf("bytes por línea:  %u\n", unsigned(h.bytes_per_line));
    std::printf("resolución:       %u x %u ppp\n", unsigned(h.horizontal_dpi), unsigned(h.vertical_dpi));
    std::printf("info de paleta:   %u\n", unsigned(h.palette_info));
    // Decode it all, so that a damaged file is reported here and not in the show.
    const uint64_t size = pcx_decoded_size(h);
    std::vector<uint8_t> pixels(size);
    uint8_t palette[768];
    read_pcx_memory(in.c_str(), file.data(), file.size(), pixels.data(), size_t(size), palette, &h,
                    PcxLines::bytes_per_line);
    if (h.planes == 1)
        std::printf("paleta 256:       %s\n", h.palette_found ? "sí" : "no");
    if (line == h.width) {
        std::printf("imagen:           completa\n");
        return 0;
    }
    // The show reads lines of exactly the width: every row after the first
    // starts that much further on, and the picture comes out sheared.
    std::printf("imagen:           completa con líneas de %u bytes, pero el espectáculo la "
                "mostraría torcida\n",
                unsigned(line));
    std::fflush(stdout);
    cli::warn("el espectáculo lee líneas de %u bytes (el ancho) y %s las tiene de %u: la mostraría "
              "torcida.  Vuelve a codificarla: yurn-pcx decode %s tmp.png && yurn-pcx encode tmp.png "
              "NUEVA.pcx --size %ux%u",
              unsigned(h.width), in.c_str(), unsigned(line), in.c_str(), unsigned(h.width),
              unsigned(h.height));
    return 0;
}

bool parse_size(const std::string& s, int* width, int* height)
{
    uint32_t w = 0, h = 0;
    if (!read_decimal_pair(s, 'x', 65535, &w, &h))
        return false;
    if (w < 1 || w > PCX_MAX_RGB_WIDTH || h < 1 || h > 65535)
        return false;
    *width = int(w);
    *height = int(h);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    signals_init();
    cli::init("yurn-pcx");
    cli::Args args{argc, argv};
    std::string command, a;
    std::vector<std::string> files;
    bool is_option = false, indices = false, as_shown = false;
    Fit fit = Fit::crop;
    int width = 320, height = 240;
    while (args.next(a, is_option)) {
        cli::answer_help_or_version(args, [](FILE* out) { std::fputs(USAGE, out); });
        if (!is_option) {
            if (command.empty())
                command = a;
            else
                files.push_back(a);
        } else if (a == "--indices" && command == "decode") {
            indices = true;
        } else if (a == "--as-shown" && command == "decode") {
            as_shown = true;
        } else if (a == "--fit" && command == "encode") {
            const std::string f = args.value(a);
            if (f == "crop")
                fit = Fit::crop;
            else if (f == "letterbox")
                fit = Fit::letterbox;
            else if (f == "stretch")
                fit = Fit::stretch;
            else
                usage_error("--fit admite crop, letterbox o stretch, no \"%s\"", f.c_str());
        } else if (a == "--size" && command == "encode") {
            const std::string v = args.value(a);
            if (!parse_size(v, &width, &height))
                usage_error("--size espera ANCHOxALTO, ancho de 1 a 2048 y alto de 1 a 65535, no \"%s\"",
                            v.c_str());
        } else {
            usage_error("opción desconocida \"%s\"%s%s", a.c_str(), command.empty() ? "" : " para ",
                        command.c_str());
        }
    }
    if (command.empty()) {
        std::fputs(USAGE, stderr);
        return cli::EXIT_USAGE;
    }
    if (command != "decode" && command != "encode" && command != "info")
        usage_error("orden desconocida \"%s\"", command.c_str());
    if (command == "decode" && files.size() == 2)
        return decode(files[0], files[1], indices, as_shown);
    if (command == "encode" && files.size() == 2)
        return encode(files[0], files[1], fit, width, height);
    if (command == "info" && files.size() == 1)
        return info(files[0]);
    usage_error("número de ficheros incorrecto para %s", command.c_str());
}
