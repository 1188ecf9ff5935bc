#include "platform/THidApiBackend.h"

#include <fcntl.h>
#include <hidapi.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <poll.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/HidReportDescriptor.h"
#include "platform/TBoundedWriter.h"
#include "usb/Hid.h"

static_assert(sizeof(wchar_t) == sizeof(char32_t), "hidapi strings are taken as UTF-32");

namespace {

// One per open device, shared by the backend and the write worker. hidapi keeps a per-device error
// string that hid_write and hid_read both replace, so calls on one device must never overlap.
struct TDeviceIo {
    std::mutex mutex;
    hid_device* dev = nullptr;
    std::atomic<int> writeErrno{0}; // of the last failed hid_write, set by the write worker
};

constexpr size_t MaxStringChars = 1024; // far above the 255 bytes the transport keeps

std::u32string FromWide(const wchar_t* text) {
    std::u32string out;
    for (size_t i = 0; text[i] != 0 && i < MaxStringChars; ++i)
        out += static_cast<char32_t>(text[i]);
    return out;
}

bool HidApiReady() {
    static const bool ready = hid_init() == 0;
    return ready;
}

bool DescriptorFromNode(int fd, std::vector<uint8_t>& out) {
    out.clear();
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return false;
    if (size <= 0 || static_cast<size_t>(size) > HID_MAX_DESCRIPTOR_SIZE) return false;
    auto desc = std::make_unique<hidraw_report_descriptor>();
    desc->size = static_cast<uint32_t>(size);
    if (::ioctl(fd, HIDIOCGRDESC, desc.get()) < 0) return false;
    out.assign(desc->value, desc->value + size);
    return true;
}

// Milliseconds since the node was created or its owner or mode last changed; -1 when unknown.
int64_t NodeAgeMs(const std::string& path) {
    struct stat st {};
    timespec now {};
    if (::stat(path.c_str(), &st) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
    const int64_t ms = (int64_t(now.tv_sec) - int64_t(st.st_ctim.tv_sec)) * 1000 +
                       (int64_t(now.tv_nsec) - int64_t(st.st_ctim.tv_nsec)) / 1000000;
    return ms < 0 ? 0 : ms;
}

} // namespace

struct THidApiBackend::TOpenDevice {
    std::shared_ptr<TDeviceIo> io;
    std::unique_ptr<TBoundedWriter> writer;
    bool usesReportIds = false;
    int watchFd = -1; // our own descriptor of the node: it hangs up when the device goes
    bool gone = false;
    ~TOpenDevice() {
        if (watchFd >= 0) ::close(watchFd);
    }
};

THidApiBackend::THidApiBackend(std::string sysfsRoot) : m_sysfsRoot(std::move(sysfsRoot)) {}

THidApiBackend::~THidApiBackend() {
    for (size_t i = 0; i < m_devices.size(); ++i)
        if (m_devices[i]) Close(static_cast<int>(i));
}

bool THidApiBackend::RetryOpen(int err, int64_t nodeAgeMs, int64_t waitedMs) {
    if (err != EACCES && err != EPERM) return false;
    return nodeAgeMs >= 0 && nodeAgeMs < NodeSettleMs && waitedMs < NodeSettleMs;
}

bool THidApiBackend::TransferErrorMeansGone(int err, int fd) {
    if (err == ENODEV || err == EIO) return true;
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

int THidApiBackend::ProbeOpen(const std::string& path, int& err) const {
    int64_t waited = 0;
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) return fd;
        err = errno;
        if (!RetryOpen(err, NodeAgeMs(path), waited)) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(OpenRetryStepMs));
        waited += OpenRetryStepMs;
    }
}

THidOpenError THidApiBackend::OpenErrorFromErrno(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
        return THidOpenError::Permission;
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return THidOpenError::NotFound;
    case EBUSY:
        return THidOpenError::Busy;
    default:
        return THidOpenError::Other;
    }
}

bool THidApiBackend::ReadReportDescriptor(const std::string& path, int fd, std::vector<uint8_t>& out) const {
    if (ReadSysfsReportDescriptor(m_sysfsRoot, path, out)) return true;
    if (fd >= 0) return DescriptorFromNode(fd, out);
    std::string node;
    if (!HidrawNodeName(path, node)) return false;
    const int own = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (own < 0) return false;
    const bool ok = DescriptorFromNode(own, out);
    ::close(own);
    return ok;
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
            info.manufacturer = FromWide(d->manufacturer_string);
        }
        if (d->product_string != nullptr) {
            info.hasProduct = true;
            info.product = FromWide(d->product_string);
        }
        if (d->serial_number != nullptr && d->serial_number[0] != 0) {
            info.hasSerial = true;
            info.serial = FromWide(d->serial_number);
        }
        std::vector<uint8_t> desc;
        uint16_t length = 0;
        if (ReadReportDescriptor(info.path, -1, desc) &&
            ComputeOutputReportLength(desc.data(), desc.size(), length)) {
            info.capsRead = true;
            info.reportLength = length;
        }
        out.push_back(std::move(info));
    }
}

