#include "cli/TTraceBackend.h"

#include <cstdio>

#include "boot/Clock.h"
#include "cli/OutputGuard.h"

namespace {
constexpr size_t TraceDataBytes = 64;
}

TTraceBackend::TTraceBackend(IHidBackend& inner, std::ostream& out, uint64_t startUs)
    : m_inner(inner), m_out(out), m_startUs(startUs) {}

bool TTraceBackend::Enumerate(std::vector<THidInterfaceInfo>& out) {
    return m_inner.Enumerate(out);
}

int TTraceBackend::Open(const std::string& path, THidOpenError& error) {
    return m_inner.Open(path, error);
}

void TTraceBackend::Close(int handle) {
    m_inner.Close(handle);
}

bool TTraceBackend::Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) {
    // An interruption waits until the report is in the trace.
    TSignalHold hold;
    const bool taken = m_inner.Write(handle, report, len, timeoutMs);
    if (taken) Trace(true, report, len);
    return taken;
}

bool TTraceBackend::Read(int handle, uint8_t* report, size_t len, size_t& received) {
    TSignalHold hold;
    const bool got = m_inner.Read(handle, report, len, received);
    if (got) Trace(false, report, received < len ? received : len);
    return got;
}

void TTraceBackend::Trace(bool out, const uint8_t* report, size_t len) {
    if (report == nullptr || len == 0) return;
    const uint64_t now = NowUs();
    const uint64_t elapsed = now >= m_startUs ? now - m_startUs : 0;
    m_out << FormatLine(elapsed, out, report + 1, len - 1) << '\n';
    m_out.flush();
    ++m_lines;
}

std::string TTraceBackend::FormatLine(uint64_t elapsedUs, bool out, const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%llu.%03llu", static_cast<unsigned long long>(elapsedUs / 1000),
                  static_cast<unsigned long long>(elapsedUs % 1000));
    std::string line = stamp;
    line += out ? " OUT " : " IN ";
    for (size_t i = 0; i < TraceDataBytes; ++i) {
        const uint8_t b = i < n && data != nullptr ? data[i] : 0;
        line += digits[b >> 4];
        line += digits[b & 0x0F];
    }
    return line;
}
