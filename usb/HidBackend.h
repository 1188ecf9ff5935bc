#pragma once
// The operations the transport needs from a HID back end. The real one sits on hidapi (platform/),
// the virtual one serves the in-memory bootloader (sim/). Exactly one is installed at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct THidInterfaceInfo {
    std::string path;
    bool attributesRead = false;  // vendor/product/version valid
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0;
    bool hasManufacturer = false;
    bool hasProduct = false;
    bool hasSerial = false;
    std::u32string manufacturer;  // as the device gives it; converted to 8-bit by the transport
    std::u32string product;
    std::u32string serial;
    bool capsRead = false;      // output report length known
    uint16_t reportLength = 0;  // output report length, report ID byte included
};

enum class THidOpenError { None, NotFound, Permission, Busy, BadReportLength, NumberedReports, Other };

class IHidBackend {
public:
    virtual ~IHidBackend() = default;
    // Lists the HID interfaces present now, in system order. False when no list could be had.
    virtual bool Enumerate(std::vector<THidInterfaceInfo>& out) = 0;
    // Opens a path for transfers; returns a handle >= 0, or -1 (the reason in error).
    virtual int Open(const std::string& path, THidOpenError& error) = 0;
    virtual void Close(int handle) = 0;
    // Hands one report of len bytes (report ID first) to the device; true when it was taken within
    // timeoutMs.
    virtual bool Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) = 0;
    // Takes one waiting input report of at most len bytes (report ID first) without blocking.
    // True when a report was waiting; received is then the number of bytes stored.
    virtual bool Read(int handle, uint8_t* report, size_t len, size_t& received) = 0;
    // True once a transfer on the handle failed because the device is no longer there (unplugged).
    // A back end that cannot tell says false; the device then looks like one that does not answer.
    virtual bool Gone(int /*handle*/) { return false; }
};

// The installed back end; never null (an empty one that finds nothing is installed at start).
IHidBackend& HidBackend();
void SetHidBackend(IHidBackend* backend);  // nullptr re-installs the empty one
