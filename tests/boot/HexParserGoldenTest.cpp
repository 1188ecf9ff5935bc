// Golden-file tests of ParseHexFile: each file in tests/data/hex was written by hand, and the result, the
// log, the end markers and the whole image expected for it are worked out below from the placement rules.
// Every record carries a valid checksum except in the cases that are about broken records.
//
// Targets used throughout (boot start in the family's own address units):
//   PIC16  word 0x1C00:  stored below word 0x1BFF (file bytes 0..0x37FD), refused up to word 0x1CFF
//   PIC18  byte 0x18000: stored below 0x17FFC, refused 0x17FFC..0x180FF
//   PIC24  PC 0x2000:    stored below PC 0x1FFC (raw file bytes 0..0x3FF7), refused up to PC 0x20FF,
//                        packed end limit 0x3000 - 6 = 0x2FFA
//   PIC32  0x9D008000:   program offsets stored below 0x7FF0, refused 0x7FF0..0x80FF

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "boot/BL_HexParser.h"
#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "boot/Log.h"
#include "support/TestSupport.h"

namespace {

constexpr uint32_t kPic16Boot = 0x1C00;
constexpr uint32_t kPic18Boot = 0x18000;
constexpr uint32_t kPic24Boot = 0x2000;
constexpr uint32_t kPic32Boot = 0x9D008000;

// The log lines as the window shows them, trailing padding removed. Detail texts lose their first blank.
const std::string kTooBig1 = " Image is too big for this PIC and";
const std::string kTooBig2 = " would overwrite (part of) bootloader!";
const std::string kTooBig3 = " Programming will be aborted.";
const std::string kError = "Error parsing hex file.";

// A run of bytes expected at one image offset.
using TRuns = std::vector<std::pair<int64_t, std::vector<uint8_t>>>;

class HexParseTest : public TProgramTest {
protected:
    // Sets the target as the boot information would, and leaves stale data from an earlier parse behind
    // so that the reset of images and markers is checked too.
    void Target(uint8_t family, uint32_t bootStart) {
        McuFamily = family;
        BootInfo.BootStart = bootStart;
        BootStartOffset = bootStart & 0xFFFFFF;
        FlashImage.fill(0xA5);
        BootImage.fill(0x5A);
        EoFlash = 0x12345;
        EoBoot = 0x321;
    }

    bool Parse(const std::string& name) { return ParseHexFile(TestDataPath("hex/" + name)); }

    std::vector<std::string> Log() const { return rec.Trimmed(); }

    static std::vector<std::string> Lines(std::initializer_list<std::string> l) { return l; }

    // The log of a refused image: the three detail lines, the error line and the line at fault, after
    // "Parsing HEX file".
    static std::vector<std::string> TooBigLog(const std::string& name, const std::string& detail) {
        return {"Parsing HEX file: " + name, kTooBig1, kTooBig2, kTooBig3, kError, detail};
    }

    // Compares the whole image with erased flash plus the given runs; reports the first differences.
    static void ExpectImage(const uint8_t* image, size_t size, const TRuns& runs, bool pic16Filler,
                            const char* what) {
        std::vector<uint8_t> expected(size);
        for (size_t i = 0; i < size; ++i)
            expected[i] = (pic16Filler && (i & 1)) ? 0x3F : 0xFF;
        for (const auto& [offset, bytes] : runs)
            for (size_t i = 0; i < bytes.size(); ++i)
                expected[size_t(offset) + i] = bytes[i];
        int reported = 0;
        for (size_t i = 0; i < size && reported < 8; ++i) {
            if (image[i] != expected[i]) {
                ADD_FAILURE() << what << "[0x" << std::hex << i << "] is 0x" << int(image[i])
                              << ", expected 0x" << int(expected[i]);
                ++reported;
            }
        }
    }
    void ExpectFlash(const TRuns& runs) {
        ExpectImage(FlashImage.data(), FlashImage.size(), runs, McuFamily == FamPic16, "FlashImage");
    }
    void ExpectBoot(const TRuns& runs) {
        ExpectImage(BootImage.data(), BootImage.size(), runs, false, "BootImage");
    }
};

// ---------------------------------------------------------------------------------------------------------
// PIC18 and PIC18FJ: image offset = file address.

class HexParsePic18Test : public HexParseTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(HexParsePic18Test, DataRecordsLandAtTheirAddresses) {
    Target(GetParam(), kPic18Boot);
    EXPECT_TRUE(Parse("pic18_basic.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_basic.hex", "  EoFlash: Address 0x00001F"}));
    EXPECT_EQ(EoFlash, 0x1F);
    EXPECT_EQ(EoBoot, 0);
    ExpectFlash(
        {{0x0000, {0x0E, 0xEF, 0x00, 0xF0}},
         {0x0010,
          {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}}});
    ExpectBoot({});
}

