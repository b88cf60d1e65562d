// Clipping against the six planes of the view volume: the vertex test and
// the new vertex where an edge crosses a plane.  Float arithmetic in double,
// each stored value (t, a coordinate, u, v) rounded to float.
#include "display/error.h"
#include "engine/engine.h"
#include "render/fixed.h"
#include "render/render.h"
#include "render/render_local.h"

namespace {

// Channel (shift 16 red, 8 green, 0 blue) interpolated at t in bits 16..23.
uint32_t interpolate_channel(uint32_t a, uint32_t b, int32_t shift, float t)
{
    const int32_t ca = static_cast<int32_t>((a >> shift) & 0xFF) << 16;
    const int32_t cb = static_cast<int32_t>((b >> shift) & 0xFF) << 16;
    const int32_t value = trunc_to_int(static_cast<double>(cb - ca) * t + ca);
    return ((static_cast<uint32_t>(value) >> 16) & 0xFF) << shift;
}

}  // namespace

int32_t outside_plane(const Vertex* vertex, int32_t plane)
{
    const Vector& p = vertex->transformed;
    switch (plane) {
    case 0: return p.z < near;
    case 1: return p.z > far;
    case 2: return p.y < -p.z;
    case 3: return p.y > p.z;
    case 4: return p.x < -p.z;
    case 5: return p.x > p.z;
    default: return 0;
    }
}

void clip_edge(Vertex* out, const Vertex* a, const Vertex* b, int32_t plane, uint8_t mode)
{
    const Vector& pa = a->transformed;
    const Vector& pb = b->transformed;
    const double ax = pa.x, ay = pa.y, az = pa.z, bx = pb.x, by = pb.y, bz = pb.z;
    double numerator = 0.0, denominator = 1.0;
    switch (plane) {
    case 0: numerator = near - az; denominator = bz - az; break;
    case 1: numerator = far - az; denominator = bz - az; break;
    case 2: numerator = az + ay; denominator = (ay - by) + az - bz; break;
    case 3: numerator = ay - az; denominator = (ay - by) + bz - az; break;
    case 4: numerator = az + ax; denominator = (ax - bx) + az - bz; break;
    case 5: numerator = ax - az; denominator = (ax - bx) + bz - az; break;
    default: break;
    }
    const float t = static_cast<float>(numerator / denominator);

    out->outcode = 0;
    out->state = VERTEX_LIT;  // not projected yet; the render pass must not light it
    out->transformed.x = static_cast<float>(ax + (bx - ax) * t);
    out->transformed.y = static_cast<float>(ay + (by - ay) * t);
    out->transformed.z = static_cast<float>(az + (bz - az) * t);
    const float zt = out->transformed.z;
    // Onto the inside: the top and left planes pull in by 0.999; on the bottom
    // and right planes the point lies on the plane, which counts as inside.
    switch (plane) {
    case 0: out->transformed.z = near + 1; break;
    case 1: out->transformed.z = far - 1; break;
    case 2: out->transformed.y = static_cast<float>(-static_cast<double>(zt) * 0.999); break;
    case 3: out->transformed.y = zt; break;
    case 4: out->transformed.x = static_cast<float>(-static_cast<double>(zt) * 0.999); break;
    case 5: out->transformed.x = zt; break;
    default: break;
    }
    if (outside_plane(out, plane))
        fatal_error("error de precisión en el cálculo de la intersección");

    if (mode & MODE_GOURAUD)
        out->colour = interpolate_channel(a->colour, b->colour, 16, t) |
                      interpolate_channel(a->colour, b->colour, 8, t) |
                      interpolate_channel(a->colour, b->colour, 0, t);
    if (mode & MODE_TEXTURED) {
        // Depth-weighted, so the texture stays put along the cut edge; the
        // plain interpolation stands in when that goes negative.
        const double oz = out->transformed.z;
        const double wa_u = static_cast<double>(a->u) * az, wa_v = static_cast<double>(a->v) * az;
        const float u = static_cast<float>((wa_u + t * (static_cast<double>(b->u) * bz - wa_u)) / oz);
        const float v = static_cast<float>((wa_v + t * (static_cast<double>(b->v) * bz - wa_v)) / oz);
        if (u < 0 || v < 0) {
            out->u = static_cast<float>(a->u + t * (static_cast<double>(b->u) - a->u));
            out->v = static_cast<float>(a->v + t * (static_cast<double>(b->v) - a->v));
        } else {
            out->u = u;
            out->v = v;
        }
    }
}
