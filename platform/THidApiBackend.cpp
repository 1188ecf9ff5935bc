#include "platform/THidApiBackend.h"

#include <hidapi.h>

#include <atomic>
#include <mutex>

#include "platform/HidApiSystem.h"
#include "platform/TBoundedWriter.h"
#include "usb/Hid.h"

namespace {

// One per open device, shared by the backend and the write worker. hidapi keeps a per-device error
// string that hid_write and hid_read both replace, so calls on one device must never overlap.
struct TDeviceIo {
    std::mutex mutex;
    hid_device* dev = nullptr;
    std::atomic<int> writeError{0}; // system error code of the last failed hid_write
};

constexpr size_t MaxStringChars = 1024; // far above the 255 bytes the transport keeps

bool StartHidApi(std::string& reason) {
    if (hid_init() == 0) return true;
    const wchar_t* why = hid_error(nullptr);
    reason = why != nullptr && why[0] != 0 ? HidTextFromDevice(HidApiText(why, MaxStringChars)) : "hid_init failed";
    return false;
}

THidApiBackend::TStartProc StartProc = StartHidApi;
bool Started = false;

} // namespace

struct THidApiBackend::TOpenDevice {
    std::shared_ptr<TDeviceIo> io;
    std::unique_ptr<TBoundedWriter> writer;
    TDeviceHoldPtr hold;
    bool gone = false;
};

THidApiBackend::THidApiBackend(std::string sysfsRoot) : m_sysfsRoot(std::move(sysfsRoot)) {}

THidApiBackend::~THidApiBackend() {
    for (size_t i = 0; i < m_devices.size(); ++i)
        if (m_devices[i]) Close(static_cast<int>(i));
}

void THidApiBackend::SetStartProc(TStartProc proc) {
    StartProc = proc != nullptr ? proc : StartHidApi;
    Started = false;
}

bool THidApiBackend::Start(std::string& reason) {
    reason.clear();
    if (!Started) Started = StartProc(reason);
    return Started;
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
            info.manufacturer = HidApiText(d->manufacturer_string, MaxStringChars);
        }
        if (d->product_string != nullptr) {
            info.hasProduct = true;
            info.product = HidApiText(d->product_string, MaxStringChars);
        }
        if (d->serial_number != nullptr && d->serial_number[0] != 0) {
            info.hasSerial = true;
            info.serial = HidApiText(d->serial_number, MaxStringChars);
        }
        uint16_t length = 0;
        if (InterfaceReportLength(*this, info.path, length)) {
            info.capsRead = true;
            info.reportLength = length;
        }
        out.push_back(std::move(info));
    }
}

bool THidApiBackend::Enumerate(std::vector<THidInterfaceInfo>& out) {
    out.clear();
    std::string reason;
    if (!Start(reason)) return false;
    // No list means nothing attached or nothing to be learnt; hidapi does not tell the two apart in a
    // way worth relying on, and both mean "no device" to the caller.
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
    // Gone, forbidden and busy are told by the system before hidapi is needed.
    TDeviceHoldPtr hold = ClaimDevice(*this, path, error);
    if (!hold) return -1;
    std::string reason;
    if (!Start(reason)) {
        error = THidOpenError::Other;
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
    device->hold = std::move(hold);
    device->io = std::make_shared<TDeviceIo>();
    device->io->dev = dev;
    std::shared_ptr<TDeviceIo> io = device->io;
    device->writer = std::make_unique<TBoundedWriter>(
        [io](const uint8_t* data, size_t len) {
            std::lock_guard<std::mutex> lock(io->mutex);
            if (io->dev == nullptr) return -1;
            const int n = hid_write(io->dev, data, len);
            if (n < 0) io->writeError.store(LastSystemError());
            return n;
        },
        [io] {
            std::lock_guard<std::mutex> lock(io->mutex);
            hid_close(io->dev);
            io->dev = nullptr;
        });
    if (!device->writer->Ok()) {
        device->writer->Stop(0); // closes the device
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
    // A worker stuck in the kernel is left behind; it closes the device when its write returns.
    device->writer->Stop(CloseGraceMs);
    m_devices[static_cast<size_t>(handle)].reset();
}

bool THidApiBackend::Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) {
    TOpenDevice* device = Device(handle);
    if (device == nullptr || report == nullptr || len == 0) return false;
    // hidraw and the Windows HID class both take the report ID first, as the transport builds it.
    if (device->writer->Write(report, len, timeoutMs)) return true;
    if (HeldDeviceGone(device->io->writeError.exchange(0), *device->hold)) device->gone = true;
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
    // A write still in the kernel holds the device; nothing can be waiting that we could take now.
    std::unique_lock<std::mutex> lock(device->io->mutex, std::try_to_lock);
    if (!lock.owns_lock() || device->io->dev == nullptr) return false;
    // Only devices without numbered reports are opened (ClaimDevice): hidapi hands over the data
    // alone and the caller expects an ID byte first.
    const int n = hid_read_timeout(device->io->dev, report + 1, len - 1, 0);
    // hidapi reports a removed device without a reason worth trusting; the hold tells.
    if (n < 0 && HeldDeviceGone(LastSystemError(), *device->hold)) device->gone = true;
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
