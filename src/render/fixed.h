// 16.16 fixed point for the rasterisers, and the one float-to-integer
// truncation the renderer uses.  Right shifts of fixed values are arithmetic
// on purpose (C++20 defines them so): -1 >> 16 is -1, the row above 0.
#pragma once

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

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

#if defined(__wasm_simd128__)
// trunc_to_int of both double lanes of x, in 32-bit lanes 0 and 1 (2 and 3
// repeat them), for the page's SIMD build.  WebAssembly truncates a double
// lane by lane with a range test when asked for plain truncation, so this
// asks for the saturating packed conversion and puts back what trunc_to_int
// gives where that differs: 0x80000000 for NaN and out-of-range values.
inline v128_t trunc_to_int2(v128_t x)
{
    const v128_t fits = wasm_v128_and(wasm_f64x2_gt(x, wasm_f64x2_splat(-2147483649.0)),
                                      wasm_f64x2_lt(x, wasm_f64x2_splat(2147483648.0)));
    const v128_t t = wasm_i32x4_trunc_sat_f64x2_zero(x);
    return wasm_v128_bitselect(wasm_i32x4_shuffle(t, t, 0, 1, 0, 1), wasm_i32x4_splat(INT32_MIN),
                               wasm_i32x4_shuffle(fits, fits, 0, 2, 0, 2));
}
#endif
