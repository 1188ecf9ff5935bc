// ParseHexFile against files and tools from outside this program: blink16.hex and blink18.hex were made by
// gpasm from the .asm files beside them (kept as the assembler wrote them), and srec_cat turns the same HEX
// files into flat binaries to compare with the image.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "boot/BL_HexParser.h"
#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "support/TestSupport.h"

namespace {

const char* const kSrecCat = "/usr/bin/srec_cat";

// A strict reader for well-formed files: checksums verified, types 00, 01 and 04 only. It gives the
// absolute file address of every data byte, so that the tests can say where each byte has to go.
struct TReference {
    std::map<uint32_t, uint8_t> bytes;
    std::string error; // empty when the file was well formed
};

TReference ReadReference(const std::string& path) {
    TReference ref;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ref.error = "cannot open " + path;
        return ref;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    uint32_t upper = 0;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (line[0] != ':' || line.size() % 2 != 1) {
            ref.error = where + "not a record";
            return ref;
        }
        std::vector<uint8_t> b;
        for (size_t i = 1; i + 1 < line.size(); i += 2) {
            const int hi = nibble(line[i]);
            const int lo = nibble(line[i + 1]);
            if (hi < 0 || lo < 0) {
                ref.error = where + "bad digit";
                return ref;
            }
            b.push_back(uint8_t(hi * 16 + lo));
        }
        unsigned sum = 0;
        for (uint8_t v : b)
            sum += v;
        if (b.size() < 5 || b.size() != size_t(b[0]) + 5 || (sum & 0xFF) != 0) {
            ref.error = where + "bad length or checksum";
            return ref;
        }
        const uint32_t address = uint32_t(b[1]) << 8 | b[2];
        switch (b[3]) {
        case 0x00:
            for (size_t i = 0; i < b[0]; ++i)
                ref.bytes[(upper << 16) + address + uint32_t(i)] = b[4 + i];
            break;
        case 0x01:
            return ref;
        case 0x04:
            if (b[0] != 2) {
                ref.error = where + "bad type 04 record";
                return ref;
            }
            upper = uint32_t(b[4]) << 8 | b[5];
            break;
        default:
            ref.error = where + "unexpected record type";
            return ref;
        }
    }
    ref.error = "no end record";
    return ref;
}