TEST_P(HexParsePic18Test, RefusedWindowStartsFourBytesBelowBootStart) {
    // 0x17FFB is stored, 0x17FFC refused; the record at 0x10100 after it is still read and placed.
    Target(GetParam(), kPic18Boot);
    EXPECT_FALSE(Parse("pic18_window_low.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic18_window_low.hex", " Line 2: data at 0x17FFC overlaps the bootloader"));
    EXPECT_EQ(EoFlash, 0x17FFB);
    EXPECT_EQ(rec.processCalls, 4);
    ExpectFlash({{0x10100, {0xB1}}, {0x17FFB, {0xA1}}});
}

TEST_P(HexParsePic18Test, RefusedWindowEndsAtBootStartPlus255) {
    Target(GetParam(), kPic18Boot);
    EXPECT_FALSE(Parse("pic18_window_high.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic18_window_high.hex", " Line 2: data at 0x180FF overlaps the bootloader"));
    EXPECT_EQ(EoFlash, 0);
    ExpectFlash({});
}

TEST_P(HexParsePic18Test, ConfigurationBytesAndBytesAboveTheWindowAreDropped) {
    // 0x17FF8..0x17FFB (just below the window) are stored, 0x18100 (boot start + 256) and the
    // configuration bytes at 0x300000 are dropped without a message.
    Target(GetParam(), kPic18Boot);
    EXPECT_TRUE(Parse("pic18_config.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_config.hex",
                            " Not written: 16 bytes at 0x018100..0x30000D above the flash (configuration, EEPROM, IDs).",
                            "  EoFlash: Address 0x017FFB"}));
    EXPECT_EQ(EoFlash, 0x17FFB);
    ExpectFlash({{0x0000, {0x01, 0x02, 0x03, 0x04}}, {0x17FF8, {0xD1, 0xD2, 0xD3, 0xD4}}});
}

INSTANTIATE_TEST_SUITE_P(Families, HexParsePic18Test, ::testing::Values(FamPic18, FamPic18FJ),
                         [](const auto& info) { return info.param == FamPic18 ? "PIC18" : "PIC18FJ"; });

TEST_F(HexParseTest, LowerCaseDigitsAndExtendedLinearAddressOne) {
    Target(FamPic18, kPic18Boot);
    EXPECT_TRUE(Parse("pic18_lowercase.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_lowercase.hex", "  EoFlash: Address 0x0100B1"}));
    EXPECT_EQ(EoFlash, 0x100B1);
    ExpectFlash({{0x100AB, {0xDE, 0xAD, 0xBE, 0xEF}}, {0x100B0, {0xAB, 0xCD}}});
}

TEST_F(HexParseTest, WrongChecksumIsAcceptedAndCountedWhenTheHostSaysYes) {
    Target(FamPic18, kPic18Boot);
    rec.answerYes = true;
    EXPECT_TRUE(Parse("pic18_bad_checksum.hex"));
    EXPECT_EQ(rec.questions,
              Lines({"1 record of pic18_bad_checksum.hex has a wrong checksum. Flash anyway?"}));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_bad_checksum.hex", "1 checksum errors found!",
                            "  EoFlash: Address 0x000011"}));
    EXPECT_EQ(EoFlash, 0x11);
    ExpectFlash({{0x0000, {0x11, 0x22, 0x33, 0x44}}, {0x0010, {0xAA, 0xBB}}});
}

