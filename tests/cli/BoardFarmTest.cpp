// The pieces of flash --all that need no child processes: the table, the exit code, the summaries.

#include <gtest/gtest.h>

#include "RunQuarnel.h"
#include "cli/BoardFarm.h"

namespace {
TBoardResult Board(const std::string& path, int code, const std::string& summary) {
    TBoardResult r;
    r.board = path;
    r.exitCode = code;
    r.summary = summary;
    return r;
}
} // namespace

TEST(BoardFarm, TableHasOneAlignedRowPerBoard) {
    const std::string table = FormatResultTable(
        {Board("sim:1", 0, "PIC18 flashed in 0.01 s"), Board("/dev/hidraw12", 4, "flashing failed")});
    const std::vector<std::string> lines = SplitLines(table);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "board          exit  result");
    EXPECT_EQ(lines[1], "sim:1          0     PIC18 flashed in 0.01 s");
    EXPECT_EQ(lines[2], "/dev/hidraw12  4     flashing failed");
}

TEST(BoardFarm, ExitCodeIsZeroOnlyWhenEveryBoardWasFlashed) {
    EXPECT_EQ(CombinedExitCode({Board("a", 0, ""), Board("b", 0, "")}), 0);
    EXPECT_EQ(CombinedExitCode({Board("a", 0, ""), Board("b", 4, ""), Board("c", 3, "")}), 4);
    EXPECT_EQ(CombinedExitCode({Board("a", 2, ""), Board("b", 0, "")}), 2);
    // The highest code, not the first failing board's.
    EXPECT_EQ(CombinedExitCode({Board("a", 4, ""), Board("b", 0, ""), Board("c", 5, "")}), 5);
}

TEST(BoardFarm, ChildSummaryIsItsLastOwnLine) {
    EXPECT_EQ(ChildSummary("quarnel: warning: x\nquarnel: PIC18 flashed in 0.01 s\n"),
              "PIC18 flashed in 0.01 s");
    EXPECT_EQ(ChildSummary("quarnel: 2 bootloaders match (exit 2)\nquarnel:   sim:1  serial A\n"),
              "2 bootloaders match (exit 2)");
    EXPECT_EQ(ChildSummary("file: File does not exist: x.hex\nRun with --help for more information.\n"),
              "Run with --help for more information.");
    EXPECT_EQ(ChildSummary(""), "");
}
