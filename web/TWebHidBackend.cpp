#include "web/TWebHidBackend.h"

#include <emscripten.h>

#include <cstdlib>

// The table lives in the page (Module.quarnelHid, see webhid.js); these are its entry points.
// clang-format off
EM_JS(int, qf_js_hid_count, (), { return Module.quarnelHid ? Module.quarnelHid.present().length : 0; });
EM_JS(int, qf_js_hid_number, (int index, int field), {
    const d = Module.quarnelHid.present()[index];
    return [d.id, d.vendorId, d.productId, d.version, d.reportLength, d.capsRead ? 1 : 0][field];
});
EM_JS(char*, qf_js_hid_text, (int index, int field), {
    const d = Module.quarnelHid.present()[index];
    const text = [d.path, d.manufacturer, d.product, d.serial][field];
    return text === null || text === undefined ? 0 : allocateUTF8(text);
});
EM_ASYNC_JS(int, qf_js_hid_open, (const char* path), {
    return await Module.quarnelHid.open(UTF8ToString(path));
});
EM_JS(void, qf_js_hid_close, (int handle), { Module.quarnelHid.close(handle); });
EM_ASYNC_JS(int, qf_js_hid_write, (int handle, const uint8_t* report, int len, int timeoutMs), {
    const bytes = HEAPU8.slice(report, report + len);
    return await Module.quarnelHid.write(handle, bytes, timeoutMs) ? 1 : 0;
});
EM_JS(int, qf_js_hid_read, (int handle, uint8_t* report, int len), {
    const r = Module.quarnelHid.read(handle);
    if (!r) return -1;
    const n = Math.min(len, r.length);
    HEAPU8.set(r.subarray(0, n), report);
    return n;
});
EM_JS(int, qf_js_hid_gone, (int handle), { return Module.quarnelHid.gone(handle) ? 1 : 0; });
// clang-format on

namespace {

enum { FieldId, FieldVendor, FieldProduct, FieldVersion, FieldReportLength, FieldCapsRead };
enum { TextPath, TextManufacturer, TextProduct, TextSerial };

// A text of the device as UTF-32, as the transport takes it; false when the device gives none.
bool Text(int index, int field, std::string* utf8, std::u32string* utf32) {
    char* raw = qf_js_hid_text(index, field);
    if (raw == nullptr) return false;
    const std::string s(raw);
    std::free(raw);
    if (utf8) *utf8 = s;
    if (utf32) {
        utf32->clear();
        for (size_t i = 0; i < s.size();) {
            const auto c = static_cast<unsigned char>(s[i]);
            const int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
            for (int k = 1; k < n && i + size_t(k) < s.size(); ++k)
                cp = (cp << 6) | (static_cast<unsigned char>(s[i + size_t(k)]) & 0x3F);
            utf32->push_back(cp);
            i += size_t(n);
        }
    }
    return true;
}

} // namespace

THidOpenError WebOpenError(int code) {
    switch (code) {
    case -2:
        return THidOpenError::NotFound;
    case -3:
        return THidOpenError::BadReportLength;
    case -4:
        return THidOpenError::NumberedReports;
    case -5:
        return THidOpenError::Busy;
    default:
        return THidOpenError::Other;
    }
}

bool TWebHidBackend::Enumerate(std::vector<THidInterfaceInfo>& out) {
    out.clear();
    const int count = qf_js_hid_count();
    for (int i = 0; i < count; ++i) {
        THidInterfaceInfo info;
        Text(i, TextPath, &info.path, nullptr);
        info.attributesRead = true;
        info.vendorId = uint16_t(qf_js_hid_number(i, FieldVendor));
        info.productId = uint16_t(qf_js_hid_number(i, FieldProduct));
        info.version = uint16_t(qf_js_hid_number(i, FieldVersion));
        info.hasManufacturer = Text(i, TextManufacturer, nullptr, &info.manufacturer);
        info.hasProduct = Text(i, TextProduct, nullptr, &info.product);
        info.hasSerial = Text(i, TextSerial, nullptr, &info.serial);
        info.capsRead = qf_js_hid_number(i, FieldCapsRead) != 0;
        info.reportLength = uint16_t(qf_js_hid_number(i, FieldReportLength));
        out.push_back(std::move(info));
    }
    return true;
}

int TWebHidBackend::Open(const std::string& path, THidOpenError& error) {
    const int handle = qf_js_hid_open(path.c_str());
    error = handle >= 0 ? THidOpenError::None : WebOpenError(handle);
    return handle >= 0 ? handle : -1;
}

void TWebHidBackend::Close(int handle) {
    qf_js_hid_close(handle);
}

bool TWebHidBackend::Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) {
    return qf_js_hid_write(handle, report, int(len), int(timeoutMs)) != 0;
}

bool TWebHidBackend::Read(int handle, uint8_t* report, size_t len, size_t& received) {
    const int n = qf_js_hid_read(handle, report, int(len));
    if (n < 0) return false;
    received = size_t(n);
    return true;
}

bool TWebHidBackend::Gone(int handle) {
    return qf_js_hid_gone(handle) != 0;
}
