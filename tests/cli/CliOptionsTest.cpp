// Option parsing and the settings of the virtual boards.

#include <gtest/gtest.h>

#include <algorithm>

#include "cli/CliOptions.h"

namespace {

bool Has(const std::vector<std::string>& args, const std::string& a, const std::string& b) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == a && args[i + 1] == b) return true;
    return false;
}

TCliOptions Sim(const std::string& family, int boards = 1) {
    TCliOptions o;
    o.command = TCommand::Flash;
    o.file = "x.hex";
    o.simulate = family;
    o.boards = boards;
    return o;
}

} // namespace

TEST(CliNumbers, HexIdsWithOrWithoutPrefix) {
    uint16_t v = 0;
    EXPECT_TRUE(ParseHexId("3930", v));
    EXPECT_EQ(v, 0x3930);
    EXPECT_TRUE(ParseHexId("0x04d8", v));
    EXPECT_EQ(v, 0x04D8);
    EXPECT_TRUE(ParseHexId("FFFF", v));
    EXPECT_EQ(v, 0xFFFF);
    for (const char* bad : {"10000", "", "0x", "xyz", "-1", "12 "})
        EXPECT_FALSE(ParseHexId(bad, v)) << bad;
}

TEST(CliNumbers, DecimalOrHexWithinTheMaximum) {
    uint64_t v = 0;
    EXPECT_TRUE(ParseCliNumber("4096", 0xFFFF, v));
    EXPECT_EQ(v, 4096u);
    EXPECT_TRUE(ParseCliNumber("0x9D07C000", 0xFFFFFFFF, v));
    EXPECT_EQ(v, 0x9D07C000u);
    EXPECT_FALSE(ParseCliNumber("65536", 0xFFFF, v));
    EXPECT_FALSE(ParseCliNumber("12a", 0xFFFF, v));
    EXPECT_FALSE(ParseCliNumber("0x", 0xFFFF, v));
    EXPECT_FALSE(ParseCliNumber("18446744073709551616", UINT64_MAX, v));
}

