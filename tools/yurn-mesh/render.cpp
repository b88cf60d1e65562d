// yurn-mesh render: one frame of a mesh drawn by the engine's renderer,
// written as PNG, PPM, JPEG, BMP or TGA as the output's name says.  Also the
// option parsing and scene set-up that yurn-mesh view shares.
#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "shell/command_line.h"
#include "commands.h"
#include "common/cli.h"
#include "files/files.h"
#include "render/render.h"
#include "render_options.h"
#include "display/error.h"
#include "shell/frame.h"

namespace {

using cli::usage_error;

struct StbFree {
    void operator()(unsigned char* p) const { stbi_image_free(p); }
};

const char* const OPTIONS_HELP =
    "  --mode HEX           bits de modo de los objetos: 01 plano, 02 Gouraud, 04 textura,\n"
    "                       08 entorno (con 04 y --texture), 10 aditivo (con 01, 02 o 04);\n"
    "                       por omisión: como se cargan; con --texture 04, o 0C en un 3DS,\n"
    "                       que no trae coordenadas de textura\n"
    "  --texture FICHERO    textura cuadrada PCX o PNG, de lado potencia de dos\n"
    "  --size AxB           tamaño del fotograma (320x240 por omisión; el renderizador\n"
    "                       supone 4:3)\n"
    "  --angles A,B,C       giros alrededor de x, y, z en radianes (por omisión 0.45,0.6,0:\n"
    "                       de tres cuartos, desde arriba)\n"
    "  --camera X,Y,Z       posición del ojo, y hacia arriba (por omisión: encuadra el objeto)\n"
    "  --fov GRADOS         campo de visión horizontal (60 por omisión)\n"
    "  --light X,Y,Z[,RRGGBB]  una luz, y hacia arriba; repetible (por omisión: una blanca\n"
    "                       arriba a la izquierda del ojo)\n"
    "  --ambient RRGGBB     luz ambiente (202020 por omisión)\n"
    "  --background RRGGBB  color del fondo (000000 por omisión)\n"
    "  --two-sided          dibuja también las caras vueltas de espaldas\n"
    "Las opciones admiten --opción VALOR y --opción=VALOR.  Salida: 0 si todo fue bien,\n"
    "1 si algo falló, 2 si la orden está mal escrita o no puede mostrar lo pedido.\n";

bool parse_floats(const char* text, float* out, int32_t count)
{
    for (int32_t i = 0; i < count; i++) {
        char* end = nullptr;
        out[i] = std::strtof(text, &end);
        if (end == text || !std::isfinite(out[i]))
            return false;
        text = end;
        if (i + 1 < count) {
            if (*text != ',')
                return false;
            text++;
        }
    }
    return *text == '\0';
}

bool parse_colour(const char* text, uint32_t& out)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text || *end != '\0' || value > 0xFFFFFF || std::strlen(text) > 6)
        return false;
    out = static_cast<uint32_t>(value);
    return true;
}

// --light X,Y,Z[,RRGGBB]
bool parse_light(const char* text, Light& light)
{
    light = Light{};
    light.colour = 0xFFFFFF;
    light.attenuation[0] = 1;
    std::string value = text;
    const size_t commas = static_cast<size_t>(std::count(value.begin(), value.end(), ','));
    if (commas == 3) {
        const size_t last = value.rfind(',');
        if (!parse_colour(value.c_str() + last + 1, light.colour))
            return false;
        value.resize(last);
    }
    float xyz[3];
    if (!parse_floats(value.c_str(), xyz, 3))
        return false;
    light.position = {xyz[0], xyz[1], xyz[2]};
    return true;
}

bool is_power_of_two(int64_t n) { return n > 0 && (n & (n - 1)) == 0; }

