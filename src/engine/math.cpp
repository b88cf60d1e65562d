// Vector and matrix math of the 3D engine.
//
// Every expression is evaluated as written, left to right, with double
// intermediates; each value stored into a Vector or Matrix is rounded to its
// 32-bit float there and nowhere else.  Keep that shape when editing: a
// reordered sum or an early float rounding changes results in the last bit.
#include <cmath>

#include "engine/engine.h"

float dot(const Vector& a, const Vector& b)
{
    return static_cast<float>(double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z);
}

Vector triangle_normal(const Vector& a, const Vector& b, const Vector& c)
{
    const double ux = double(b.x) - a.x, uy = double(b.y) - a.y, uz = double(b.z) - a.z;
    const double wx = double(c.x) - a.x, wy = double(c.y) - a.y, wz = double(c.z) - a.z;
    return { static_cast<float>(uy * wz - wy * uz),
             static_cast<float>(uz * wx - wz * ux),
             static_cast<float>(wy * ux - uy * wx) };
}

void normalise(Vector& v)
{
    const double length = std::sqrt(double(v.x) * v.x + double(v.y) * v.y + double(v.z) * v.z);
    // A degenerate face or a vertex no face uses has no direction: it stays
    // (0, 0, 0), which lights nothing and keeps every later sum finite.
    if (length == 0.0)
        return;
    v.x = static_cast<float>(v.x / length);
    v.y = static_cast<float>(v.y / length);
    v.z = static_cast<float>(v.z / length);
}

void matrix_multiply(Matrix& out, const Matrix& a, const Matrix& b)
{
    // Built in a local so that out may alias a or b.
    Matrix r;
    for (int row = 0; row < 4; ++row) {
        const double b0 = b.m[row * 3], b1 = b.m[row * 3 + 1], b2 = b.m[row * 3 + 2];
        for (int j = 0; j < 3; ++j)
            r.m[row * 3 + j] = static_cast<float>(b0 * a.m[j] + b1 * a.m[3 + j] + b2 * a.m[6 + j]);
    }
    // a's translation is added once, after row 3 has been stored.
    for (int j = 0; j < 3; ++j)
        r.m[9 + j] = static_cast<float>(double(r.m[9 + j]) + a.m[9 + j]);
    out = r;
}

void matrix_invert_rigid(Matrix& out, const Matrix& m)
{
    // Valid only when rows 0-2 are orthonormal; nothing checks it.
    Matrix r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r.m[i * 3 + j] = m.m[j * 3 + i];
    for (int j = 0; j < 3; ++j)
        r.m[9 + j] = static_cast<float>(
            -(double(m.m[9]) * m.m[j * 3] + double(m.m[10]) * m.m[j * 3 + 1] + double(m.m[11]) * m.m[j * 3 + 2]));
    out = r;
}

Matrix rotation_matrix(float a, float b, float c, float px, float py, float pz)
{
    const double ca = std::cos(double(a)), sa = std::sin(double(a));
    const double cb = std::cos(double(b)), sb = std::sin(double(b));
    const double cc = std::cos(double(c)), sc = std::sin(double(c));
    Matrix r;
    r.m[0] = static_cast<float>(cb * cc);
    r.m[1] = static_cast<float>(ca * sc + sa * sb * cc);
    r.m[2] = static_cast<float>(sa * sc - ca * sb * cc);
    r.m[3] = static_cast<float>(-cb * sc);
    r.m[4] = static_cast<float>(ca * cc - sa * sb * sc);
    r.m[5] = static_cast<float>(sa * cc + ca * sb * sc);
    r.m[6] = static_cast<float>(sb);
    r.m[7] = static_cast<float>(-sa * cb);
    r.m[8] = static_cast<float>(ca * cb);
    // Callers give y pointing up; engine space points it down.
    r.m[9] = px;
    r.m[10] = -py;
    r.m[11] = pz;
    return r;
}

Matrix projection_scale(float fov_degrees)
{
    // 0.008726646259971648 is pi/360; the half angle is spelled out as the
    // degrees-to-radians product halved, in this order.
    const double half = double(fov_degrees) * 2 * 0.008726646259971648 * 0.5;
    const double k = 1.0 / std::tan(half);
    Matrix r{};
    r.m[0] = static_cast<float>(k);
    // Fixed 4/3: square pixels on a 4:3 frame whatever the frame size.
    r.m[4] = static_cast<float>(k * 1.3333333333333333);
    r.m[8] = 1.0f;
    return r;
}
