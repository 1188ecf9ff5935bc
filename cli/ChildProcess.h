#pragma once
// A child of flash --all: this program started again, its standard input empty, its standard output
// and error read through pipes. ChildProcessLinux.cpp (posix_spawn, poll, waitpid) and
// ChildProcessWindows.cpp (CreateProcessW, a reader thread per pipe) serve the two systems.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TChildProcess {
public:
    TChildProcess();
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    bool Start(const std::string& program, const std::vector<std::string>& args, std::string& error);
    bool Started() const;
    bool OutOpen() const; // its standard output has not reached its end yet
    bool ErrOpen() const;
    void Kill();
    // Waits up to graceUs for the child to end, then kills it. Its exit code, or -1 when it did not
    // end by itself (why then says how it ended, e.g. "terminated by signal 9").
    int Reap(uint64_t graceUs, std::string& why);

    struct TImpl;
    TImpl* Impl() { return m_impl.get(); }

private:
    std::unique_ptr<TImpl> m_impl;
};

// Waits up to timeoutMs for output of the children, then hands each piece read to onData (child
// index, true for standard output, the bytes; empty bytes: that stream ended). False on an error.
bool ReadChildren(std::vector<TChildProcess*>& children, int timeoutMs,
                  const std::function<void(size_t child, bool isOut, const std::string& data)>& onData);
