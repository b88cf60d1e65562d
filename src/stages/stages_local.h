// Private to stages/: how a stage gets its memory and gives it back, and how
// a stage reads a picture of a fixed size.  Every stage allocates its state
// record and its frame buffers through these (the stand-ins keep their frame
// in a std::vector), so a failed allocation ends in fatal_error with the
// stage's own message, and every release leaves its record in the same state.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "shell/shell.h"

// Frame buffers start on a 64-byte boundary: the blend and fade kernels rely
// on it (a vector store that splits a cache line costs twice).
constexpr size_t FRAME_ALIGNMENT = 64;

struct FrameFree {
    void operator()(uint32_t* pixels) const;
};
// A frame buffer while its stage is being built; the stage keeps the raw
// pointer (in its state and in the record's output) once create or prepare
// has succeeded, and gives it back with free_frame.
using FrameBuffer = std::unique_ptr<uint32_t[], FrameFree>;

// A frame buffer of `pixels` 32-bit pixels, zero-filled, on a FRAME_ALIGNMENT
// boundary.  A negative count, one too large for memory or a failed
// allocation ends in fatal_error with the formatted message.
FrameBuffer allocate_frame(int64_t pixels, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Gives back a frame buffer from allocate_frame; null does nothing.
void free_frame(uint32_t* pixels);

// fatal_error with a message formatted from format and args; the allocation
// helpers end here.
[[noreturn]] void out_of_stage_memory(const char* format, va_list args);

// A stage's state record, value-initialised (zeros, atomics at 0).  A failed
// allocation ends in fatal_error with the formatted message.
template <class T>
__attribute__((format(printf, 1, 2))) std::unique_ptr<T> allocate_state(const char* format, ...)
{
    try {
        return std::make_unique<T>();
    } catch (const std::bad_alloc&) {
        va_list args;
        va_start(args, format);
        out_of_stage_memory(format, args);
    }
}

// How every release begins: takes the state record out of record index and
// leaves the record with data and output null and ready 0 (create and the
// entry points stay).  The caller frees the buffers the state holds; the
// state itself goes with the returned pointer.  Null when the record holds no
// state.  Main thread.
template <class T>
std::unique_ptr<T> take_stage_state(int32_t index)
{
    Stage& stage = stage_table[index];
    std::unique_ptr<T> state(static_cast<T*>(stage.data));
    stage.data = nullptr;
    stage.output = nullptr;
    stage.ready.store(0, std::memory_order_relaxed);
    return state;
}

// Reads the three-plane PCX picture at path, which must measure exactly
// width x height, into pixels (width * height 0x00RRGGBB pixels).  The file
// is opened once; its header is checked before anything is decoded, and a
// one-plane picture or one of another size is refused naming the file, as
// "<what> \"path\" ..." ("La foto", "La textura").  The reader's own failures
// end in its own messages.
void read_rgb_picture(const char* what, const char* path, uint32_t* pixels, int32_t width, int32_t height);
