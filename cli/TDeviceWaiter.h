#pragma once
// Waits for device-change notifications and hands each to the listener, until a condition holds or a
// deadline on the installed clock passes. Nothing is polled: real hardware wakes the wait through the
// device-change source (udev, or a device-interface notification on Windows), virtual boards through a
// wake signal that every queued notification sets.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TSimSetup;
class TWakeSignal;
class TDeviceMonitor;
class TUSBhandler;

class TDeviceWaiter {
public:
    // sim: the virtual boards, or null for real hardware. virtualTime: the clock is the virtual one,
    // so a wait with nothing to wait for jumps to its deadline instead of sleeping.
    // Create it before the first connection pass, so an arrival between the two is not missed.
    // subsystem: what the udev monitor listens to (tests use one they can trigger).
    TDeviceWaiter(TSimSetup* sim, bool virtualTime, const std::string& subsystem = "hidraw");
    ~TDeviceWaiter();
    TDeviceWaiter(const TDeviceWaiter&) = delete;
    TDeviceWaiter& operator=(const TDeviceWaiter&) = delete;

    bool Ok() const { return m_ok; }
    std::string Error() const { return m_error; }

    // True when done() held before the clock reached deadlineUs. done() is checked before each wait
    // and after each batch of notifications.
    bool WaitUntil(uint64_t deadlineUs, TUSBhandler& handler, const std::function<bool()>& done);

private:
    bool WaitReal(uint64_t deadlineUs, TUSBhandler& handler, const std::function<bool()>& done);
    bool WaitSim(uint64_t deadlineUs, const std::function<bool()>& done);

    TSimSetup* m_sim;
    bool m_virtual;
    bool m_ok = false;
    std::string m_error;
    std::unique_ptr<TDeviceMonitor> m_monitor;
    std::unique_ptr<TWakeSignal> m_wake;
};
