// Meshes built in code for the renderer's tests and benchmark: a sphere, a
// cube and a torus with outward-facing faces and texture coordinates, and a
// checkerboard texture.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/engine.h"

namespace render_scenes {

inline Vertex vertex_at(const Vector& position, uint32_t colour = 0)
{
    Vertex vertex{};
    vertex.position = position;
    vertex.colour = colour;
    return vertex;
}

struct Triangle {
    uint32_t a, b, c;
    float uv[6];
};

// Builds a finished Object; each face is wound so that its normal points away
// from centre_of(position of its centroid), i.e. outwards.
template <class Centre>
Object* build(const std::vector<Vector>& points, const std::vector<Triangle>& triangles, Centre centre_of)
{
    Object* object = create_object(static_cast<uint32_t>(points.size()), static_cast<uint32_t>(triangles.size()));
    for (size_t i = 0; i < points.size(); i++)
        object->vertices[i] = vertex_at(points[i]);
    for (size_t f = 0; f < triangles.size(); f++) {
        Triangle t = triangles[f];
        const Vector& a = points[t.a];
        const Vector& b = points[t.b];
        const Vector& c = points[t.c];
        const Vector n = triangle_normal(a, b, c);
        const Vector mid = {(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3, (a.z + b.z + c.z) / 3};
        const Vector inner = centre_of(mid);
        const Vector out = {mid.x - inner.x, mid.y - inner.y, mid.z - inner.z};
        if (n.x * out.x + n.y * out.y + n.z * out.z < 0) {
            std::swap(t.b, t.c);
            std::swap(t.uv[2], t.uv[4]);
            std::swap(t.uv[3], t.uv[5]);
        }
        Face& face = object->faces[f];
        face.vertices[0] = &object->vertices[t.a];
        face.vertices[1] = &object->vertices[t.b];
        face.vertices[2] = &object->vertices[t.c];
        for (int k = 0; k < 6; k++)
            face.uv[k] = t.uv[k];
    }
    finish_object(object);
    return object;
}

// A grid of (rows + 1) x (columns + 1) points from a parametric surface, two
// triangles per cell, texture coordinates spanning 0 .. texture_size - 1.
template <class Surface, class Centre>
Object* grid(int32_t rows, int32_t columns, float texture_size, Surface surface, Centre centre_of)
{
    std::vector<Vector> points;
    for (int32_t i = 0; i <= rows; i++)
        for (int32_t j = 0; j <= columns; j++)
            points.push_back(surface(static_cast<float>(i) / rows, static_cast<float>(j) / columns));
    std::vector<Triangle> triangles;
    const float s = texture_size - 1;
    for (int32_t i = 0; i < rows; i++) {
        for (int32_t j = 0; j < columns; j++) {
            const uint32_t p00 = i * (columns + 1) + j, p01 = p00 + 1, p10 = p00 + columns + 1, p11 = p10 + 1;
            const float u0 = s * j / columns, u1 = s * (j + 1) / columns, v0 = s * i / rows, v1 = s * (i + 1) / rows;
            triangles.push_back({p00, p10, p11, {u0, v0, u0, v1, u1, v1}});
            triangles.push_back({p00, p11, p01, {u0, v0, u1, v1, u1, v0}});
        }
    }
    return build(points, triangles, centre_of);
}

inline Object* make_sphere(float radius, int32_t rings, int32_t segments, float texture_size = 64)
{
    const float pi = 3.14159265f;
    return grid(
        rings, segments, texture_size,
        [=](float a, float b) {
            const float theta = a * pi, phi = b * 2 * pi;
            return Vector{radius * std::sin(theta) * std::cos(phi), -radius * std::cos(theta),
                          radius * std::sin(theta) * std::sin(phi)};
        },
        [](const Vector&) { return Vector{0, 0, 0}; });
}

inline Object* make_torus(float major, float minor, int32_t rings, int32_t sides, float texture_size = 64)
{
    const float pi = 3.14159265f;
    return grid(
        rings, sides, texture_size,
        [=](float a, float b) {
            const float theta = a * 2 * pi, phi = b * 2 * pi;
            const float r = major + minor * std::cos(phi);
            return Vector{r * std::cos(theta), minor * std::sin(phi), r * std::sin(theta)};
        },
        [=](const Vector& p) {
            const float d = std::sqrt(p.x * p.x + p.z * p.z);
            return d > 0 ? Vector{p.x / d * major, 0, p.z / d * major} : Vector{0, 0, 0};
        });
}

// Eight shared corners, twelve triangles, each side mapped over the whole texture.
inline Object* make_cube(float half, float texture_size = 64)
{
    std::vector<Vector> points;
    for (int32_t i = 0; i < 8; i++)
        points.push_back({i & 1 ? half : -half, i & 2 ? half : -half, i & 4 ? half : -half});
    const float s = texture_size - 1;
    const uint32_t sides[6][4] = {{0, 1, 3, 2}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 3, 7, 5}};
    std::vector<Triangle> triangles;
    for (const auto& q : sides) {
        triangles.push_back({q[0], q[1], q[2], {0, 0, s, 0, s, s}});
        triangles.push_back({q[0], q[2], q[3], {0, 0, s, s, 0, s}});
    }
    return build(points, triangles, [](const Vector&) { return Vector{0, 0, 0}; });
}

// side x side checkerboard of two colours in squares of cell texels, with a
// gradient so that orientation shows.
inline std::vector<uint32_t> checkerboard(int32_t side, int32_t cell, uint32_t a, uint32_t b)
{
    std::vector<uint32_t> texels(static_cast<size_t>(side) * side);
    for (int32_t y = 0; y < side; y++)
        for (int32_t x = 0; x < side; x++)
            texels[y * side + x] = (((x / cell) ^ (y / cell)) & 1 ? a : b) | static_cast<uint32_t>(x * 255 / side);
    return texels;
}

}  // namespace render_scenes
