// Chooses the backend for a run; the frame digest.
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void stderr_fatal(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::exit(1);
}

const char* strerror_reason(int error) { return std::strerror(error); }
const char* special_file(uint32_t) { return "un fichero especial"; }

}  // namespace

const Platform* platform = nullptr;
PlatformFatal platform_fatal = stderr_fatal;
PlatformReason platform_reason = strerror_reason;
PlatformFileKind platform_file_kind = special_file;
PlatformPlayerPost platform_player_post = [](int32_t, double) {};
PlatformPlayerView platform_player_view = []() { return PlayerView{}; };

void select_platform(const PlatformConfig& config)
{
#if defined(__EMSCRIPTEN__)
    web_configure(config);
    platform = config.headless ? &web_virtual_platform : &web_platform;
#else
    if (config.headless) {
        headless_configure(config);
        platform = &headless_platform;
    } else {
        sdl_configure(config);
        platform = &sdl_platform;
    }
#endif
}

namespace {

constexpr uint32_t PRIME_1 = 0x9E3779B1u;
constexpr uint32_t PRIME_2 = 0x85EBCA77u;
constexpr uint32_t PRIME_3 = 0xC2B2AE3Du;
constexpr int32_t LANES = 8;

constexpr uint32_t rotate_left(uint32_t value, int bits) { return value << bits | value >> (32 - bits); }

constexpr uint32_t mix(uint32_t lane, uint32_t word) { return rotate_left(lane + word * PRIME_2, 13) * PRIME_1; }

}  // namespace

// Eight independent 32-bit lanes over little-endian words (a loop that
// vectorises, also in WebAssembly), then the tail bytes, the size and a final
// avalanche into 64 bits.  Not cryptographic: it tells frames apart.
uint64_t frame_digest(const uint8_t* bytes, size_t size)
{
    uint32_t lanes[LANES];
    for (int32_t k = 0; k < LANES; k++)
        lanes[k] = PRIME_1 * uint32_t(k + 1);
    size_t i = 0;
    for (; i + 4 * LANES <= size; i += 4 * LANES) {
        uint32_t words[LANES];
        std::memcpy(words, bytes + i, sizeof words);
        for (int32_t k = 0; k < LANES; k++)
            lanes[k] = mix(lanes[k], words[k]);
    }
    uint64_t h = uint64_t(size) * 0x9E3779B97F4A7C15ull;
    for (const uint32_t lane : lanes)
        h = (h ^ lane) * 0xC2B2AE3D27D4EB4Full + PRIME_3;
    for (; i < size; i++)
        h = (h ^ bytes[i]) * 0x165667B19E3779F9ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 32;
    return h;
}