// A square power-of-two texture from a PCX (one or three planes) or PNG file.
void load_texture(const char* path, ViewScene& view)
{
    const size_t n = std::strlen(path);
    const bool png = n >= 4 && (path[n - 3] | 0x20) == 'p' && (path[n - 2] | 0x20) == 'n' && (path[n - 1] | 0x20) == 'g';
    int64_t width = 0, height = 0;
    const std::vector<uint8_t> bytes = cli::read_file(path);
    if (png) {
        int w = 0, h = 0, channels = 0;
        const int size = int(std::min<size_t>(bytes.size(), 0x7FFFFFFF));
        // The header says the size: a picture of the wrong shape is refused
        // before it is decoded, which for a large one costs seconds.
        if (stbi_info_from_memory(bytes.data(), size, &w, &h, &channels) &&
            (w != h || !is_power_of_two(w) || w >= 32768))
            fatal_error("La textura \"%s\" mide %dx%d: debe ser cuadrada y potencia de dos", path, w, h);
        std::unique_ptr<unsigned char, StbFree> rgb(
            stbi_load_from_memory(bytes.data(), size, &w, &h, &channels, 3));
        if (!rgb)
            fatal_error("No puedo leer la textura \"%s\": no es un PNG que se pueda leer", path);
        width = w;
        height = h;
        if (width != height || !is_power_of_two(width) || width >= 32768)
            fatal_error("La textura \"%s\" mide %dx%d: debe ser cuadrada y potencia de dos", path, w, h);
        view.texture.resize(static_cast<size_t>(width * height));
        for (size_t i = 0; i < view.texture.size(); i++) {
            const unsigned char* p = rgb.get() + i * 3;
            view.texture[i] = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
        }
    } else {
        cli::subject = path;
        const PcxHeader header = read_pcx_header(path, bytes.data(), bytes.size());
        width = header.width;
        height = header.height;
        if (width != height || !is_power_of_two(width) || width >= 32768)
            fatal_error("La textura \"%s\" mide %ux%u: debe ser cuadrada y potencia de dos", path, header.width,
                        header.height);
        // Refused before allocating: a short file cannot fill a large header.
        if (!pcx_data_can_fill(header, bytes.size(), PcxLines::width))
            fatal_error("La textura \"%s\" termina antes de completar su imagen de %ux%u", path, header.width,
                        header.height);
        std::vector<uint8_t> pixels(pcx_decoded_size(header));
        uint8_t palette[768] = {};
        read_pcx_memory(path, bytes.data(), bytes.size(), pixels.data(), pixels.size(),
                        header.planes == 1 ? palette : nullptr, nullptr);
        view.texture.resize(static_cast<size_t>(width * height));
        if (header.planes == 1) {
            for (size_t i = 0; i < view.texture.size(); i++) {
                const uint8_t* c = palette + pixels[i] * 3;
                view.texture[i] = static_cast<uint32_t>(c[0]) << 16 | static_cast<uint32_t>(c[1]) << 8 | c[2];
            }
        } else {
            std::memcpy(view.texture.data(), pixels.data(), view.texture.size() * 4);
        }
    }
    view.texture_size = static_cast<int32_t>(width);
}

void render_usage(FILE* out)
{
    std::fprintf(out,
                 "Uso: yurn-mesh render FICHERO -o SALIDA.(png|ppm|jpg|bmp|tga) [opciones]\n"
                 "  Dibuja un fotograma (320 x 240 salvo --size) de la malla de FICHERO (formato\n"
                 "  de texto o 3DS) con el renderizador del motor y lo escribe en el formato que\n"
                 "  dice el nombre de SALIDA (- escribe PNG en la salida estándar).\n%s",
                 OPTIONS_HELP);
}

void view_usage(FILE* out)
{
    std::fprintf(out,
                 "Uso: yurn-mesh view FICHERO [opciones]\n"
                 "  Muestra la malla girando en una ventana: arrastrar la hace orbitar, la rueda\n"
                 "  acerca, las teclas 1-5 cambian los bits de modo 01..10, Espacio pausa,\n"
                 "  Escape termina.\n%s",
                 OPTIONS_HELP);
}

}  // namespace

