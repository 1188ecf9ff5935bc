#pragma once
// The HID back end of the page: the board is a WebHID device that the page's script keeps in a table
// (web/site/webhid.js). Transfers go through HIDDevice.sendReport and the device's input reports; a
// disconnect event marks the board as gone.

#include "usb/HidBackend.h"

class TWebHidBackend final : public IHidBackend {
public:
    bool Enumerate(std::vector<THidInterfaceInfo>& out) override;
    int Open(const std::string& path, THidOpenError& error) override;
    void Close(int handle) override;
    // Waits (the run is suspended, the page keeps running) until the browser took the report.
    bool Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) override;
    bool Read(int handle, uint8_t* report, size_t len, size_t& received) override;
    bool Gone(int handle) override;
};

// How the page's script describes an open refusal (numbers used by webhid.js).
THidOpenError WebOpenError(int code);
