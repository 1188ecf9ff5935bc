#include <gtest/gtest.h>

#include "boot/BL_Image.h"
#include "support/TestSupport.h"

namespace {

using ImageTest = TProgramTest;

TEST_F(ImageTest, ConversionsPerFamily) {
    McuFamily = FamPic24;
    EXPECT_EQ(ImageOffsetToAddress(6), 4);
    EXPECT_EQ(ImageOffsetToAddress(5), 3);
    EXPECT_EQ(AddressToImageOffset(4), 6);
    EXPECT_EQ(AddressToImageOffset(0x400), 0x600);
    McuFamily = FamDsPic;
    EXPECT_EQ(ImageOffsetToAddress(9), 6);
    McuFamily = FamPic16;
    EXPECT_EQ(ImageOffsetToAddress(5), 2);
    EXPECT_EQ(AddressToImageOffset(0x800), 0x1000);
    for (uint8_t f : {FamPic18, FamPic18FJ, FamPic32, FamNone}) {
        McuFamily = f;
        EXPECT_EQ(ImageOffsetToAddress(0x12345), 0x12345);
        EXPECT_EQ(AddressToImageOffset(0x12345), 0x12345);
    }
}

TEST_F(ImageTest, Rounding) {
    EXPECT_EQ(RoundUpToBlock(0x1001, 0x400), 0x1400u);
    EXPECT_EQ(RoundUpToBlock(0x1400, 0x400), 0x1400u);
    EXPECT_EQ(RoundUpToBlock(0, 0x400), 0u);
    EXPECT_EQ(RoundDownToBlock(0x13FF, 0x400), 0x1000u);
}

TEST_F(ImageTest, ResetAndVectorSizes) {
    McuFamily = FamPic16;
    ResetImages();
    EXPECT_EQ(FlashImage[0], 0xFF);
    EXPECT_EQ(FlashImage[1], 0x3F);
    EXPECT_EQ(FlashImage[0x7FFFF], 0x3F);
    EXPECT_EQ(BootImage[0], 0xFF);
    EXPECT_EQ(BootVectorSize(), 2);
    McuFamily = FamPic18;
    ResetImages();
    EXPECT_EQ(FlashImage[1], 0xFF);
    EXPECT_EQ(BootVectorSize(), 4);
    McuFamily = FamPic24;
    EXPECT_EQ(BootVectorSize(), 6);
    McuFamily = FamPic32;
    EXPECT_EQ(BootVectorSize(), 16);
    McuFamily = 7;
    EXPECT_EQ(BootVectorSize(), 32);
}

TEST_F(ImageTest, PackingDropsPhantomBytes) {
    McuFamily = FamPic24;
    ResetImages();
    const uint8_t raw[] = {0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66, 0x00};
    std::copy(std::begin(raw), std::end(raw), FlashImage.begin());
    EoFlash = 7;
    PackPhantomBytes();
    EXPECT_EQ(EoFlash, 6);
    const uint8_t packed[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF, 0xFF};
    EXPECT_TRUE(std::equal(std::begin(packed), std::end(packed), FlashImage.begin()));
    ResetImages();
    EoFlash = 0;
    PackPhantomBytes();
    EXPECT_EQ(EoFlash, 3);
    EoFlash = 0x0B;
    PackPhantomBytes();
    EXPECT_EQ(EoFlash, 9);
    EXPECT_EQ(ImageOffsetToAddress(9), 6);
}

TEST_F(ImageTest, PackingAtTheTopOfTheImageStaysInside) {
    McuFamily = FamPic24;
    ResetImages();
    FlashImage[0x7FFFC] = 0xAB;
    EoFlash = 0x7FFFF;
    PackPhantomBytes();
    EXPECT_EQ(EoFlash, 0x60000);
    EXPECT_EQ(FlashImage[0x5FFFD], 0xAB);
}

TEST_F(ImageTest, HexText) {
    EXPECT_EQ(HexStr(0, 6), "000000");
    EXPECT_EQ(HexStr(0x9D07C000, 8), "9D07C000");
    EXPECT_EQ(HexStr(0x1A, 1), "1A");
}

}  // namespace
