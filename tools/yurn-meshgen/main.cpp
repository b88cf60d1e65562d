// yurn-meshgen: writes the meshes of the engine show (a torus, a torus knot, a
// sphere) in the engine's text mesh format or as a 3DS file.  Points are
// written with Z up, as both formats store them, and every triangle is wound
// so that (B - A) x (C - A) points out of the surface, the side it is seen from.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shell/command_line.h"
#include "common/cli.h"

using cli::usage_error;

namespace {

struct P3 {
    double x, y, z;
};
P3 operator-(P3 a, P3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
P3 operator+(P3 a, P3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
P3 operator*(P3 a, double k) { return {a.x * k, a.y * k, a.z * k}; }
double dot3(P3 a, P3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
P3 cross(P3 a, P3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
P3 unit(P3 a)
{
    double l = std::sqrt(dot3(a, a));
    return l > 0 ? a * (1 / l) : a;
}

struct Corner {
    uint32_t index;
    double s, t;  // texture fractions, t growing upward
};
struct Mesh {
    std::vector<P3> points;
    std::vector<P3> centres;  // per point: a point inside the surface behind it
    std::vector<Corner> corners;  // three per face
};

// Adds the triangle a, b, c wound to face away from the inside point of a.
void add_triangle(Mesh& m, Corner a, Corner b, Corner c)
{
    P3 n = cross(m.points[b.index] - m.points[a.index], m.points[c.index] - m.points[a.index]);
    P3 out = m.points[a.index] - m.centres[a.index];
    if (dot3(n, out) < 0) std::swap(b, c);
    m.corners.insert(m.corners.end(), {a, b, c});
}

// A tube of `around` x `along` quads swept along a closed curve.
template <class Curve>
Mesh tube(int along, int around, double radius, Curve curve)
{
    Mesh m;
    for (int i = 0; i < along; i++) {
        double t = 2 * M_PI * i / along;
        P3 c = curve(t);
        P3 tangent = unit(curve(t + 1e-4) - curve(t - 1e-4));
        P3 side = unit(cross(tangent, P3{0, 0, 1}));
        if (dot3(side, side) == 0) side = {1, 0, 0};
        P3 up = cross(side, tangent);
        for (int j = 0; j < around; j++) {
            double a = 2 * M_PI * j / around;
            m.points.push_back(c + side * (radius * std::cos(a)) + up * (radius * std::sin(a)));
            m.centres.push_back(c);
        }
    }
    auto at = [&](int i, int j) { return uint32_t((i % along) * around + j % around); };
    for (int i = 0; i < along; i++)
        for (int j = 0; j < around; j++) {
            double s0 = double(i) / along, s1 = double(i + 1) / along;
            double t0 = double(j) / around, t1 = double(j + 1) / around;
            Corner a{at(i, j), s0, t0}, b{at(i + 1, j), s1, t0}, c{at(i + 1, j + 1), s1, t1}, d{at(i, j + 1), s0, t1};
            add_triangle(m, a, b, c);
            add_triangle(m, a, c, d);
        }
    return m;
}

Mesh torus(int along, int around)
{
    return tube(along, around, 18, [](double t) { return P3{40 * std::cos(t), 40 * std::sin(t), 0}; });
}

Mesh knot(int along, int around)
{
    // The (2, 3) torus knot.
    return tube(along, around, 9, [](double t) {
        double r = 34 + 16 * std::cos(3 * t);
        return P3{r * std::cos(2 * t), r * std::sin(2 * t), 16 * std::sin(3 * t)};
    });
}

// A sphere whose seam and poles share their vertices, so vertex normals are
// smooth everywhere; texture coordinates are per face corner.
Mesh sphere(int slices, int stacks)
{
    Mesh m;
    const double radius = 50;
    m.points.push_back({0, 0, radius});
    for (int j = 1; j < stacks; j++) {
        double phi = M_PI * j / stacks;
        for (int i = 0; i < slices; i++) {
            double th = 2 * M_PI * i / slices;
            m.points.push_back({radius * std::sin(phi) * std::cos(th), radius * std::sin(phi) * std::sin(th),
                                radius * std::cos(phi)});
        }
    }
    m.points.push_back({0, 0, -radius});
    m.centres.assign(m.points.size(), P3{0, 0, 0});
    const uint32_t south = uint32_t(m.points.size() - 1);
    auto at = [&](int i, int j) -> uint32_t {
        if (j == 0) return 0;
        if (j == stacks) return south;
        return uint32_t(1 + (j - 1) * slices + i % slices);
    };
    for (int j = 0; j < stacks; j++)
        for (int i = 0; i < slices; i++) {
            double s0 = double(i) / slices, s1 = double(i + 1) / slices;
            double t0 = 1 - double(j) / stacks, t1 = 1 - double(j + 1) / stacks;
            Corner a{at(i, j), s0, t0}, b{at(i + 1, j), s1, t0}, c{at(i + 1, j + 1), s1, t1}, d{at(i, j + 1), s0, t1};
            if (j != 0) add_triangle(m, a, b, c);           // no slivers at the poles
            if (j != stacks - 1) add_triangle(m, a, c, d);
        }
    return m;
}

__attribute__((format(printf, 2, 3))) void append(std::string& out, const char* format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out.append(line, size_t(std::max(0, std::min(n, int(sizeof line) - 1))));
}

std::string text_file(const Mesh& m)
{
    std::string f;
    append(f, "%zu\r\n%zu\r\n", m.points.size(), m.corners.size() / 3);
    for (const P3& p : m.points) append(f, "%.5f %.5f %.5f\r\n", p.x, p.y, p.z);
    for (size_t i = 0; i < m.corners.size(); i += 3)
        append(f, "%u %u %u\r\n", m.corners[i].index, m.corners[i + 1].index, m.corners[i + 2].index);
    for (size_t i = 0; i < m.corners.size(); i += 3)
        append(f, "%.5f %.5f %.5f %.5f %.5f %.5f\r\n", m.corners[i].s, m.corners[i].t, m.corners[i + 1].s,
               m.corners[i + 1].t, m.corners[i + 2].s, m.corners[i + 2].t);
    return f;
}

// Chunk writer: a chunk is id, 32-bit length (header included), body.
struct Chunks {
    std::vector<uint8_t> bytes;
    void u16(uint32_t v) { bytes.insert(bytes.end(), {uint8_t(v), uint8_t(v >> 8)}); }
    void u32(uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); }
    void f32(double v)
    {
        float f = float(v);
        uint32_t u;
        std::memcpy(&u, &f, 4);
        u32(u);
    }
    size_t open(uint16_t id)
    {
        u16(id);
        u32(0);
        return bytes.size() - 6;
    }
    void close(size_t at)
    {
        uint32_t len = uint32_t(bytes.size() - at);
        for (int k = 0; k < 4; k++) bytes[at + 2 + k] = uint8_t(len >> (8 * k));
    }
};

std::vector<uint8_t> file_3ds(const Mesh& m, const char* name)
{
    if (m.points.size() > 0xFFFF || m.corners.size() / 3 > 0xFFFF)
        usage_error("%zu vértices y %zu caras: un archivo 3ds admite 65535 de cada", m.points.size(),
                    m.corners.size() / 3);
    Chunks c;
    size_t main_chunk = c.open(0x4D4D);
    size_t editor = c.open(0x3D3D);
    size_t object = c.open(0x4000);
    c.bytes.insert(c.bytes.end(), name, name + std::strlen(name) + 1);
    size_t mesh = c.open(0x4100);
    size_t vertices = c.open(0x4110);
    c.u16(uint32_t(m.points.size()));
    for (const P3& p : m.points) { c.f32(p.x); c.f32(p.y); c.f32(p.z); }
    c.close(vertices);
    size_t faces = c.open(0x4120);
    c.u16(uint32_t(m.corners.size() / 3));
    for (size_t i = 0; i < m.corners.size(); i += 3) {
        c.u16(m.corners[i].index); c.u16(m.corners[i + 1].index); c.u16(m.corners[i + 2].index);
        c.u16(0);
    }
    c.close(faces);
    c.close(mesh);
    c.close(object);
    c.close(editor);
    c.close(main_chunk);
    return c.bytes;
}

void usage(FILE* out)
{
    std::fputs("Uso: yurn-meshgen FORMA [--format text|3ds] [--detail N,M] [--scale F] -o SALIDA\n"
               "     yurn-meshgen --help | --version\n"
               "  FORMA     torus (toro), knot (nudo toroidal (2, 3)) o sphere (esfera)\n"
               "  --format  text (formato de texto del motor, por omisión; SALIDA no acaba\n"
               "            en .3ds) o 3ds\n"
               "  --detail  segmentos a lo largo y alrededor de la superficie (48,16 por omisión)\n"
               "  --scale   factor que multiplica cada punto (1 por omisión)\n"
               "  -o        el fichero que escribir (- para la salida estándar); uno anterior\n"
               "            solo se sustituye cuando el nuevo está completo\n"
               "Las opciones admiten --opción VALOR y --opción=VALOR.  Salida: 0 si todo fue\n"
               "bien, 1 si algo falló, 2 si la orden está mal escrita.\n",
               out);
}

}  // namespace

int main(int argc, char** argv)
{
    cli::init("yurn-meshgen");
    cli::Args args(argc, argv);
    std::string shape, format = "text", out, a;
    int along = 48, around = 16;
    double scale = 1.0;
    bool is_option = false;
    while (args.next(a, is_option)) {
        cli::answer_help_or_version(args, usage);
        if (a == "--format") format = args.value(a);
        else if (a == "-o" || a == "--output") out = args.value(a);
        else if (a == "--scale") {
            const std::string v = args.value(a);
            char* end = nullptr;
            scale = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != 0 || !(scale > 0 && scale < 1000))
                usage_error("escala no válida \"%s\" (de 0 a 1000)", v.c_str());
        } else if (a == "--detail") {
            const std::string v = args.value(a);
            uint32_t n = 0, m = 0;
            if (!read_decimal_pair(v, ',', 1000, &n, &m) || n < 3 || m < 3)
                usage_error("detalle no válido \"%s\" (N,M de 3 a 1000)", v.c_str());
            along = int(n);
            around = int(m);
        } else if (shape.empty() && !is_option) shape = a;
        else usage_error("argumento desconocido \"%s\"", a.c_str());
    }
    if (shape.empty() || out.empty()) {
        usage(stderr);
        return cli::EXIT_USAGE;
    }
    if (format != "text" && format != "3ds")
        usage_error("formato desconocido \"%s\" (text o 3ds)", format.c_str());
    if (format == "3ds")
        cli::refuse_binary_terminal(out, "el 3DS");
    // The loaders take a name ending in .3ds for a 3DS file, whatever it holds.
    if (format == "text" && cli::extension(out) == "3ds")
        usage_error("%s acaba en .3ds y se leería como 3DS: usa --format 3ds, u otro nombre para el formato de texto",
                    out.c_str());
    Mesh m;
    if (shape == "torus") m = torus(along, around);
    else if (shape == "knot") m = knot(along, around);
    else if (shape == "sphere") m = sphere(along, around);
    else usage_error("forma desconocida \"%s\" (torus, knot o sphere)", shape.c_str());
    for (P3& p : m.points) p = p * scale;
    if (format == "3ds") {
        const std::vector<uint8_t> bytes = file_3ds(m, shape.c_str());
        cli::write_file(out, bytes.data(), bytes.size());
    } else {
        const std::string text = text_file(m);
        cli::write_file(out, text.data(), text.size());
    }
    return 0;
}
