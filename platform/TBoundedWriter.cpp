#include "platform/TBoundedWriter.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <vector>

struct TBoundedWriter::TState {
    TWriteProc write;
    TCleanupProc cleanup;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<uint8_t> buffer; // touched by Write only while the worker is idle
    bool pending = false;        // a report waits for the worker
    bool busy = false;           // the worker is inside the write proc
    bool stop = false;
    bool exited = false; // the worker has left and the cleanup has run
    uint64_t posted = 0;
    uint64_t finished = 0;
    int result = -1;
};

TBoundedWriter::TBoundedWriter(TWriteProc write, TCleanupProc cleanup) : m_state(std::make_shared<TState>()) {
    m_state->write = std::move(write);
    m_state->cleanup = std::move(cleanup);
    m_state->buffer.reserve(MaxReportSize); // no allocation per report
    if (!m_state->write) return;
    try {
        m_worker = std::thread(Run, m_state);
    } catch (const std::system_error&) {
        // No thread: Ok() is false and Stop() runs the cleanup itself.
    }
}

TBoundedWriter::~TBoundedWriter() {
    Stop(DefaultGraceMs);
}

bool TBoundedWriter::Ok() const {
    return m_worker.joinable() && !m_stopped;
}

bool TBoundedWriter::Busy() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->busy;
}

bool TBoundedWriter::Write(const uint8_t* data, size_t len, uint32_t timeoutMs) {
    if (!Ok() || (data == nullptr && len > 0) || len > MaxReportSize) return false;
    TState& s = *m_state;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(s.mutex);
    // An earlier write that outlasted its own bound may still hold the worker.
    if (!s.cv.wait_until(lock, deadline, [&] { return s.stop || (!s.busy && !s.pending); })) return false;
    if (s.stop) return false;
    s.buffer.assign(data, data + len);
    s.pending = true;
    const uint64_t job = ++s.posted;
    s.cv.notify_all();
    if (s.cv.wait_until(lock, deadline, [&] { return s.finished >= job; })) return s.result >= 0;
    // Not started yet: withdrawn, so that it does not go out late.
    if (s.pending) s.pending = false;
    return false;
}

void TBoundedWriter::Run(std::shared_ptr<TState> state) {
    TState& s = *state;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        s.cv.wait(lock, [&] { return s.stop || s.pending; });
        if (s.stop) break; // a report not yet started is dropped
        s.pending = false;
        s.busy = true;
        const uint64_t job = s.posted;
        lock.unlock();
        const int result = s.write(s.buffer.data(), s.buffer.size());
        lock.lock();
        s.busy = false;
        s.result = result;
        s.finished = job;
        s.cv.notify_all();
    }
    lock.unlock();
    if (s.cleanup) s.cleanup();
    lock.lock();
    s.exited = true;
    s.cv.notify_all();
}

bool TBoundedWriter::Stop(uint32_t graceMs) {
    if (m_stopped) return m_endedInTime;
    m_stopped = true;
    TState& s = *m_state;
    if (!m_worker.joinable()) {
        if (s.cleanup) s.cleanup();
        m_endedInTime = true;
        return true;
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    s.stop = true;
    s.cv.notify_all();
    m_endedInTime = s.cv.wait_for(lock, std::chrono::milliseconds(graceMs), [&] { return s.exited; });
    lock.unlock();
    if (m_endedInTime) {
        m_worker.join();
    } else {
        m_worker.detach(); // it holds its own reference to the state
    }
    return m_endedInTime;
}
