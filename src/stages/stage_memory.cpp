// The stages' memory: frame buffers on a 64-byte boundary and the fatal
// report when a stage cannot have what it asks for.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/error.h"
#include "stages/stages_local.h"

void FrameFree::operator()(uint32_t* pixels) const { std::free(pixels); }

void free_frame(uint32_t* pixels) { std::free(pixels); }

void out_of_stage_memory(const char* format, va_list args)
{
    char message[256];
    std::vsnprintf(message, sizeof message, format, args);
    fatal_error("%s", message);
}

FrameBuffer allocate_frame(int64_t pixels, const char* format, ...)
{
    // aligned_alloc wants a multiple of the alignment, and a size of 0 would
    // give no buffer at all: round up, and take one 64-byte block at least.
    constexpr uint64_t MAX_BYTES = uint64_t(SIZE_MAX) / 2;
    uint32_t* buffer = nullptr;
    if (pixels >= 0 && uint64_t(pixels) <= MAX_BYTES / 4) {
        const size_t bytes = size_t(pixels) * 4;
        const size_t rounded = bytes == 0 ? FRAME_ALIGNMENT : (bytes + FRAME_ALIGNMENT - 1) / FRAME_ALIGNMENT * FRAME_ALIGNMENT;
        buffer = static_cast<uint32_t*>(std::aligned_alloc(FRAME_ALIGNMENT, rounded));
        if (buffer)
            std::memset(buffer, 0, rounded);
    }
    if (!buffer) {
        va_list args;
        va_start(args, format);
        out_of_stage_memory(format, args);
    }
    return FrameBuffer(buffer);
}
