#include "cli/StandardStreams.h"

#include <fcntl.h>
#include <io.h>

namespace {
bool InputClosed = false;
}  // namespace

void GuardStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        // No handle behind the descriptor: it was closed or never given (a program started detached).
        if (::_get_osfhandle(fd) >= 0) continue;
        if (fd == 0) InputClosed = true;
        const int opened = ::_open("NUL", fd == 0 ? _O_RDONLY | _O_BINARY : _O_WRONLY | _O_BINARY);
        if (opened >= 0 && opened != fd) {
            ::_dup2(opened, fd);
            ::_close(opened);
        }
    }
}

bool StandardInputWasClosed() { return InputClosed; }
