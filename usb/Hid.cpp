#include "usb/Hid.h"

#include <cstring>

THidDevice CurrentDevice;
int32_t SelectedDevice = -1;
THidDeviceTable TargetDevices;
uint8_t TargetDeviceCount = 0;

namespace {

class TNoHidBackend final : public IHidBackend {
public:
    bool Enumerate(std::vector<THidInterfaceInfo>& out) override {
        out.clear();
        return true;
    }
    int Open(const std::string&, THidOpenError& error) override {
        error = THidOpenError::NotFound;
        return -1;
    }
    void Close(int) override {}
    bool Write(int, const uint8_t*, size_t, uint32_t) override { return false; }
    bool Read(int, uint8_t*, size_t, size_t&) override { return false; }
};

TNoHidBackend NoBackend;
IHidBackend* Backend = &NoBackend;
THidOpenError LastOpenError = THidOpenError::None;

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = U'?';
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

IHidBackend& HidBackend() { return *Backend; }
void SetHidBackend(IHidBackend* backend) { Backend = backend ? backend : &NoBackend; }

std::string CutText(const std::string& text, size_t max) {
    if (text.size() <= max) return text;
    size_t n = max;
    // Step back over continuation bytes so that no character is split.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

std::string HidTextFromDevice(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        if (c == 0) break;
        AppendUtf8(out, c);
        if (out.size() > static_cast<size_t>(HidMaxText)) break;
    }
    return CutText(out, HidMaxText);
}

std::vector<THidDevice> HidListDevices(uint16_t vendorId, uint16_t productId) {
    std::vector<THidDevice> found;
    std::vector<THidInterfaceInfo> list;
    if (!Backend->Enumerate(list)) return found;
    for (const auto& info : list) {
        if (info.path.empty()) continue;  // no detail data: skipped
        THidDevice rec;
        rec.path = CutText(info.path, HidMaxText);
        if (info.attributesRead) {
            rec.vendorId = info.vendorId;
            rec.productId = info.productId;
            rec.version = info.version;
        }
        if (info.hasManufacturer) rec.manufacturer = HidTextFromDevice(info.manufacturer);
        if (info.hasProduct) rec.product = HidTextFromDevice(info.product);
        rec.serialNumber = info.hasSerial ? HidTextFromDevice(info.serial) : std::string("---");
        rec.hasSerial = info.hasSerial;
        rec.reportLength = info.capsRead ? info.reportLength : 0;
        rec.handle = -1;
        const bool match = (rec.vendorId == vendorId && rec.productId == productId) ||
                           (vendorId == 0 && productId == 0);
        if (match) found.push_back(std::move(rec));
    }
    return found;
}

void HidFindDevices(THidDeviceTable& table, uint8_t& count, uint16_t vendorId, uint16_t productId) {
    for (auto& slot : table) slot.Clear();
    count = 0;
    for (auto& rec : HidListDevices(vendorId, productId)) {
        table[count] = std::move(rec);
        if (count < HidMaxCount) ++count;
    }
}

bool HidOpen(THidDevice& device) {
    if (device.handle == -1) {
        LastOpenError = THidOpenError::None;
        if (device.path.empty()) {
            LastOpenError = THidOpenError::NotFound;
        } else if (!HidReportLengthSupported(device.reportLength)) {
            // Reports of another length cannot carry the protocol: refused before any transfer.
            LastOpenError = THidOpenError::BadReportLength;
        } else {
            THidOpenError err = THidOpenError::None;
            const int h = Backend->Open(device.path, err);
            if (h >= 0) {
                device.handle = h;
            } else {
                LastOpenError = err == THidOpenError::None ? THidOpenError::Other : err;
            }
        }
    }
    if (device.handle != -1) {
        CurrentDevice = device;
        return true;
    }
    CurrentDevice.Clear();
    return false;
}

bool HidClose(THidDevice& device) {
    if (device.handle != -1) {
        Backend->Close(device.handle);
        device.handle = -1;
    }
    CurrentDevice.Clear();
    return true;
}

bool HidWriteReport(THidDevice& device, const uint8_t* data64) {
    if (device.handle == -1) {
        HidOpen(device);
        if (device.handle == -1) return false;
    }
    if (!HidReportLengthSupported(device.reportLength)) return false;
    uint8_t report[HidMaxReportLength];
    report[0] = 0;  // report ID
    std::memcpy(report + 1, data64, HidDataSize);
    return Backend->Write(device.handle, report, device.reportLength, HidWriteTimeoutMs);
}

bool HidReadReport(THidDevice& device, uint8_t* data64) {
    if (device.handle == -1) {
        HidOpen(device);
        if (device.handle == -1) return false;
    }
    if (!HidReportLengthSupported(device.reportLength)) return false;
    uint8_t report[HidMaxReportLength];
    std::memset(report, 0, sizeof report);
    size_t received = 0;
    if (!Backend->Read(device.handle, report, device.reportLength, received)) return false;
    std::memcpy(data64, report + 1, HidDataSize);  // the received report ID byte is dropped
    return true;
}

bool HidDeviceGone(const THidDevice& device) { return device.handle != -1 && Backend->Gone(device.handle); }

THidOpenError HidLastOpenError() { return LastOpenError; }

std::string HidOpenErrorText(THidOpenError error, const THidDevice& device) {
    switch (error) {
    case THidOpenError::None: return "";
    case THidOpenError::NotFound: return "Device " + device.path + " is gone.";
    case THidOpenError::Permission:
        return "No permission for " + device.path + ": install the udev rule ('quarnel udev-rule' prints it).";
    case THidOpenError::Busy: return "Device " + device.path + " is in use by another program.";
    case THidOpenError::BadReportLength:
        return "Report length " + std::to_string(device.reportLength) + " not supported (65 only).";
    case THidOpenError::NumberedReports:
        return "Device " + device.path + " uses numbered reports; the bootloader's have none.";
    case THidOpenError::Other: return "Device " + device.path + " could not be opened.";
    }
    return "";
}

void ResetHidState() {
    CurrentDevice.Clear();
    SelectedDevice = -1;
    for (auto& d : TargetDevices) d.Clear();
    TargetDeviceCount = 0;
    LastOpenError = THidOpenError::None;
}
