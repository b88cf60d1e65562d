// The little-endian fields every reader and writer of stored numbers shares.
#include <gtest/gtest.h>

#include <cstdint>

#include "files/little_endian.h"

TEST(LittleEndian, LowByteFirstWithTheTopBitKept)
{
    static constexpr uint8_t bytes[6] = {0x34, 0x12, 0xFE, 0xFF, 0xFF, 0x80};
    EXPECT_EQ(read_le16(bytes), 0x1234u);
    EXPECT_EQ(read_le16(bytes + 2), 0xFFFEu);
    EXPECT_EQ(read_le32(bytes), 0xFFFE1234u);
    EXPECT_EQ(read_le32(bytes + 2), 0x80FFFFFEu);
    // A 3DS chunk length is this word taken as signed.
    EXPECT_EQ(int32_t(read_le32(bytes + 2)), -2130706434);
    static_assert(read_le16(bytes) == 0x1234);
}

TEST(LittleEndian, WritesWhatTheReadsTakeBackAndNothingAround)
{
    uint8_t bytes[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    write_le32(bytes + 1, 0x01020304u);
    write_le16(bytes + 5, 0xBEEF);
    const uint8_t expected[8] = {0xAA, 0x04, 0x03, 0x02, 0x01, 0xEF, 0xBE, 0xAA};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(bytes[i], expected[i]) << i;
    EXPECT_EQ(read_le32(bytes + 1), 0x01020304u);
    EXPECT_EQ(read_le16(bytes + 5), 0xBEEFu);
}
