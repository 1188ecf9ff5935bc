#pragma once
// Serves virtual targets (and plain HID devices that are no bootloader) through the HID back-end
// interface. Install it with SetHidBackend(&backend).

#include <memory>
#include <vector>

#include "sim/TVirtualTarget.h"
#include "usb/HidBackend.h"

class TSimBackend final : public IHidBackend {
public:
    // Adds a target (plugged in); its path is profile.path or "sim:<n>".
    TVirtualTarget& AddTarget(const TSimProfile& profile);
    // Adds a HID device that only enumerates (keyboard, mouse...); it takes no reports.
    void AddPlainDevice(const THidInterfaceInfo& info);
    void RemovePlainDevices();
    size_t TargetCount() const { return m_targets.size(); }
    TVirtualTarget& Target(size_t i) { return *m_targets[i]; }
    const std::string& PathOf(size_t i) const { return m_paths[i]; }
    // Opens that fail: with this set, Open refuses with the given reason.
    void FailOpens(THidOpenError reason) { m_failOpen = reason; }
    int OpenCount() const { return m_opens; }  // calls of Open, refused ones included
    // Like a Linux hidraw node: a transfer on a board that was unplugged fails at once and Gone()
    // says so. Off by default: then a vanished board only stops answering (writes time out).
    void ReportUnplug(bool on) { m_reportUnplug = on; }
    int OpenHandles() const;

    bool Enumerate(std::vector<THidInterfaceInfo>& out) override;
    int Open(const std::string& path, THidOpenError& error) override;
    void Close(int handle) override;
    bool Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) override;
    bool Read(int handle, uint8_t* report, size_t len, size_t& received) override;
    bool Gone(int handle) override;

private:
    TVirtualTarget* TargetForHandle(int handle);
    std::vector<std::unique_ptr<TVirtualTarget>> m_targets;
    std::vector<std::string> m_paths;
    std::vector<THidInterfaceInfo> m_plain;
    struct THandle {
        int handle;
        size_t target;  // index in m_targets, or SIZE_MAX for a plain device
        bool open;
        uint32_t generation;  // the target's plug generation at open; a re-plug makes the handle stale
    };
    std::vector<THandle> m_handles;
    THandle* FindHandle(int handle);  // an open handle, or null
    THidOpenError m_failOpen = THidOpenError::None;
    int m_opens = 0;
    bool m_reportUnplug = false;
    int m_nextHandle = 100;
};
