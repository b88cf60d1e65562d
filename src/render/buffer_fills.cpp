// Buffer fills: whole buffers and the rows the interlace settings draw.
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

#include <cstdint>
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
#if defined(__wasm_simd128__)
    // In the page the C library's fills are plain loops (wmemset a word at a
    // time): 16-byte stores from the first 16-byte boundary instead.
    size_t i = 0;
    for (; i < count && (reinterpret_cast<uintptr_t>(buffer + i) & 15) != 0; i++)
        buffer[i] = value;
    const v128_t words = wasm_i32x4_splat(static_cast<int32_t>(value));
    for (; i + 16 <= count; i += 16) {
        wasm_v128_store(buffer + i, words);
        wasm_v128_store(buffer + i + 4, words);
        wasm_v128_store(buffer + i + 8, words);
        wasm_v128_store(buffer + i + 12, words);
    }
    for (; i + 4 <= count; i += 4)
        wasm_v128_store(buffer + i, words);
    for (; i < count; i++)
        buffer[i] = value;
#else
    if (value == (value & 0xFF) * 0x01010101u)
        std::memset(buffer, static_cast<int>(value & 0xFF), count * sizeof(uint32_t));
    else
        std::wmemset(reinterpret_cast<wchar_t*>(buffer), static_cast<wchar_t>(value), count);
#endif
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
