#include "session/Monitor.h"

#include "boot/BL_BootInfo.h"
#include "boot/BL_Command.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "boot/Clock.h"
#include "boot/HostHooks.h"
#include "boot/Log.h"
#include "session/LoaderSetup.h"
#include "usb/HIDinterface.h"

bool VendorDeviceOpen = false;
THidDevice VendorDevice;
THidDeviceTable KnownDevices;
uint8_t KnownDeviceCount = 0;
THidDeviceTable PresentDevices;
uint8_t PresentDeviceCount = 0;
TPassResult LastPassResult = TPassResult::None;

namespace {

// A status line followed by its detail line, when there is one.
void LogWithDetail(const std::string& status, const std::string& detail) {
    LogMessage(status);
    if (!detail.empty()) LogMessage(" " + detail);
}

void ReportNewDevices() {
    HidFindDevices(PresentDevices, PresentDeviceCount, 0, 0);
    if (PresentDeviceCount > 0 && KnownDeviceCount > 0) {
        std::string text;
        for (int i = 0; i < PresentDeviceCount; ++i) {
            const THidDevice& d = PresentDevices[size_t(i)];
            bool known = false;
            for (int j = 0; j < KnownDeviceCount && !known; ++j)
                known = KnownDevices[size_t(j)].vendorId == d.vendorId && KnownDevices[size_t(j)].productId == d.productId;
            if (!known) text += " (" + HexStr(d.vendorId, 4) + ", " + HexStr(d.productId, 4) + ")";
        }
        if (!text.empty()) LogMessage(" USB event... " + text);
    }
    KnownDevices = PresentDevices;
    KnownDeviceCount = PresentDeviceCount;
}

}  // namespace

void ResetSession() {
    BootloaderActive = false;
    SelectedDevice = -1;
}

void InstallOnDeviceChange() { SetDeviceChangeHandler(THandlerKind::OnDeviceChange, OnDeviceChange); }
void InstallOpenVendorDevice() { SetDeviceChangeHandler(THandlerKind::OpenVendorDevice, OpenVendorDevice); }

void OnDeviceChange() {
    if (BootloaderActive) return;
    // A handle left open by an earlier pass that failed after opening is closed before the table is
    // refilled, so no handle is lost.
    for (auto& old : TargetDevices)
        if (old.IsOpen()) HidClose(old);
    BootloaderActive = false;
    SelectedDevice = -1;
    HidFindDevices(TargetDevices, TargetDeviceCount, LoaderSetup.vid, LoaderSetup.pid);
    if (TargetDeviceCount != 1) {
        LastPassResult = TPassResult::NoDevice;
        ReportNewDevices();
        return;
    }
    SelectedDevice = 0;
    LogMessage("HID Target device found");
    THidDevice& target = TargetDevices[0];
    if (!HidOpen(target)) {
        LastPassResult = TPassResult::OpenFailed;
        LogWithDetail("Unable to open HID device !", HidOpenErrorText(HidLastOpenError(), target));
        return;
    }
    LogMessage("HID device successfully opened");
    // A fresh board: missing answers and unplugs seen before belong to the one before it.
    CommErrorCount = 0;
    TargetUnplugged = false;
    Pause(200);
    BootQuery(cmdGetBootInfo, CommandBuffer);
    if (!DecodeBootInfo(CommandBuffer, BootInfo)) {
        LastPassResult = TPassResult::BadBootInfo;
        LogMessage("Boot information runs past 64 bytes !");
        return;
    }
    const bool found = BootInfo.familyMark == 1 && IsKnownFamily(BootInfo.McuType);
    if (!found) {
        // Tell a silent or vanished board from one that described something else: the first wants the
        // cable or a reset checked, the second the IDs.
        LastPassResult = TargetUnplugged     ? TPassResult::Unplugged
                         : CommErrorCount > 0 ? TPassResult::NoAnswer
                                              : TPassResult::NotFound;
        LogMessage("Target MCU not found !");
        if (LastPassResult == TPassResult::Unplugged) LogMessage("  The board was unplugged.");
        if (LastPassResult == TPassResult::NoAnswer) LogMessage("  No answer from the board.");
        return;
    }
    LogMessage("Target MCU found.");
    DescribeTarget(BootInfo);
    std::string why;
    if (!ValidateBootInfo(why)) {
        // A layout that no run could be carried out with: boot load mode is not requested.
        LastPassResult = TPassResult::BadBootInfo;
        LogMessage(why);
        return;
    }
    BootQuery(cmdEnterBootMode, CommandBuffer);
    BootloaderActive = CommandBuffer[1] == cmdEnterBootMode;
    if (!BootloaderActive) {
        LastPassResult = TPassResult::BootModeFailed;
        LogMessage("Unable to enter boot load mode !");
        return;
    }
    // A fresh session: earlier missing answers belong to the board before its reset.
    CommErrorCount = 0;
    TargetUnplugged = false;
    LastPassResult = TPassResult::Connected;
    SetDeviceChangeHandler(nullptr);
    LogMessage("Target device in boot load mode.");
    LogMessage("   ");
    LogMessage("Press FLASH button to start flashing.");
    LogMessage("   ");
    if (HostHooks().sessionConnected) HostHooks().sessionConnected();
}

void OpenVendorDevice() {
    THidDeviceTable table;
    uint8_t count = 0;
    HidFindDevices(table, count, 0, 0);
    for (int i = 0; i < count; ++i) {
        if (VendorDeviceOpen && VendorDevice.IsOpen()) HidClose(VendorDevice);
        VendorDevice = table[size_t(i)];
        if (VendorDevice.vendorId == LoaderSetup.vid && HidOpen(VendorDevice)) {
            VendorDeviceOpen = true;
            return;
        }
        VendorDeviceOpen = false;
    }
}

void MonitorStartup() {
    KnownDeviceCount = 0;
    PresentDeviceCount = 0;
    HidFindDevices(KnownDevices, KnownDeviceCount, 0, 0);
    InstallOpenVendorDevice();
}

void MonitorShutdown() {
    if (VendorDeviceOpen) HidClose(VendorDevice);
    VendorDeviceOpen = false;
    for (auto& slot : TargetDevices)
        if (slot.IsOpen()) HidClose(slot);
    SetDeviceChangeHandler(nullptr);
}

void CloseFlashSession() {
    HidClose(VendorDevice);
    // The target table's handle too: it is a handle of its own and would be lost at the next pass.
    for (auto& slot : TargetDevices)
        if (slot.IsOpen()) HidClose(slot);
    SetDeviceChangeHandler(nullptr);
    FlashPhase = 0;
    BootloaderActive = false;
    LogMessage("Completed.");
}

void ResetMonitorState() {
    VendorDeviceOpen = false;
    VendorDevice.Clear();
    for (auto& d : KnownDevices) d.Clear();
    for (auto& d : PresentDevices) d.Clear();
    KnownDeviceCount = PresentDeviceCount = 0;
    LastPassResult = TPassResult::None;
}