bool THidApiBackend::Enumerate(std::vector<THidInterfaceInfo>& out) {
    out.clear();
    if (!HidApiReady()) return false;
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
    if (!HidApiReady()) {
        error = THidOpenError::Other;
        return -1;
    }
    // hidapi keeps no errno worth trusting, so a probe of our own tells gone from forbidden from busy.
    // It stays open while the device is: it is how an unplug is told from a slow device.
    int probeErr = 0;
    const int probe = ProbeOpen(path, probeErr);
    if (probe < 0) {
        error = OpenErrorFromErrno(probeErr);
        return -1;
    }
    // hid_open_path crashes on a path that is not a hidraw node, so only those reach it.
    struct stat st {};
    int descSize = 0;
    const bool isHidraw =
        ::fstat(probe, &st) == 0 && S_ISCHR(st.st_mode) && ::ioctl(probe, HIDIOCGRDESCSIZE, &descSize) == 0;
    std::vector<uint8_t> desc;
    const bool haveDesc = isHidraw && ReadReportDescriptor(path, probe, desc);
    TReportDescriptorInfo info;
    const bool parsed = haveDesc && ParseReportDescriptor(desc.data(), desc.size(), info);
    // The transport always sends report ID 0 and 64 data bytes: a device that numbers its reports or
    // has shorter ones would get every packet cut or misread, so it is refused before any transfer.
    THidOpenError refusal = THidOpenError::None;
    if (!isHidraw) {
        refusal = THidOpenError::Other;
    } else if (parsed && info.usesReportIds) {
        refusal = THidOpenError::NumberedReports;
    } else if (parsed && info.outputReportLength != HidReportLength) {
        refusal = THidOpenError::BadReportLength;
    }
    // One program per board: the probe descriptor carries an exclusive lock for as long as the board
    // is open, so a second opener (window or command line) is refused instead of interleaving its
    // reports with ours. The lock goes with the descriptor when the board is closed.
    if (refusal == THidOpenError::None && isHidraw && ::flock(probe, LOCK_EX | LOCK_NB) != 0)
        refusal = errno == EWOULDBLOCK ? THidOpenError::Busy : THidOpenError::Other;
    if (refusal != THidOpenError::None) {
        ::close(probe);
        error = refusal;
        return -1;
    }

    int slot = -1;
    for (size_t i = 0; i < m_devices.size() && slot < 0; ++i)
        if (!m_devices[i]) slot = static_cast<int>(i);
    if (slot < 0 && m_devices.size() >= static_cast<size_t>(MaxOpenDevices)) {
        ::close(probe);
        error = THidOpenError::Other;
        return -1;
    }

    hid_device* dev = hid_open_path(path.c_str());
    if (dev == nullptr) {
        ::close(probe);
        error = THidOpenError::Other;
        return -1;
    }
    hid_set_nonblocking(dev, 1);

    auto device = std::make_unique<TOpenDevice>();
    device->watchFd = probe;
    // Without a descriptor assume the bootloader's layout: no report IDs.
    device->usesReportIds = parsed && info.usesReportIds;
    device->io = std::make_shared<TDeviceIo>();
    device->io->dev = dev;
    std::shared_ptr<TDeviceIo> io = device->io;
    device->writer = std::make_unique<TBoundedWriter>(
        [io](const uint8_t* data, size_t len) {
            std::lock_guard<std::mutex> lock(io->mutex);
            if (io->dev == nullptr) return -1;
            const int n = hid_write(io->dev, data, len);
            if (n < 0) io->writeErrno.store(errno);
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
    // hidraw takes the report ID first and drops a 0 ID itself, so the report goes out as it is.
    if (device->writer->Write(report, len, timeoutMs)) return true;
    if (TransferErrorMeansGone(device->io->writeErrno.exchange(0), device->watchFd)) device->gone = true;
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
    if (device->usesReportIds) {
        const int n = hid_read_timeout(device->io->dev, report, len, 0);
        if (n < 0 && TransferErrorMeansGone(errno, device->watchFd)) device->gone = true;
        if (n <= 0) return false;
        received = static_cast<size_t>(n) < len ? static_cast<size_t>(n) : len;
        return true;
    }
    // Without report IDs hidraw delivers the data alone; the caller expects an ID byte first.
    const int n = hid_read_timeout(device->io->dev, report + 1, len - 1, 0);
    // hidapi reports a removed device as a poll error without errno; the watch descriptor tells.
    if (n < 0 && TransferErrorMeansGone(errno, device->watchFd)) device->gone = true;
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
