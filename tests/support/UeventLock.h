#pragma once
// Every netlink monitor on "mem" sees every process's uevents, so tests that fire them from parallel
// test processes (ctest -j) take turns through one lock file.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>

class TUeventLock {
public:
    TUeventLock() {
        m_fd = ::open("/tmp/quarnel-platform-uevent.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0) return;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::close(m_fd);
                m_fd = -1;
                return;
            }
            ::usleep(10000);
        }
    }
    ~TUeventLock() {
        if (m_fd >= 0) ::close(m_fd);
    }
    TUeventLock(const TUeventLock&) = delete;
    TUeventLock& operator=(const TUeventLock&) = delete;
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
