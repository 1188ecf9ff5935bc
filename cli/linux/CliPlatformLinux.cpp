#include "cli/CliPlatform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

int TerminalColumns(std::FILE* f) {
    winsize ws{};
    return ::ioctl(::fileno(f), TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

std::string SelfPath(const char* argv0) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) return std::string(buf, size_t(n));
    return argv0;
}

namespace {

TFileId IdOf(const struct stat& st) {
    TFileId id;
    id.volume = uint64_t(st.st_dev);
    id.index = uint64_t(st.st_ino);
    id.regular = S_ISREG(st.st_mode);
    return id;
}

} // namespace

bool FileIdOfPath(const std::string& path, TFileId& id) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    id = IdOf(st);
    return true;
}

bool FileIdOfFd(int fd, TFileId& id) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    id = IdOf(st);
    return true;
}

struct TSignalHold::TSaved {
    sigset_t mask;
};

TSignalHold::TSignalHold() : m_saved(std::make_unique<TSaved>()) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &set, &m_saved->mask);
}

TSignalHold::~TSignalHold() {
    ::sigprocmask(SIG_SETMASK, &m_saved->mask, nullptr);
}

void EndOnClosedPipe() {
    // As SIGPIPE would end it had it not been ignored.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(SIGPIPE);
    ::_exit(128 + SIGPIPE);
}

// A pipe: every Notify() writes a byte, Wait() polls the read end and empties it.
struct TWakeSignal::TState {
    int readFd = -1;
    int writeFd = -1;
};

TWakeSignal::TWakeSignal() : m_state(std::make_unique<TState>()) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
    m_state->readFd = fds[0];
    m_state->writeFd = fds[1];
}

TWakeSignal::~TWakeSignal() {
    if (m_state->writeFd >= 0) {
        ::close(m_state->writeFd);
        ::close(m_state->readFd);
    }
}

bool TWakeSignal::Ok() const {
    return m_state->readFd >= 0;
}

void TWakeSignal::Notify() {
    const char byte = 1;
    // A full pipe already wakes the loop; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t n = ::write(m_state->writeFd, &byte, 1);
}

bool TWakeSignal::Wait(int timeoutMs) {
    pollfd p{m_state->readFd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno != EINTR) return false;
    char buf[64];
    while (::read(m_state->readFd, buf, sizeof buf) > 0) {
    }
    return true;
}

std::string ProgramVersion() {
    return QUARNEL_VERSION;
}

bool SystemHasUdev() {
    return true;
}
