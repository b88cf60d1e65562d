// yurn-pcx: turns PCX pictures into PPM/PGM/PNG and back, and shows their headers.
//   yurn-pcx decode IN.pcx OUT.(ppm|pgm|pnm|png) [--indices] [--as-shown]
//   yurn-pcx encode IN.(png|jpg|bmp|tga|ppm) OUT.pcx [--fit crop|letterbox|stretch] [--size WxH]
//   yurn-pcx info IN.pcx
// Decoding goes through the show's own reader.  It reads lines of the length
// the header gives (the picture the file holds); --as-shown reads them as the
// show does, exactly the width long, which differs for padded lines.
#include <algorithm>
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

int decode(const std::string& in, const std::string& out, bool indices, bool as_shown)
{
    check_decode_output(in, out);
    const PcxLines lines = as_shown ? PcxLines::width : PcxLines::bytes_per_line;
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

int encode(const std::string& in, const std::string& out, Fit fit, int width, int height)
{
    if (out != "-" && cli::extension(out) != "pcx")
        usage_error("la salida %s debe acabar en .pcx", out.c_str());
    if (cli::same_file(in, out))
        usage_error("la salida %s es el mismo fichero que la entrada", out.c_str());
    cli::refuse_binary_terminal(out, "el PCX");
    cli::subject = in;
    const std::vector<uint8_t> file = cli::read_file(in);
    const picture::Fitted fitted = picture::load_fitted(file, in, fit, width, height);
    picture::warn_transparency(in, fitted.transparency);
    const std::vector<uint32_t>& px = fitted.pixels;
    const int sw = fitted.source_width, sh = fitted.source_height;
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
