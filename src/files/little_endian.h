// Little-endian numbers in stored bytes: the one way the readers (the
// archive, the PCX reader, the 3DS loader, yurn-pak) take a 16- or 32-bit
// field from bytes in memory, and the writers put one back.  Each call reads
// or writes exactly 2 or 4 bytes at p: the caller has checked they are there.
#pragma once

#include <cstdint>

constexpr uint16_t read_le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

constexpr uint32_t read_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr void write_le16(uint8_t* p, uint16_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

constexpr void write_le32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(value >> (8 * i));
}
