// Buffer fills: whole runs, interlaced rows, empty counts.
#include <gtest/gtest.h>

#include <vector>

#include "render/render.h"

namespace {

struct Interlace {
    Interlace(uint8_t flag, int32_t parity)
    {
        interlace_flag = flag;
        interlace_parity = parity;
    }
    ~Interlace()
    {
        interlace_flag = 0;
        interlace_parity = 0;
    }
};

TEST(FillBuffer, StoresCountWordsAndNoMore)
{
    std::vector<uint32_t> buffer(10, 7);
    fill_buffer(buffer.data(), 0xFFFFFFFF, 6);
    EXPECT_EQ(buffer, (std::vector<uint32_t>{~0u, ~0u, ~0u, ~0u, ~0u, ~0u, 7, 7, 7, 7}));
    fill_buffer(buffer.data(), 1, 0);
    EXPECT_EQ(buffer[0], ~0u);
}

TEST(FillBuffer, AnyValueAtAnyOffsetAndLength)
{
    // Words of one repeated byte and words of four different bytes take
    // different ways through the library; both store exactly count words.
    for (uint32_t value : {0u, 0xFFFFFFFFu, 0x5A5A5A5Au, 0x00123456u, 0x80000001u, 0xFF000000u}) {
        for (int32_t offset = 0; offset < 9; offset++) {
            for (int32_t count : {1, 2, 3, 7, 8, 15, 16, 33, 100, 1025}) {
                std::vector<uint32_t> buffer(offset + count + 9, 0x11223344u);
                fill_buffer(buffer.data() + offset, value, count);
                for (int32_t i = 0; i < static_cast<int32_t>(buffer.size()); i++) {
                    const bool inside = i >= offset && i < offset + count;
                    ASSERT_EQ(buffer[i], inside ? value : 0x11223344u) << value << " " << offset << " " << count << " " << i;
                }
            }
        }
    }
}

TEST(FillRows, WholeBufferWithoutInterlace)
{
    std::vector<uint32_t> buffer(12, 0);
    fill_rows(buffer.data(), 5, 3, 4);
    EXPECT_EQ(buffer, std::vector<uint32_t>(12, 5));
}

TEST(FillRows, InterlaceFillsTheRowsOfItsParityOnly)
{
    for (int32_t parity : {0, 1, 2, 3, -1}) {
        Interlace on(1, parity);
        std::vector<uint32_t> buffer(15, 0);
        fill_rows(buffer.data(), 9, 3, 5);
        for (int32_t row = 0; row < 5; row++)
            for (int32_t x = 0; x < 3; x++)
                EXPECT_EQ(buffer[row * 3 + x], ((row ^ parity) & 1) ? 0u : 9u) << parity << " " << row;
    }
}

TEST(FillRows, NoRowsFillNothing)
{
    std::vector<uint32_t> buffer(4, 0);
    fill_rows(buffer.data(), 9, 4, 0);
    {
        Interlace on(1, 0);
        fill_rows(buffer.data(), 9, 4, 0);
        fill_rows(buffer.data(), 9, 4, -3);
    }
    EXPECT_EQ(buffer, std::vector<uint32_t>(4, 0));
}

}  // namespace
