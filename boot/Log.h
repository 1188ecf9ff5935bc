#pragma once
// The running report in the main window: status lines padded or cut to 47 columns, detail lines
// (text beginning with a blank) written without that blank, and a text equal to the one before it
// dropped.

#include <string>

constexpr size_t LogStatusWidth = 47;

extern std::string LastLogMessage;

void LogMessage(const std::string& text);
void ShowResetPrompt();
// The line that LogMessage writes for a text (without the duplicate rule).
std::string FormatLogLine(const std::string& text);
void ResetLogState();
