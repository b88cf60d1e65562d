// The instruction-set levels this machine has, for running a kernel
// comparison at each of them in one process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "display/cpu.h"

// SSE2 up to the processor's own level on x86; the plain level elsewhere.
inline std::vector<int32_t> machine_levels()
{
    const int32_t top = cpu_set_cap(CPU_AVX512);
    std::vector<int32_t> levels;
    for (int32_t level = top == CPU_PLAIN ? CPU_PLAIN : CPU_SSE2; level <= top; level++)
        levels.push_back(level);
    cpu_set_cap(-1);
    return levels;
}

inline std::string level_name(int32_t level)
{
    const char* names[] = {"plain", "sse2", "avx2", "avx512"};
    return level >= 0 && level <= 3 ? names[level] : "?";
}

// While alive, the level is capped as asked; afterwards YURN_CPU rules again.
struct LevelCap {
    explicit LevelCap(int32_t level) { cpu_set_cap(level); }
    ~LevelCap() { cpu_set_cap(-1); }
};
