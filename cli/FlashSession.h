#pragma once
// The three commands: list the HID devices, connect to one bootloader (info), connect and flash.

#include <cstdint>
#include <memory>
#include <string>

#include "cli/CliOptions.h"
#include "cli/OutputGuard.h"
#include "cli/TSelectBackend.h"
#include "cli/TSimSetup.h"
#include "cli/TTraceBackend.h"
#include "platform/THidApiBackend.h"

// The back end of a run: real hardware or virtual boards, and over it the selection by path or serial
// and the trace, each only when asked for.
class TBackendChain {
public:
    // withExtras: also the selection and the trace (a run that talks to a board; not "list").
    bool Build(const TCliOptions& options, uint64_t startUs, bool withExtras, std::string& error);
    IHidBackend& Top() { return *m_top; }
    TSimSetup* Sim() { return m_sim.get(); }
    bool Select(const THidInterfaceInfo& info) const { return !m_select || m_select->Visible(info); }
    // True when Build failed because the HID layer could not start (no board can be reached: exit 2),
    // not because of the options.
    bool HidStartFailed() const { return m_hidStartFailed; }
    // errno of the first failed trace write, 0 while none failed (or without a trace).
    int TraceError() const { return m_traceFile ? m_traceFile->Error() : 0; }

private:
    std::unique_ptr<THidApiBackend> m_real;
    std::unique_ptr<TSimSetup> m_sim;
    std::unique_ptr<TSelectBackend> m_select;
    std::unique_ptr<TTraceFile> m_traceFile;
    std::unique_ptr<TTraceBackend> m_trace;
    IHidBackend* m_top = nullptr;
    bool m_hidStartFailed = false;
};

class IClock;

// Installs a run's clock; on leaving, takes the clock, the back end and the hooks away again.
class TRunScope {
public:
    explicit TRunScope(IClock* clock);
    ~TRunScope();
    TRunScope(const TRunScope&) = delete;
    TRunScope& operator=(const TRunScope&) = delete;
};

int RunList(const TCliOptions& options);
// info and flash of one board; returns the exit code.
int RunSession(const TCliOptions& options);
