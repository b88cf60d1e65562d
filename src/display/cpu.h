// The instruction-set level the hot kernels pick at run time, capped by
// YURN_CPU.  Defined in display/cpu.cpp; asked by the frame conversion, the
// blend, the fade kernels, the span fillers, tests and benchmarks.
#pragma once

#include <cstdint>

// What the processor offers, asked by every module that picks a kernel at run
// time (frame conversion, blend, the fades, the span fillers) and by tests and
// benchmarks.  The answer is the hardware's, capped by the environment
// variable YURN_CPU: "sse2", "avx2" or "avx512" make every cpu_has_* above
// that level say no (a cap above what the processor has changes nothing); an
// unknown value is reported on standard error in Spanish and caps nothing.
// Without x86 every answer is no and the plain kernels run; the WebAssembly
// SIMD build reports CPU_SIMD128, and a cap of CPU_PLAIN (cpu_set_cap(0))
// makes its dispatchers take the plain kernels.
constexpr int32_t CPU_PLAIN = 0;   // no x86 vector set: the plain kernels
constexpr int32_t CPU_SSE2 = 1;    // generic x86-64
constexpr int32_t CPU_AVX2 = 2;    // AVX2 (and SSSE3)
constexpr int32_t CPU_AVX512 = 3;  // AVX-512 F and BW
constexpr int32_t CPU_SIMD128 = 1; // WebAssembly SIMD (128-bit), in the page's SIMD build: SSE2's rank
int32_t cpu_level();               // the level in force, cap applied
bool cpu_has_ssse3();              // off under a cap of sse2
bool cpu_has_avx2();
bool cpu_has_avx512bw();  // AVX-512 F and BW

// Sets the cap in-process (one of the CPU_* levels; -1 reads YURN_CPU again)
// and returns the level now in force.  Every dispatcher (convert_frame,
// pack_24, pack_16, dither_8, blend, the fade kernels) picks its kernels anew
// on its next call, so a test can run the same comparison at each level the
// machine has.  Main thread, between frames.
int32_t cpu_set_cap(int32_t level);
// Bumped by every cpu_set_cap: a dispatcher that cached its kernels at another
// value picks them again.
uint32_t cpu_generation();