int32_t parse_view_options(int argc, char** argv, bool render, ViewOptions& options)
{
    void (*const usage)(FILE*) = render ? render_usage : view_usage;
    const auto bad = [&](const std::string& option, const std::string& value) {
        usage_error("valor no válido para %s: \"%s\"", option.c_str(), value.c_str());
    };
    cli::Args args(argc, argv);
    std::string a;
    bool is_option = false;
    while (args.next(a, is_option)) {
        cli::answer_help_or_version(args, usage);
        if (!is_option) {
            if (options.file)
                usage_error("sobra el argumento \"%s\"", a.c_str());
            options.file = args.text();
            continue;
        }
        if (a == "--two-sided") {
            options.two_sided = true;
            continue;
        }
        const bool takes_value = a == "-o" || a == "--output" || a == "--mode" || a == "--texture" ||
                                 a == "--angles" || a == "--camera" || a == "--fov" || a == "--light" ||
                                 a == "--ambient" || a == "--background" || a == "--size";
        if (!takes_value)
            usage_error("opción desconocida \"%s\"", a.c_str());
        const std::string v = args.value(a);
        float values[3];
        uint32_t colour;
        if (a == "-o" || a == "--output") {
            if (!render)
                usage_error("view no escribe ficheros (%s)", a.c_str());
            options.output = v;
        } else if (a == "--mode") {
            if (!parse_colour(v.c_str(), colour) || colour > 0xFF)
                bad(a, v);
            options.mode = static_cast<int32_t>(colour);
        } else if (a == "--texture") {
            options.texture_path = v;
        } else if (a == "--size") {
            uint32_t w = 0, h = 0;
            if (!read_decimal_pair(v, 'x', 8192, &w, &h) || w < 8 || h < 8)
                usage_error("--size espera ANCHOxALTO, de 8 a 8192 cada uno, no \"%s\"", v.c_str());
            options.width = int32_t(w);
            options.height = int32_t(h);
            if (uint64_t(w) * 3 != uint64_t(h) * 4)
                cli::warn("%ux%u no es 4:3; el renderizador proyecta en 4:3 y la imagen saldrá estirada", w, h);
        } else if (a == "--angles") {
            if (!parse_floats(v.c_str(), values, 3))
                bad(a, v);
            options.angles = {values[0], values[1], values[2]};
            options.angles_given = true;
        } else if (a == "--camera") {
            if (!parse_floats(v.c_str(), values, 3))
                bad(a, v);
            options.camera = {values[0], values[1], values[2]};
            options.camera_given = true;
        } else if (a == "--fov") {
            if (!parse_floats(v.c_str(), values, 1) || values[0] <= 0 || values[0] >= 180)
                bad(a, v);
            options.fov = values[0];
        } else if (a == "--light") {
            Light light;
            if (!parse_light(v.c_str(), light))
                bad(a, v);
            options.lights.push_back(light);
        } else if (a == "--ambient") {
            if (!parse_colour(v.c_str(), options.ambient))
                bad(a, v);
        } else if (!parse_colour(v.c_str(), options.background)) {
            bad(a, v);
        }
    }
    if (!options.file || (render && options.output.empty())) {
        usage(stderr);
        std::exit(cli::EXIT_USAGE);
    }
    if (render) {
        const std::string ext = cli::extension(options.output);
        if (options.output != "-" && ext != "png" && ext != "ppm" && ext != "jpg" &&
            ext != "jpeg" && ext != "bmp" && ext != "tga")
            usage_error("no sé qué formato escribir en %s: usa .png, .ppm, .jpg, .bmp o .tga", options.output.c_str());
        cli::refuse_binary_terminal(options.output, "el PNG");
        for (const std::string& input : {std::string(options.file), options.texture_path})
            if (!input.empty() && cli::same_file(input, options.output))
                usage_error("la salida %s es el mismo fichero que la entrada %s", options.output.c_str(),
                            input.c_str());
    }
    return -1;
}

float framing_distance(const ViewScene& view, float fov)
{
    // The vertical field is the narrower one (4:3 frame).
    const double half = std::tan(fov * 3.141592653589793 / 360.0) * 0.75;
    return static_cast<float>(std::max(view.radius / half * 1.1, static_cast<double>(view.radius) + near + 1));
}

