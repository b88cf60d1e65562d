// Chooses the backend for a run; the frame digest.
#include <cstring>

#include "platform/platform.h"

const Platform* platform = nullptr;

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

constexpr uint64_t PRIME_1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t PRIME_2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t PRIME_3 = 0x165667B19E3779F9ull;

constexpr uint64_t rotate_left(uint64_t value, int bits) { return value << bits | value >> (64 - bits); }

constexpr uint64_t mix(uint64_t lane, uint64_t word) { return rotate_left(lane + word * PRIME_2, 31) * PRIME_1; }

}  // namespace

// Four independent lanes over little-endian 64-bit words (so the loop keeps
// four multiplies in flight), then the tail bytes, the size and a final
// avalanche.  Not cryptographic: it tells frames apart, nothing more.
uint64_t frame_digest(const uint8_t* bytes, size_t size)
{
    uint64_t lanes[4] = {PRIME_1 + PRIME_2, PRIME_2, 0, 0 - PRIME_1};
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        for (size_t k = 0; k < 4; k++) {
            uint64_t word;
            std::memcpy(&word, bytes + i + 8 * k, 8);
            lanes[k] = mix(lanes[k], word);
        }
    }
    uint64_t h = uint64_t(size) * PRIME_3;
    for (const uint64_t lane : lanes)
        h = rotate_left(h ^ mix(0, lane), 27) * PRIME_1 + PRIME_3;
    for (; i < size; i++)
        h = rotate_left(h ^ bytes[i] * PRIME_3, 11) * PRIME_1;
    h ^= h >> 33;
    h *= PRIME_2;
    h ^= h >> 29;
    h *= PRIME_3;
    h ^= h >> 32;
    return h;
}
