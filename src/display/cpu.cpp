// What the processor offers, as the kernel dispatchers see it: the hardware's
// instruction sets capped by YURN_CPU (sse2, avx2, avx512) or by cpu_set_cap,
// so that every level can be run, measured and tested on one machine.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "display/cpu.h"

namespace {

constexpr int32_t CAP_UNREAD = -2;  // YURN_CPU not looked at yet
constexpr int32_t NO_CAP = -1;

// Constant-initialised, so the span fillers may ask during static start-up.
std::atomic<int32_t> cap{CAP_UNREAD};
std::atomic<uint32_t> generation{0};

int32_t hardware_level()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
        return CPU_AVX512;
    if (__builtin_cpu_supports("avx2"))
        return CPU_AVX2;
    if (__builtin_cpu_supports("sse2"))
        return CPU_SSE2;
#elif defined(__wasm_simd128__)
    return CPU_SIMD128;  // built for WebAssembly SIMD: the page loads this build only where it runs
#endif
    return CPU_PLAIN;
}

bool hardware_ssse3()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
#else
    return false;
#endif
}

// Case does not matter.  An unknown value is not worth ending the show for: it is reported and the
// processor's own level stands.
int32_t cap_from_environment()
{
    const char* value = std::getenv("YURN_CPU");
    if (!value || !*value)
        return NO_CAP;
    if (!strcasecmp(value, "sse2"))
        return CPU_SSE2;
    if (!strcasecmp(value, "avx2"))
        return CPU_AVX2;
    if (!strcasecmp(value, "avx512"))
        return CPU_AVX512;
    std::fprintf(stderr,
                 "Aviso: YURN_CPU=\"%s\" no es un nivel conocido (sse2, avx2 o avx512); "
                 "se usa lo que ofrece el procesador.\n",
                 value);
    return NO_CAP;
}

int32_t current_cap()
{
    int32_t c = cap.load(std::memory_order_relaxed);
    if (c == CAP_UNREAD) {
        c = cap_from_environment();
        cap.store(c, std::memory_order_relaxed);
    }
    return c;
}

}  // namespace

int32_t cpu_level()
{
    const int32_t level = hardware_level();
    const int32_t c = current_cap();
    return c != NO_CAP && c < level ? c : level;
}

int32_t cpu_set_cap(int32_t level)
{
    cap.store(level < 0 ? cap_from_environment() : level, std::memory_order_relaxed);
    generation.fetch_add(1, std::memory_order_relaxed);
    return cpu_level();
}

uint32_t cpu_generation() { return generation.load(std::memory_order_relaxed); }

bool cpu_has_ssse3()
{
    // Between SSE2 and AVX2: a cap of sse2 turns it off, a higher one leaves it.
    const int32_t c = current_cap();
    return hardware_ssse3() && (c == NO_CAP || c >= CPU_AVX2);
}

bool cpu_has_avx2() { return cpu_level() >= CPU_AVX2; }

bool cpu_has_avx512bw() { return cpu_level() >= CPU_AVX512; }
