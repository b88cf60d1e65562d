// Buffer fills and the renderer's engine-wide values.
#include <algorithm>

#include "render/render.h"

uint32_t depth_generation = 0xFFFF0000u;
uint8_t additive_pass = 0;
uint8_t interlace_flag = 0;
int32_t interlace_parity = 0;

void fill_buffer(uint32_t* buffer, uint32_t value, int32_t count)
{
    if (count > 0)
        std::fill_n(buffer, count, value);
}

void fill_rows(uint32_t* buffer, uint32_t value, int32_t row_length, int32_t row_count)
{
    if (row_count <= 0 || row_length <= 0)
        return;
    if (!interlace_flag) {
        std::fill_n(buffer, static_cast<int64_t>(row_length) * row_count, value);
        return;
    }
    for (int32_t row = 0; row < row_count; row++)
        if (((interlace_parity ^ row) & 1) == 0)
            std::fill_n(buffer + static_cast<int64_t>(row) * row_length, row_length, value);
}
