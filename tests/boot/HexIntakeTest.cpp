// What the HEX parser refuses before anything reaches a board: files cut short, files without data for
// the target, wrong checksums, over-long lines, read errors and files that are no regular files; the
// detail line that says where; standard input as the one stream; and the erase that needs no file.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "boot/BL_HexParser.h"
#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "boot/Log.h"
#include "support/HexWriter.h"
#include "support/TestSupport.h"

namespace {

const std::string kError = "Error parsing hex file.";
const std::string kNoEnd = "No end record: the file may be cut short!";
const std::string kNoData = "File holds no data for this target!";
const std::string kEnd = ":00000001FF\n";

class HexIntakeTest : public TProgramTest {
protected:
    void SetUp() override {
        TProgramTest::SetUp();
        McuFamily = FamPic18;
        BootInfo.BootStart = 0x7000;
        BootStartOffset = 0x7000;
    }
    std::vector<std::string> Log() const { return rec.Trimmed(); }
};

struct TBadFile {
    const char* name;
    std::string text;
    bool ok;
    std::vector<std::string> log;  // after "Parsing HEX file: <name>"
};

// Records for a PIC18 target with boot start 0x7000.
const std::string kData = ":0400000001020304F2\n";         // 4 bytes at 0
const std::string kBadSum = ":0400000001020304F3\n";       // the same with a wrong checksum
const std::string kHigh = ":020000041D00DD\n:0400000001020304F2\n";  // a PIC32 file: far above

std::vector<TBadFile> BadFiles() {
    return {
        {"whole.hex", kData + kEnd, true, {"  EoFlash: Address 0x000003"}},
        {"cut_at_line.hex", kData, false, {kNoEnd, kError}},
        // One line: the first record is read, the rest of the line spoils its checksum.
        {"cr_only.hex", ":0400000001020304F2\r:00000001FF\r", false,
         {kError, " Line 1: record length does not match its count", "1 checksum errors found!"}},
        {"empty.hex", "", false, {kNoEnd, kNoData, kError}},
        {"text.txt", "just some text\n", false,
         {kNoEnd, kNoData, kError, " Not read: 1 lines that are not records (first: line 1)."}},
        {"end_only.hex", kEnd, false, {kNoData, kError}},
        {"pic32_for_pic18.hex", kHigh + kEnd, false,
         {kNoData, kError, " Not written: 4 bytes at 0x1D000000..0x1D000003 above the flash (configuration, EEPROM, IDs)."}},
        {"blank_led.hex", " \t:0400000001020304F2\n" + kEnd, true, {"  EoFlash: Address 0x000003"}},
        {"not_records.hex", kData + "; comment\n\n;0400100001020304E2\n" + kEnd, true,
         {" Not read: 2 lines that are not records (first: line 2).", "  EoFlash: Address 0x000003"}},
        {"segment.hex", ":020000020100FB\n" + kData + kEnd, true, {"  EoFlash: Address 0x001003"}},
        {"bad_sum.hex", kData + kBadSum + kEnd, false,
         {kError, " Line 2: wrong checksum", "1 checksum errors found!"}},
        {"bad_digit.hex", kData + ":04001G0001020304F2\n" + kEnd, false,
         {kError, " Line 2: 'G' is not a hex digit", "1 checksum errors found!"}},
        {"control_char.hex", ":04\x01" "00000001020304F2\n" + kEnd, false,
         {kError, " Line 1: character 0x01 is not a hex digit", "1 checksum errors found!"}},
        {"cut_record.hex", kData + ":0400\n" + kEnd, false,
         {kError, " Line 2: record cut short", "1 checksum errors found!"}},
        {"overlap.hex", kData + "\n:02700200AABB27\n" + kEnd, false,
         {" Image is too big for this PIC and", " would overwrite (part of) bootloader!",
          " Programming will be aborted.", kError, " Line 3: data at 0x7002 overlaps the bootloader"}},
        // A line may hold MaxHexLineLength characters (line end not counted), not one more.
        {"longest_line.hex", std::string(MaxHexLineLength, ';') + "\r\n" + kData + kEnd, true,
         {" Not read: 1 lines that are not records (first: line 1).", "  EoFlash: Address 0x000003"}},
        {"too_long.hex", kData + std::string(MaxHexLineLength + 1, ';') + "\n" + kEnd, false,
         {kError, " Line 2: line too long"}},
        {"junk_without_line_end.hex", std::string(300000, 'J'), false, {kError, " Line 1: line too long"}},
    };
}

TEST_F(HexIntakeTest, BadFilesAreRefusedWithTheirLines) {
    for (const TBadFile& c : BadFiles()) {
        rec.lines.clear();
        ResetLogState();
        const std::string path = WriteTempFile(c.name, c.text);
        EXPECT_EQ(ParseHexFile(path), c.ok) << c.name;
        std::vector<std::string> expected = {std::string("Parsing HEX file: ") + c.name};
        expected.insert(expected.end(), c.log.begin(), c.log.end());
        EXPECT_EQ(Log(), expected) << c.name;
    }
}

TEST_F(HexIntakeTest, AnOverlongLineStopsTheReadAtOnce) {
    // Bounded reading: the junk line is refused after a few KiB, and the records behind it are never read.
    const std::string path = WriteTempFile("junk.hex", std::string(8 << 20, 'x') + "\n" + kData + kEnd);
    EXPECT_FALSE(ParseHexFile(path));
    EXPECT_EQ(rec.processCalls, 0);
    EXPECT_EQ(LastHexParseStats().lines, 0);
    EXPECT_EQ(FlashImage[0], 0xFF);
}

TEST_F(HexIntakeTest, OnlyRegularFilesAndStandardInputAreRead) {
    char dir[] = "/tmp/quarnel-intake-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/pipe.hex";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        std::string name;
        std::string kind;
    } cases[] = {{"/dev/zero", "zero", "a character device"},
                 {dir, std::string(dir).substr(5), "a directory"},
                 {fifo, "pipe.hex", "a FIFO"}};
    for (const auto& c : cases) {
        rec.lines.clear();
        ResetLogState();
        EXPECT_FALSE(ParseHexFile(c.path)) << c.path;  // a FIFO without a writer must not block
        EXPECT_EQ(Log(), std::vector<std::string>({"Parsing HEX file: " + c.name, "Unable to open file " + c.name,
                                                   kError, " Not a regular file: " + c.kind}))
            << c.path;
        EXPECT_EQ(rec.processCalls, 0);
    }
    ::unlink(fifo.c_str());
    ::rmdir(dir);
}

