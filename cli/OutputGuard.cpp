#include "cli/OutputGuard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

bool WriteAll(int fd, const char* data, size_t size, int& error) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Length of the valid UTF-8 sequence at text[i], or 0.
size_t Utf8Length(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const size_t n = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    return n;
}

// The file behind the flash command's FILE: standard input for "-".
bool InputId(const std::string& input, TFileId& id) {
    if (input.empty()) return false;
    return input == "-" ? FileIdOfFd(STDIN_FILENO, id) : FileIdOfPath(input, id);
}

} // namespace

bool SameFile(const std::string& output, const std::string& input) {
    TFileId so;
    TFileId si;
    // Only a regular file is emptied by writing it; /dev/null as both is no danger.
    return !output.empty() && FileIdOfPath(output, so) && so.regular && InputId(input, si) && so == si;
}

bool OutputsSpareTheInput(const TCliOptions& o, std::string& error) {
    if (o.command != TCommand::Flash) return true;
    const std::vector<std::pair<std::string, std::string>> outputs = {
        {"--trace", o.trace},
        {"--record", o.record},
        {"--sim-dump", o.simDump.empty() ? "" : o.simDump + "-flash.bin"},
        {"--sim-dump", o.simDump.empty() ? "" : o.simDump + "-boot.bin"}};
    for (const auto& [option, path] : outputs) {
        if (!SameFile(path, o.file)) continue;
        error = option + " would write over the HEX file " + (o.file == "-" ? "on standard input" : o.file) +
                (path != o.file ? " (as " + path + ")" : "") + "; choose another file";
        return false;
    }
    return true;
}

std::string EscapeControls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned value, bool unicode) {
        char buf[8];
        std::snprintf(buf, sizeof buf, unicode ? "\\u%04x" : "\\x%02x", value);
        out += buf;
    };
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            escape(c, false);
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += char(c);
            ++i;
            continue;
        }
        const size_t n = Utf8Length(text, i);
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            escape(static_cast<unsigned char>(text[i + 1]), true); // U+0080..U+009F
        } else if (n > 0) {
            out.append(text, i, n);
        } else if (c < 0xA0) {
            escape(c, false); // a stray byte an 8-bit terminal would take for a control
        } else {
            out += char(c);
        }
        i += n > 0 ? n : 1;
    }
    return out;
}

std::string WriteErrorText(int error) {
    return std::strerror(error != 0 ? error : EIO);
}

void FlushOutput(std::FILE* f, int& error) {
    errno = 0;
    if (std::fflush(f) == 0 && std::ferror(f) == 0) return;
    const int e = errno != 0 ? errno : EIO;
    if (e == EPIPE) EndOnClosedPipe();
    if (error == 0) error = e;
    std::clearerr(f);
}

std::string WriteFailure(const std::string& what, int error) {
    return error == 0 ? std::string() : "cannot write " + EscapeControls(what) + ": " + WriteErrorText(error);
}

int CodeAfterWriteFailure(int code) {
    return code == ExitOk ? ExitUsage : code;
}

int FailedWrite(int code, const std::string& what, int error) {
    if (error == 0) return code;
    code = CodeAfterWriteFailure(code);
    std::fprintf(stderr, "quarnel: %s (exit %d)\n", WriteFailure(what, error).c_str(), code);
    std::fflush(stderr);
    return code;
}

TTraceFile::TTraceFile() : std::ostream(static_cast<std::streambuf*>(this)) {}

TTraceFile::~TTraceFile() {
    sync();
    if (m_fd >= 0) ::close(m_fd);
}

bool TTraceFile::Open(const std::string& path, const std::string& avoid, std::string& error) {
    // Not O_TRUNC: the file is emptied only once it is known not to be the one to avoid.
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (m_fd < 0) {
        error = "cannot write the trace file " + path + ": " + WriteErrorText(errno);
        return false;
    }
    TFileId mine;
    TFileId other;
    const bool known = FileIdOfFd(m_fd, mine);
    if (known && mine.regular && InputId(avoid, other) && mine == other) {
        ::close(m_fd);
        m_fd = -1;
        error = "--trace would write over the HEX file " + (avoid == "-" ? "on standard input" : avoid) +
                "; choose another file";
        return false;
    }
    if (known && mine.regular && ::ftruncate(m_fd, 0) != 0) {
        error = "cannot write the trace file " + path + ": " + WriteErrorText(errno);
        return false;
    }
    return true;
}

int TTraceFile::overflow(int c) {
    if (c != std::streambuf::traits_type::eof()) m_pending += char(c);
    return std::streambuf::traits_type::not_eof(c);
}

std::streamsize TTraceFile::xsputn(const char* s, std::streamsize n) {
    m_pending.append(s, size_t(n));
    return n;
}

int TTraceFile::sync() {
    if (m_pending.empty()) return m_error == 0 ? 0 : -1;
    if (m_fd >= 0 && m_error == 0) {
        TSignalHold hold;
        WriteAll(m_fd, m_pending.data(), m_pending.size(), m_error);
    }
    m_pending.clear();
    return m_error == 0 ? 0 : -1;
}