TEST_F(HexParseTest, SegmentRecordsSetTheBaseAndStartRecordsAreCounted) {
    // The 02 record (segment 0x2000) puts the data after it at 0x20020 and 0x20030, above this target's
    // flash; types 03 and 05 are counted; types 06 and 0x10 are ignored, data and all.
    Target(FamPic18, kPic18Boot);
    EXPECT_TRUE(Parse("pic18_unsupported.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_unsupported.hex", "2 unsupported entries found!",
                            " Not written: 4 bytes at 0x020020..0x020031 above the flash (configuration, EEPROM, IDs).",
                            "  EoFlash: Address 0x010011"}));
    EXPECT_EQ(EoFlash, 0x10011);
    ExpectFlash({{0x10010, {0xA1, 0xA2}}});
}

TEST_F(HexParseTest, LinesAfterTheEndRecordAreNotRead) {
    // After the end record come a data record, a type 02 record and two broken lines: none of them counts.
    Target(FamPic18, kPic18Boot);
    EXPECT_TRUE(Parse("pic18_after_end.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_after_end.hex", "  EoFlash: Address 0x000003"}));
    EXPECT_EQ(EoFlash, 3);
    EXPECT_EQ(rec.processCalls, 3);
    ExpectFlash({{0x0000, {0x01, 0x02, 0x03, 0x04}}});
}

TEST_F(HexParseTest, CutDataLineFailsAndKeepsTheBytesBeforeTheCut) {
    // ":04001000AABB": two of four bytes, no checksum. Reading stops there; the next record is not placed.
    Target(FamPic18, kPic18Boot);
    EXPECT_FALSE(Parse("pic18_cut_line.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_cut_line.hex", kError, " Line 2: record cut short",
                            "1 checksum errors found!"}));
    EXPECT_TRUE(rec.questions.empty());
    EXPECT_EQ(EoFlash, 0x11);
    EXPECT_EQ(rec.processCalls, 2);
    ExpectFlash({{0x0010, {0xAA, 0xBB}}});
}

TEST_F(HexParseTest, RecordShorterThanItsCountIsBrokenEvenWithWrongChecksumsAllowed) {
    // ":0300200011223": the third byte is "3" alone and no checksum follows: a broken record, whatever
    // the host says about checksums. Bytes placed before the fault stay; the next record is not read.
    Target(FamPic18, kPic18Boot);
    rec.answerYes = true;
    EXPECT_FALSE(Parse("pic18_single_digit.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_single_digit.hex", kError,
                            " Line 1: record length does not match its count", "1 checksum errors found!"}));
    EXPECT_TRUE(rec.questions.empty());
    ExpectFlash({{0x0020, {0x11, 0x22, 0x03}}});
}

TEST_F(HexParseTest, NonHexDigitInADataByteFails) {
    // ":0400300011G2...": 0x11 is placed at 0x30, "G2" stops the parse; 0x40 is never read.
    Target(FamPic18, kPic18Boot);
    EXPECT_FALSE(Parse("pic18_bad_digit.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_bad_digit.hex", kError, " Line 1: 'G' is not a hex digit",
                            "1 checksum errors found!"}));
    EXPECT_EQ(EoFlash, 0x30);
    ExpectFlash({{0x0030, {0x11}}});
}

TEST_F(HexParseTest, UnusualRecordShapes) {
    // Count-0 records of type 04, 00 and 02 are skipped (upper stays 1, nothing counted as
    // unsupported); ":000000" has neither type nor checksum: a broken record, so reading stops there
    // and the end record after it is never met.
    Target(FamPic18, kPic18Boot);
    rec.answerYes = true;
    EXPECT_FALSE(Parse("pic18_records.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_records.hex", kError,
                            " Line 7: record length does not match its count", "1 checksum errors found!"}));
    EXPECT_EQ(EoFlash, 0x10001);
    EXPECT_EQ(rec.processCalls, 7);
    ExpectFlash({{0x10000, {0xA1, 0xB2}}});
}

TEST_F(HexParseTest, ErrorLinesComeInTheirOrder) {
    // Two unsupported records, a byte at boot start + 255, a wrong checksum on the record at 0x10000.
    Target(FamPic18, kPic18Boot);
    EXPECT_FALSE(Parse("pic18_mixed_errors.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_mixed_errors.hex", kTooBig1, kTooBig2, kTooBig3, kError,
                            " Line 4: data at 0x180FF overlaps the bootloader", "2 unsupported entries found!",
                            "1 checksum errors found!"}));
    // Refused already: no question about the checksum.
    EXPECT_TRUE(rec.questions.empty());
    EXPECT_EQ(EoFlash, 0x10000);
    ExpectFlash({{0x10000, {0xAA}}});
}

