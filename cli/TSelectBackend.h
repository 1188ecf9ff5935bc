#pragma once
// A HID back end that shows, of the devices with the bootloader's VID and PID, only those with the
// chosen path and/or serial number. The connection pass then sees one candidate where several boards
// are attached; devices with other IDs pass unchanged, so the pass still reports arrivals as usual.

#include <cstdint>
#include <string>

#include "usb/HidBackend.h"

class TSelectBackend final : public IHidBackend {
public:
    // An empty path or serial does not select by it.
    TSelectBackend(IHidBackend& inner, uint16_t vid, uint16_t pid, std::string path, std::string serial);

    bool Enumerate(std::vector<THidInterfaceInfo>& out) override;
    int Open(const std::string& path, THidOpenError& error) override;
    void Close(int handle) override;
    bool Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) override;
    bool Read(int handle, uint8_t* report, size_t len, size_t& received) override;
    bool Gone(int handle) override { return m_inner.Gone(handle); }

    // True when the device stays visible.
    bool Visible(const THidInterfaceInfo& info) const;

private:
    IHidBackend& m_inner;
    uint16_t m_vid;
    uint16_t m_pid;
    std::string m_path;
    std::string m_serial;
};
