#include "session/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t ModeForNewFile() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0644 & ~mask;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& data, std::string* error) {
    auto fail = [&](const char* tempName) {
        if (tempName) ::unlink(tempName);
        if (error) *error = "Unable to write to " + path;
        return false;
    };
    if (path.empty()) return fail(nullptr);
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    // Renaming over it would replace the user's FIFO or undo the user's decision to protect the file.
    if (exists && (!S_ISREG(old.st_mode) || (old.st_mode & S_IWUSR) == 0)) return fail(nullptr);
    std::string tmpl = path + ".tmp-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return fail(nullptr);
    const mode_t mode = exists ? (old.st_mode & 07777) : ModeForNewFile();
    bool ok = ::fchmod(fd, mode) == 0;
    ok = ok && WriteAll(fd, data);
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && std::rename(name.data(), path.c_str()) == 0;
    if (!ok) return fail(name.data());
    // Make the rename itself durable; the data is already safe, so a failure here is not one.
    const int dirFd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool ReadKeptFile(const std::string& path, size_t limit, std::string& data, bool* cut) {
    data.clear();
    if (cut) *cut = false;
    // Without O_NONBLOCK, opening a FIFO waits for a writer that never comes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buffer[8192];
    while (ok) {
        // One byte past the limit tells whether there is more.
        const size_t want = std::min(sizeof buffer, limit + 1 - data.size());
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        data.append(buffer, static_cast<size_t>(n));
        if (data.size() > limit) {
            data.resize(limit);
            if (cut) *cut = true;
            break;
        }
    }
    ::close(fd);
    if (!ok) data.clear();
    return ok;
}
