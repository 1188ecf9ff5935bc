#pragma once
// flash --all: every attached bootloader is flashed by a child process of its own (the same program
// with --path and --json), all in parallel; the parent gathers their events and prints a table.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliOptions.h"

struct TBoardResult {
    std::string board;
    int exitCode = ExitNoBootloader;
    std::string summary; // the child's summary line without "quarnel: "
    double seconds = 0;  // wall-clock time of the child
    std::optional<double> targetSeconds;
};

// Header and one row per board: board, exit code, summary.
std::string FormatResultTable(const std::vector<TBoardResult>& results);
// 0 only when every board was flashed, else the highest exit code of a board.
int CombinedExitCode(const std::vector<TBoardResult>& results);
// The summary a child wrote on stderr: its last "quarnel: " line that is no warning, else its last line.
std::string ChildSummary(const std::string& stderrText);

// A child's standard output, as it comes (data; empty at its end), into whole lines for onLine.
void TakeLines(std::string& buffer, const std::string& data, const std::function<void(const std::string&)>& onLine);

// selfPath: this program's file, started once per board.
int RunAllBoards(const TCliOptions& options, const std::string& selfPath);
