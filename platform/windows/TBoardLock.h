#pragma once
// One program per board on Windows: a named mutex per device path, held for as long as the board is
// open. hidapi opens HID devices shared, and Windows has no lock on a device handle like Linux's
// flock; the mutex is what a second quarnel (another console, another user session) finds taken.

#include <string>

class TBoardLock {
public:
    TBoardLock() = default;
    ~TBoardLock();
    TBoardLock(const TBoardLock&) = delete;
    TBoardLock& operator=(const TBoardLock&) = delete;

    // True when the lock for path was free and is now ours; false when another holder has it (or
    // the system refused the mutex, which counts as taken: the board may be in use).
    bool Acquire(const std::string& path);
    // The mutex's name: device paths are case-insensitive on Windows, so the name is made from the
    // upper-cased path, hashed (a path may be longer than a name may be, and holds backslashes).
    static std::wstring Name(const std::string& path);

private:
    void* m_mutex = nullptr;
};
