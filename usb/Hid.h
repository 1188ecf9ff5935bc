#pragma once
// HID device discovery, opening and report transfer.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/HidBackend.h"

constexpr int HidSlotCount = 32;
constexpr int HidMaxCount = 31;
constexpr int HidMaxText = 255;
constexpr int HidDataSize = 64;
constexpr int HidWriteTimeoutMs = 200;
// The protocol's reports are a report ID and 64 bytes; a device with any other report length would
// get every report cut short or padded, so it is refused at open.
constexpr int HidReportLength = 65;
constexpr int HidMaxReportLength = 65;

struct THidDevice {
    std::string path;
    uint16_t reportLength = 0;
    int32_t handle = -1;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0;
    std::string manufacturer;
    std::string product;
    std::string serialNumber;  // "---" when the device gives none
    bool hasSerial = false;    // so that a device whose serial is the text "---" is told apart

    void Clear() { *this = THidDevice{}; }
    bool IsOpen() const { return handle != -1; }
};

using THidDeviceTable = std::array<THidDevice, HidSlotCount>;

// The transport's copy of the last opened device; bootloader commands go through it.
extern THidDevice CurrentDevice;
// Index into the target table; -1 when no device is selected.
extern int32_t SelectedDevice;
// The bootloader candidates found by the connection pass; SelectedDevice indexes it.
extern THidDeviceTable TargetDevices;
extern uint8_t TargetDeviceCount;

void HidFindDevices(THidDeviceTable& table, uint8_t& count, uint16_t vendorId, uint16_t productId);
// Every matching device, without the table's bound of 31 (the command line's list and --all).
std::vector<THidDevice> HidListDevices(uint16_t vendorId, uint16_t productId);
bool HidOpen(THidDevice& device);
bool HidClose(THidDevice& device);
bool HidWriteReport(THidDevice& device, const uint8_t* data64);
bool HidReadReport(THidDevice& device, uint8_t* data64);
// True when the last transfer on an open device failed because the device was unplugged.
bool HidDeviceGone(const THidDevice& device);

// Why the last HidOpen failed (for a detail line in the log), and the errno-style text.
THidOpenError HidLastOpenError();
std::string HidOpenErrorText(THidOpenError error, const THidDevice& device);

// True when a report length carries the protocol: report ID + 64 bytes, nothing else.
inline bool HidReportLengthSupported(uint16_t length) { return length == HidReportLength; }

// UTF-32 from a device to 8-bit text (UTF-8), cut to 255 bytes without splitting a character.
std::string HidTextFromDevice(const std::u32string& text);
// Cuts an 8-bit text to at most max bytes, never inside a UTF-8 sequence.
std::string CutText(const std::string& text, size_t max);

void ResetHidState();