TEST_F(HexParseTest, StatusLinesArePaddedAndDetailLinesAreNot) {
    Target(FamPic18, kPic18Boot);
    EXPECT_FALSE(Parse("pic18_mixed_errors.hex"));
    ASSERT_EQ(rec.lines.size(), 8u);
    const std::string first = "Parsing HEX file: pic18_mixed_errors.hex"; // 40 characters
    EXPECT_EQ(rec.lines[0], first + std::string(7, ' '));
    EXPECT_EQ(rec.lines[1], kTooBig1);
    EXPECT_EQ(rec.lines[2], kTooBig2);
    EXPECT_EQ(rec.lines[3], kTooBig3);
    EXPECT_EQ(rec.lines[4], kError + std::string(47 - kError.size(), ' '));
    EXPECT_EQ(rec.lines[5], " Line 4: data at 0x180FF overlaps the bootloader");
    EXPECT_EQ(rec.lines[6].size(), 47u);
    EXPECT_EQ(rec.lines[7].size(), 47u);
}

TEST_F(HexParseTest, EndMarkerLineIsADetailLine) {
    Target(FamPic18, kPic18Boot);
    EXPECT_TRUE(Parse("pic18_basic.hex"));
    ASSERT_EQ(rec.lines.size(), 2u);
    EXPECT_EQ(rec.lines[1], "  EoFlash: Address 0x00001F");
}

TEST_F(HexParseTest, StoreOffsetBeyondFlashImageIsRefused) {
    // Boot start 0x100000 lies beyond the 0x80000-byte image: 0x7FFFF is stored, 0x80000 refused.
    Target(FamPic18, 0x100000);
    EXPECT_FALSE(Parse("outside_image.hex"));
    // Not data that overlaps the bootloader: only the detail line, no heading.
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: outside_image.hex", kError,
                            " Line 4: data at 0x80000 lies beyond the flash image"}));
    EXPECT_EQ(EoFlash, 0x7FFFF);
    ExpectFlash({{0x7FFFF, {0x66}}});
}

TEST_F(HexParseTest, EmptyLinesAreSkippedAndRecordsAfterBlanksAreRead) {
    // CR LF line ends; the records after a blank and after a tab are placed like the others.
    Target(FamPic18, kPic18Boot);
    EXPECT_TRUE(Parse("blanks.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: blanks.hex", "  EoFlash: Address 0x00000B"}));
    EXPECT_EQ(EoFlash, 0xB);
    ExpectFlash({{0x0000, {0x11, 0x22, 0x33, 0x44, 0x99}}, {0x0008, {0x55, 0x66, 0x77, 0x88}}});
}

TEST_F(HexParseTest, FileThatCannotBeOpened) {
    Target(FamPic18, kPic18Boot);
    EXPECT_FALSE(Parse("missing.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: missing.hex", "Unable to open file missing.hex", kError,
                            " No such file or directory"}));
    EXPECT_EQ(rec.processCalls, 0);
}

TEST_F(HexParseTest, UnknownFamilyStoresNothing) {
    Target(FamNone, 0x1000);
    EXPECT_FALSE(Parse("pic18_basic.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic18_basic.hex", "File holds no data for this target!", kError}));
    EXPECT_EQ(EoFlash, 0);
    ExpectFlash({});
    ExpectBoot({});
}

// ---------------------------------------------------------------------------------------------------------
// A file without any record line, for every family: no end record and no data, so refused.

struct TNoRecordCase {
    uint8_t family;
    uint32_t bootStart;
    int64_t eoFlash;
};

void PrintTo(const TNoRecordCase& c, std::ostream* os) {
    *os << "family " << int(c.family) << ", boot start 0x" << std::hex << c.bootStart << std::dec << ", EoFlash " << c.eoFlash;
}

class HexParseNoRecordTest : public HexParseTest, public ::testing::WithParamInterface<TNoRecordCase> {};

