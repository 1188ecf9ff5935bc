#include "platform/TDeviceMonitor.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "usb/HIDinterface.h"

struct TDeviceMonitor::TSystemMonitor {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    ~TSystemMonitor() {
        if (monitor != nullptr) udev_monitor_unref(monitor);
        if (context != nullptr) udev_unref(context);
    }
};

TDeviceMonitor::TDeviceMonitor(const std::string& subsystem, const std::string& source)
    : m_subsystem(subsystem), m_source(source.empty() ? DefaultSource() : source) {
    if (m_subsystem.empty() || (m_source != "udev" && m_source != "kernel")) return;
    auto system = std::make_unique<TSystemMonitor>();
    system->context = udev_new();
    if (system->context == nullptr) return;
    system->monitor = udev_monitor_new_from_netlink(system->context, m_source.c_str());
    if (system->monitor == nullptr) return;
    const int fd = udev_monitor_get_fd(system->monitor);
    if (udev_monitor_filter_add_match_subsystem_devtype(system->monitor, m_subsystem.c_str(), nullptr) < 0 ||
        udev_monitor_enable_receiving(system->monitor) < 0 || fd < 0)
        return;
    // Drain() must never block the GUI thread.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return;
    m_system = system.release();
    m_fd = fd;
}

TDeviceMonitor::~TDeviceMonitor() {
    delete m_system;
}

std::string TDeviceMonitor::DefaultSource(const std::string& controlPath) {
    return ::access(controlPath.c_str(), F_OK) == 0 ? "udev" : "kernel";
}

int TDeviceMonitor::Drain() {
    if (!Ok()) return 0;
    int n = 0;
    while (n < MaxDrain) {
        udev_device* device = udev_monitor_receive_device(m_system->monitor);
        if (device == nullptr) break;
        udev_device_unref(device);
        ++n;
    }
    return n;
}

int TDeviceMonitor::WaitAndDispatch(int timeoutMs, TUSBhandler& handler) {
    if (!Ok()) return -1;
    pollfd p{m_fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    if ((p.revents & POLLNVAL) != 0) return -1;
    int n = Drain();
    // POLLERR here is a receive buffer overrun: events were lost, so one notification stands for them
    // and the handler looks at the devices afresh.
    if (n == 0 && (p.revents & POLLERR) != 0) n = 1;
    for (int i = 0; i < n; ++i)
        handler.DeviceChanged();
    return n;
}
