#pragma once
// Runs a blocking write on a worker thread so that the caller waits no longer than it chooses: a
// hidraw write blocks for the whole USB transfer, and a device that never takes its report would
// otherwise hang the GUI thread. A write that outlasts its bound keeps running; the worker owns
// everything it touches, the cleanup included, so the owner may go away while a write is stuck.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

class TBoundedWriter {
public:
    using TWriteProc = std::function<int(const uint8_t* data, size_t len)>; // < 0: failed
    using TCleanupProc = std::function<void()>;
    static constexpr size_t MaxReportSize = 4096;
    static constexpr uint32_t DefaultGraceMs = 100;

    // The cleanup runs exactly once, after the last write has returned.
    explicit TBoundedWriter(TWriteProc write, TCleanupProc cleanup = {});
    ~TBoundedWriter(); // Stop(DefaultGraceMs) unless stopped already
    TBoundedWriter(const TBoundedWriter&) = delete;
    TBoundedWriter& operator=(const TBoundedWriter&) = delete;

    bool Ok() const; // the worker runs
    // True when the write proc returned >= 0 within timeoutMs. A report the worker has not started
    // when the bound runs out is withdrawn; one it has started is left to finish.
    bool Write(const uint8_t* data, size_t len, uint32_t timeoutMs);
    bool Busy() const; // a write is in progress
    // Ends the worker, waiting up to graceMs for a write in progress. A worker still stuck then is
    // detached and runs the cleanup when its write returns. True when it ended within the bound.
    bool Stop(uint32_t graceMs);

private:
    struct TState;
    static void Run(std::shared_ptr<TState> state);

    std::shared_ptr<TState> m_state;
    std::thread m_worker;
    bool m_stopped = false;
    bool m_endedInTime = false;
};
