// yurn-pcx: turns PCX pictures into PPM/PNG and back, and shows their headers.
//   yurn-pcx decode IN.pcx OUT.(ppm|pgm|png) [--indices]
//   yurn-pcx encode IN.(png|jpg|bmp|ppm) OUT.pcx [--fit crop|letterbox|stretch] [--size WxH]
//   yurn-pcx info IN.pcx
// Decoding goes through the show's own reader, so a file that decodes here
// reads the same in the show.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

#include "display/display.h"
#include "files/files.h"

namespace {

constexpr char USAGE[] =
    "Uso: yurn-pcx decode ENTRADA.pcx SALIDA.(ppm|pgm|png) [--indices]\n"
    "     yurn-pcx encode ENTRADA.(png|jpg|bmp|ppm) SALIDA.pcx [--fit crop|letterbox|stretch]\n"
    "                     [--size AxB]\n"
    "     yurn-pcx info ENTRADA.pcx\n"
    "\n"
    "decode   tres planos dan RGB; un plano da RGB a traves de su paleta, o los\n"
    "         indices en gris con --indices.\n"
    "encode   escribe un PCX de tres planos con compresion RLE, de 320x240 salvo\n"
    "         --size (ancho de 1 a 2048).  --fit: crop (por defecto) llena el cuadro\n"
    "         y recorta lo que sobra; letterbox cabe entero con bandas negras;\n"
    "         stretch deforma hasta llenar el cuadro.\n"
    "info     muestra los campos de la cabecera y comprueba que la imagen se lee.\n";

enum class Fit { crop, letterbox, stretch };

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "yurn-pcx: %s\n", message.c_str());
    std::exit(1);
}

// The reader's fatal errors end the tool with their message on standard error.
void on_fatal(const char* message)
{
    std::string m = message;
    while (!m.empty() && m.back() == '\n')
        m.pop_back();
    fail(m);
}

std::string extension(const std::string& path)
{
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return "";
    std::string e = path.substr(dot + 1);
    for (char& c : e)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return e;
}

std::vector<uint8_t> read_whole(const std::string& path)
{
    File f(std::fopen(path.c_str(), "rb"));
    if (!f)
        fail("no se puede abrir " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> out;
    if (!read_to_end(f.get(), out))
        fail("error al leer " + path);
    return out;
}

void write_whole(const std::string& path, const uint8_t* data, size_t size)
{
    File f(std::fopen(path.c_str(), "wb"));
    if (!f)
        fail("no se puede crear " + path + ": " + std::strerror(errno));
    bool ok = std::fwrite(data, 1, size, f.get()) == size;
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok) {
        std::remove(path.c_str());
        fail("error al escribir " + path);
    }
}

// Writes 1 (gray) or 3 (RGB) channels as PNG, or as PGM/PPM.
void write_image(const std::string& path, const std::vector<uint8_t>& pixels, uint32_t width,
                 uint32_t height, int channels)
{
    std::string ext = extension(path);
    if (ext == "png") {
        if (!stbi_write_png(path.c_str(), int(width), int(height), channels, pixels.data(),
                            int(width) * channels))
            fail("error al escribir " + path);
        return;
    }
    if (ext != "ppm" && ext != "pgm" && ext != "pnm")
        fail("no se que formato escribir en " + path + " (usa .ppm, .pgm o .png)");
    std::string head = std::string(channels == 1 ? "P5" : "P6") + "\n" + std::to_string(width) +
                       " " + std::to_string(height) + "\n255\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    out.insert(out.end(), pixels.begin(), pixels.end());
    write_whole(path, out.data(), out.size());
}

// Reads the file and its header; refuses, before allocating, a picture whose
// data cannot fill it (a run-length pair gives at most 63 bytes).
std::vector<uint8_t> read_pcx_file(const std::string& in, PcxHeader* h)
{
    std::vector<uint8_t> file = read_whole(in);
    *h = read_pcx_header(in.c_str(), file.data(), file.size());
    const uint64_t data = file.size() - PCX_HEADER_SIZE;
    const uint64_t planar = uint64_t(h->width) * h->height * h->planes;
    if (planar > (h->encoding ? data * 32 : data))
        fail("el fichero " + in + " termina antes de completar la imagen");
    return file;
}

