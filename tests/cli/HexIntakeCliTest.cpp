// The built quarnel program on files it must refuse before the board is touched, on a HEX file from
// standard input, and on the erase command.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RunQuarnel.h"

namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct TIntakeCase {
    const char* what;
    std::vector<std::string> args;  // "@name" is a file of the scratch folder
    std::string stdinPath;          // "" for /dev/null
    int exitCode;
    std::vector<std::string> outLines;  // each must appear on stdout
    std::string errText;                // must appear on stderr
    std::string family = "pic18";       // with "--sim KEY=VALUE,..." after a blank
    std::vector<std::pair<uint32_t, int>> flash;  // dump offsets and the bytes they must hold
};

TEST(QuarnelHexIntake, RefusedFilesAndStandardInput) {
    TScratchDir dir;
    WriteText(dir.File("sum.hex"), ":0400000001020304F3\n:00000001FF\n");
    WriteText(dir.File("end_only.hex"), ":00000001FF\n");
    WriteText(dir.File("cut.hex"), ":0400000001020304F2\n");
    WriteText(dir.File("digit.hex"), ":0400000001020304F2\n:04001000010G0304F2\n:00000001FF\n");
    const std::string end = ":00000001FF\n";
    WriteText(dir.File("virtual.hex"), ":020000049D005D\n:1010000011111111111111111111111111111111D0\n" + end);
    WriteText(dir.File("segment.hex"), ":1000000022222222222222222222222222222222D0\n:020000020100FB\n"
                                       ":1000000033333333333333333333333333333333C0\n" + end);
    WriteText(dir.File("lines.hex"), "  :1000000022222222222222222222222222222222D0\n;1000100011\n\n"
                                     "x1000200011\n" + end + "\x1a");
    WriteText(dir.File("combined.hex"), ":1000000022222222222222222222222222222222D0\n"
                                        ":10F2000044444444444444444444444444444444BE\n" + end);
    WriteText(dir.File("config32.hex"), ":020000041FC01B\n:102FF0005555555555555555555555555555555581\n" + end);
    WriteText(dir.File("short.hex"), ":10010000AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAF9\n" + end);
    WriteText(dir.File("high_pc.hex"), ":020000040008F2\n:040000006677880097\n" + end);
    WriteText(dir.File("upper1.hex"), ":0100000401FA\n:1000000022222222222222222222222222222222D0\n" + end);
    WriteText(dir.File("differ.hex"), ":020010000102EB\n:020010000102EB\n:020010000103EA\n" + end);
    WriteText(dir.File("ram32.hex"), ":02000004A0005A\n:020000001234B8\n" + end);
    const std::string blink = ExamplePath("pic18/blink18.hex");
    const std::vector<TIntakeCase> cases = {
        {"wrong checksum", {"flash", "@sum.hex"}, "", 3,
         {"Error parsing hex file.", " Line 1: wrong checksum", "1 checksum errors found!"},
         "HEX file refused, nothing was flashed; --ignore-checksums flashes records with a wrong checksum (exit 3)", "pic18", {}},
        {"wrong checksum allowed", {"flash", "@sum.hex", "--ignore-checksums"}, "", 0,
         {"1 checksum errors found!", "Flashing complete."}, "PIC18 flashed", "pic18", {}},
        {"no data", {"flash", "@end_only.hex"}, "", 3,
         {"File holds no data for this target!", "Error parsing hex file."}, "(exit 3)", "pic18", {}},
        {"cut short", {"flash", "@cut.hex"}, "", 3,
         {"No end record: the file may be cut short!", "Error parsing hex file."}, "(exit 3)", "pic18", {}},
        {"bad digit", {"flash", "@digit.hex"}, "", 3, {"Error parsing hex file.", " Line 2: 'G' is not a hex digit"},
         "(exit 3)", "pic18", {}},
        {"device", {"flash", "/dev/zero"}, "", 1, {}, "/dev/zero is a character device, not a HEX file", "pic18", {}},
        {"directory", {"flash", "@"}, "", 1, {}, "is a directory, not a HEX file", "pic18", {}},
        {"standard input", {"flash", "-"}, blink, 0, {"Parsing HEX file: standard input", "Flashing complete."},
         "PIC18 flashed", "pic18", {}},
        {"empty standard input", {"flash", "-"}, "", 3,
         {"No end record: the file may be cut short!", "File holds no data for this target!"}, "(exit 3)", "pic18", {}},
        {"standard input for every board", {"flash", "-", "--all"}, blink, 1, {}, "cannot share standard input", "pic18", {}},
        {"PIC32 virtual address", {"flash", "@virtual.hex"}, "", 0, {"Flashing complete."}, "PIC32 flashed",
         "pic32", {{0x1000, 0x11}, {0x100F, 0x11}}},
        {"segment base", {"flash", "@segment.hex"}, "", 0, {"Flashing complete."}, "PIC18 flashed", "pic18",
         {{0x0004, 0x22}, {0x1000, 0x33}, {0x100F, 0x33}}},
        {"lines that are no records", {"flash", "@lines.hex", "-q"}, "", 0,
         {" Not read: 2 lines that are not records (first: line 2)."}, "PIC18 flashed", "pic18", {{0x0004, 0x22}}},
        {"lines that are no records, strict", {"flash", "@lines.hex", "--strict"}, "", 3,
         {"Strict: not all of the file is written!", "Error parsing hex file."}, "(exit 3)", "pic18", {}},
        {"data in the bootloader", {"flash", "@combined.hex", "-q"}, "", 0,
         {" Not written: 16 bytes at 0x00F200..0x00F20F lie in the bootloader."}, "PIC18 flashed", "pic18", {}},
        {"data in the bootloader, strict", {"flash", "@combined.hex", "--strict"}, "", 3,
         {" Not written: 16 bytes at 0x00F200..0x00F20F lie in the bootloader."}, "(exit 3)", "pic18", {}},
        {"PIC32 boot block kept", {"flash", "@config32.hex", "-q"}, "", 0,
         {" Not written: 16 bytes at 0x1FC02FF0..0x1FC02FFF in the boot flash block left as it is."},
         "PIC32 flashed", "pic32", {}},
        {"count above the data", {"flash", "@short.hex", "--ignore-checksums"}, "", 3,
         {"Error parsing hex file.", " Line 1: record length does not match its count"}, "(exit 3)", "pic18", {}},
        {"dsPIC above PC 0x40000", {"flash", "@high_pc.hex"}, "", 0, {"Flashing complete."}, "dsPIC flashed",
         "dspic --sim boot-start=0x50000,flash-size=0x80000", {{0x60000, 0x66}, {0x60002, 0x88}}},
        {"one-byte address record", {"flash", "@upper1.hex"}, "", 3,
         {"Error parsing hex file.", " Line 1: type 04 record holds 1 bytes instead of 2"}, "(exit 3)", "pic18", {}},
        {"contradictory data", {"flash", "@differ.hex"}, "", 3,
         {"Error parsing hex file.", " Line 3: data at 0x0011 differs from line 2"}, "(exit 3)", "pic18", {}},
        {"PIC32 RAM", {"flash", "@ram32.hex"}, "", 3,
         {"Error parsing hex file.", " Line 2: data at 0xA0000000 is outside program and boot flash"}, "(exit 3)",
         "pic32", {}},
    };
    for (const TIntakeCase& c : cases) {
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(a[0] == '@' ? dir.File(a.substr(1)) : a);
        std::istringstream family(c.family);
        args.push_back("--simulate");
        for (std::string word; family >> word;) args.push_back(word);
        args.insert(args.end(), {"--sim-dump", dir.File("dump")});
        std::remove(dir.File("dump-flash.bin").c_str());
        const TRunResult r = RunQuarnel(args, 120, c.stdinPath.empty() ? "/dev/null" : c.stdinPath);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.err;
        const std::vector<std::string> lines = r.OutLines();
        for (const std::string& l : c.outLines)
            EXPECT_TRUE(Contains(lines, l)) << c.what << ": no line \"" << l << "\" in\n" << r.out;
        EXPECT_NE(r.err.find(c.errText), std::string::npos) << c.what << ": " << r.err;
        const std::vector<unsigned char> flash = ReadBinary(dir.File("dump-flash.bin"));
        for (const auto& [offset, byte] : c.flash) {
            ASSERT_LT(offset, flash.size()) << c.what;
            EXPECT_EQ(flash[offset], byte) << c.what << " at " << offset;
        }
        if (c.exitCode == 3 && c.family == "pic18") {
            // Refused: nothing erased, the virtual board's flash is as it was.
            ASSERT_EQ(flash.size(), 65536u) << c.what;
            EXPECT_NE(flash[0x100], 0xFF) << c.what;
            EXPECT_EQ(r.out.find("Erasing"), std::string::npos) << c.what;
        }
    }
    // JSON names every kind of data left out, with its range in the target's units.
    const TRunResult json = RunQuarnel({"flash", dir.File("combined.hex"), "--simulate", "pic18", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const nlohmann::json result = nlohmann::json::parse(SplitLines(json.out).back());
    EXPECT_EQ(result["not_written"],
              nlohmann::json::parse(R"([{"from":61952,"to":61967,"bytes":16,"reason":"bootloader"}])"));
}

TEST(QuarnelErase, ErasesAndPlantsTheJumpToTheBootloader) {
    TScratchDir dir;
    const TRunResult r = RunQuarnel({"erase", "--simulate", "pic18", "--sim-dump", dir.File("e"), "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("PIC18 application erased in "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("; only the bootloader is left and starts at reset"), std::string::npos) << r.err;
    bool said = false;
    std::string result;
    for (const std::string& l : SplitLines(r.out)) {
        const nlohmann::json e = nlohmann::json::parse(l, nullptr, false);
        if (e.value("event", "") == "log" && e.dump().find("Erasing the application: no image is written.") != std::string::npos)
            said = true;
        if (e.value("event", "") == "result") result = e.value("result", "") + " " + e.value("command", "");
    }
    EXPECT_TRUE(said) << r.out;
    EXPECT_EQ(result, "erased erase");
    const std::vector<unsigned char> flash = ReadBinary(dir.File("e-flash.bin"));
    ASSERT_EQ(flash.size(), 65536u);
    // goto 0xF000 at the reset vector, everything else below the bootloader erased.
    EXPECT_EQ(std::vector<unsigned char>(flash.begin(), flash.begin() + 4),
              std::vector<unsigned char>({0x00, 0xEF, 0x78, 0xF0}));
    EXPECT_TRUE(std::all_of(flash.begin() + 4, flash.begin() + 0xF000, [](unsigned char b) { return b == 0xFF; }));

    const TRunResult help = RunQuarnel({"--help"});
    EXPECT_NE(help.out.find("erase"), std::string::npos);
}

}  // namespace
