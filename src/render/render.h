// The software renderer's front door: draws a Scene (engine/engine.h) into a
// caller-owned frame buffer and depth buffer, and fills 32-bit buffers.
// Single-threaded: one render at a time, on the thread that owns the Scene.
//
// The entry point, render_scene, is an operation of the Scene: it is declared
// with the Scene record in engine/engine.h (the Scene, like the music, is one
// of the program's two objects with methods), and defined here, in
// render/render_pass.cpp.  A caller includes engine/engine.h to build the
// scene and call render_scene, and this header for the fills and the values
// below; render/render_local.h is the renderer's inside (clipping, triangle
// set-up, the fillers) and stays in render/.
//
// What the renderer reads and writes, besides the caller's buffers:
//   reads   frame_width, frame_height (shell/frame.h): the buffers' size and
//           the projection's centre;
//           the Scene, its objects and lights, and the Camera;
//           interlace_flag, interlace_parity (below), set by the caller;
//           the instruction-set level (display/cpu.h), to pick span kernels.
//   writes  depth_generation (below): cleared buffer at its start, one step
//           down per frame;
//           additive_pass (below): which of the two passes is being drawn;
//           current_texture_size (engine/engine.h): each drawn object's
//           texture side, set by the triangle set-up;
//           each drawn object's transformed vertices, view box, bounds and
//           clip flags (engine/engine.h says which fields).
//   The depth generation, the pass flag, the texture size and the interlace
//   settings are engine-wide, one each for the whole process, shared by every
//   scene (and the texture size by the loaders); defined in render/globals.cpp,
//   the texture size in engine/object.cpp.
//   A clipped point that still lands outside ends in fatal_error
//   (display/error.h).
//
// Per frame the caller prepares the frame buffer (render_scene never clears
// it, e.g. fill_buffer with a background) and calls render_scene once with
// frame_width x frame_height words of frame and of depth.  The depth buffer
// is the renderer's: render_scene clears each buffer it is given at that
// buffer's first frame in every cycle of depth_generation (65,536 frames of
// the whole process), and the first time it sees the buffer, so several
// buffers may take turns; the caller only keeps it between frames.  A buffer
// freed and another allocated at the same address within one cycle counts as
// the same buffer, so a new depth buffer starts filled with 0xFFFFFFFF (as
// the scene stage's does).
#pragma once

#include <cstdint>

// View-volume depth limits: a point is drawn when near <= z <= far.
constexpr int32_t near = 10;
constexpr int32_t far = 3500;

// Depth-buffer words are depth_generation | integer depth; a smaller word is
// nearer.  Starts at 0xFFFF0000 (a new cycle: render_scene then clears each
// depth buffer at its next frame) and drops by 0x10000 per rendered frame,
// wrapping.  Render thread only.
extern uint32_t depth_generation;

// 0 during the opaque pass, 1 during the additive pass (and after it, until
// the next render_scene); written by render_scene, read by the fillers.
// Render thread only.
extern uint8_t additive_pass;

// Interlaced drawing: when interlace_flag is non-zero, the fillers and
// fill_rows skip every row y with (interlace_parity ^ y) & 1.  Both 0 unless
// a caller sets them.  Render thread only.
extern uint8_t interlace_flag;
extern int32_t interlace_parity;

// Stores value into count consecutive words of buffer.  Used to clear depth
// buffers (0xFFFFFFFF) and frames.
void fill_buffer(uint32_t* buffer, uint32_t value, int32_t count);

// Stores value into a buffer of row_count rows of row_length words, only into
// the rows the interlace settings draw.
void fill_rows(uint32_t* buffer, uint32_t value, int32_t row_length, int32_t row_count);
