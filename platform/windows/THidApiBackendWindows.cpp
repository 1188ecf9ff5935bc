// The real HID back end on Windows: hidapi on the Windows HID API. The output report length and
// whether reports are numbered come from the device's own caps (HidP_GetCaps), as Windows states
// them; a failed transfer is checked against the device list at once, so an unplug ends the run.

#include "platform/THidApiBackend.h"

#include <windows.h>

// hidsdi.h first: it defines the types hidpi.h uses. Neither declares its functions as C ones.
extern "C" {
#include <hidsdi.h>

#include <hidpi.h>
}

#include <hidapi.h>

#include <atomic>
#include <mutex>

#include "platform/TBoundedWriter.h"
#include "platform/windows/WindowsText.h"
#include "usb/Hid.h"

namespace {

struct TDeviceIo {
    std::mutex mutex;
    hid_device* dev = nullptr;
    std::atomic<int> writeError{0}; // GetLastError() of the last failed hid_write
};

constexpr size_t MaxStringChars = 1024;

bool HidApiReady() {
    static const bool ready = hid_init() == 0;
    return ready;
}

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

struct THidApiBackend::TOpenDevice {
    std::string path;
    std::shared_ptr<TDeviceIo> io;
    std::unique_ptr<TBoundedWriter> writer;
    bool gone = false;
};

THidApiBackend::THidApiBackend(std::string sysfsRoot) : m_sysfsRoot(std::move(sysfsRoot)) {}

THidApiBackend::~THidApiBackend() {
    for (size_t i = 0; i < m_devices.size(); ++i)
        if (m_devices[i]) Close(static_cast<int>(i));
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

void THidApiBackend::DescribeInterfaces(const hid_device_info* list,
                                        std::vector<THidInterfaceInfo>& out) const {
    out.clear();
    for (const hid_device_info* d = list; d != nullptr; d = d->next) {
        if (d->path == nullptr || d->path[0] == 0) continue;
        THidInterfaceInfo info;
        info.path = d->path;
        bool seen = false;
        for (const auto& earlier : out)
            seen = seen || earlier.path == info.path;
        if (seen) continue;
        info.attributesRead = true;
        info.vendorId = d->vendor_id;
        info.productId = d->product_id;
        info.version = d->release_number;
        if (d->manufacturer_string != nullptr) {
            info.hasManufacturer = true;
            info.manufacturer = WideToUtf32(d->manufacturer_string, MaxStringChars);
        }
        if (d->product_string != nullptr) {
            info.hasProduct = true;
            info.product = WideToUtf32(d->product_string, MaxStringChars);
        }
        if (d->serial_number != nullptr && d->serial_number[0] != 0) {
            info.hasSerial = true;
            info.serial = WideToUtf32(d->serial_number, MaxStringChars);
        }
        TCaps caps;
        if (CapsOfPath(info.path, caps)) {
            info.capsRead = true;
            info.reportLength = caps.outputReportLength;
        }
        out.push_back(std::move(info));
    }
}

bool THidApiBackend::Enumerate(std::vector<THidInterfaceInfo>& out) {
    out.clear();
    if (!HidApiReady()) return false;
    hid_device_info* list = hid_enumerate(0, 0);
    DescribeInterfaces(list, out);
    hid_free_enumeration(list);
    return true;
}

int THidApiBackend::Open(const std::string& path, THidOpenError& error) {
    error = THidOpenError::None;
    if (path.empty()) {
        error = THidOpenError::NotFound;
        return -1;
    }
    // hidapi keeps no error code of ours, so an open of our own tells gone from forbidden from busy.
    const HANDLE probe =
        ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        error = OpenErrorFromErrno(int(::GetLastError()));
        return -1;
    }
    if (!HidApiReady()) {
        ::CloseHandle(probe);
        error = THidOpenError::Other;
        return -1;
    }
    TCaps caps;
    const bool haveCaps = ReadCaps(probe, caps);
    ::CloseHandle(probe);
    // The transport always sends report ID 0 and 64 data bytes: numbered or shorter reports would be
    // cut or misread, so such a device is refused before any transfer.
    if (!haveCaps) {
        error = THidOpenError::Other;
        return -1;
    }
    if (caps.numbered) {
        error = THidOpenError::NumberedReports;
        return -1;
    }
    if (caps.outputReportLength != HidReportLength) {
        error = THidOpenError::BadReportLength;
        return -1;
    }

    int slot = -1;
    for (size_t i = 0; i < m_devices.size() && slot < 0; ++i)
        if (!m_devices[i]) slot = static_cast<int>(i);
    if (slot < 0 && m_devices.size() >= static_cast<size_t>(MaxOpenDevices)) {
        error = THidOpenError::Other;
        return -1;
    }
    hid_device* dev = hid_open_path(path.c_str());
    if (dev == nullptr) {
        error = THidOpenError::Other;
        return -1;
    }
    hid_set_nonblocking(dev, 1);

    auto device = std::make_unique<TOpenDevice>();
    device->path = path;
    device->io = std::make_shared<TDeviceIo>();
    device->io->dev = dev;
    std::shared_ptr<TDeviceIo> io = device->io;
    device->writer = std::make_unique<TBoundedWriter>(
        [io](const uint8_t* data, size_t len) {
            std::lock_guard<std::mutex> lock(io->mutex);
            if (io->dev == nullptr) return -1;
            const int n = hid_write(io->dev, data, len);
            if (n < 0) io->writeError.store(int(::GetLastError()));
            return n;
        },
        [io] {
            std::lock_guard<std::mutex> lock(io->mutex);
            hid_close(io->dev);
            io->dev = nullptr;
        });
    if (!device->writer->Ok()) {
        device->writer->Stop(0);
        error = THidOpenError::Other;
        return -1;
    }
    if (slot < 0) {
        slot = static_cast<int>(m_devices.size());
        m_devices.push_back(std::move(device));
    } else {
        m_devices[static_cast<size_t>(slot)] = std::move(device);
    }
    return slot;
}

THidApiBackend::TOpenDevice* THidApiBackend::Device(int handle) {
    if (handle < 0 || static_cast<size_t>(handle) >= m_devices.size()) return nullptr;
    return m_devices[static_cast<size_t>(handle)].get();
}

void THidApiBackend::Close(int handle) {
    TOpenDevice* device = Device(handle);
    if (device == nullptr) return;
    device->writer->Stop(CloseGraceMs);
    m_devices[static_cast<size_t>(handle)].reset();
}

bool THidApiBackend::Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) {
    TOpenDevice* device = Device(handle);
    if (device == nullptr || report == nullptr || len == 0) return false;
    // The Windows HID class takes the report ID first, as the transport builds it.
    if (device->writer->Write(report, len, timeoutMs)) return true;
    const int err = device->io->writeError.exchange(0);
    if (TransferErrorMeansGone(err, -1) || PathGone(device->path)) device->gone = true;
    return false;
}

bool THidApiBackend::Gone(int handle) {
    const TOpenDevice* device = Device(handle);
    return device != nullptr && device->gone;
}

bool THidApiBackend::Read(int handle, uint8_t* report, size_t len, size_t& received) {
    received = 0;
    TOpenDevice* device = Device(handle);
    if (device == nullptr || report == nullptr || len < 2) return false;
    std::unique_lock<std::mutex> lock(device->io->mutex, std::try_to_lock);
    if (!lock.owns_lock() || device->io->dev == nullptr) return false;
    // Without report IDs hidapi hands over the data alone; the caller expects an ID byte first.
    const int n = hid_read_timeout(device->io->dev, report + 1, len - 1, 0);
    if (n < 0 && (TransferErrorMeansGone(int(::GetLastError()), -1) || PathGone(device->path)))
        device->gone = true;
    if (n <= 0) return false;
    report[0] = 0;
    received = (static_cast<size_t>(n) < len - 1 ? static_cast<size_t>(n) : len - 1) + 1;
    return true;
}

int THidApiBackend::OpenCount() const {
    int n = 0;
    for (const auto& d : m_devices)
        n += d ? 1 : 0;
    return n;
}
