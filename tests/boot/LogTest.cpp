#include <gtest/gtest.h>

#include "boot/Log.h"
#include "support/TestSupport.h"

namespace {

using LogTest = TProgramTest;

TEST_F(LogTest, StatusLinesArePaddedOrCutToFortySevenColumns) {
    LogMessage("Flashing complete.");
    LogMessage(std::string(47, 'x'));
    LogMessage(std::string(48, 'y'));
    LogMessage(std::string(60, 'z'));
    ASSERT_EQ(rec.lines.size(), 4u);
    EXPECT_EQ(rec.lines[0], "Flashing complete." + std::string(29, ' '));
    EXPECT_EQ(rec.lines[1], std::string(47, 'x'));
    EXPECT_EQ(rec.lines[2], std::string(44, 'y') + "...");
    EXPECT_EQ(rec.lines[3], std::string(44, 'z') + "...");
}

TEST_F(LogTest, DetailLinesLoseOnlyTheirFirstBlank) {
    LogMessage("   MCUtype      : PIC18");
    LogMessage(" " + std::string(80, 'd'));
    LogMessage(" ");
    LogMessage("   ");
    ASSERT_EQ(rec.lines.size(), 4u);
    EXPECT_EQ(rec.lines[0], "  MCUtype      : PIC18");
    EXPECT_EQ(rec.lines[1], std::string(80, 'd'));
    EXPECT_EQ(rec.lines[2], "");
    EXPECT_EQ(rec.lines[3], "  ");
}

TEST_F(LogTest, DuplicatesAreJudgedByTheCallersText) {
    LogMessage("Erasing flash memory.");
    LogMessage("Erasing flash memory.");
    LogMessage("Completed.");
    LogMessage("Erasing flash memory.");
    const std::string common(44, 'c');
    LogMessage(common + "AAAAA");
    LogMessage(common + "BBBBB");  // the same written line, but another text
    ASSERT_EQ(rec.lines.size(), 5u);
    EXPECT_EQ(rec.lines[3], rec.lines[4]);
    LogMessage("");
    EXPECT_EQ(rec.lines.size(), 5u);
}

TEST_F(LogTest, ResetPromptClearsAndTheMemorySurvivesClearing) {
    LogMessage("Completed.");
    ShowResetPrompt();
    ASSERT_EQ(rec.lines.size(), 2u);
    EXPECT_EQ(rec.lines[0], std::string(16, ' ') + "Press PIC RESET button to get into boot load mode.");
    EXPECT_EQ(rec.lines[1], "  ");
    ShowResetPrompt();
    EXPECT_EQ(rec.lines.size(), 2u);
    LogMessage("   ");  // equal to the last text before the clearing: dropped
    EXPECT_EQ(rec.lines.size(), 2u);
    EXPECT_EQ(LastLogMessage, "   ");
}

}  // namespace
