// What the hidapi back end needs from Linux: hidraw nodes, report descriptors from sysfs or the node,
// errno, and an flock on our own descriptor of the node for one program per board.

#include "platform/HidApiSystem.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/HidReportDescriptor.h"
#include "usb/Hid.h"

static_assert(sizeof(wchar_t) == sizeof(char32_t), "hidapi strings are taken as UTF-32");

struct TDeviceHold {
    int fd = -1; // our own descriptor of the node: locked, and it hangs up when the device goes
};

void TDeviceHoldDeleter::operator()(TDeviceHold* hold) const {
    if (hold->fd >= 0) ::close(hold->fd);
    delete hold;
}

namespace {

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

int LastSystemError() {
    return errno;
}

std::u32string HidApiText(const wchar_t* text, size_t maxChars) {
    std::u32string out;
    for (size_t i = 0; text[i] != 0 && i < maxChars; ++i)
        out += static_cast<char32_t>(text[i]);
    return out;
}

bool InterfaceReportLength(const THidApiBackend& backend, const std::string& path, uint16_t& length) {
    std::vector<uint8_t> desc;
    return backend.ReadReportDescriptor(path, -1, desc) &&
           ComputeOutputReportLength(desc.data(), desc.size(), length);
}

bool HeldDeviceGone(int err, const TDeviceHold& hold) {
    return THidApiBackend::TransferErrorMeansGone(err, hold.fd);
}

TDeviceHoldPtr ClaimDevice(const THidApiBackend& backend, const std::string& path, THidOpenError& error) {
    // hidapi keeps no errno worth trusting, so a probe of our own tells gone from forbidden from busy.
    // It stays open while the device is: it is how an unplug is told from a slow device.
    int probeErr = 0;
    const int probe = backend.ProbeOpen(path, probeErr);
    if (probe < 0) {
        error = THidApiBackend::OpenErrorFromErrno(probeErr);
        return nullptr;
    }
    TDeviceHoldPtr hold(new TDeviceHold);
    hold->fd = probe;
    // hid_open_path crashes on a path that is not a hidraw node, so only those reach it.
    struct stat st {};
    int descSize = 0;
    const bool isHidraw =
        ::fstat(probe, &st) == 0 && S_ISCHR(st.st_mode) && ::ioctl(probe, HIDIOCGRDESCSIZE, &descSize) == 0;
    std::vector<uint8_t> desc;
    const bool haveDesc = isHidraw && backend.ReadReportDescriptor(path, probe, desc);
    TReportDescriptorInfo info;
    const bool parsed = haveDesc && ParseReportDescriptor(desc.data(), desc.size(), info);
    // The transport always sends report ID 0 and 64 data bytes: a device that numbers its reports or
    // has shorter ones would get every packet cut or misread, so it is refused before any transfer.
    // Without a descriptor the bootloader's layout is assumed: no report IDs.
    if (!isHidraw) {
        error = THidOpenError::Other;
    } else if (parsed && info.usesReportIds) {
        error = THidOpenError::NumberedReports;
    } else if (parsed && info.outputReportLength != HidReportLength) {
        error = THidOpenError::BadReportLength;
    } else if (::flock(probe, LOCK_EX | LOCK_NB) != 0) {
        // One program per board: the probe descriptor carries an exclusive lock for as long as the
        // board is open, so a second opener (window or command line) is refused instead of
        // interleaving its reports with ours. The lock goes with the descriptor.
        error = errno == EWOULDBLOCK ? THidOpenError::Busy : THidOpenError::Other;
    } else {
        return hold;
    }
    return nullptr;
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