int decode(const std::string& in, const std::string& out, bool indices)
{
    PcxHeader h{};
    std::vector<uint8_t> file = read_pcx_file(in, &h);
    const size_t count = size_t(h.width) * h.height;
    if (h.planes == 3) {
        if (indices)
            fail(in + " tiene tres planos: no hay indices que sacar");
        std::vector<uint32_t> px(count);
        read_pcx_memory(in.c_str(), file.data(), file.size(), px.data(), count * 4, nullptr, &h);
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
    read_pcx_memory(in.c_str(), file.data(), file.size(), index.data(), count, palette, &h);
    if (indices) {
        write_image(out, index, h.width, h.height, 1);
        return 0;
    }
    if (!h.palette_found)
        fail(in + " no trae paleta de 256 colores tras la imagen; usa --indices");
    std::vector<uint8_t> rgb(count * 3);
    for (size_t i = 0; i < count; ++i)
        std::memcpy(&rgb[3 * i], palette + 3 * index[i], 3);
    write_image(out, rgb, h.width, h.height, 3);
    return 0;
}

struct Rect {
    int x, y, w, h;
};

// Scales the RGB picture into a width x height frame as the fit asks.
std::vector<uint8_t> fit_picture(const uint8_t* src, int sw, int sh, int width, int height, Fit fit)
{
    std::vector<uint8_t> out(size_t(width) * height * 3, 0);
    Rect from{0, 0, sw, sh}, to{0, 0, width, height};
    const int64_t wide = int64_t(sw) * height, tall = int64_t(width) * sh;  // compare sw/sh with width/height
    if (fit == Fit::crop && wide != tall) {
        if (wide > tall) {  // source wider than the frame: cut the sides
            from.w = std::max(1, int((int64_t(sh) * width + height / 2) / height));
            from.x = (sw - from.w) / 2;
        } else {
            from.h = std::max(1, int((int64_t(sw) * height + width / 2) / width));
            from.y = (sh - from.h) / 2;
        }
    } else if (fit == Fit::letterbox && wide != tall) {
        if (wide > tall) {
            to.h = std::max(1, int((int64_t(sh) * width + sw / 2) / sw));
            to.y = (height - to.h) / 2;
        } else {
            to.w = std::max(1, int((int64_t(sw) * height + sh / 2) / sh));
            to.x = (width - to.w) / 2;
        }
    }
    const uint8_t* in = src + (size_t(from.y) * sw + from.x) * 3;
    uint8_t* dst = out.data() + (size_t(to.y) * width + to.x) * 3;
    if (from.w == to.w && from.h == to.h) {  // same size: the pixels as they are
        for (int y = 0; y < to.h; ++y)
            std::memcpy(dst + size_t(y) * width * 3, in + size_t(y) * sw * 3, size_t(to.w) * 3);
        return out;
    }
    if (!stbir_resize_uint8_srgb(in, from.w, from.h, sw * 3, dst, to.w, to.h, width * 3, 3,
                                 STBIR_ALPHA_CHANNEL_NONE, 0))
        fail("no se pudo escalar la imagen");
    return out;
}

int encode(const std::string& in, const std::string& out, Fit fit, int width, int height)
{
    if (extension(out) != "pcx")
        fail("la salida " + out + " debe acabar en .pcx");
    int sw = 0, sh = 0, channels = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> src(stbi_load(in.c_str(), &sw, &sh, &channels, 3),
                                                  stbi_image_free);
    if (!src)
        fail("no se puede leer la imagen " + in + ": " + stbi_failure_reason());
    std::vector<uint8_t> rgb = fit_picture(src.get(), sw, sh, width, height, fit);
    std::vector<uint32_t> px(size_t(width) * height);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
    std::vector<uint8_t> pcx = encode_pcx_rgb(px.data(), uint32_t(width), uint32_t(height));
    write_whole(out, pcx.data(), pcx.size());
    std::printf("%s: %dx%d -> %s: %dx%d, %zu bytes\n", in.c_str(), sw, sh, out.c_str(), width,
                height, pcx.size());
    return 0;
}

int info(const std::string& in)
{
    PcxHeader h{};
    std::vector<uint8_t> file = read_pcx_file(in, &h);
    std::printf("fichero:          %s (%zu bytes)\n", in.c_str(), file.size());
    std::printf("version:          %u\n", unsigned(h.version));
    std::printf("codificacion:     %u (%s)\n", unsigned(h.encoding), h.encoding ? "RLE" : "sin comprimir");
    std::printf("bits por plano:   %u\n", unsigned(h.bits_per_pixel));
    std::printf("planos:           %u\n", unsigned(h.planes));
    std::printf("limites:          x %u..%u, y %u..%u\n", unsigned(h.xmin), unsigned(h.xmax),
                unsigned(h.ymin), unsigned(h.ymax));
    std::printf("tamano:           %u x %u\n", unsigned(h.width), unsigned(h.height));
    std::printf("bytes por linea:  %u%s\n", unsigned(h.bytes_per_line),
                h.bytes_per_line == h.width ? "" : "  (distinto del ancho: se leen lineas del ancho)");
    std::printf("resolucion:       %u x %u ppp\n", unsigned(h.horizontal_dpi), unsigned(h.vertical_dpi));
    std::printf("info de paleta:   %u\n", unsigned(h.palette_info));
    // Decode it all, so that a damaged file is reported here and not in the show.
    const uint64_t size = pcx_decoded_size(h);
    std::vector<uint8_t> pixels(size);
    uint8_t palette[768];
    read_pcx_memory(in.c_str(), file.data(), file.size(), pixels.data(), size_t(size), palette, &h);
    if (h.planes == 1)
        std::printf("paleta 256:       %s\n", h.palette_found ? "si" : "no");
    std::printf("imagen:           completa\n");
    return 0;
}

bool parse_size(const std::string& s, int* width, int* height)
{
    unsigned w = 0, h = 0;
    char extra;
    if (std::sscanf(s.c_str(), "%ux%u%c", &w, &h, &extra) != 2)
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
    set_fatal_handler(on_fatal);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || std::find(args.begin(), args.end(), "--help") != args.end() ||
        args[0] == "-h") {
        std::fputs(USAGE, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    std::vector<std::string> files;
    bool indices = false;
    Fit fit = Fit::crop;
    int width = 320, height = 240;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--indices" && command == "decode") {
            indices = true;
        } else if (a == "--fit" && command == "encode" && i + 1 < args.size()) {
            const std::string& f = args[++i];
            if (f == "crop")
                fit = Fit::crop;
            else if (f == "letterbox")
                fit = Fit::letterbox;
            else if (f == "stretch")
                fit = Fit::stretch;
            else
                fail("--fit admite crop, letterbox o stretch, no \"" + f + "\"");
        } else if (a == "--size" && command == "encode" && i + 1 < args.size()) {
            if (!parse_size(args[++i], &width, &height))
                fail("--size espera ANCHOxALTO, ancho de 1 a 2048 y alto de 1 a 65535, no \"" +
                     args[i] + "\"");
        } else if (a.size() > 1 && a[0] == '-') {
            fail("opcion desconocida o incompleta \"" + a + "\" para " + command +
                 " (yurn-pcx --help)");
        } else {
            files.push_back(a);
        }
    }
    if (command == "decode" && files.size() == 2)
        return decode(files[0], files[1], indices);
    if (command == "encode" && files.size() == 2)
        return encode(files[0], files[1], fit, width, height);
    if (command == "info" && files.size() == 1)
        return info(files[0]);
    if (command != "decode" && command != "encode" && command != "info")
        fail("orden desconocida \"" + command + "\" (yurn-pcx --help)");
    fail("numero de ficheros incorrecto para " + command + " (yurn-pcx --help)");
}
