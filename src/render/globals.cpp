// Definitions of the renderer's engine-wide values (declared in render/render.h).
#include "render/render.h"

uint32_t depth_generation = 0xFFFF0000u;
uint8_t additive_pass = 0;
uint8_t interlace_flag = 0;
int32_t interlace_parity = 0;