class TScratchDir {
public:
    TScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quarnel-hex-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~TScratchDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;
    bool Ok() const { return !m_path.empty(); }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string Hex(uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << std::uppercase << v;
    return s.str();
}

// srec_cat's picture of [0, limit) of the file with gaps filled with `fill`; empty on failure.
std::vector<uint8_t> SrecImage(const TScratchDir& dir, const std::string& hexPath, uint32_t limit, int fill) {
    const std::string out = dir.File("out.bin");
    const std::string cmd = std::string(kSrecCat) + " '" + hexPath + "' -Intel -crop 0 " + Hex(limit) +
                            " -fill " + Hex(uint32_t(fill)) + " 0 " + Hex(limit) + " -o '" + out +
                            "' -Binary 2>'" + dir.File("err.txt") + "'";
    if (std::system(cmd.c_str()) != 0) {
        std::ifstream err(dir.File("err.txt"));
        ADD_FAILURE() << "srec_cat failed: " << cmd << "\n"
                      << std::string(std::istreambuf_iterator<char>(err), {});
        return {};
    }
    std::ifstream in(out, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class HexParseToolchainTest : public TProgramTest {
protected:
    void Target(uint8_t family, uint32_t bootStart) {
        McuFamily = family;
        BootInfo.BootStart = bootStart;
        BootStartOffset = bootStart & 0xFFFFFF;
        FlashImage.fill(0xA5); // stale data that the parse must clear
    }
    static uint8_t Filler(size_t offset) { return (McuFamily == FamPic16 && (offset & 1)) ? 0x3F : 0xFF; }

    // Every byte below `limit` must be the reference's byte at that address, every other image byte
    // erased flash; and the reference must hold bytes above `dropAbove` that the parse had to drop.
    void ExpectPlacement(const TReference& ref, uint32_t limit, uint32_t dropAbove) {
        ASSERT_EQ(ref.error, "");
        int64_t last = -1;
        size_t dropped = 0;
        for (const auto& [address, value] : ref.bytes) {
            if (address < limit) last = address;
            if (address >= dropAbove) ++dropped;
        }
        EXPECT_GT(dropped, 0u) << "the file should carry configuration or EEPROM bytes";
        EXPECT_EQ(EoFlash, last);
        int reported = 0;
        for (size_t i = 0; i < FlashImage.size() && reported < 8; ++i) {
            const auto it = ref.bytes.find(uint32_t(i));
            const uint8_t expected = (it != ref.bytes.end() && i < limit) ? it->second : Filler(i);
            if (FlashImage[i] != expected) {
                ADD_FAILURE() << "FlashImage[0x" << std::hex << i << "] is 0x" << int(FlashImage[i])
                              << ", expected 0x" << int(expected);
                ++reported;
            }
        }
    }
};

// ---------------------------------------------------------------------------------------------------------
// gpasm output, checked against the reference reader.

TEST_F(HexParseToolchainTest, Gpasm18PlacesEveryProgramByteAndDropsConfigAndEeprom) {
    // Boot start 0x7000: bytes below 0x6FFC are stored; config at 0x300000 and EEPROM at 0xF00000 are
    // dropped. The last program byte is the end of the table at 0x600F.
    Target(FamPic18, 0x7000);
    const std::string path = TestDataPath("hex/blink18.hex");
    const TReference ref = ReadReference(path);
    EXPECT_TRUE(ParseHexFile(path));
    EXPECT_EQ(rec.Trimmed(),
              std::vector<std::string>({"Parsing HEX file: blink18.hex", " Not written: 15 bytes at 0x300000..0xF00002 above the flash (configuration, EEPROM, IDs).", "  EoFlash: Address 0x00600F"}));
    EXPECT_EQ(EoFlash, 0x600F);
    EXPECT_EQ(ref.bytes.count(0x300000), 1u);
    EXPECT_EQ(ref.bytes.count(0xF00000), 1u);
    ExpectPlacement(ref, 0x6FFC, 0x7100);
    // A few bytes read off the listing: goto start (EF0D F000), retfie FAST at 0x0008, table text.
    EXPECT_EQ(FlashImage[0x0000], 0x0D);
    EXPECT_EQ(FlashImage[0x0001], 0xEF);
    EXPECT_EQ(FlashImage[0x0008], 0x11);
    EXPECT_EQ(FlashImage[0x6000], 'Q');
    EXPECT_EQ(FlashImage[0x600E], 0x7E);
}

TEST_F(HexParseToolchainTest, Gpasm16PlacesEveryProgramWordAndDropsConfigAndEeprom) {
    // Boot start word 0x1C00: file bytes below 0x37FE are stored; config words 0x2007/0x2008 (file 0x400E)
    // and EEPROM (file 0x4200) are dropped. The last program byte is 0x1011, word 0x808.
    Target(FamPic16, 0x1C00);
    const std::string path = TestDataPath("hex/blink16.hex");
    const TReference ref = ReadReference(path);
    EXPECT_TRUE(ParseHexFile(path));
    EXPECT_EQ(rec.Trimmed(),
              std::vector<std::string>({"Parsing HEX file: blink16.hex",
                                        " Not written: 10 bytes at 0x002007..0x002102 above the flash (configuration, EEPROM, IDs).",
                                        "  EoFlash: Address 0x000808"}));
    EXPECT_EQ(EoFlash, 0x1011);
    EXPECT_EQ(ref.bytes.count(0x400E), 1u);
    EXPECT_EQ(ref.bytes.count(0x4200), 1u);
    ExpectPlacement(ref, 0x37FE, 0x3A00);
    // goto start = 0x2805 at word 0; the unused words 1 to 3 read 0x3FFF.
    EXPECT_EQ(FlashImage[0x0000], 0x05);
    EXPECT_EQ(FlashImage[0x0001], 0x28);
    EXPECT_EQ(FlashImage[0x0002], 0xFF);
    EXPECT_EQ(FlashImage[0x0003], 0x3F);
}

TEST_F(HexParseToolchainTest, Gpasm18WithBootStartInsideTheTableIsRefused) {
    // Boot start 0x6008: the table bytes 0x6004.. fall in the refused window, those before it are stored.
    Target(FamPic18, 0x6008);
    const std::string path = TestDataPath("hex/blink18.hex");
    const TReference ref = ReadReference(path);
    EXPECT_FALSE(ParseHexFile(path));
    EXPECT_EQ(rec.Trimmed(),
              std::vector<std::string>({"Parsing HEX file: blink18.hex", " Image is too big for this PIC and",
                                        " would overwrite (part of) bootloader!",
                                        " Programming will be aborted.", "Error parsing hex file.",
                                        " Line 7: data at 0x6004 overlaps the bootloader",
                                        " Not written: 15 bytes at 0x300000..0xF00002 above the flash (configuration, EEPROM, IDs)."}));
    EXPECT_EQ(EoFlash, 0x6003);
    ExpectPlacement(ref, 0x6004, 0x6108);
}

// ---------------------------------------------------------------------------------------------------------
// srec_cat: for PIC18 the image offset is the file address, so [0, limit) must equal srec_cat's binary.

struct TSrecCase {
    const char* file;
    uint32_t bootStart;
};

void PrintTo(const TSrecCase& c, std::ostream* os) { *os << c.file << ", boot start " << Hex(c.bootStart); }

class HexParseSrecTest : public HexParseToolchainTest, public ::testing::WithParamInterface<TSrecCase> {};

TEST_P(HexParseSrecTest, Pic18ImageEqualsSrecCatBinary) {
    if (!std::filesystem::exists(kSrecCat)) GTEST_SKIP() << "srec_cat not installed";
    TScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    const TSrecCase& c = GetParam();
    const uint32_t limit = c.bootStart - 4;
    const std::string path = TestDataPath(std::string("hex/") + c.file);
    const std::vector<uint8_t> bin = SrecImage(dir, path, limit, 0xFF);
    ASSERT_EQ(bin.size(), limit);

    Target(FamPic18, c.bootStart);
    ASSERT_TRUE(ParseHexFile(path));
    size_t differences = 0;
    for (size_t i = 0; i < limit; ++i) {
        if (FlashImage[i] != bin[i] && ++differences <= 8)
            ADD_FAILURE() << "FlashImage[0x" << std::hex << i << "] is 0x" << int(FlashImage[i])
                          << ", srec_cat 0x" << int(bin[i]);
    }
    EXPECT_EQ(differences, 0u);
    for (size_t i = limit; i < FlashImage.size(); ++i) {
        if (FlashImage[i] != 0xFF) {
            ADD_FAILURE() << "FlashImage[0x" << std::hex << i << "] above the limit is 0x"
                          << int(FlashImage[i]);
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, HexParseSrecTest,
                         ::testing::Values(TSrecCase{"blink18.hex", 0x7000}, TSrecCase{"blink18.hex", 0x6014},
                                           TSrecCase{"pic18_basic.hex", 0x18000},
                                           TSrecCase{"pic18_lowercase.hex", 0x18000},
                                           TSrecCase{"pic18_config.hex", 0x18000}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             name = name.substr(0, name.find('.'));
                             return name + "_" + Hex(info.param.bootStart).substr(2);
                         });

// PIC16 has the 0x3F filler on odd offsets, so two srec_cat runs with different fills tell data from gaps:
// where both agree the file has a byte there, where they differ the image must hold erased flash.
TEST_F(HexParseToolchainTest, Pic16ImageEqualsSrecCatDataAndFillerElsewhere) {
    if (!std::filesystem::exists(kSrecCat)) GTEST_SKIP() << "srec_cat not installed";
    TScratchDir dir;
    ASSERT_TRUE(dir.Ok());
    for (const char* file : {"blink16.hex", "pic16_basic.hex"}) {
        SCOPED_TRACE(file);
        const uint32_t limit = 2 * (0x1C00 - 1); // first file byte of word boot start - 1
        const std::string path = TestDataPath(std::string("hex/") + file);
        const std::vector<uint8_t> ff = SrecImage(dir, path, limit, 0xFF);
        const std::vector<uint8_t> zero = SrecImage(dir, path, limit, 0x00);
        ASSERT_EQ(ff.size(), limit);
        ASSERT_EQ(zero.size(), limit);

        rec.lines.clear();
        Target(FamPic16, 0x1C00);
        ASSERT_TRUE(ParseHexFile(path));
        size_t data = 0;
        size_t differences = 0;
        for (size_t i = 0; i < limit; ++i) {
            const bool isData = ff[i] == zero[i];
            data += isData ? 1 : 0;
            const uint8_t expected = isData ? ff[i] : Filler(i);
            if (FlashImage[i] != expected && ++differences <= 8)
                ADD_FAILURE() << "FlashImage[0x" << std::hex << i << "] is 0x" << int(FlashImage[i])
                              << ", expected 0x" << int(expected);
        }
        EXPECT_EQ(differences, 0u);
        EXPECT_GT(data, 0u);
        for (size_t i = limit; i < FlashImage.size(); ++i) {
            if (FlashImage[i] != Filler(i)) {
                ADD_FAILURE() << "FlashImage[0x" << std::hex << i << "] above the limit is 0x"
                              << int(FlashImage[i]);
                break;
            }
        }
    }
}

} // namespace
