#include "cli/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

struct TChildProcess::TImpl {
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
};

namespace {

uint64_t MonotonicUs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

TChildProcess::TChildProcess() : m_impl(std::make_unique<TImpl>()) {}

TChildProcess::~TChildProcess() {
    if (m_impl->outFd >= 0) ::close(m_impl->outFd);
    if (m_impl->errFd >= 0) ::close(m_impl->errFd);
}

bool TChildProcess::Start(const std::string& self, const std::vector<std::string>& args, std::string& error) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, err[1], STDERR_FILENO);
    std::vector<std::string> all = {self};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&m_impl->pid, self.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        error = std::strerror(rc);
        ::close(out[0]);
        ::close(err[0]);
        m_impl->pid = -1;
        return false;
    }
    m_impl->outFd = out[0];
    m_impl->errFd = err[0];
    return true;
}

bool TChildProcess::Started() const {
    return m_impl->pid > 0;
}

bool TChildProcess::OutOpen() const {
    return m_impl->outFd >= 0;
}

bool TChildProcess::ErrOpen() const {
    return m_impl->errFd >= 0;
}

void TChildProcess::Kill() {
    if (m_impl->pid > 0) ::kill(m_impl->pid, SIGKILL);
}

int TChildProcess::Reap(uint64_t graceUs, std::string& why) {
    const pid_t pid = m_impl->pid;
    const uint64_t until = MonotonicUs() + graceUs;
    int status = 0;
    pid_t got = 0;
    while ((got = ::waitpid(pid, &status, WNOHANG)) == 0 && MonotonicUs() < until)
        ::usleep(10000);
    if (got == 0) {
        ::kill(pid, SIGKILL);
        got = ::waitpid(pid, &status, 0);
    }
    if (got == pid && WIFEXITED(status)) return WEXITSTATUS(status);
    if (got == pid && WIFSIGNALED(status)) why = "terminated by signal " + std::to_string(WTERMSIG(status));
    return -1;
}

bool ReadChildren(std::vector<TChildProcess*>& children, int timeoutMs,
                  const std::function<void(size_t, bool, const std::string&)>& onData) {
    std::vector<pollfd> fds;
    std::vector<std::pair<size_t, bool>> owners; // child, true for stdout
    for (size_t i = 0; i < children.size(); ++i) {
        TChildProcess::TImpl& c = *children[i]->Impl();
        if (c.outFd >= 0) {
            fds.push_back({c.outFd, POLLIN, 0});
            owners.emplace_back(i, true);
        }
        if (c.errFd >= 0) {
            fds.push_back({c.errFd, POLLIN, 0});
            owners.emplace_back(i, false);
        }
    }
    const int r = ::poll(fds.data(), fds.size(), timeoutMs);
    if (r < 0 && errno != EINTR) return false;
    for (size_t k = 0; k < fds.size(); ++k) {
        if (fds[k].revents == 0) continue;
        const auto [index, isOut] = owners[k];
        char buf[4096];
        const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
        if (n > 0) {
            onData(index, isOut, std::string(buf, size_t(n)));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        ::close(fds[k].fd);
        TChildProcess::TImpl& c = *children[index]->Impl();
        (isOut ? c.outFd : c.errFd) = -1;
        onData(index, isOut, std::string());
    }
    return true;
}
