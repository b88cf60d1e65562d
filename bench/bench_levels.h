// The instruction-set levels a kernel benchmark runs at: YURN_CPU's alone when
// it is set, else every level this processor has, lowest first.
#pragma once

#include <cstdlib>
#include <vector>

#include "bench_ratio.h"
#include "display/cpu.h"

inline std::vector<RatioSetting> cpu_level_settings()
{
    const char* names[] = {"plain", "sse2", "avx2", "avx512"};
    const char* chosen = std::getenv("YURN_CPU");
    if (chosen && *chosen) {
        const int32_t level = cpu_set_cap(-1);
        return {{names[level], [] { return true; }}};
    }
    std::vector<RatioSetting> settings;
    for (int32_t level = CPU_SSE2; level <= CPU_AVX512; level++)
        settings.push_back({names[level], [level] { return cpu_set_cap(level) == level; }});
    return settings;
}
