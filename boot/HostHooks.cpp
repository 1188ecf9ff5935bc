#include "boot/HostHooks.h"

#include "usb/HIDinterface.h"

namespace {
THostHooks Hooks;
}

THostHooks& HostHooks() { return Hooks; }
void SetHostHooks(THostHooks hooks) { Hooks = std::move(hooks); }

void HostAppendLogLine(const std::string& line) {
    if (Hooks.appendLogLine) Hooks.appendLogLine(line);
}
void HostClearLog() {
    if (Hooks.clearLog) Hooks.clearLog();
}
void HostSetProgressMax(int64_t max) {
    if (Hooks.setProgressMax) Hooks.setProgressMax(max);
}
void HostSetProgressPos(int64_t pos) {
    if (Hooks.setProgressPos) Hooks.setProgressPos(pos);
}
void HostProcessMessages() {
    if (Hooks.processMessages) {
        Hooks.processMessages();
    } else {
        // Without a window the queued device-change notifications are still delivered here.
        DispatchDeviceChanges();
    }
}
void HostShowMessage(const std::string& text) {
    if (Hooks.showMessage) Hooks.showMessage(text);
}
bool HostAskYesNo(const std::string& question) {
    return Hooks.askYesNo ? Hooks.askYesNo(question) : false;
}
void HostFlashCommand(uint8_t command, uint64_t address, uint32_t length) {
    if (Hooks.flashCommand) Hooks.flashCommand(command, address, length);
}

void HostStaleReports(int count) {
    if (Hooks.staleReports) Hooks.staleReports(count);
}