TEST_P(HexParseNoRecordTest, IsRefusedWithEmptyImage) {
    const TNoRecordCase& c = GetParam();
    Target(c.family, c.bootStart);
    EXPECT_FALSE(Parse("no_colon.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: no_colon.hex", "No end record: the file may be cut short!",
                            "File holds no data for this target!", kError,
                            " Not read: 2 lines that are not records (first: line 1)."}));
    EXPECT_EQ(EoFlash, c.eoFlash);
    EXPECT_EQ(EoBoot, 0);
    ExpectFlash({});
    ExpectBoot({});
}

INSTANTIATE_TEST_SUITE_P(
    Families, HexParseNoRecordTest,
    ::testing::Values(TNoRecordCase{FamPic16, kPic16Boot, 0}, TNoRecordCase{FamPic18, kPic18Boot, 0},
                      TNoRecordCase{FamPic18FJ, kPic18Boot, 0},
                      // Packing copies one group even when nothing was written: EoFlash 3.
                      TNoRecordCase{FamPic24, kPic24Boot, 3}, TNoRecordCase{FamDsPic, kPic24Boot, 3},
                      TNoRecordCase{FamPic32, kPic32Boot, 0}),
    [](const auto& info) { return "Family" + std::to_string(info.param.family); });

// ---------------------------------------------------------------------------------------------------------
// PIC16: two image bytes per word, compared as word address, filler 0xFF / 0x3F.

TEST_F(HexParseTest, Pic16WordsKeepTheirBytesAndConfigWordIsDropped) {
    // The 3-byte record leaves the high byte of word 9 at 0x3F; the config word 0x2007 (file 0x400E) is
    // far above the window. EoFlash 0x12 is word 9.
    Target(FamPic16, kPic16Boot);
    EXPECT_TRUE(Parse("pic16_basic.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic16_basic.hex",
                            " Not written: 2 bytes at 0x002007..0x002007 above the flash (configuration, EEPROM, IDs).",
                            "  EoFlash: Address 0x000009"}));
    EXPECT_EQ(EoFlash, 0x12);
    ExpectFlash({{0x0000, {0x8A, 0x11, 0x0A, 0x28}}, {0x0010, {0xAA, 0xBB, 0xCC}}});
}

TEST_F(HexParseTest, Pic16WordBelowTheVectorWordIsStored) {
    // File bytes 0x37FC/0x37FD are word 0x1BFE, the last one below boot start - 1.
    Target(FamPic16, kPic16Boot);
    EXPECT_TRUE(Parse("pic16_below_window.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic16_below_window.hex", "  EoFlash: Address 0x001BFE"}));
    EXPECT_EQ(EoFlash, 0x37FD);
    ExpectFlash({{0x37FC, {0x01, 0x02}}});
}

TEST_F(HexParseTest, Pic16VectorWordIsRefused) {
    // File byte 0x37FE is the low byte of word 0x1BFF = boot start - 1.
    Target(FamPic16, kPic16Boot);
    EXPECT_FALSE(Parse("pic16_window_low.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic16_window_low.hex", " Line 1: data at 0x1BFF overlaps the bootloader"));
    EXPECT_EQ(EoFlash, 0);
    ExpectFlash({});
}

TEST_F(HexParseTest, Pic16LastRefusedWordIsBootStartPlus255) {
    // File byte 0x39FF is the high byte of word 0x1CFF.
    Target(FamPic16, kPic16Boot);
    EXPECT_FALSE(Parse("pic16_window_high.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic16_window_high.hex", " Line 1: data at 0x1CFF overlaps the bootloader"));
    ExpectFlash({});
}

TEST_F(HexParseTest, Pic16WordsAboveTheWindowAreDropped) {
    // Word 0x1D00 (file 0x3A00) is dropped; word 0x80 (file 0x100/0x101) is stored.
    Target(FamPic16, kPic16Boot);
    EXPECT_TRUE(Parse("pic16_above_window.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic16_above_window.hex",
                            " Not written: 2 bytes at 0x001D00..0x001D00 above the flash (configuration, EEPROM, IDs).",
                            "  EoFlash: Address 0x000080"}));
    EXPECT_EQ(EoFlash, 0x101);
    ExpectFlash({{0x0100, {0x07, 0x08}}});
}

