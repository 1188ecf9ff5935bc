#include "sim/TSimBackend.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "boot/Clock.h"

namespace {

constexpr size_t PlainDevice = SIZE_MAX;
constexpr size_t DataBytes = 64;

// Profile strings are UTF-8, as udev gives a device's strings. Like hidapi's hidraw back end, the
// virtual one turns them into wide strings with the C library, so a program sees what it would see
// on hardware: nothing, for a name with a non-ASCII character, unless its character type is UTF-8.
// On Windows the HID API hands over UTF-16 whatever the locale, so there the strings are decoded as
// UTF-8 directly.
std::u32string Utf8ToUtf32(const std::string& s) {
    std::u32string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        char32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n && i + k < s.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out += n == 1 && c >= 0x80 ? char32_t(0xFFFD) : cp;
        i += n;
    }
    return out;
}

std::u32string Utf32(const std::string& s) {
    if constexpr (sizeof(wchar_t) != sizeof(char32_t)) return Utf8ToUtf32(s);
    const size_t n = std::mbstowcs(nullptr, s.c_str(), 0);
    if (n == static_cast<size_t>(-1)) return {};
    std::vector<wchar_t> wide(n + 1, L'\0');
    std::mbstowcs(wide.data(), s.c_str(), n + 1);
    std::u32string out;
    for (size_t i = 0; i < n; ++i) out += static_cast<char32_t>(wide[i]);
    return out;
}

}  // namespace

TVirtualTarget& TSimBackend::AddTarget(const TSimProfile& profile) {
    m_paths.push_back(profile.path.empty() ? "sim:" + std::to_string(m_targets.size()) : profile.path);
    m_targets.push_back(std::make_unique<TVirtualTarget>(profile));
    return *m_targets.back();
}

void TSimBackend::AddPlainDevice(const THidInterfaceInfo& info) {
    m_plain.push_back(info);
    if (m_plain.back().path.empty()) m_plain.back().path = "plain:" + std::to_string(m_plain.size() - 1);
}

void TSimBackend::RemovePlainDevices() {
    m_plain.clear();
    // Their handles die with them.
    for (auto& h : m_handles)
        if (h.target == PlainDevice) h.open = false;
}

int TSimBackend::OpenHandles() const {
    auto isOpen = [](const THandle& h) { return h.open; };
    return static_cast<int>(std::count_if(m_handles.begin(), m_handles.end(), isOpen));
}

bool TSimBackend::Enumerate(std::vector<THidInterfaceInfo>& out) {
    out.clear();
    for (size_t i = 0; i < m_targets.size(); ++i) {
        if (!m_targets[i]->Plugged()) continue;
        const TSimProfile& p = m_targets[i]->Profile();
        THidInterfaceInfo info;
        info.path = m_paths[i];
        info.attributesRead = true;
        info.vendorId = p.vendorId;
        info.productId = p.productId;
        info.version = p.version;
        info.hasManufacturer = !p.manufacturer.empty();
        info.manufacturer = Utf32(p.manufacturer);
        info.hasProduct = !p.product.empty();
        info.product = Utf32(p.product);
        info.hasSerial = !p.serial.empty();
        info.serial = Utf32(p.serial);
        info.capsRead = true;
        info.reportLength = p.reportLength;
        out.push_back(info);
    }
    out.insert(out.end(), m_plain.begin(), m_plain.end());
    return true;
}

int TSimBackend::Open(const std::string& path, THidOpenError& error) {
    ++m_opens;
    if (m_failOpen != THidOpenError::None) {
        error = m_failOpen;
        return -1;
    }
    size_t index = PlainDevice;
    bool found = false;
    for (size_t i = 0; i < m_targets.size() && !found; ++i) {
        if (m_paths[i] == path && m_targets[i]->Plugged()) {
            index = i;
            found = true;
        }
    }
    for (size_t i = 0; i < m_plain.size() && !found; ++i) found = m_plain[i].path == path;
    if (!found) {
        error = THidOpenError::NotFound;
        return -1;
    }
    const uint32_t generation = index == PlainDevice ? 0 : m_targets[index]->PlugGeneration();
    m_handles.push_back(THandle{m_nextHandle, index, true, generation});
    error = THidOpenError::None;
    return m_nextHandle++;
}

void TSimBackend::Close(int handle) {
    if (THandle* h = FindHandle(handle)) h->open = false;
}

TSimBackend::THandle* TSimBackend::FindHandle(int handle) {
    for (auto& h : m_handles)
        if (h.handle == handle && h.open) return &h;
    return nullptr;
}

TVirtualTarget* TSimBackend::TargetForHandle(int handle) {
    THandle* h = FindHandle(handle);
    if (h == nullptr || h->target == PlainDevice || h->target >= m_targets.size()) return nullptr;
    TVirtualTarget* t = m_targets[h->target].get();
    // A handle from before an unplug does not reach the device that came back.
    if (!t->Plugged() || t->PlugGeneration() != h->generation) return nullptr;
    return t;
}

bool TSimBackend::Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) {
    THandle* h = FindHandle(handle);
    if (h == nullptr || report == nullptr || len == 0) return false;  // a bad handle fails at once
    TVirtualTarget* t = TargetForHandle(handle);
    if (t == nullptr) {
        if (Gone(handle)) return false;
        // A plain device or a vanished target: the bounded wait runs out.
        Pause(timeoutMs);
        return false;
    }
    uint8_t data[DataBytes] = {};
    std::memcpy(data, report + 1, std::min(len - 1, DataBytes));
    const bool taken = t->Receive(data);
    if (!taken && Gone(handle)) return false;  // unplugged by this very report
    if (report[0] != 0) t->RecordViolation("report ID " + std::to_string(report[0]) + " instead of 0");
    if (len != t->Profile().reportLength)
        t->RecordViolation("report of " + std::to_string(len) + " bytes, the device's report length is " +
                           std::to_string(t->Profile().reportLength));
    if (!taken) {
        Pause(timeoutMs);
        return false;
    }
    return true;
}

bool TSimBackend::Read(int handle, uint8_t* report, size_t len, size_t& received) {
    TVirtualTarget* t = TargetForHandle(handle);
    if (t == nullptr || report == nullptr || len == 0) return false;
    uint8_t data[DataBytes];
    if (!t->TakeAnswer(data)) return false;
    report[0] = 0;
    const size_t n = std::min(len - 1, DataBytes);
    std::memcpy(report + 1, data, n);
    received = n + 1;
    return true;
}

bool TSimBackend::Gone(int handle) {
    if (!m_reportUnplug) return false;
    THandle* h = FindHandle(handle);
    if (h == nullptr || h->target == PlainDevice || h->target >= m_targets.size()) return false;
    const TVirtualTarget& t = *m_targets[h->target];
    return !t.Plugged() || t.PlugGeneration() != h->generation;
}