void place_camera(ViewScene& view, float distance)
{
    view.camera.position = {view.centre.x, -view.centre.y, view.centre.z - distance};
    view.camera.angles = {0, 0, 0};
}

Vector default_light_position(const ViewScene& view)
{
    const Vector eye = view.camera.position;
    const float reach = view.radius * 2;
    return {eye.x - reach, eye.y + 1.5f * reach, eye.z};
}

namespace {

// Ends the tool (exit 2) when mode cannot show what was asked: nothing drawn
// at all, an environment map without its texture, or a texture laid by
// texture coordinates on a 3DS mesh, whose loader reads none.
void check_mode(uint8_t mode, bool texture, bool is_3ds, const char* file)
{
    const uint8_t drawing = MODE_FLAT | MODE_GOURAUD | (texture ? MODE_TEXTURED : 0);
    if ((mode & drawing) == 0) {
        if (mode & (MODE_TEXTURED | MODE_ENVIRONMENT))
            usage_error("el modo %02X necesita una textura (--texture) y no dibujaría nada sin ella", mode);
        usage_error("el modo %02X no dibuja nada: hace falta 01 (plano), 02 (Gouraud) o 04 (textura, con "
                    "--texture); 08 (entorno) y 10 (aditivo) se suman a ellos",
                    mode);
    }
    if ((mode & MODE_ENVIRONMENT) && !(mode & MODE_TEXTURED && texture))
        usage_error("el modo %02X pide entorno (08), que solo se ve con 04 y --texture", mode);
    if (is_3ds && texture && (mode & MODE_TEXTURED) && !(mode & MODE_ENVIRONMENT))
        usage_error("%s es 3DS y el cargador no lee sus coordenadas de textura: la textura saldría de un solo "
                    "color.  Usa --mode 0C (entorno, por omisión con --texture en un 3DS) o 0E",
                    file);
    if ((mode & MODE_TEXTURED) && !texture)
        cli::warn("el modo %02X pide textura (04) sin --texture; se dibuja sin ella", mode);
}

}  // namespace

void build_view_scene(const ViewOptions& options, ViewScene& view)
{
    frame_width = options.width;
    frame_height = options.height;
    const bool textured = !options.texture_path.empty();
    if (textured) {
        load_texture(options.texture_path.c_str(), view);
        current_texture_size = view.texture_size;  // the loaders scale texture coordinates by it
    }
    const bool is_3ds = looks_like_3ds(options.file);
    cli::subject = options.file;
    if (is_3ds)
        view.scene.load_3ds(options.file);
    else
        view.scene.add_object(load_object(options.file));
    cli::subject.clear();

    float low[3] = {1e30f, 1e30f, 1e30f}, high[3] = {-1e30f, -1e30f, -1e30f};
    for (int32_t i = 0; i < view.scene.object_count; i++) {
        Object* object = view.scene.objects[i];
        if (options.mode >= 0)
            object->mode = static_cast<uint8_t>(options.mode);
        else if (textured)  // the texture as it is (06 adds the lit colour); by the normals on a 3DS mesh
            object->mode = is_3ds ? MODE_TEXTURED | MODE_ENVIRONMENT : MODE_TEXTURED;
        if (i == 0 || options.mode >= 0 || textured)
            check_mode(object->mode, textured, is_3ds, options.file);
        if (textured) {
            object->texture = view.texture.data();
            object->texture_size = view.texture_size;
        }
        object->two_sided = options.two_sided;
        if (object->vertex_count == 0)
            continue;
        for (int k = 0; k < 3; k++) {
            low[k] = std::min(low[k], object->bounds[2 * k]);
            high[k] = std::max(high[k], object->bounds[2 * k + 1]);
        }
    }
    uint64_t faces = 0;
    for (int32_t i = 0; i < view.scene.object_count; i++)
        faces += view.scene.objects[i]->face_count;
    if (faces == 0)
        cli::warn("%s no tiene caras: el fotograma solo muestra el fondo", options.file);
    if (low[0] <= high[0]) {
        view.centre = {(low[0] + high[0]) / 2, (low[1] + high[1]) / 2, (low[2] + high[2]) / 2};
        const float dx = high[0] - low[0], dy = high[1] - low[1], dz = high[2] - low[2];
        view.radius = std::max(0.5f * std::sqrt(dx * dx + dy * dy + dz * dz), 1.0f);
    }
    view.camera.fov = options.fov;
    if (options.camera_given)
        view.camera.position = options.camera;
    else
        place_camera(view, framing_distance(view, options.fov));
    if (view.radius * 2 > far - near)
        cli::warn("el objeto mide %g, más que la profundidad visible (%d)", static_cast<double>(view.radius * 2),
                  far - near);

    view.lights = options.lights;
    if (view.lights.empty()) {
        Light light{};
        light.position = default_light_position(view);
        light.colour = 0xFFFFFF;
        light.attenuation[0] = 1;
        view.lights.push_back(light);
    }
    for (Light& light : view.lights)
        view.scene.add_light(&light);
    view.scene.ambient = options.ambient;
}

