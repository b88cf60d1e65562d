// Triangle set-up: projection once per vertex per pass, and the filler the
// object's mode picks.
#include "engine/engine.h"
#include "render/render_local.h"
#include "shell/frame.h"

void draw_triangle(const Object* object, Vertex* const triangle[3], uint32_t face_colour,
                   uint32_t* frame_buffer, uint32_t* depth_buffer)
{
    // x and y side by side: the two divisions by z are one packed division,
    // each lane rounded exactly as its own division would be.
    using Pair = double __attribute__((vector_size(16)));
    const Pair half = {static_cast<double>(frame_width / 2), static_cast<double>(frame_height / 2)};
    for (int32_t k = 0; k < 3; k++) {
        Vertex* vertex = triangle[k];
        if (vertex->state & VERTEX_PROJECTED)
            continue;
        const Vector& p = vertex->transformed;
        const Pair screen = half + half * Pair{p.x, p.y} / static_cast<double>(p.z);
        vertex->screen_x = static_cast<float>(screen[0]);
        vertex->screen_y = static_cast<float>(screen[1]);
        vertex->state |= VERTEX_PROJECTED;
    }
    current_texture_size = object->texture_size;

    uint8_t mode = object->mode;
    // Without a texture to read, a texture mode draws as if its bit were off.
    if (!texture_usable(object->texture, object->texture_size))
        mode &= static_cast<uint8_t>(~MODE_TEXTURED);
    // First match wins.
    if ((mode & (MODE_TEXTURED | MODE_GOURAUD)) == (MODE_TEXTURED | MODE_GOURAUD))
        fill_textured_gouraud(triangle, object->texture, frame_buffer, depth_buffer);
    else if (mode & MODE_TEXTURED)
        fill_textured(triangle, object->texture, frame_buffer, depth_buffer);
    else if (mode & MODE_GOURAUD)
        fill_gouraud(triangle, frame_buffer, depth_buffer);
    else if (mode & MODE_FLAT)
        fill_flat(triangle, face_colour, frame_buffer, depth_buffer);
}
