// yurn-meshgen: writes the meshes of the engine show (a torus, a torus knot, a
// sphere) in the engine's text mesh format or as a 3DS file.  Points are
// written with Z up, as both formats store them, and every triangle is wound
// so that (B - A) x (C - A) points out of the surface, the side it is seen from.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

bool write_text(const Mesh& m, FILE* f)
{
    std::fprintf(f, "%zu\r\n%zu\r\n", m.points.size(), m.corners.size() / 3);
    for (const P3& p : m.points) std::fprintf(f, "%.5f %.5f %.5f\r\n", p.x, p.y, p.z);
    for (size_t i = 0; i < m.corners.size(); i += 3)
        std::fprintf(f, "%u %u %u\r\n", m.corners[i].index, m.corners[i + 1].index, m.corners[i + 2].index);
    for (size_t i = 0; i < m.corners.size(); i += 3)
        std::fprintf(f, "%.5f %.5f %.5f %.5f %.5f %.5f\r\n", m.corners[i].s, m.corners[i].t, m.corners[i + 1].s,
                     m.corners[i + 1].t, m.corners[i + 2].s, m.corners[i + 2].t);
    return !std::ferror(f);
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

bool write_3ds(const Mesh& m, const char* name, FILE* f)
{
    if (m.points.size() > 0xFFFF || m.corners.size() / 3 > 0xFFFF) {
        std::fprintf(stderr, "yurn-meshgen: demasiados vértices o caras para un archivo 3ds\n");
        return false;
    }
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
    return std::fwrite(c.bytes.data(), 1, c.bytes.size(), f) == c.bytes.size();
}

void usage(FILE* out)
{
    std::fputs("Uso: yurn-meshgen FORMA [--format text|3ds] [--detail N,M] [--scale F] -o SALIDA\n"
               "  FORMA     torus (toro), knot (nudo toroidal (2, 3)) o sphere (esfera)\n"
               "  --format  text (formato de texto del motor, por omisión) o 3ds\n"
               "  --detail  segmentos a lo largo y alrededor de la superficie (48,16 por omisión)\n"
               "  --scale   factor que multiplica cada punto (1 por omisión)\n",
               out);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string shape, format = "text", out;
    int along = 48, around = 16;
    double scale = 1.0;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") { usage(stdout); return 0; }
        if ((a == "--format" || a == "-o" || a == "--detail" || a == "--scale") && i + 1 >= argc) {
            std::fprintf(stderr, "yurn-meshgen: falta el valor de %s\n", a.c_str());
            return 2;
        }
        if (a == "--format") format = argv[++i];
        else if (a == "-o") out = argv[++i];
        else if (a == "--scale") {
            char* end = nullptr;
            scale = std::strtod(argv[++i], &end);
            if (*end != 0 || !(scale > 0 && scale < 1000)) {
                std::fprintf(stderr, "yurn-meshgen: escala no válida \"%s\"\n", argv[i]);
                return 2;
            }
        } else if (a == "--detail") {
            if (std::sscanf(argv[++i], "%d,%d", &along, &around) != 2 || along < 3 || around < 3 || along > 1000 || around > 1000) {
                std::fprintf(stderr, "yurn-meshgen: detalle no válido \"%s\"\n", argv[i]);
                return 2;
            }
        } else if (shape.empty() && a[0] != '-') shape = a;
        else {
            std::fprintf(stderr, "yurn-meshgen: argumento desconocido \"%s\"\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (shape.empty() || out.empty() || (format != "text" && format != "3ds")) {
        usage(stderr);
        return 2;
    }
    Mesh m;
    if (shape == "torus") m = torus(along, around);
    else if (shape == "knot") m = knot(along, around);
    else if (shape == "sphere") m = sphere(along, around);
    else {
        std::fprintf(stderr, "yurn-meshgen: forma desconocida \"%s\"\n", shape.c_str());
        return 2;
    }
    for (P3& p : m.points) p = p * scale;
    FILE* f = std::fopen(out.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "yurn-meshgen: no puedo crear \"%s\"\n", out.c_str());
        return 1;
    }
    bool ok = format == "3ds" ? write_3ds(m, shape.c_str(), f) : write_text(m, f);
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "yurn-meshgen: error al escribir \"%s\"\n", out.c_str());
        std::remove(out.c_str());
        return 1;
    }
    return 0;
}
