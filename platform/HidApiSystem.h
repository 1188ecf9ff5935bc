#pragma once
// What the one hidapi back end (THidApiBackend.cpp) asks of the system under it. Each system answers
// in its own file: platform/linux/THidApiBackendLinux.cpp (hidraw, sysfs, flock) and
// platform/windows/THidApiBackendWindows.cpp (the HID class's caps, a named mutex per board).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/THidApiBackend.h"

// What keeps an open board ours while hidapi has it: a locked descriptor of the node on Linux (it also
// hangs up when the board goes), the board's named mutex and path on Windows.
struct TDeviceHold;
struct TDeviceHoldDeleter {
    void operator()(TDeviceHold* hold) const;
};
using TDeviceHoldPtr = std::unique_ptr<TDeviceHold, TDeviceHoldDeleter>;

// Before hidapi opens path: tells gone from forbidden from busy with an open of our own, refuses what
// the transport cannot drive (numbered reports, reports other than 64 data bytes) and a board that
// another program holds. Null with the reason in error.
TDeviceHoldPtr ClaimDevice(const THidApiBackend& backend, const std::string& path, THidOpenError& error);
// Whether a transfer that failed with the system's error code err means the held board is gone.
bool HeldDeviceGone(int err, const TDeviceHold& hold);
// The system's error code after a failed hidapi call (errno, GetLastError()).
int LastSystemError();
// One of hidapi's strings as code points, at most maxChars of them.
std::u32string HidApiText(const wchar_t* text, size_t maxChars);
// The output report length of an interface (report ID byte included), for its record.
bool InterfaceReportLength(const THidApiBackend& backend, const std::string& path, uint16_t& length);
