#include "boot/Log.h"

#include "boot/HostHooks.h"

std::string LastLogMessage;

namespace {

bool ContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

size_t Utf8Length(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += ContinuationByte(c) ? 0 : 1;
    return n;
}

std::string Utf8Prefix(const std::string& text, size_t count) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (ContinuationByte(text[i])) continue;
        if (seen == count) return text.substr(0, i);
        ++seen;
    }
    return text;
}

std::string FormatLogLine(const std::string& text) {
    if (!text.empty() && text[0] == ' ') return text.substr(1);
    std::string line = text;
    size_t length = Utf8Length(line);
    if (length >= LogStatusWidth + 1) {
        line = Utf8Prefix(line, LogStatusWidth - 3) + "...";
        length = LogStatusWidth;
    }
    if (length < LogStatusWidth) line.append(LogStatusWidth - length, ' ');
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
