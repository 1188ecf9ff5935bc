#include "cli/CliPlatform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

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

bool AppendWhole(const std::string& path, const std::string& text, std::string& error) {
    // A line is never left half written by an interrupt.
    TSignalHold hold;
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    std::string data = text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') data.insert(0, "\n");
    }
    const ssize_t n = ::write(fd, data.data(), data.size());
    int err = n < 0 ? errno : size_t(n) != data.size() ? ENOSPC : 0;
    if (n > 0 && size_t(n) != data.size()) {
        // O_APPEND left the offset at the end of what went in; take it back unless another writer
        // has appended after it meanwhile.
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        struct stat now {};
        if (end >= n && ::fstat(fd, &now) == 0 && now.st_size == end) {
            if (::ftruncate(fd, end - n) != 0) err = errno;
        }
    }
    if (err == 0 && ::fsync(fd) != 0 && errno != EINVAL) err = errno; // EINVAL: a device without sync
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) {
        error = std::strerror(err);
        return false;
    }
    return true;
}

namespace {

volatile sig_atomic_t InterruptCount = 0;

void CountInterrupt(int) {
    InterruptCount = InterruptCount + 1;
}

} // namespace

struct TInterruptWatch::TSaved {
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
};

TInterruptWatch::TInterruptWatch() : m_saved(std::make_unique<TSaved>()) {
    InterruptCount = 0;
    struct sigaction sa {};
    sa.sa_handler = CountInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a wait in poll() ends at once
    ::sigaction(SIGINT, &sa, &m_saved->oldInt);
    ::sigaction(SIGTERM, &sa, &m_saved->oldTerm);
}

TInterruptWatch::~TInterruptWatch() {
    ::sigaction(SIGINT, &m_saved->oldInt, nullptr);
    ::sigaction(SIGTERM, &m_saved->oldTerm, nullptr);
}

int TInterruptWatch::Count() const {
    return InterruptCount;
}
