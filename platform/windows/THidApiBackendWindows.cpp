// What the hidapi back end needs from Windows: the output report length and whether reports are
// numbered come from the device's own caps (HidP_GetCaps), as Windows states them; a failed transfer
// is checked against the device list at once, so an unplug ends the run; a named mutex per board
// keeps a second program off it.

#include "platform/HidApiSystem.h"

#include <windows.h>

// hidsdi.h first: it defines the types hidpi.h uses. Neither declares its functions as C ones.
extern "C" {
#include <hidsdi.h>

#include <hidpi.h>
}

#include <vector>

#include "platform/windows/TBoardLock.h"
#include "platform/windows/WindowsText.h"
#include "usb/Hid.h"

namespace {

HANDLE OpenForQuery(const std::string& path, DWORD& error) {
    // No access rights: enough for the caps, and granted even while another program has the device.
    const HANDLE h = ::CreateFileW(Utf8ToWide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    return h;
}

struct TCaps {
    uint16_t outputReportLength = 0;
    bool numbered = false;
};

// Any input or output value or button that carries a report ID other than 0 means numbered reports.
bool ReportIdsUsed(PHIDP_PREPARSED_DATA data, const HIDP_CAPS& caps) {
    for (const HIDP_REPORT_TYPE type : {HidP_Input, HidP_Output}) {
        USHORT nValues = type == HidP_Input ? caps.NumberInputValueCaps : caps.NumberOutputValueCaps;
        USHORT nButtons = type == HidP_Input ? caps.NumberInputButtonCaps : caps.NumberOutputButtonCaps;
        if (nValues > 0) {
            std::vector<HIDP_VALUE_CAPS> values(nValues);
            if (HidP_GetValueCaps(type, values.data(), &nValues, data) == HIDP_STATUS_SUCCESS)
                for (USHORT i = 0; i < nValues; ++i)
                    if (values[i].ReportID != 0) return true;
        }
        if (nButtons > 0) {
            std::vector<HIDP_BUTTON_CAPS> buttons(nButtons);
            if (HidP_GetButtonCaps(type, buttons.data(), &nButtons, data) == HIDP_STATUS_SUCCESS)
                for (USHORT i = 0; i < nButtons; ++i)
                    if (buttons[i].ReportID != 0) return true;
        }
    }
    return false;
}

bool ReadCaps(HANDLE h, TCaps& out) {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(h, &data)) return false;
    HIDP_CAPS caps{};
    const bool ok = HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS;
    if (ok) {
        out.outputReportLength = caps.OutputReportByteLength; // report ID byte included
        out.numbered = ReportIdsUsed(data, caps);
    }
    HidD_FreePreparsedData(data);
    return ok;
}

bool CapsOfPath(const std::string& path, TCaps& caps) {
    DWORD error = 0;
    const HANDLE h = OpenForQuery(path, error);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = ReadCaps(h, caps);
    ::CloseHandle(h);
    return ok;
}

// A device whose path no longer opens is gone; one that is only busy or forbidden is still there.
bool PathGone(const std::string& path) {
    DWORD error = 0;
    const HANDLE h = OpenForQuery(path, error);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return false;
    }
    return THidApiBackend::TransferErrorMeansGone(int(error), -1);
}

} // namespace

struct TDeviceHold {
    std::string path;
    TBoardLock lock;
};

void TDeviceHoldDeleter::operator()(TDeviceHold* hold) const {
    delete hold;
}

int LastSystemError() {
    return int(::GetLastError());
}

std::u32string HidApiText(const wchar_t* text, size_t maxChars) {
    return WideToUtf32(text, maxChars);
}

bool InterfaceReportLength(const THidApiBackend&, const std::string& path, uint16_t& length) {
    TCaps caps;
    if (!CapsOfPath(path, caps)) return false;
    length = caps.outputReportLength;
    return true;
}

bool HeldDeviceGone(int err, const TDeviceHold& hold) {
    return THidApiBackend::TransferErrorMeansGone(err, -1) || PathGone(hold.path);
}

TDeviceHoldPtr ClaimDevice(const THidApiBackend&, const std::string& path, THidOpenError& error) {
    // hidapi keeps no error code of ours, so an open of our own tells gone from forbidden from busy.
    const HANDLE probe =
        ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        error = THidApiBackend::OpenErrorFromErrno(int(::GetLastError()));
        return nullptr;
    }
    TCaps caps;
    const bool haveCaps = ReadCaps(probe, caps);
    ::CloseHandle(probe);
    // The transport always sends report ID 0 and 64 data bytes: numbered or shorter reports would be
    // cut or misread, so such a device is refused before any transfer.
    if (!haveCaps) {
        error = THidOpenError::Other;
        return nullptr;
    }
    if (caps.numbered) {
        error = THidOpenError::NumberedReports;
        return nullptr;
    }
    if (caps.outputReportLength != HidReportLength) {
        error = THidOpenError::BadReportLength;
        return nullptr;
    }
    // One program per board: the board's lock is held for as long as it is open (TBoardLock.h).
    TDeviceHoldPtr hold(new TDeviceHold);
    hold->path = path;
    if (!hold->lock.Acquire(path)) {
        error = THidOpenError::Busy;
        return nullptr;
    }
    return hold;
}

// Windows grants or refuses the open at once; there is no rule that opens a young node later.
bool THidApiBackend::RetryOpen(int, int64_t, int64_t) {
    return false;
}

// err is a Windows error code here; there is no descriptor to watch.
bool THidApiBackend::TransferErrorMeansGone(int err, int) {
    switch (DWORD(err)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
        return true;
    default:
        return false;
    }
}

THidOpenError THidApiBackend::OpenErrorFromErrno(int err) {
    switch (DWORD(err)) {
    case ERROR_ACCESS_DENIED:
        return THidOpenError::Permission;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_INVALID_NAME:
        return THidOpenError::NotFound;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return THidOpenError::Busy;
    default:
        return THidOpenError::Other;
    }
}

// Windows hands out no raw report descriptor; the caps stand for it.
bool THidApiBackend::ReadReportDescriptor(const std::string&, int, std::vector<uint8_t>& out) const {
    out.clear();
    return false;
}
