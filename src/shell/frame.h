// The frame size and the display depth: three process-wide integers set at
// start-up (shell/shell.cpp) and defined in shell/globals.cpp.  The stages,
// the renderer and the tools that render read the frame size; the frame
// conversion reads the depth.  The shell's chief header (shell/shell.h)
// includes this one; a module that needs only these three, as the renderer
// does, includes this alone.
#pragma once

#include <cstdint>

extern int32_t frame_width;    // 320; width of every frame buffer in pixels; set at start-up, main thread
extern int32_t frame_height;   // 240; its height
extern int32_t display_depth;  // bits per pixel of the display: 32 at start-up, then 32, 24, 16 or 8 as
                               // init_display settles it; read by convert_frame; main thread
