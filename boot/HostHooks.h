#pragma once
// What the GUI-free code needs from its host (the window, the command-line flasher or a test):
// where finished log lines go, the progress bar, one pass of pending-message handling, message boxes
// and the window-only steps of the connection pass.

#include <cstdint>
#include <functional>
#include <string>

struct THostHooks {
    std::function<void(const std::string&)> appendLogLine;  // one finished line of the log
    std::function<void()> clearLog;
    std::function<void(int64_t)> setProgressMax;
    std::function<void(int64_t)> setProgressPos;
    std::function<void()> processMessages;
    std::function<void(const std::string&)> showMessage;  // modal box with an OK button
    // Modal question with Yes and No, No the default; true for Yes. Without it the answer is No.
    std::function<bool(const std::string&)> askYesNo;
    // Connection pass, after boot load mode was entered: enable the file buttons and show the
    // family's image (file dialog when it does not exist). The window installs it; the CLI does not.
    std::function<void()> sessionConnected;
    // An erase or write command is going out: its command code, the target address it names and
    // the image bytes it covers. For a detailed trace of the run; nothing depends on it.
    std::function<void(uint8_t, uint64_t, uint32_t)> flashCommand;
    // Stale input reports were dropped before a command that expects an answer (how many).
    std::function<void(int)> staleReports;
};

THostHooks& HostHooks();
void SetHostHooks(THostHooks hooks);

// Convenience calls that do nothing when a hook is not installed.
void HostAppendLogLine(const std::string& line);
void HostClearLog();
void HostSetProgressMax(int64_t max);
void HostSetProgressPos(int64_t pos);
void HostProcessMessages();
void HostShowMessage(const std::string& text);
bool HostAskYesNo(const std::string& question);  // false when no hook is installed
void HostFlashCommand(uint8_t command, uint64_t address, uint32_t length);
void HostStaleReports(int count);
