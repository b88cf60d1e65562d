// Stand-in stages: small stages that follow the stage protocol, laid out by
// the "standin" script in the show's records (no picture files needed).
//
//  pattern  draws colour bars, a bar moving with the ticks and its own index
//           in large digits; never ends its interval by itself.
//  early    the same picture on a grey ground; ends its interval once it has
//           seen STANDIN_EARLY_TICKS ticks, as a cross-fade ends after its fade.
#pragma once

#include <cstdint>

constexpr uint32_t STANDIN_EARLY_TICKS = 127;

void standin_pattern_create(int32_t index, int32_t width, int32_t height);
void standin_early_create(int32_t index, int32_t width, int32_t height);

// The ticks a stand-in stage has seen (for tests); 0 for a record that is not one.
uint32_t standin_ticks(int32_t index);
