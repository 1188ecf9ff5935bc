#include "boot/BL_Command.h"

#include "boot/Clock.h"
#include "boot/HostHooks.h"
#include "usb/Hid.h"

THidDevice* SelectedSlot() {
    if (SelectedDevice < 0 || SelectedDevice >= HidSlotCount) return nullptr;
    return &TargetDevices[static_cast<size_t>(SelectedDevice)];
}

namespace {

// A failed transfer on a board that is gone counts as a missing answer, once, and marks the run so
// that nothing more is sent or polled for.
bool NoteUnplugged(const THidDevice& device) {
    if (TargetUnplugged) return true;
    if (!HidDeviceGone(device)) return false;
    TargetUnplugged = true;
    ++CommErrorCount;
    return true;
}

// Up to 501 polls, 12 ms apart after each empty one; true at the first report. A board that is gone
// ends the polling at once.
bool PollAnswer(THidDevice& device, uint8_t* answer) {
    for (int attempt = 0; attempt < MaxPolls; ++attempt) {
        if (HidReadReport(device, answer)) return true;
        if (HidDeviceGone(device)) return false;
        Pause(PauseAfterPollMs);
    }
    return false;
}

// Reads and drops the input reports already waiting, so that the next one read answers the command
// about to go out. Bounded: a board that floods the host cannot keep the run here.
void DropStaleReports(THidDevice& device) {
    constexpr int MaxStaleReports = 64;
    uint8_t stale[BootPacketSize];
    int dropped = 0;
    while (dropped < MaxStaleReports && HidReadReport(device, stale)) ++dropped;
    if (dropped == 0) return;
    StaleReportsDropped += dropped;
    HostStaleReports(dropped);
}

}  // namespace

void BootQuery(uint8_t code, TBootPacket& buffer) {
    if (SelectedDevice == -1) return;
    buffer.fill(0);
    buffer[0] = CommandMarker;
    buffer[1] = code;
    DropStaleReports(CurrentDevice);
    if (!HidWriteReport(CurrentDevice, buffer.data()) && NoteUnplugged(CurrentDevice)) {
        buffer.fill(0);
        return;
    }
    Pause(PauseAfterSendMs);
    buffer.fill(0);
    if (!PollAnswer(CurrentDevice, buffer.data())) {
        buffer.fill(0);
        if (!NoteUnplugged(CurrentDevice)) ++CommErrorCount;
    }
}

bool BootCommand(uint8_t code, TBootPacket& buffer) {
    if (SelectedDevice == -1) return false;
    buffer.fill(0);
    buffer[0] = CommandMarker;
    buffer[1] = code;
    return HidWriteReport(CurrentDevice, buffer.data());
}

bool BootData(const TBootPacket& report) {
    if (CommErrorCount > 0) return false;
    THidDevice* slot = SelectedSlot();
    if (!slot) return false;
    if (!HidWriteReport(*slot, report.data()) && NoteUnplugged(*slot)) return false;
    Pause(PauseAfterDataMs);
    return true;
}

bool BootDataAck(const TBootPacket& packet, uint8_t expectedEcho) {
    if (CommErrorCount > 0) return false;
    THidDevice* slot = SelectedSlot();
    if (!slot) return false;
    DropStaleReports(*slot);
    if (!HidWriteReport(*slot, packet.data()) && NoteUnplugged(*slot)) return false;
    Pause(PauseAfterSendMs);
    TBootPacket answer{};
    if (PollAnswer(*slot, answer.data())) return answer[1] == expectedEcho;
    if (!NoteUnplugged(*slot)) ++CommErrorCount;
    return false;
}

bool BootWriteHeader(uint16_t count, uint64_t address) {
    TBootPacket p{};
    p[0] = CommandMarker;
    p[1] = cmdWrite;
    const uint32_t a = static_cast<uint32_t>(address);
    p[2] = uint8_t(a);
    p[3] = uint8_t(a >> 8);
    p[4] = uint8_t(a >> 16);
    p[5] = uint8_t(a >> 24);
    p[6] = uint8_t(count);
    p[7] = uint8_t(count >> 8);
    if (HidWriteReport(CurrentDevice, p.data())) return true;
    NoteUnplugged(CurrentDevice);
    return false;
}
