#include "cli/TSelectBackend.h"

#include <algorithm>

#include "cli/CliOptions.h"
#include "usb/Hid.h"

TSelectBackend::TSelectBackend(IHidBackend& inner, uint16_t vid, uint16_t pid, std::string path,
                               std::string serial)
    : m_inner(inner), m_vid(vid), m_pid(pid), m_path(std::move(path)), m_serial(std::move(serial)) {}

bool TSelectBackend::Visible(const THidInterfaceInfo& info) const {
    const bool candidate = info.attributesRead && info.vendorId == m_vid && info.productId == m_pid;
    if (!candidate) return true;
    if (!m_path.empty() && info.path != m_path) return false;
    // Compared as the transport will show it, so what "list" prints is what selects; "---" selects
    // the devices without a serial number, never one whose serial is that text.
    if (m_serial.empty()) return true;
    if (m_serial == NoSerialText) return !info.hasSerial;
    return info.hasSerial && HidTextFromDevice(info.serial) == m_serial;
}

bool TSelectBackend::Enumerate(std::vector<THidInterfaceInfo>& out) {
    if (!m_inner.Enumerate(out)) return false;
    out.erase(
        std::remove_if(out.begin(), out.end(), [this](const THidInterfaceInfo& i) { return !Visible(i); }),
        out.end());
    return true;
}

int TSelectBackend::Open(const std::string& path, THidOpenError& error) {
    return m_inner.Open(path, error);
}

void TSelectBackend::Close(int handle) {
    m_inner.Close(handle);
}

bool TSelectBackend::Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) {
    return m_inner.Write(handle, report, len, timeoutMs);
}

bool TSelectBackend::Read(int handle, uint8_t* report, size_t len, size_t& received) {
    return m_inner.Read(handle, report, len, received);
}