// pic16_upper.hex puts two bytes at file offset 0x10020, word (65536 + 0x20) div 2 = 0x8010.
TEST_F(HexParseTest, Pic16UpperAddressIsComparedAsWord) {
    Target(FamPic16, 0x9000);
    EXPECT_TRUE(Parse("pic16_upper.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic16_upper.hex", "  EoFlash: Address 0x008010"}));
    EXPECT_EQ(EoFlash, 0x10021);
    ExpectFlash({{0x10020, {0xAB, 0xCD}}});
}

TEST_F(HexParseTest, Pic16UpperAddressWordJustBelowLimit) {
    Target(FamPic16, 0x8012); // limit word 0x8011
    EXPECT_TRUE(Parse("pic16_upper.hex"));
    ExpectFlash({{0x10020, {0xAB, 0xCD}}});
}

TEST_F(HexParseTest, Pic16UpperAddressWordAtLimit) {
    Target(FamPic16, 0x8011); // limit word 0x8010: the word itself is the vector word
    EXPECT_FALSE(Parse("pic16_upper.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic16_upper.hex", " Line 2: data at 0x8010 overlaps the bootloader"));
    ExpectFlash({});
}

// ---------------------------------------------------------------------------------------------------------
// PIC24 and dsPIC: 4 file bytes per instruction while reading, packed to 3 afterwards.

class HexParsePic24Test : public HexParseTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(HexParsePic24Test, PhantomBytesArePackedOut) {
    // Raw 0..7: 40 02 04 00 | 00 00 00 00, raw 8..11: 11 22 33 44 (PC 4). Packed: 40 02 04 00 00 00 11 22
    // 33, EoFlash 9 = PC 6. The config instruction at file 0x157F8 (PC 0xABFC) is dropped.
    Target(GetParam(), kPic24Boot);
    EXPECT_TRUE(Parse("pic24_basic.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic24_basic.hex",
                            " Not written: 3 bytes at 0x00ABFC..0x00ABFD above the flash (configuration, EEPROM, IDs).",
                            "  EoFlash: Address 0x000006"}));
    EXPECT_EQ(EoFlash, 9);
    ExpectFlash({{0x0000, {0x40, 0x02, 0x04, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33}}});
}

TEST_P(HexParsePic24Test, LastInstructionBelowTheVectorSlot) {
    // Raw 0x3FF4..0x3FF7 is PC 0x1FFA: group 0xFFD, packed at 0x2FF7; EoFlash 0x2FFA = the limit, PC 0x1FFC.
    Target(GetParam(), kPic24Boot);
    EXPECT_TRUE(Parse("pic24_below_window.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic24_below_window.hex", "  EoFlash: Address 0x001FFC"}));
    EXPECT_EQ(EoFlash, 0x2FFA);
    ExpectFlash({{0x2FF7, {0xA1, 0xA2, 0xA3}}});
}

TEST_P(HexParsePic24Test, VectorSlotIsRefused) {
    // Raw 0x3FF8 is PC 0x1FFC = boot start - 4. Nothing stored, so packing leaves EoFlash 3.
    Target(GetParam(), kPic24Boot);
    EXPECT_FALSE(Parse("pic24_window_low.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic24_window_low.hex", " Line 1: data at 0x1FFC overlaps the bootloader"));
    EXPECT_EQ(EoFlash, 3);
    ExpectFlash({});
}

TEST_P(HexParsePic24Test, LastRefusedAddressIsBootStartPlus255) {
    // Raw 0x41FF is PC 0x20FF.
    Target(GetParam(), kPic24Boot);
    EXPECT_FALSE(Parse("pic24_window_high.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic24_window_high.hex", " Line 1: data at 0x20FF overlaps the bootloader"));
    ExpectFlash({});
}

TEST_P(HexParsePic24Test, AddressesAboveTheWindowAreDropped) {
    // Raw 0x4200 is PC 0x2100: dropped. One instruction at 0: EoFlash 3, PC 2.
    Target(GetParam(), kPic24Boot);
    EXPECT_TRUE(Parse("pic24_above_window.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic24_above_window.hex",
                            " Not written: 3 bytes at 0x002100..0x002101 above the flash (configuration, EEPROM, IDs).",
                            "  EoFlash: Address 0x000002"}));
    EXPECT_EQ(EoFlash, 3);
    ExpectFlash({{0x0000, {0x01, 0x02, 0x03}}});
}

