#pragma once
// The few POSIX calls the tests use to set up their cases, on Windows (read first by every test file
// of the Windows build). Cases that need what Windows lacks (FIFOs, fork) are skipped by name
// (tests/windows/Skipped.cmake); mkfifo here only fails, so such a case cannot pass by accident.

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>

inline int pipe(int fds[2]) {
    return ::_pipe(fds, 65536, _O_BINARY);
}

inline int mkfifo(const char*, int) {
    errno = ENOSYS;
    return -1;
}

inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
    return ::_putenv_s(name, value);
}

inline int unsetenv(const char* name) {
    return ::_putenv_s(name, "");
}

// The uevent lock of the kernel tests; those cases are skipped on Windows (no /sys to fire uevents at).
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
inline int flock(int, int) {
    return 0;
}
