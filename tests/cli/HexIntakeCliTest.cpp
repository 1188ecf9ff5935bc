// The built quarnel program on files it must refuse before the board is touched, on a HEX file from
// standard input, and on the erase command.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
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
};

TEST(QuarnelHexIntake, RefusedFilesAndStandardInput) {
    TScratchDir dir;
    WriteText(dir.File("sum.hex"), ":0400000001020304F3\n:00000001FF\n");
    WriteText(dir.File("end_only.hex"), ":00000001FF\n");
    WriteText(dir.File("cut.hex"), ":0400000001020304F2\n");
    WriteText(dir.File("digit.hex"), ":0400000001020304F2\n:04001000010G0304F2\n:00000001FF\n");
    const std::string blink = ExamplePath("pic18/blink18.hex");
    const std::vector<TIntakeCase> cases = {
        {"wrong checksum", {"flash", "@sum.hex"}, "", 3,
         {"Error parsing hex file.", " Line 1: wrong checksum", "1 checksum errors found!"},
         "HEX file refused, nothing was flashed; --ignore-checksums flashes records with a wrong checksum (exit 3)"},
        {"wrong checksum allowed", {"flash", "@sum.hex", "--ignore-checksums"}, "", 0,
         {"1 checksum errors found!", "Flashing complete."}, "PIC18 flashed"},
        {"no data", {"flash", "@end_only.hex"}, "", 3,
         {"File holds no data for this target!", "Error parsing hex file."}, "(exit 3)"},
        {"cut short", {"flash", "@cut.hex"}, "", 3,
         {"No end record: the file may be cut short!", "Error parsing hex file."}, "(exit 3)"},
        {"bad digit", {"flash", "@digit.hex"}, "", 3, {"Error parsing hex file.", " Line 2: 'G' is not a hex digit"},
         "(exit 3)"},
        {"device", {"flash", "/dev/zero"}, "", 1, {}, "/dev/zero is a character device, not a HEX file"},
        {"directory", {"flash", "@"}, "", 1, {}, "is a directory, not a HEX file"},
        {"standard input", {"flash", "-"}, blink, 0, {"Parsing HEX file: standard input", "Flashing complete."},
         "PIC18 flashed"},
        {"empty standard input", {"flash", "-"}, "", 3,
         {"No end record: the file may be cut short!", "File holds no data for this target!"}, "(exit 3)"},
        {"standard input for every board", {"flash", "-", "--all"}, blink, 1, {}, "cannot share standard input"},
    };
    for (const TIntakeCase& c : cases) {
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(a[0] == '@' ? dir.File(a.substr(1)) : a);
        args.insert(args.end(), {"--simulate", "pic18", "--sim-dump", dir.File("dump")});
        std::remove(dir.File("dump-flash.bin").c_str());
        const TRunResult r = RunQuarnel(args, 120, c.stdinPath.empty() ? "/dev/null" : c.stdinPath);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.err;
        const std::vector<std::string> lines = r.OutLines();
        for (const std::string& l : c.outLines)
            EXPECT_TRUE(Contains(lines, l)) << c.what << ": no line \"" << l << "\" in\n" << r.out;
        EXPECT_NE(r.err.find(c.errText), std::string::npos) << c.what << ": " << r.err;
        if (c.exitCode == 3) {
            // Refused: nothing erased, the virtual board's flash is as it was.
            const std::vector<unsigned char> flash = ReadBinary(dir.File("dump-flash.bin"));
            ASSERT_EQ(flash.size(), 65536u) << c.what;
            EXPECT_NE(flash[0x100], 0xFF) << c.what;
            EXPECT_EQ(r.out.find("Erasing"), std::string::npos) << c.what;
        }
    }
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
