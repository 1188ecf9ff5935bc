#include "RunQuarnel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

extern char** environ;

namespace {

TRunResult Run(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
               const TRunOptions& options) {
    const int timeoutS = options.timeoutS;
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string var = *e;
        const std::string name = var.substr(0, var.find('='));
        bool changed = false;
        for (const auto& c : env)
            changed = changed || c.substr(0, c.find('=')) == name;
        if (!changed) vars.push_back(var);
    }
    for (const auto& c : env)
        if (c.find('=') != std::string::npos) vars.push_back(c);
    std::vector<char*> envp;
    for (auto& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    TRunResult r;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return r;
    if (options.stdoutReaderGone) {
        ::close(out[0]);
        out[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC); // reads as an at once closed stream
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, options.stdinPath.c_str(), O_RDONLY, 0);
    if (options.stdoutFile.empty()) {
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, options.stdoutFile.c_str(), O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    // An ignored signal stays ignored across exec.
    const auto savedPipe = ::signal(SIGPIPE, options.ignoreSigpipe ? SIG_IGN : SIG_DFL);
    const int rc = ::posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    ::signal(SIGPIPE, savedPipe);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(out[0]);
        ::close(err[0]);
        return r;
    }
    if (options.whileRunning) options.whileRunning(pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, 200) < 0) break;
        for (auto& f : fds) {
            if (f.fd < 0 || f.revents == 0) continue;
            char buf[8192];
            const ssize_t n = ::read(f.fd, buf, sizeof buf);
            if (n > 0) {
                (f.fd == out[0] ? r.out : r.err).append(buf, size_t(n));
            } else {
                ::close(f.fd);
                f.fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    }
    return r;
}

} // namespace

TRunResult RunQuarnel(const std::vector<std::string>& args, int timeoutS, const std::string& stdinPath) {
    return RunProgram(QUARNEL_CLI_BINARY, args, {}, timeoutS, stdinPath);
}

TRunResult RunQuarnel(const std::vector<std::string>& args, const TRunOptions& options) {
    return Run(QUARNEL_CLI_BINARY, args, {}, options);
}

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, int timeoutS, const std::string& stdinPath) {
    TRunOptions options;
    options.timeoutS = timeoutS;
    options.stdinPath = stdinPath;
    return Run(program, args, env, options);
}
