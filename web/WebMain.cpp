// The entry points the page calls. One instance of the module runs the page's session (a WebHID board
// or, for the demo, a virtual one in the same instance); a second instance can serve a virtual board
// on its own (the qf_sim_* calls), as the tests' stand-in for navigator.hid does.

#include <emscripten.h>

#include <cstdio>
#include <memory>
#include <string>

#include "boot/BL_BootInfo.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Vars.h"
#include "boot/HostHooks.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "session/ProgramState.h"
#include "sim/TFlashCheck.h"
#include "sim/TSimBackend.h"
#include "sim/TSimSettings.h"
#include "usb/HIDinterface.h"
#include "web/TWebClock.h"
#include "web/TWebHidBackend.h"
#include "web/WebHostHooks.h"

namespace {

TWebClock WebClock;
TWebHidBackend WebHid;
TUSBhandler Handler;
std::unique_ptr<TSimBackend> DemoBoards;
std::unique_ptr<TVirtualTargetCheck> DemoCheck;
std::string LastError;
std::string Text; // the last text handed out
uint64_t FlashPausedUs = 0;

// A virtual board from a family name and "KEY=VALUE,..." settings, as --simulate builds one.
bool BuildBoard(TSimBackend& backend, const char* family, const char* settings) {
    TSimBoardSetup board;
    if (!SimProfileByName(family, board.profile)) {
        LastError = std::string("unknown family \"") + family + "\"";
        return false;
    }
    if (settings[0] != 0 && !ApplySimSettings(board, settings, LastError)) return false;
    if (board.plugAfterMs) {
        LastError = "plug-after-ms is not available here: the board is plugged in from the start";
        return false;
    }
    // A board unplugged during a run is reported as the browser does: the transfer fails at once.
    backend.ReportUnplug(true);
    backend.AddTarget(board.profile).Faults() = board.faults;
    return true;
}

const char* Hand(std::string text) {
    Text = std::move(text);
    return Text.c_str();
}

std::unique_ptr<TSimBackend> Served; // the stand-in's board (second instance)

TVirtualTarget* ServedBoard() {
    return Served && Served->TargetCount() == 1 ? &Served->Target(0) : nullptr;
}

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE const char* qf_last_error() {
    return LastError.c_str();
}

// Starts a session as the window does at start-up and runs the first connection pass. demoFamily
// empty: the WebHID boards the page knows; otherwise one virtual board. Returns the pass result
// (TPassResult), or -1 when the demo board could not be made (qf_last_error says why).
EMSCRIPTEN_KEEPALIVE int qf_session_start(int vid, int pid, const char* demoFamily,
                                          const char* demoSettings) {
    SetFlashCheck(nullptr);
    SetHidBackend(nullptr);
    ResetProgramState();
    DemoCheck.reset();
    DemoBoards.reset();
    SetClock(&WebClock);
    InstallWebHostHooks();
    if (demoFamily[0] != 0) {
        DemoBoards = std::make_unique<TSimBackend>();
        if (!BuildBoard(*DemoBoards, demoFamily, demoSettings)) {
            DemoBoards.reset();
            return -1;
        }
        // Every demo run is checked against what the board holds afterwards, as the CLI's are.
        DemoCheck = std::make_unique<TVirtualTargetCheck>(*DemoBoards);
        SetFlashCheck(DemoCheck.get());
        SetHidBackend(DemoBoards.get());
    } else {
        SetHidBackend(&WebHid);
    }
    LoaderSetup.vid = uint16_t(vid);
    LoaderSetup.pid = uint16_t(pid);
    MonitorStartup();
    InstallOnDeviceChange();
    OnDeviceChange();
    return int(LastPassResult);
}

// A board came or went (WebHID connect/disconnect): the installed handler runs, as on a udev event.
EMSCRIPTEN_KEEPALIVE int qf_device_change() {
    PostDeviceChange();
    DispatchDeviceChanges();
    return int(LastPassResult);
}

// The window's Reset: the session is dropped and the connection pass runs again.
EMSCRIPTEN_KEEPALIVE int qf_reset() {
    SetDeviceChangeHandler(nullptr);
    ResetSession();
    InstallOnDeviceChange();
    OnDeviceChange();
    return int(LastPassResult);
}

EMSCRIPTEN_KEEPALIVE int qf_bootloader_active() {
    return BootloaderActive ? 1 : 0;
}

// One flash with the closing steps, as the window's FLASH button runs it. Returns the TFlashResult,
// or -1 when no bootloader is active.
EMSCRIPTEN_KEEPALIVE int qf_flash(const char* file, int disableBootloader) {
    if (!BootloaderActive) {
        HostShowMessage("Bootloader is not active.");
        return -1;
    }
    if (std::string* path = PathForFamily(McuFamily)) *path = file;
    const uint64_t paused = WebClock.PausedUs();
    const TFlashResult result = FlashTarget(file, disableBootloader != 0);
    CloseFlashSession();
    FlashPausedUs = WebClock.PausedUs() - paused;
    return int(result);
}

// The pauses the last flash asked for, in ms: no run can be shorter.
EMSCRIPTEN_KEEPALIVE double qf_flash_floor_ms() {
    return double(FlashPausedUs) / 1000.0;
}

// The connected target in one line, from its boot information.
EMSCRIPTEN_KEEPALIVE const char* qf_target() {
    if (!BootloaderActive) return "";
    char line[160];
    std::snprintf(line, sizeof line, "%s, flash %u bytes, erase block %u, write block %u, boot start 0x%X",
                  FamilyName(McuFamily).c_str(), unsigned(BootInfo.McuSize), unsigned(BootInfo.EraseBlock),
                  unsigned(BootInfo.WriteBlock), unsigned(BootInfo.BootStart));
    std::string text = line;
    if (!BootInfo.Descriptor.empty()) text += ", \"" + BootInfo.Descriptor + "\"";
    return Hand(text);
}

// One field of the connected target, for the page's firmware manifest: 0 the family's name, 1 the
// descriptor, 2 the boot start in hexadecimal ("0x" and upper-case digits). Empty without a target.
EMSCRIPTEN_KEEPALIVE const char* qf_target_field(int field) {
    if (!BootloaderActive) return "";
    if (field == 0) return Hand(FamilyName(McuFamily));
    if (field == 1) return Hand(BootInfo.Descriptor);
    char start[16];
    std::snprintf(start, sizeof start, "0x%X", unsigned(BootInfo.BootStart));
    return Hand(start);
}

// --- A virtual board served on its own (the tests' stand-in for navigator.hid) ---

EMSCRIPTEN_KEEPALIVE int qf_sim_create(const char* family, const char* settings) {
    Served = std::make_unique<TSimBackend>();
    if (BuildBoard(*Served, family, settings)) return 0;
    Served.reset();
    return -1;
}

// One output report's 64 data bytes; 1 when the board took it.
EMSCRIPTEN_KEEPALIVE int qf_sim_receive(const uint8_t* data64) {
    TVirtualTarget* t = ServedBoard();
    return t && t->Receive(data64) ? 1 : 0;
}

// The next answer that is ready, into out64; 1 when there was one.
EMSCRIPTEN_KEEPALIVE int qf_sim_take(uint8_t* out64) {
    TVirtualTarget* t = ServedBoard();
    return t && t->TakeAnswer(out64) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int qf_sim_plugged() {
    return ServedBoard() && ServedBoard()->Plugged() ? 1 : 0;
}
EMSCRIPTEN_KEEPALIVE void qf_sim_unplug() {
    if (ServedBoard()) ServedBoard()->Unplug();
}
EMSCRIPTEN_KEEPALIVE int qf_sim_reports() {
    return ServedBoard() ? ServedBoard()->ReportsReceived() : 0;
}
EMSCRIPTEN_KEEPALIVE int qf_sim_violations() {
    return ServedBoard() ? int(ServedBoard()->Violations().size()) : 0;
}
EMSCRIPTEN_KEEPALIVE int qf_sim_ended() {
    return ServedBoard() && ServedBoard()->SessionEnded() ? 1 : 0;
}
EMSCRIPTEN_KEEPALIVE int qf_sim_disabled() {
    return ServedBoard() && ServedBoard()->BootloaderDisabled() ? 1 : 0;
}
// The board's program flash (which 0) or PIC32 boot flash (which 1): its address and size.
EMSCRIPTEN_KEEPALIVE const uint8_t* qf_sim_memory(int which) {
    if (!ServedBoard()) return nullptr;
    return which == 0 ? ServedBoard()->Flash().data() : ServedBoard()->BootFlash().data();
}
EMSCRIPTEN_KEEPALIVE int qf_sim_memory_size(int which) {
    if (!ServedBoard()) return 0;
    return int(which == 0 ? ServedBoard()->Flash().size() : ServedBoard()->BootFlash().size());
}
// The USB identity the stand-in presents: vid, pid, version, report length.
EMSCRIPTEN_KEEPALIVE int qf_sim_identity(int field) {
    if (!ServedBoard()) return 0;
    const TSimProfile& p = ServedBoard()->Profile();
    const int values[] = {p.vendorId, p.productId, p.version, p.reportLength};
    return field >= 0 && field < 4 ? values[field] : 0;
}
EMSCRIPTEN_KEEPALIVE const char* qf_sim_text(int field) {
    if (!ServedBoard()) return "";
    const TSimProfile& p = ServedBoard()->Profile();
    return Hand(field == 0 ? p.product : field == 1 ? p.manufacturer : p.serial);
}

} // extern "C"