TEST(CliSettings, SplitsKeyValueLists) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string error;
    ASSERT_TRUE(SplitSettings("erase-block=128,descriptor=", pairs, error));
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0], std::make_pair(std::string("erase-block"), std::string("128")));
    EXPECT_EQ(pairs[1].second, "");
    for (const char* bad : {"", "a", "=1", "a=1,", "a=1,,b=2"}) {
        pairs.clear();
        EXPECT_FALSE(SplitSettings(bad, pairs, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(CliSettings, BoardsGetPathsSerialsAndTheirOwnFaults) {
    TCliOptions o = Sim("pic24", 3);
    o.sim = {"erase-block=0x300,drop-answer=9"};
    o.boardSim = {"2:wrong-echo=7,unplug-at=8,stop-writes=12", "3:serial=ABC,plug-after-ms=1500"};
    std::vector<TSimBoardSetup> boards;
    std::string error;
    ASSERT_TRUE(BuildSimBoards(o, boards, error)) << error;
    ASSERT_EQ(boards.size(), 3u);
    EXPECT_EQ(boards[0].profile.path, "sim:1");
    EXPECT_EQ(boards[2].profile.path, "sim:3");
    EXPECT_EQ(boards[0].profile.serial, "SIM0001");
    EXPECT_EQ(boards[2].profile.serial, "ABC");
    for (const auto& b : boards) {
        EXPECT_EQ(b.profile.family, 4);
        EXPECT_EQ(b.profile.eraseBlock, 0x300);
        EXPECT_EQ(b.faults.dropAnswerAt, 9);
    }
    EXPECT_EQ(boards[0].faults.wrongEchoAt, 0);
    EXPECT_EQ(boards[1].faults.wrongEchoAt, 7);
    EXPECT_EQ(boards[1].faults.unplugAt, 8);
    EXPECT_EQ(boards[1].faults.stopWritesAt, 12);
    EXPECT_FALSE(boards[1].plugAfterMs.has_value());
    ASSERT_TRUE(boards[2].plugAfterMs.has_value());
    EXPECT_EQ(*boards[2].plugAfterMs, 1500u);
}

TEST(CliSettings, BadBoardSettingsAreRefused) {
    const std::vector<std::vector<std::string>> sims = {{"bogus=1"}, {"drop-answer=0"}, {"flash-size=x"}};
    for (const auto& s : sims) {
        TCliOptions o = Sim("pic18");
        o.sim = s;
        std::vector<TSimBoardSetup> boards;
        std::string error;
        EXPECT_FALSE(BuildSimBoards(o, boards, error)) << s[0];
        EXPECT_FALSE(error.empty());
    }
    for (const char* item : {"0:serial=A", "3:serial=A", "serial=A", "x:serial=A", "1:nokey"}) {
        TCliOptions o = Sim("pic18", 2);
        o.boardSim = {item};
        std::vector<TSimBoardSetup> boards;
        std::string error;
        EXPECT_FALSE(BuildSimBoards(o, boards, error)) << item;
    }
    TCliOptions o = Sim("pic19");
    std::vector<TSimBoardSetup> boards;
    std::string error;
    EXPECT_FALSE(BuildSimBoards(o, boards, error));
}

TEST(CliValidate, CombinationsThatMakeNoSense) {
    std::string error;
    TCliOptions real;
    real.command = TCommand::Flash;
    EXPECT_TRUE(ValidateOptions(real, error)) << error;
    TCliOptions o = real;
    o.sim = {"drop-answer=3"};
    EXPECT_FALSE(ValidateOptions(o, error));
    EXPECT_NE(error.find("--simulate"), std::string::npos);
    o = real;
    o.realTime = true;
    EXPECT_FALSE(ValidateOptions(o, error));
    o = real;
    o.vid = 0;
    o.pid = 0;
    EXPECT_FALSE(ValidateOptions(o, error));
    o = Sim("pic18");
    o.all = true;
    o.path = "sim:1";
    EXPECT_FALSE(ValidateOptions(o, error));
    o = Sim("pic18", MaxBoards + 1);
    EXPECT_FALSE(ValidateOptions(o, error));
    o = Sim("pic18");
    o.waitSeconds = -1;
    EXPECT_FALSE(ValidateOptions(o, error));
    o = Sim("pic18");
    o.waitSeconds = 2.5;
    o.sim = {"latency-ms=3"};
    EXPECT_TRUE(ValidateOptions(o, error)) << error;    // The production line's options.
    o = real;
    o.sha256 = std::string(63, 'a');
    EXPECT_FALSE(ValidateOptions(o, error));
    o.sha256 = std::string(63, 'a') + "g";
    EXPECT_FALSE(ValidateOptions(o, error));
    o.sha256 = std::string(63, 'a') + "F";
    EXPECT_TRUE(ValidateOptions(o, error)) << error;
    o.file = "-";
    EXPECT_FALSE(ValidateOptions(o, error));
    o = real;
    o.expectFamily = "pic17";
    EXPECT_FALSE(ValidateOptions(o, error));
    o.expectFamily = "dsPIC";
    EXPECT_TRUE(ValidateOptions(o, error)) << error;
    o = real;
    o.command = TCommand::Station;
    for (const int parallel : {0, MaxBoards + 1}) {
        o.parallel = parallel;
        EXPECT_FALSE(ValidateOptions(o, error)) << parallel;
    }
    o.parallel = MaxBoards;
    EXPECT_TRUE(ValidateOptions(o, error)) << error;
    o.count = -1;
    EXPECT_FALSE(ValidateOptions(o, error));
}

TEST(CliChildren, ArgumentsSelectTheBoardAndKeepTheSettings) {
    TCliOptions o = Sim("pic32", 4);
    o.sim = {"latency-ms=1"};
    o.boardSim = {"3:drop-answer=50"};
    o.trace = "/tmp/t.txt";
    o.simDump = "/tmp/d";
    o.disableBootloader = true;
    o.all = true;
    const std::vector<std::string> a = ChildArguments(o, "sim:3", 3);
    ASSERT_GE(a.size(), 2u);
    EXPECT_EQ(a[0], "flash");
    EXPECT_EQ(a[1], "x.hex");
    EXPECT_TRUE(Has(a, "--path", "sim:3"));
    EXPECT_TRUE(Has(a, "--simulate", "pic32"));
    EXPECT_TRUE(Has(a, "--boards", "4"));
    EXPECT_TRUE(Has(a, "--sim", "latency-ms=1"));
    EXPECT_TRUE(Has(a, "--board-sim", "3:drop-answer=50"));
    EXPECT_TRUE(Has(a, "--trace", "/tmp/t.txt.3"));
    EXPECT_TRUE(Has(a, "--sim-dump", "/tmp/d-3"));
    EXPECT_TRUE(Has(a, "--vid", "3930"));
    EXPECT_NE(std::find(a.begin(), a.end(), "--json"), a.end());
    EXPECT_NE(std::find(a.begin(), a.end(), "--disable-bootloader"), a.end());
    EXPECT_EQ(std::find(a.begin(), a.end(), "--all"), a.end());
    EXPECT_EQ(std::find(a.begin(), a.end(), "--real-time"), a.end());
    EXPECT_EQ(std::find(a.begin(), a.end(), "--ignore-checksums"), a.end());
    o.ignoreChecksums = true;
    const std::vector<std::string> b = ChildArguments(o, "sim:3", 3);
    EXPECT_NE(std::find(b.begin(), b.end(), "--ignore-checksums"), b.end());
    // Each board checks the file and itself, so that a file replaced meanwhile is still refused.
    o.sha256 = std::string(64, 'a');
    o.expectFamily = "pic32";
    o.expectDescriptor = "Board A";
    o.record = "/tmp/r.jsonl";
    const std::vector<std::string> c = ChildArguments(o, "sim:3", 3);
    EXPECT_TRUE(Has(c, "--sha256", o.sha256));
    EXPECT_TRUE(Has(c, "--expect-family", "pic32"));
    EXPECT_TRUE(Has(c, "--expect-descriptor", "Board A"));
    EXPECT_EQ(std::find(c.begin(), c.end(), "--record"), c.end()); // the parent records
}

TEST(CliExitCodes, FlashResults) {
    EXPECT_EQ(ExitCodeForFlash(TFlashResult::Flashed), 0);
    EXPECT_EQ(ExitCodeForFlash(TFlashResult::FileRefused), 3);
    EXPECT_EQ(ExitCodeForFlash(TFlashResult::TargetRefused), 3);
    EXPECT_EQ(ExitCodeForFlash(TFlashResult::CommFailed), 4);
    EXPECT_EQ(ExitCodeForFlash(TFlashResult::FinalCommandFailed), 4);
    EXPECT_EQ(ExitCodeForFlash(TFlashResult::TargetDiffers), 5);
    EXPECT_EQ(ExitCodeForFlash(TFlashResult::None), 2);
}
