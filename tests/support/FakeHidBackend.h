#pragma once
// A scripted HID back end for transport tests: a list of interfaces, counted opens and the reports
// written, and answers queued by the test.

#include <deque>
#include <vector>

#include "usb/HidBackend.h"

class TFakeHidBackend final : public IHidBackend {
public:
    std::vector<THidInterfaceInfo> devices;
    bool enumerateOk = true;
    THidOpenError openError = THidOpenError::None;  // not None: every open fails with it
    int opens = 0;
    int closes = 0;
    bool takeWrites = true;
    bool gone = false;  // the device was unplugged: transfers fail and Gone() says so
    int reads = 0;
    std::vector<std::vector<uint8_t>> written;
    std::deque<std::vector<uint8_t>> answers;  // report ID first

    bool Enumerate(std::vector<THidInterfaceInfo>& out) override {
        out = devices;
        return enumerateOk;
    }
    int Open(const std::string& path, THidOpenError& error) override {
        for (const auto& d : devices)
            if (d.path == path && openError == THidOpenError::None) {
                ++opens;
                return 10 + opens;
            }
        error = openError == THidOpenError::None ? THidOpenError::NotFound : openError;
        return -1;
    }
    void Close(int) override { ++closes; }
    bool Write(int, const uint8_t* report, size_t len, uint32_t) override {
        if (!takeWrites || gone) return false;
        written.emplace_back(report, report + len);
        return true;
    }
    bool Read(int, uint8_t* report, size_t len, size_t& received) override {
        ++reads;
        if (answers.empty() || gone) return false;
        auto a = answers.front();
        answers.pop_front();
        received = a.size() < len ? a.size() : len;
        for (size_t i = 0; i < received; ++i) report[i] = a[i];
        return true;
    }
    bool Gone(int) override { return gone; }

    static THidInterfaceInfo Device(const std::string& path, uint16_t vid, uint16_t pid, uint16_t length = 65) {
        THidInterfaceInfo i;
        i.path = path;
        i.attributesRead = true;
        i.vendorId = vid;
        i.productId = pid;
        i.version = 0x0102;
        i.hasManufacturer = i.hasProduct = true;
        i.manufacturer = U"Maker";
        i.product = U"Board";
        i.capsRead = true;
        i.reportLength = length;
        return i;
    }
};
