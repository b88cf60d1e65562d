// frame_digest: what the browser and the native program compare frame by
// frame, so it must see every byte, the length, and nothing else.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "platform/platform.h"

namespace {

std::vector<uint8_t> random_bytes(uint32_t seed, size_t size)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes)
        b = uint8_t(rng());
    return bytes;
}

TEST(FrameDigest, SameBytesSameDigest)
{
    const std::vector<uint8_t> a = random_bytes(1, 320 * 240 * 4);
    const std::vector<uint8_t> b = a;
    EXPECT_EQ(frame_digest(a.data(), a.size()), frame_digest(b.data(), b.size()));
}

TEST(FrameDigest, EveryByteCounts)
{
    // A single bit flipped anywhere (body and tail past the last whole block)
    // changes the digest.
    const size_t size = 320 * 240 * 3 + 7;
    std::vector<uint8_t> bytes = random_bytes(2, size);
    const uint64_t base = frame_digest(bytes.data(), size);
    std::set<uint64_t> seen = {base};
    for (size_t at : {size_t(0), size_t(31), size_t(32), size_t(1000), size / 2, size - 8, size - 1}) {
        bytes[at] ^= 0x10;
        const uint64_t changed = frame_digest(bytes.data(), size);
        EXPECT_NE(changed, base) << "byte " << at;
        seen.insert(changed);
        bytes[at] ^= 0x10;
    }
    EXPECT_EQ(seen.size(), 8u);
    EXPECT_EQ(frame_digest(bytes.data(), size), base);
}

TEST(FrameDigest, LengthCounts)
{
    const std::vector<uint8_t> zeros(4096, 0);
    std::set<uint64_t> seen;
    for (size_t size : {size_t(0), size_t(1), size_t(32), size_t(33), size_t(64), size_t(4096)})
        seen.insert(frame_digest(zeros.data(), size));
    EXPECT_EQ(seen.size(), 6u);
}

TEST(FrameDigest, SwappedWordsDiffer)
{
    // Lanes see their words in order: two frames with the same pixels in a
    // different place differ.
    std::vector<uint8_t> a = random_bytes(3, 256), b = a;
    for (int i = 0; i < 4; i++)
        std::swap(b[i], b[64 + i]);
    EXPECT_NE(frame_digest(a.data(), a.size()), frame_digest(b.data(), b.size()));
}

}  // namespace
