#include "boot/Log.h"

#include "boot/HostHooks.h"

std::string LastLogMessage;

std::string FormatLogLine(const std::string& text) {
    if (!text.empty() && text[0] == ' ') return text.substr(1);
    std::string line = text;
    if (line.size() >= LogStatusWidth + 1) line = line.substr(0, LogStatusWidth - 3) + "...";
    if (line.size() < LogStatusWidth) line.append(LogStatusWidth - line.size(), ' ');
    return line;
}

void LogMessage(const std::string& text) {
    if (text.empty()) return;  // no caller passes one; nothing to show
    if (text == LastLogMessage) return;
    LastLogMessage = text;
    HostAppendLogLine(FormatLogLine(text));
}

void ShowResetPrompt() {
    HostClearLog();
    LogMessage("                 Press PIC RESET button to get into boot load mode.");
    LogMessage("   ");
}

void ResetLogState() { LastLogMessage.clear(); }
