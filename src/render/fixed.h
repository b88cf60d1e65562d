// 16.16 fixed point for the rasterisers, and the one float-to-integer
// truncation the renderer uses.  Right shifts of fixed values are arithmetic
// on purpose (C++20 defines them so): -1 >> 16 is -1, the row above 0.
#pragma once

#include <cstdint>

using fixed = int32_t;  // value x 65536

constexpr int32_t FIXED_SHIFT = 16;

// Truncation toward zero of a float (carried in double) to a signed 32-bit
// integer.  A value that does not fit, and NaN, give 0x80000000, what the x86
// conversion instructions give; the range check keeps the cast defined.
constexpr int32_t trunc_to_int(double value)
{
    if (!(value > -2147483649.0 && value < 2147483648.0))
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Integer part (floor) of a fixed value.
constexpr int32_t fixed_floor(fixed value) { return value >> FIXED_SHIFT; }

// Fixed value of a float, as the rasterisers' set-up computes it.
constexpr double to_fixed(float value) { return static_cast<double>(value) * 65536.0; }
