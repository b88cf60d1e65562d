// yurn-mesh render: one 320 x 240 frame of a mesh drawn by the engine's
// renderer, written as PNG.  Also the option parsing and scene set-up that
// yurn-mesh view shares.
#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "display/display.h"
#include "files/files.h"
#include "render/render.h"
#include "render_options.h"
#include "shell/shell.h"

namespace {

constexpr int32_t WIDTH = 320, HEIGHT = 240;

struct StbFree {
    void operator()(unsigned char* p) const { stbi_image_free(p); }
};

const char* const OPTIONS_HELP =
    "  --mode HEX           bits de modo de los objetos: 01 plano, 02 Gouraud, 04 textura,\n"
    "                       08 entorno, 10 aditivo (por omisión: como se cargan; 04 con --texture)\n"
    "  --texture FICHERO    textura cuadrada PCX o PNG, de lado potencia de dos\n"
    "  --angles A,B,C       giros alrededor de x, y, z en radianes\n"
    "  --camera X,Y,Z       posición del ojo, y hacia arriba (por omisión: encuadra el objeto)\n"
    "  --fov GRADOS         campo de visión horizontal (60 por omisión)\n"
    "  --light X,Y,Z[,RRGGBB]  una luz, y hacia arriba; repetible (por omisión: una blanca en el ojo)\n"
    "  --ambient RRGGBB     luz ambiente (202020 por omisión)\n"
    "  --background RRGGBB  color del fondo (000000 por omisión)\n"
    "  --two-sided          dibuja también las caras vueltas de espaldas\n";

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

std::vector<uint8_t> read_whole_file(const char* path)
{
    File file(std::fopen(path, "rb"));
    if (!file)
        fatal_error("No encuentro el fichero \"%s\"", path);
    std::vector<uint8_t> bytes;
    read_to_end(file.get(), bytes);  // on a read error, what was read goes on to the decoder
    return bytes;
}

bool is_power_of_two(int64_t n) { return n > 0 && (n & (n - 1)) == 0; }

// A square power-of-two texture from a PCX (one or three planes) or PNG file.
void load_texture(const char* path, ViewScene& view)
{
    const size_t n = std::strlen(path);
    const bool png = n >= 4 && (path[n - 3] | 0x20) == 'p' && (path[n - 2] | 0x20) == 'n' && (path[n - 1] | 0x20) == 'g';
    int64_t width = 0, height = 0;
    if (png) {
        int w = 0, h = 0, channels = 0;
        std::unique_ptr<unsigned char, StbFree> rgb(stbi_load(path, &w, &h, &channels, 3));
        if (!rgb)
            fatal_error("No puedo leer la textura \"%s\": %s", path, stbi_failure_reason());
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
        const std::vector<uint8_t> bytes = read_whole_file(path);
        const PcxHeader header = read_pcx_header(path, bytes.data(), bytes.size());
        width = header.width;
        height = header.height;
        if (width != height || !is_power_of_two(width) || width >= 32768)
            fatal_error("La textura \"%s\" mide %ux%u: debe ser cuadrada y potencia de dos", path, header.width,
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
                 "Uso: yurn-mesh render FICHERO -o SALIDA.png [opciones]\n"
                 "  Dibuja un fotograma de 320 x 240 de la malla de FICHERO (formato de texto o\n"
                 "  3DS) con el renderizador del motor y lo escribe en PNG.\n%s",
                 OPTIONS_HELP);
}

}  // namespace

int32_t parse_view_options(int argc, char** argv, bool render, ViewOptions& options)
{
    const auto usage = [&](FILE* out) {
        if (render)
            render_usage(out);
        else
            std::fprintf(out,
                         "Uso: yurn-mesh view FICHERO [opciones]\n"
                         "  Muestra la malla girando en una ventana: arrastrar la hace orbitar, la rueda\n"
                         "  acerca, las teclas 1-5 cambian los bits de modo 01..10, Espacio pausa,\n"
                         "  Escape termina.\n%s",
                         OPTIONS_HELP);
    };
    const auto bad = [&](const char* option, const char* value) {
        std::fprintf(stderr, "yurn-mesh: valor no válido para %s: \"%s\"\n", option, value);
        return 1;
    };
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(a, "--two-sided")) {
            options.two_sided = true;
            continue;
        }
        const bool takes_value = !std::strcmp(a, "-o") || !std::strcmp(a, "--mode") || !std::strcmp(a, "--texture") ||
                                 !std::strcmp(a, "--angles") || !std::strcmp(a, "--camera") ||
                                 !std::strcmp(a, "--fov") || !std::strcmp(a, "--light") ||
                                 !std::strcmp(a, "--ambient") || !std::strcmp(a, "--background");
        if (takes_value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "yurn-mesh: falta el valor de %s\n", a);
                return 1;
            }
            const char* v = argv[++i];
            float values[3];
            uint32_t colour;
            if (!std::strcmp(a, "-o") && render) {
                options.output = v;
            } else if (!std::strcmp(a, "-o")) {
                std::fprintf(stderr, "yurn-mesh: view no escribe ficheros (-o)\n");
                return 1;
            } else if (!std::strcmp(a, "--mode")) {
                if (!parse_colour(v, colour) || colour > 0xFF)
                    return bad(a, v);
                options.mode = static_cast<int32_t>(colour);
            } else if (!std::strcmp(a, "--texture")) {
                options.texture_path = v;
            } else if (!std::strcmp(a, "--angles")) {
                if (!parse_floats(v, values, 3))
                    return bad(a, v);
                options.angles = {values[0], values[1], values[2]};
            } else if (!std::strcmp(a, "--camera")) {
                if (!parse_floats(v, values, 3))
                    return bad(a, v);
                options.camera = {values[0], values[1], values[2]};
                options.camera_given = true;
            } else if (!std::strcmp(a, "--fov")) {
                if (!parse_floats(v, values, 1) || values[0] <= 0 || values[0] >= 180)
                    return bad(a, v);
                options.fov = values[0];
            } else if (!std::strcmp(a, "--light")) {
                Light light;
                if (!parse_light(v, light))
                    return bad(a, v);
                options.lights.push_back(light);
            } else if (!std::strcmp(a, "--ambient")) {
                if (!parse_colour(v, options.ambient))
                    return bad(a, v);
            } else if (!parse_colour(v, options.background)) {
                return bad(a, v);
            }
            continue;
        }
        if (a[0] == '-' && a[1] != '\0') {
            std::fprintf(stderr, "yurn-mesh: opción desconocida \"%s\"\n", a);
            return 1;
        }
        if (options.file) {
            std::fprintf(stderr, "yurn-mesh: sobra el argumento \"%s\"\n", a);
            return 1;
        }
        options.file = a;
    }
    if (!options.file || (render && !options.output)) {
        usage(stderr);
        return 1;
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

void build_view_scene(const ViewOptions& options, ViewScene& view)
{
    frame_width = WIDTH;
    frame_height = HEIGHT;
    if (options.texture_path) {
        load_texture(options.texture_path, view);
        current_texture_size = view.texture_size;  // the loaders scale texture coordinates by it
    }
    if (looks_like_3ds(options.file))
        view.scene.load_3ds(options.file);
    else
        view.scene.add_object(load_object(options.file));

    float low[3] = {1e30f, 1e30f, 1e30f}, high[3] = {-1e30f, -1e30f, -1e30f};
    for (int32_t i = 0; i < view.scene.object_count; i++) {
        Object* object = view.scene.objects[i];
        if (options.mode >= 0)
            object->mode = static_cast<uint8_t>(options.mode);
        else if (options.texture_path)
            object->mode = MODE_TEXTURED;  // the texture as it is; 06 adds the lit colour
        if (options.texture_path) {
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
        std::fprintf(stderr, "yurn-mesh: aviso: el objeto mide %g, más que la profundidad visible (%d)\n",
                     static_cast<double>(view.radius * 2), far - near);

    view.lights = options.lights;
    if (view.lights.empty()) {
        Light light{};
        light.position = view.camera.position;
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

int render_command(int argc, char** argv)
{
    ViewOptions options;
    const int32_t status = parse_view_options(argc, argv, true, options);
    if (status >= 0)
        return status;
    ViewScene view;
    build_view_scene(options, view);
    turn_objects(view, options.angles);
    std::vector<uint32_t> frame(WIDTH * HEIGHT), depth(WIDTH * HEIGHT, 0xFFFFFFFF);
    fill_buffer(frame.data(), options.background, WIDTH * HEIGHT);
    view.scene.render_scene(&view.camera, depth.data(), frame.data());

    std::vector<unsigned char> rgb(WIDTH * HEIGHT * 3);
    for (int32_t i = 0; i < WIDTH * HEIGHT; i++) {
        rgb[i * 3] = static_cast<unsigned char>(frame[i] >> 16);
        rgb[i * 3 + 1] = static_cast<unsigned char>(frame[i] >> 8);
        rgb[i * 3 + 2] = static_cast<unsigned char>(frame[i]);
    }
    if (!stbi_write_png(options.output, WIDTH, HEIGHT, 3, rgb.data(), WIDTH * 3)) {
        std::fprintf(stderr, "yurn-mesh: no puedo escribir \"%s\"\n", options.output);
        return 1;
    }
    return 0;
}
