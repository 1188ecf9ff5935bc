#pragma once
// The running report in the main window: status lines padded or cut to 47 columns, detail lines
// (text beginning with a blank) written without that blank, and a text equal to the one before it
// dropped.

#include <string>

constexpr size_t LogStatusWidth = 47;

extern std::string LastLogMessage;

void LogMessage(const std::string& text);
void ShowResetPrompt();
// Characters (not bytes) of a UTF-8 text, and its first count characters: status lines are cut and
// padded by characters, so that a file name is never split inside a character.
size_t Utf8Length(const std::string& text);
std::string Utf8Prefix(const std::string& text, size_t count);
// The line that LogMessage writes for a text (without the duplicate rule).
std::string FormatLogLine(const std::string& text);
void ResetLogState();