TEST_F(HexIntakeTest, ReadErrorFailsTheParse) {
    // A regular file whose first read fails (address 0 of this process is not mapped).
    EXPECT_FALSE(ParseHexFile("/proc/self/mem"));
    EXPECT_EQ(Log(), std::vector<std::string>({"Parsing HEX file: mem", kError, " Line 1: read error (Input/output error)"}));
}

// Runs a parse of "-" with standard input taken from the given file descriptor.
bool ParseFromStdin(int fd) {
    const int saved = ::dup(STDIN_FILENO);
    ::dup2(fd, STDIN_FILENO);
    const bool ok = ParseHexFile(StdinPath);
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    return ok;
}

TEST_F(HexIntakeTest, StandardInputIsTheOneStreamTaken) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const std::string text = kData + kEnd;
    ASSERT_EQ(::write(p[1], text.data(), text.size()), ssize_t(text.size()));
    ::close(p[1]);
    EXPECT_TRUE(ParseFromStdin(p[0]));
    ::close(p[0]);
    EXPECT_EQ(Log(), std::vector<std::string>({"Parsing HEX file: standard input", "  EoFlash: Address 0x000003"}));
    EXPECT_EQ(FlashImage[0], 0x01);

    // Cut short in the pipe: refused like a file.
    rec.lines.clear();
    ResetLogState();
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::write(p[1], kData.data(), kData.size()), ssize_t(kData.size()));
    ::close(p[1]);
    EXPECT_FALSE(ParseFromStdin(p[0]));
    ::close(p[0]);
    EXPECT_EQ(Log(), std::vector<std::string>({"Parsing HEX file: standard input", kNoEnd, kError}));
}

}  // namespace
