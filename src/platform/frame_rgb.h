// A displayed frame in RGB: the one routine that reads the display's pixel
// formats back (32 and 24 bits, 16 bits as 5-6-5 or 5-5-5, 8-bit palette
// indices).  The web backend draws its canvas with it, the SDL backend its
// 8-bit mode, and the frame capture writes its images and video from it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// How frame_to_rgb lays out each pixel it writes.
enum RgbLayout : int32_t {
    RGB_BYTES = 0,   // 3 bytes: R, G, B (image files, video frames)
    RGBA_BYTES = 1,  // 4 bytes: R, G, B, 255 (a canvas's ImageData)
    XRGB_WORDS = 2,  // one native 32-bit word 0x00RRGGBB (a texture in XRGB8888)
};

// Writes frame.width * frame.height pixels of frame into out (rows packed, as
// the frame's), reading frame.pixels, depth, rgb565 and palette only.  32 bits:
// the word 0x00RRGGBB (the top byte ignored); 24: bytes B, G, R; 16: a
// little-endian word, 5-6-5 when rgb565 is 1 else 5-5-5, each field widened
// to 8 bits by repeating its top bits, as a display does; 8: the palette's
// (r, g, b).  No palette at 8 bits, or any other depth, gives black.  The
// loop for the depth and layout is chosen once per call.  Any thread.
void frame_to_rgb(const PresentedFrame& frame, RgbLayout layout, uint8_t* out);
