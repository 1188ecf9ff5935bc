#include "cli/TDeviceWaiter.h"

#include <algorithm>

#include "boot/Clock.h"
#include "cli/CliPlatform.h"
#include "cli/TSimSetup.h"
#include "platform/TDeviceMonitor.h"
#include "usb/HIDinterface.h"

namespace {

// A wait is re-armed at least this often, so a clock that jumps cannot stretch it.
constexpr uint64_t MaxSliceUs = 1000000;

int SliceMs(uint64_t nowUs, uint64_t untilUs) {
    const uint64_t us = std::min<uint64_t>(untilUs - nowUs, MaxSliceUs);
    return static_cast<int>((us + 999) / 1000);
}

} // namespace

TDeviceWaiter::TDeviceWaiter(TSimSetup* sim, bool virtualTime, const std::string& subsystem)
    : m_sim(sim), m_virtual(virtualTime) {
    if (m_sim == nullptr) {
        m_monitor = std::make_unique<TDeviceMonitor>(subsystem);
        m_ok = m_monitor->Ok();
        if (!m_ok) m_error = "cannot listen for device changes (udev monitor unavailable)";
        return;
    }
    m_wake = std::make_unique<TWakeSignal>();
    if (!m_wake->Ok()) {
        m_error = "cannot create a pipe for device-change wake-ups";
        return;
    }
    TWakeSignal* wake = m_wake.get();
    SetDeviceChangeWakeup([wake] { wake->Notify(); });
    m_ok = true;
}

TDeviceWaiter::~TDeviceWaiter() {
    if (m_wake && m_wake->Ok()) SetDeviceChangeWakeup(nullptr);
}

bool TDeviceWaiter::WaitUntil(uint64_t deadlineUs, TUSBhandler& handler, const std::function<bool()>& done) {
    if (done()) return true;
    if (!m_ok) return false;
    return m_sim == nullptr ? WaitReal(deadlineUs, handler, done) : WaitSim(deadlineUs, done);
}

bool TDeviceWaiter::WaitReal(uint64_t deadlineUs, TUSBhandler& handler, const std::function<bool()>& done) {
    for (;;) {
        DispatchDeviceChanges();
        if (done()) return true;
        const uint64_t now = NowUs();
        if (now >= deadlineUs) return false;
        if (m_monitor->WaitAndDispatch(SliceMs(now, deadlineUs), handler) < 0) {
            m_error = "waiting for device changes failed";
            return false;
        }
    }
}

bool TDeviceWaiter::WaitSim(uint64_t deadlineUs, const std::function<bool()>& done) {
    for (;;) {
        // Queued notifications are delivered through the listener (USBhandler) to the installed pass.
        DispatchDeviceChanges();
        if (done()) return true;
        const uint64_t now = NowUs();
        if (now >= deadlineUs) return false;
        uint64_t until = deadlineUs;
        const std::optional<uint64_t> plug = m_sim->NextPlugUs();
        if (plug && *plug < until) until = std::max(*plug, now);
        if (until > now) {
            if (m_virtual) {
                // Nothing outside this thread can act on a virtual board: skip to the next event.
                Pause(static_cast<uint32_t>((until - now + 999) / 1000));
            } else {
                if (!m_wake->Wait(SliceMs(now, until))) {
                    m_error = "waiting for device changes failed";
                    return false;
                }
            }
        }
        m_sim->PlugDue(NowUs());
    }
}
