#pragma once
// A HID back end that writes every report it carries to a trace and hands everything else to the back
// end it wraps, so the same trace comes from a virtual target and from real hardware.
//
// One line per report, in order: "<ms> OUT <128 hex digits>" or "<ms> IN <128 hex digits>", ms being
// the clock time since the start with 3 decimals, the 64 data bytes without the report ID. OUT lines
// are written for the reports the device took (Write returned true), since a report that was not taken
// never reached the bootloader; IN lines for every report Read returned. The time is taken when the
// call returns. Each line is flushed as it is written, and SIGINT and SIGTERM wait while a report
// and its line are under way, so an interrupted run's trace holds every report that was carried.

#include <cstdint>
#include <ostream>
#include <string>

#include "usb/HidBackend.h"

class TTraceBackend final : public IHidBackend {
public:
    TTraceBackend(IHidBackend& inner, std::ostream& out, uint64_t startUs);

    bool Enumerate(std::vector<THidInterfaceInfo>& out) override;
    int Open(const std::string& path, THidOpenError& error) override;
    void Close(int handle) override;
    bool Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) override;
    bool Read(int handle, uint8_t* report, size_t len, size_t& received) override;
    bool Gone(int handle) override { return m_inner.Gone(handle); }

    int64_t Lines() const { return m_lines; }

    // One line without its newline; data is the report without its ID byte, n bytes of it (shorter
    // reports are padded with zeros to 64 bytes, longer ones cut).
    static std::string FormatLine(uint64_t elapsedUs, bool out, const uint8_t* data, size_t n);

private:
    void Trace(bool out, const uint8_t* report, size_t len);

    IHidBackend& m_inner;
    std::ostream& m_out;
    uint64_t m_startUs;
    int64_t m_lines = 0;
};
