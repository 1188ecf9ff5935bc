#pragma once
// The device-change source: on Linux a libudev netlink monitor on one subsystem, whose fd is watched
// by the GUI's socket notifier or by poll() in the CLI (platform/linux/TDeviceMonitorLinux.cpp); on
// Windows HID device-interface notifications (platform/windows/TDeviceMonitorWindows.cpp, no fd).
// Every event received is one notification.

#include <string>

class TUSBhandler;

class TDeviceMonitor {
public:
    static constexpr int MaxDrain = 4096; // a storm of events cannot keep Drain() going for ever

    // Source "udev" (events after udevd has made the device node usable) or "kernel" (straight from
    // the kernel); empty picks "udev" when udevd runs, else "kernel".
    explicit TDeviceMonitor(const std::string& subsystem = "hidraw", const std::string& source = "");
    ~TDeviceMonitor();
    TDeviceMonitor(const TDeviceMonitor&) = delete;
    TDeviceMonitor& operator=(const TDeviceMonitor&) = delete;

    bool Ok() const { return m_system != nullptr; }
    int Fd() const { return m_fd; } // -1 when not Ok()
    std::string Source() const { return m_source; }
    std::string Subsystem() const { return m_subsystem; }

    // Receives every pending event without blocking; returns how many.
    int Drain();
    // Waits up to timeoutMs (poll() semantics) for events, then calls handler.DeviceChanged() once per
    // event received. Returns the number dispatched, -1 on error.
    int WaitAndDispatch(int timeoutMs, TUSBhandler& handler);

    // "udev" when udevd's control socket exists, else "kernel" (Windows: "windows").
    static std::string DefaultSource(const std::string& controlPath = "/run/udev/control");

private:
    std::string m_subsystem;
    std::string m_source;
    struct TSystemMonitor; // each system's own, defined in its file
    TSystemMonitor* m_system = nullptr;
    int m_fd = -1;
};
