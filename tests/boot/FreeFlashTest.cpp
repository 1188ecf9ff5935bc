#include <gtest/gtest.h>

#include "boot/BL_FreeFlash.h"
#include "boot/BL_Vars.h"
#include "support/TestSupport.h"

namespace {

class FreeFlashTest : public TProgramTest {
protected:
    std::vector<std::string> Run(uint8_t family, uint16_t eraseBlock, uint32_t bootStart, int64_t eoFlash) {
        McuFamily = family;
        BootInfo.EraseBlock = eraseBlock;
        BootInfo.BootStart = bootStart;
        BootStartOffset = bootStart & 0xFFFFFF;
        EoFlash = eoFlash;
        rec.lines.clear();
        ComputeFreeUserFlash();
        ReportFreeUserFlash();
        return rec.Trimmed();
    }
};

TEST_F(FreeFlashTest, Pic18WithManyFreeBlocks) {
    const auto lines = Run(FamPic18, 64, 0x7000, 0x100);
    EXPECT_EQ(FreeLimit, 0x7000 - 64);
    EXPECT_EQ(FreeEnd, 0x7000 - 65);
    EXPECT_EQ(BootFlagAddress, 0x7000 - 128);
    EXPECT_EQ(FreeStart, 0x140);
    EXPECT_EQ(FreeSize, FreeSizeBytes);
    EXPECT_EQ(FreeBlockCount, (0x6FC0 - 0x140) / 64);
    EXPECT_EQ(FreeBlocks.back(), BootFlagAddress);
    const std::vector<std::string> want = {"Free User Flash size         : 28288 bytes",
                                           "Free User Flash Start Address: 0x00000140",
                                           "Free User Flash End Address  : 0x00006FBF",
                                           "BootFlag Address             : 0x00006F80",
                                           "Free User Flash (442 blocks of 64 bytes):",
                                           "  0x00000140",
                                           "  0x00000180",
                                           "  ...",
                                           "  0x00006F40",
                                           "  0x00006F80"};
    EXPECT_EQ(lines, want);
}

TEST_F(FreeFlashTest, Pic16CountsInWords) {
    Run(FamPic16, 64, 0x0700, 0x3F);  // last word 0x1F
    EXPECT_EQ(FreeStart, 0x20);
    EXPECT_EQ(FreeLimit, 0x6E0);
    EXPECT_EQ(FreeSizeBytes, 2 * FreeSize);
    EXPECT_TRUE(rec.Contains("Free User Flash (" + std::to_string(FreeBlockCount) + " blocks of 64 bytes):"));
}

TEST_F(FreeFlashTest, Pic24BlockBoundaries) {
    // 1536-byte erase blocks are 1024 program counter units.
    Run(FamPic24, 1536, 0x4000, 1536);  // packed end at address 1024, exactly on a boundary
    EXPECT_EQ(FreeStart, 2048);
    Run(FamPic24, 1536, 0x4000, 1533);  // three bytes shorter: address 1022
    EXPECT_EQ(FreeStart, 1024);
}

TEST_F(FreeFlashTest, Pic32CarriesTheVirtualBase) {
    const auto lines = Run(FamPic32, 4096, 0x9D07C000, 0x1FFF);
    EXPECT_EQ(FreeStart, 0x9D002000);
    EXPECT_EQ(FreeLimit, 0x9D07B000);
    EXPECT_EQ(BootFlagAddress, 0x9D07A000);
    EXPECT_EQ(FreeSize, 0x79000);
    EXPECT_EQ(FreeBlockCount, 0x79);
    EXPECT_EQ(lines[1], "Free User Flash Start Address: 0x9D002000");
}

TEST_F(FreeFlashTest, FiveAndSixBlocks) {
    auto five = Run(FamPic18, 64, 64 * 7, 0);  // free: blocks 1..5
    EXPECT_EQ(FreeBlockCount, 5);
    EXPECT_EQ(five.size(), 10u);
    EXPECT_EQ(std::count(five.begin(), five.end(), "  ..."), 0);
    auto six = Run(FamPic18, 64, 64 * 8, 0);
    EXPECT_EQ(FreeBlockCount, 6);
    ASSERT_EQ(six.size(), 10u);
    EXPECT_EQ(six[7], "  ...");
    EXPECT_EQ(six[8], "  0x00000140");
    EXPECT_EQ(six[9], "  0x00000180");
}

TEST_F(FreeFlashTest, NothingFreeAndUndefinedTargets) {
    using V = std::vector<std::string>;
    const V none = {"NO Free User Flash", "NO Bootflag place"};
    EXPECT_EQ(Run(FamPic18, 64, 0x7000, 0x6F80), none);  // rounded end reaches the limit
    EXPECT_EQ(Run(FamPic18, 0, 0x7000, 0x100), none);
    EXPECT_EQ(Run(FamPic18, 64, 0, 0x100), none);
}

TEST_F(FreeFlashTest, BlockListIsCapped) {
    // A PIC24 target with a 3-byte erase block (2 addresses) and a boot start at the top of the image.
    Run(FamPic24, 3, 0x50000, 0);
    EXPECT_GT(FreeBlockCount, int64_t(MaxFreeBlocks));
    EXPECT_EQ(FreeBlocks.size(), MaxFreeBlocks);
    EXPECT_TRUE(rec.Contains("  0x" + std::string("0004FFFC")));
}

}  // namespace