TEST_P(HexParsePic24Test, PackedLengthBeyondTheLimitIsRefused) {
    // Boot start 0x2001: raw 0x3FF8 (PC 0x1FFC) is below 0x1FFD and stored, but packing gives EoFlash
    // 0x2FFD, above (0x2001 * 3) div 2 - 6 = 0x2FFB.
    // No byte lies in the refused window: the detail names the line of the last byte.
    Target(GetParam(), 0x2001);
    EXPECT_FALSE(Parse("pic24_window_low.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic24_window_low.hex", " Line 1: data at 0x1FFC overlaps the bootloader"));
    EXPECT_EQ(EoFlash, 0x2FFD);
    ExpectFlash({{0x2FFA, {0xE1}}});
}

TEST_P(HexParsePic24Test, PackedLengthAtTheLimitIsAccepted) {
    // Boot start 0x2002: limit 0x3003 - 6 = 0x2FFD = EoFlash; PC of 0x2FFD is 0x1FFE.
    Target(GetParam(), 0x2002);
    EXPECT_TRUE(Parse("pic24_window_low.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic24_window_low.hex", "  EoFlash: Address 0x001FFE"}));
    EXPECT_EQ(EoFlash, 0x2FFD);
    ExpectFlash({{0x2FFA, {0xE1}}});
}

INSTANTIATE_TEST_SUITE_P(Families, HexParsePic24Test, ::testing::Values(FamPic24, FamDsPic),
                         [](const auto& info) { return info.param == FamPic24 ? "PIC24" : "dsPIC"; });

// ---------------------------------------------------------------------------------------------------------
// PIC32: program flash from physical 0x1D000000, boot flash from 0x1FC00000.

TEST_F(HexParseTest, Pic32ProgramAndBootFlash) {
    // Upper 0x9FC0 (KSEG0) with address 0x10 is physical 0x1FC00010: BootImage[0x10].
    Target(FamPic32, kPic32Boot);
    EXPECT_TRUE(Parse("pic32_basic.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic32_basic.hex", "  EoFlash: Address 0x9D000FF3",
                            "  EoBoot : Address 0x9FC02FFF"}));
    EXPECT_EQ(EoFlash, 0xFF3);
    EXPECT_EQ(EoBoot, 0x2FFF);
    ExpectFlash({{0x0000, {0x01, 0x02, 0x03, 0x04}}, {0x0FF0, {0x11, 0x12, 0x13, 0x14}}});
    ExpectBoot(
        {{0x0000, {0x21, 0x22, 0x23, 0x24}},
         {0x0010, {0x31}},
         {0x2FF0,
          {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF}}});
}

TEST_F(HexParseTest, Pic32UpperAddressLowByteSelectsThe64kPage) {
    // Upper 0x1D01, address 0x10: offset 0x10010, with boot start 0x9D07F000 well above it.
    Target(FamPic32, 0x9D07F000);
    EXPECT_TRUE(Parse("pic32_upper.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic32_upper.hex", "  EoFlash: Address 0x9D010011",
                            "  EoBoot : Address 0x9FC00000"}));
    EXPECT_EQ(EoFlash, 0x10011);
    EXPECT_EQ(EoBoot, 0);
    ExpectFlash({{0x10010, {0x41, 0x42}}});
    ExpectBoot({});
}

TEST_F(HexParseTest, Pic32RefusedWindowStartsSixteenBytesBelowBootStart) {
    // 0x7FEF stored, 0x7FF0 refused; the boot record after it is still placed.
    Target(FamPic32, kPic32Boot);
    EXPECT_FALSE(Parse("pic32_window_low.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic32_window_low.hex", " Line 2: data at 0x1D007FF0 overlaps the bootloader"));
    EXPECT_EQ(EoFlash, 0x7FEF);
    EXPECT_EQ(EoBoot, 0);
    ExpectFlash({{0x7FEF, {0xA1}}});
    ExpectBoot({{0x0000, {0xB1}}});
}

TEST_F(HexParseTest, Pic32RefusedWindowEndsAtBootStartPlus255) {
    Target(FamPic32, kPic32Boot);
    EXPECT_FALSE(Parse("pic32_window_high.hex"));
    EXPECT_EQ(Log(), TooBigLog("pic32_window_high.hex", " Line 2: data at 0x1D0080FF overlaps the bootloader"));
    ExpectFlash({});
}

