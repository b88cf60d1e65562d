// Buffer fills: whole buffers and the rows the interlace settings draw.
#include <cstring>
#include <cwchar>

#include "render/render.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(uint32_t), "wmemset stores 32-bit words");

// The C library's fills pick the widest stores the CPU has at run time (and
// string instructions for long runs): several times faster than a loop the
// generic build compiles.  memset when the word is one byte repeated (the
// depth clear, black), wmemset, the same machinery for 32-bit words, otherwise.
void store_words(uint32_t* buffer, uint32_t value, size_t count)
{
    if (value == (value & 0xFF) * 0x01010101u)
        std::memset(buffer, static_cast<int>(value & 0xFF), count * sizeof(uint32_t));
    else
        std::wmemset(reinterpret_cast<wchar_t*>(buffer), static_cast<wchar_t>(value), count);
}

}  // namespace

void fill_buffer(uint32_t* buffer, uint32_t value, int32_t count)
{
    if (count > 0)
        store_words(buffer, value, static_cast<size_t>(count));
}

void fill_rows(uint32_t* buffer, uint32_t value, int32_t row_length, int32_t row_count)
{
    if (row_count <= 0 || row_length <= 0)
        return;
    if (!interlace_flag) {
        store_words(buffer, value, static_cast<size_t>(row_length) * static_cast<size_t>(row_count));
        return;
    }
    for (int32_t row = 0; row < row_count; row++)
        if (((interlace_parity ^ row) & 1) == 0)
            store_words(buffer + static_cast<size_t>(row) * static_cast<size_t>(row_length), value,
                        static_cast<size_t>(row_length));
}