// Turns every top-level object by angles about the centre of the bounds.
void turn_objects(ViewScene& view, const Vector& angles)
{
    const Matrix turn = rotation_matrix(angles.x, angles.y, angles.z, 0, 0, 0);
    const Vector moved = transform_point(view.centre, turn);
    // position (y up) such that centre stays where it is: c = R c + p.
    const Vector position = {view.centre.x - moved.x, -(view.centre.y - moved.y), view.centre.z - moved.z};
    for (int32_t i = 0; i < view.scene.object_count; i++) {
        view.scene.objects[i]->angles = angles;
        view.scene.objects[i]->position = position;
    }
}

namespace {

// Collects what stb writes, so the file goes out through one checked write.
void append_bytes(void* context, void* data, int size)
{
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

// The frame in the format the output's name says.
std::vector<uint8_t> encode_picture(const std::string& path, const std::vector<unsigned char>& rgb, int w, int h)
{
    const std::string ext = path == "-" ? "png" : cli::extension(path);
    std::vector<uint8_t> out;
    bool ok = true;
    if (ext == "ppm") {
        const std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
        out.assign(head.begin(), head.end());
        out.insert(out.end(), rgb.begin(), rgb.end());
    } else if (ext == "jpg" || ext == "jpeg") {
        ok = stbi_write_jpg_to_func(append_bytes, &out, w, h, 3, rgb.data(), 95);
    } else if (ext == "bmp") {
        ok = stbi_write_bmp_to_func(append_bytes, &out, w, h, 3, rgb.data());
    } else if (ext == "tga") {
        ok = stbi_write_tga_to_func(append_bytes, &out, w, h, 3, rgb.data());
    } else {
        ok = stbi_write_png_to_func(append_bytes, &out, w, h, 3, rgb.data(), w * 3);
    }
    if (!ok)
        cli::fail("no se pudo codificar el fotograma para %s", path.c_str());
    return out;
}

}  // namespace

int render_command(int argc, char** argv)
{
    ViewOptions options;
    const int32_t status = parse_view_options(argc, argv, true, options);
    if (status >= 0)
        return status;
    ViewScene view;
    build_view_scene(options, view);
    turn_objects(view, options.angles);
    const int32_t width = options.width, height = options.height;
    const size_t count = size_t(width) * size_t(height);
    std::vector<uint32_t> frame(count), depth(count, 0xFFFFFFFF);
    fill_buffer(frame.data(), options.background, int32_t(count));
    view.scene.render_scene(&view.camera, depth.data(), frame.data());

    std::vector<unsigned char> rgb(count * 3);
    for (size_t i = 0; i < count; i++) {
        rgb[i * 3] = static_cast<unsigned char>(frame[i] >> 16);
        rgb[i * 3 + 1] = static_cast<unsigned char>(frame[i] >> 8);
        rgb[i * 3 + 2] = static_cast<unsigned char>(frame[i]);
    }
    const std::vector<uint8_t> bytes = encode_picture(options.output, rgb, width, height);
    cli::write_file(options.output, bytes.data(), bytes.size());
    return 0;
}