TEST_F(HexParseTest, Pic32BytesAboveTheWindowAreDropped) {
    Target(FamPic32, kPic32Boot);
    EXPECT_TRUE(Parse("pic32_above_window.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic32_above_window.hex",
                            " Not written: 2 bytes at 0x1D008100..0x1D008101 above the flash (configuration, EEPROM, IDs).",
                            "  EoFlash: Address 0x9D000000",
                            "  EoBoot : Address 0x9FC00000"}));
    EXPECT_EQ(EoFlash, 0);
    ExpectFlash({{0x0000, {0xE1}}});
}

TEST_F(HexParseTest, Pic32BootRecordBeyondBootImageIsRefused) {
    // Boot offset 0x2FFF is the last byte of BootImage; 0x3000 is never written.
    Target(FamPic32, kPic32Boot);
    EXPECT_FALSE(Parse("pic32_boot_overflow.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: pic32_boot_overflow.hex", kError,
                            " Line 2: data at 0x1FC03000 is outside program and boot flash"}));
    EXPECT_EQ(EoBoot, 0x2FFF);
    ExpectBoot({{0x2FFF, {0xF1}}});
    ExpectFlash({});
}

TEST_F(HexParseTest, Pic32DataOutsideProgramAndBootFlashIsRefused) {
    // Physical 0x0007FFFF (upper 7) is neither program nor boot flash: the address as the file gives it.
    Target(FamPic32, 0x9D100000);
    EXPECT_FALSE(Parse("outside_image.hex"));
    EXPECT_EQ(Log(), Lines({"Parsing HEX file: outside_image.hex", kError,
                            " Line 2: data at 0x0007FFFF is outside program and boot flash"}));
    ExpectFlash({});
}

// ---------------------------------------------------------------------------------------------------------
// Progress bar and message processing. Positions are the byte counts read after each line.

TEST_F(HexParseTest, ProgressStopsAtTheEndRecord) {
    // Lines of 16, 20 and 12 bytes up to the end record; the file is 119 bytes.
    Target(FamPic18, kPic18Boot);
    EXPECT_TRUE(Parse("pic18_after_end.hex"));
    EXPECT_EQ(rec.progressMax, std::vector<int64_t>({119}));
    EXPECT_EQ(rec.progressPos, std::vector<int64_t>({16, 36, 48, 0}));
    EXPECT_EQ(rec.processCalls, 3);
}

TEST_F(HexParseTest, ProgressCountsCrLfAndALastLineWithoutLineEnd) {
    // no_colon.hex: 25 + 1 + 4 + 18 bytes, the last line without LF (and no end record: refused).
    Target(FamPic18, kPic18Boot);
    EXPECT_FALSE(Parse("no_colon.hex"));
    EXPECT_EQ(rec.progressMax, std::vector<int64_t>({48}));
    EXPECT_EQ(rec.progressPos, std::vector<int64_t>({25, 26, 30, 48, 0}));
    EXPECT_EQ(rec.processCalls, 4);

    // blanks.hex: CR LF lines of 2, 17, 2, 22, 16, 21, 5 and 13 bytes.
    rec.progressMax.clear();
    rec.progressPos.clear();
    rec.processCalls = 0;
    EXPECT_TRUE(Parse("blanks.hex"));
    EXPECT_EQ(rec.progressMax, std::vector<int64_t>({98}));
    EXPECT_EQ(rec.progressPos, std::vector<int64_t>({2, 19, 21, 43, 59, 80, 85, 98, 0}));
    EXPECT_EQ(rec.processCalls, 8);
}

TEST_F(HexParseTest, ProgressOfAFailedParseEndsAtZero) {
    // The cut line is the second of four lines (16 + 14 + 20 + 12 bytes); reading stops there.
    Target(FamPic18, kPic18Boot);
    EXPECT_FALSE(Parse("pic18_cut_line.hex"));
    EXPECT_EQ(rec.progressMax, std::vector<int64_t>({62}));
    EXPECT_EQ(rec.progressPos, std::vector<int64_t>({16, 30, 0}));
    EXPECT_EQ(rec.processCalls, 2);
}

} // namespace
