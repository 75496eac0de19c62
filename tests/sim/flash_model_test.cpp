// The flash model's bookkeeping: which ranges count as written after erases cut into them, and
// that partial erases leave their neighbours alone.
#include <gtest/gtest.h>

#include "sim/flash_model.h"

namespace {

using Extents = std::vector<std::pair<uint32_t, uint64_t>>;

TEST(FlashModel, WrittenExtentsMergeAndAreCutByErases)
{
    CFlashModel flash;
    const std::vector<uint8_t> aby(0x9000, 0x11);
    flash.Program(0x1000, aby.data(), 0x9000);   // 0x1000-0xA000
    flash.Program(0xA000, aby.data(), 0x1000);   // touching: merges
    flash.Program(0x20000, aby.data(), 0x100);
    EXPECT_EQ(flash.WrittenExtents(), (Extents{{0x1000, 0xB000}, {0x20000, 0x20100}}));

    flash.Erase(0x4000, 0x2000);  // a hole in the middle
    EXPECT_EQ(flash.WrittenExtents(),
              (Extents{{0x1000, 0x4000}, {0x6000, 0xB000}, {0x20000, 0x20100}}));
    flash.Erase(0x0, 0x2000);     // the front of the first
    flash.Erase(0xA800, 0x16000); // the end of one and the whole of the next
    EXPECT_EQ(flash.WrittenExtents(), (Extents{{0x2000, 0x4000}, {0x6000, 0xA800}}));
    EXPECT_EQ(flash.Read(0x5FFF, 2), (std::vector<uint8_t>{0xFF, 0x11}));
}

TEST(FlashModel, PartialEraseAcrossBlocksKeepsTheRest)
{
    CFlashModel flash;
    const std::vector<uint8_t> aby(0x20000, 0x00);
    flash.Program(0, aby.data(), 0x20000);
    flash.Erase(0x7FFF, 0x8002);  // one byte of block 0, all of block 1, one byte of block 2
    EXPECT_EQ(flash.Read(0x7FFE, 3), (std::vector<uint8_t>{0x00, 0xFF, 0xFF}));
    EXPECT_EQ(flash.Read(0x10000, 2), (std::vector<uint8_t>{0xFF, 0x00}));
    EXPECT_FALSE(flash.Erase(0xFFFF0000, 0x20000));  // leaves the flash
    EXPECT_FALSE(flash.Program(static_cast<uint32_t>(FLASH_DEFAULT_SIZE - 1), aby.data(), 2));
}

TEST(FlashModel, PreloadedContentIsNotCountedAsWritten)
{
    CFlashModel flash;
    const std::vector<uint8_t> aby(100, 0x42);
    flash.Load(0x300, aby.data(), 100);
    EXPECT_TRUE(flash.WrittenExtents().empty());
    EXPECT_EQ(flash.Read(0x300, 1)[0], 0x42);
    flash.Program(0x300, aby.data(), 100);  // same data over it: nothing lost
    EXPECT_EQ(flash.BytesProgrammedUnerased(), 0u);
}

}  // namespace
