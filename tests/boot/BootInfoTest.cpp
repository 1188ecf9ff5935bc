#include <gtest/gtest.h>

#include "boot/BL_BootInfo.h"
#include "session/ProgramState.h"
#include "support/TestSupport.h"

namespace {

using BootInfoTest = TProgramTest;

TBootPacket Answer(std::initializer_list<uint8_t> bytes) {
    TBootPacket p{};
    size_t i = 0;
    for (uint8_t b : bytes) p[i++] = b;
    return p;
}

TEST_F(BootInfoTest, Pic18AnswerLeavesTheLastByteUnread) {
    auto a = Answer({12, 1, 2, 8, 0x00, 0x80, 0x00, 0x00, 3, 0x40, 0x00, 0x00});
    TBootInfo info;
    EXPECT_TRUE(DecodeBootInfo(a, info));
    EXPECT_EQ(info.answerLength, 12);
    EXPECT_EQ(info.familyMark, 1);
    EXPECT_EQ(McuFamily, 2);
    EXPECT_EQ(info.McuSize, 0x8000u);
    EXPECT_EQ(info.EraseBlock, 64);
    // The byte at L - 1 would be a tag 4 here; it is never read.
    a[11] = 4;
    TBootInfo again;
    DecodeBootInfo(a, again);
    EXPECT_EQ(again.writeBlockMark, 0);
}

TEST_F(BootInfoTest, Pic24AndPic32Alignment) {
    // PIC24: tag 1 at 1, code at 2, P = 3 aligned to 4; tag 3 at 4, value at 6 (even).
    auto a = Answer({20, 1, 4, 0, 3, 0, 0x00, 0x06, 6, 0, 0x00, 0x40, 0x00, 0x00, 7, 'a', 'b', 'c', 'd', 0});
    TBootInfo info;
    EXPECT_TRUE(DecodeBootInfo(a, info));
    EXPECT_EQ(McuFamily, 4);
    EXPECT_EQ(info.EraseBlock, 0x0600);
    EXPECT_EQ(info.BootStart, 0x4000u);
    EXPECT_EQ(info.Descriptor, "abcd");
    // PIC32: general alignment 4: after the code, P = 3 -> 4; tag 6 at 4, value at 8.
    auto b = Answer({16, 1, 20, 0, 6, 0, 0, 0, 0x00, 0xC0, 0x07, 0x9D, 4, 0, 0x00, 0x02});
    ResetProgramState();
    TBootInfo p32;
    EXPECT_TRUE(DecodeBootInfo(b, p32));
    EXPECT_EQ(p32.BootStart, 0x9D07C000u);
    EXPECT_EQ(BootStartOffset, 0x07C000u);
    // Tag 4 at 12, value aligned to 14: its second byte is the last answer byte, which values may use.
    EXPECT_EQ(p32.WriteBlock, 0x200);
}

TEST_F(BootInfoTest, DescriptorIsCutAtTwentyAndMissingTagsKeepOldValues) {
    TBootPacket a{};
    a[0] = 40;
    a[1] = 1;
    a[2] = 2;
    a[3] = 5;
    a[4] = 0x34;
    a[5] = 0x12;
    a[6] = 7;
    for (int i = 7; i < 39; ++i) a[size_t(i)] = uint8_t('A' + (i - 7) % 26);
    TBootInfo info;
    EXPECT_TRUE(DecodeBootInfo(a, info));
    EXPECT_EQ(info.BootRevision, 0x1234);
    EXPECT_EQ(info.Descriptor, "ABCDEFGHIJKLMNOPQRST");
    auto b = Answer({6, 1, 2, 3, 0x40, 0x00});
    EXPECT_TRUE(DecodeBootInfo(b, info));
    EXPECT_EQ(info.BootRevision, 0x1234);
    // No answer at all changes only the length.
    TBootPacket zero{};
    EXPECT_TRUE(DecodeBootInfo(zero, info));
    EXPECT_EQ(info.answerLength, 0);
    EXPECT_EQ(info.BootRevision, 0x1234);
    EXPECT_EQ(McuFamily, 2);
}

TEST_F(BootInfoTest, AnswersThatRunPastByte63EndTheDecoding) {
    // A length of 200 with padding tags: the tag loop would walk off the packet.
    TBootPacket a{};
    a[0] = 200;
    a[1] = 1;
    a[2] = 2;
    TBootInfo info;
    EXPECT_FALSE(DecodeBootInfo(a, info));
    EXPECT_EQ(info.familyMark, 1);  // fields before the overrun stay set
    // A 32-bit value that would need bytes 62..65.
    TBootPacket b{};
    b[0] = 64;
    b[61] = 6;
    for (int i = 1; i < 61; ++i) b[size_t(i)] = 0;
    TBootInfo info2;
    EXPECT_FALSE(DecodeBootInfo(b, info2));
    EXPECT_EQ(info2.bootStartMark, 0);
    // A descriptor running to the end of a long answer.
    TBootPacket c{};
    c[0] = 255;
    c[1] = 7;
    for (int i = 2; i < 64; ++i) c[size_t(i)] = 'x';
    TBootInfo info3;
    EXPECT_FALSE(DecodeBootInfo(c, info3));
    EXPECT_EQ(info3.Descriptor, std::string(20, 'x'));
    // Exactly 64 bytes is fine.
    TBootPacket d{};
    d[0] = 64;
    d[1] = 7;
    TBootInfo info4;
    EXPECT_TRUE(DecodeBootInfo(d, info4));
}

std::vector<std::string> Describe(uint8_t family, uint8_t type, TRecorder& rec) {
    TBootInfo info;
    info.McuType = type;
    info.McuSize = 0x18000;
    info.EraseBlock = 1536;
    info.WriteBlock = 192;
    info.BootStart = 0x9D00A000;
    info.BootRevision = 0x0102;
    info.Descriptor = "Board";
    McuFamily = family;
    BootStartOffset = info.BootStart & 0xFFFFFF;
    rec.lines.clear();
    DescribeTarget(info);
    return rec.Trimmed();
}

TEST_F(BootInfoTest, DescriptionLinesPerFamily) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Describe(2, 2, rec), (V{"  MCUtype      : PIC18", "  MCU size     : 0x00018000 => 98304 bytes",
                                      "  Erase block  : 0x0600     => 1536 bytes",
                                      "  Write block  : 0x00C0     => 192 bytes",
                                      "  Boot start   : 0x9D00A000 => 2634063872", "  Boot revision: 0x0102",
                                      "  Descriptor   : Board"}));
    // PIC16 halves sizes into words.
    EXPECT_EQ(Describe(1, 1, rec)[1], "  MCU size     : 0x0000C000 => 98304 bytes");
    EXPECT_EQ(Describe(3, 3, rec)[0], "  MCUtype      : PIC18FJ");
    EXPECT_EQ(Describe(4, 4, rec),
              (V{"  MCUtype      : PIC24", "  MCU size     : 0x00010000 Addresses => 98304 bytes",
                 "  Erase block  : 0x0400 Addresses     => 1536 bytes",
                 "  Write block  : 0x0080 Addresses     => 192 bytes",
                 "  Boot start   : 0x9D00A000 Addresses => 3951095808 bytes", "  Boot revision: 0x0102",
                 "  Descriptor   : Board"}));
    EXPECT_EQ(Describe(10, 10, rec)[0], "  MCUtype      : DSPIC");
    EXPECT_EQ(Describe(20, 20, rec),
              (V{"  MCUtype      : PIC32", "  MCU size     : 0x00018000 => 98304 bytes",
                 "  Erase block  : 0x0600     => 1536 bytes", "  Write block  : 0x00C0     => 192 bytes",
                 "  Boot start   : 0x9D00A000 => 40960", "  Boot revision: 0x0102", "  Descriptor   : Board"}));
    EXPECT_EQ(Describe(7, 7, rec), (V{"  MCUtype      : 07", "  Descriptor   : Board"}));
}

}  // namespace
