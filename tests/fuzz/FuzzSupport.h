#pragma once
// Shared by the fuzz targets: a private scratch folder, the virtual clock, quiet host hooks that keep
// the log, a reader over the fuzz input and the invariant check.

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "boot/BL_Vars.h"
#include "boot/Clock.h"
#include "boot/HostHooks.h"
#include "session/ProgramState.h"
#include "usb/HIDinterface.h"
#include "usb/HidBackend.h"

namespace fuzz {

// An invariant that does not hold is a finding: say which one and stop with a trap, so that libFuzzer
// keeps the input.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "\n*** invariant broken at %s:%d: %s\n", file, line, what);
    std::fflush(stderr);
    __builtin_trap();
}

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) ::fuzz::Fail(#cond, __FILE__, __LINE__);                                                \
    } while (0)
#define FUZZ_FAIL(what) ::fuzz::Fail(what, __FILE__, __LINE__)

// One folder per process, with a trailing "/", removed at exit. tmpfs when there is one: the
// program's writers fsync every file, which costs milliseconds on a disk.
inline const std::string& ScratchDir() {
    // Never destroyed: the exit handler that removes the folder runs after static destructors.
    static const std::string* dir = [] {
        std::string base = "/dev/shm";
        if (::access(base.c_str(), W_OK | X_OK) != 0) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp && *tmp ? tmp : "/tmp";
        }
        // A crash ends the process without exit handlers: remove what dead fuzzers left behind.
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(base, ec)) {
            const std::string n = e.path().filename().string();
            int pid = 0;
            if (std::sscanf(n.c_str(), "quarnel-fuzz-%d-", &pid) == 1 && pid > 0 && ::kill(pid, 0) != 0 &&
                errno == ESRCH)
                std::filesystem::remove_all(e.path(), ec);
        }
        std::string name = base + "/quarnel-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
        if (!::mkdtemp(name.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        auto* path = new std::string(name + "/");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(ScratchDir(), ec);
        });
        return path;
    }();
    return *dir;
}

inline bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = (size == 0 || std::fwrite(data, 1, size, f) == size);
    return std::fclose(f) == 0 && ok;
}

inline bool WriteWholeFile(const std::string& path, const std::string& text) {
    return WriteWholeFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

inline std::string ReadWholeFile(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

// Erased program flash as the images hold it (PIC16 words have 14 bits), to compare with memcmp: a
// byte loop would cost a comparison callback per byte.
inline const std::array<uint8_t, FlashImageSize>& ErasedImage(bool pic16Words) {
    static const auto erased = [] {
        std::array<uint8_t, FlashImageSize> e;
        e.fill(0xFF);
        return e;
    }();
    static const auto erased16 = [] {
        std::array<uint8_t, FlashImageSize> e;
        for (size_t i = 0; i < e.size(); ++i)
            e[i] = (i & 1) ? 0x3F : 0xFF;
        return e;
    }();
    return pic16Words ? erased16 : erased;
}

// The log as the window would show it, and nothing else of the host.
struct TLogSink {
    std::vector<std::string> lines;

    // Status lines are padded to 47 columns; compares without the padding.
    bool Contains(const std::string& text) const {
        for (const auto& l : lines)
            if (TrimRight(l) == text) return true;
        return false;
    }
    std::string Last() const { return lines.empty() ? std::string() : TrimRight(lines.back()); }
    static std::string TrimRight(const std::string& s) {
        size_t n = s.size();
        while (n > 0 && s[n - 1] == ' ')
            --n;
        return s.substr(0, n);
    }
};

// Puts the program back to its start state, on the virtual clock, with the log going to sink.
// dispatchDeviceChanges: let "pending messages" deliver queued device-change notifications, as the
// window does.
inline void StartRun(TVirtualClock& clock, TLogSink& sink, bool dispatchDeviceChanges = false) {
    SetHidBackend(nullptr);
    ResetProgramState();
    clock.Set(0);
    SetClock(&clock);
    sink.lines.clear();
    THostHooks hooks;
    hooks.appendLogLine = [&sink](const std::string& line) { sink.lines.push_back(line); };
    hooks.clearLog = [&sink] { sink.lines.clear(); };
    if (dispatchDeviceChanges)
        hooks.processMessages = [] { DispatchDeviceChanges(); };
    else
        hooks.processMessages = [] {};
    SetHostHooks(std::move(hooks));
}

// Takes fields from the front of the fuzz input; past its end every field reads as 0 and Left() is 0.
class TInput {
public:
    TInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t Left() const { return m_size - m_pos; }
    bool Empty() const { return m_pos >= m_size; }
    uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t U16() {
        const uint16_t lo = U8();
        return uint16_t(lo | uint16_t(U8()) << 8);
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | uint32_t(U16()) << 16;
    }
    // 64 bytes; those past the end of the input are zero.
    std::array<uint8_t, 64> Packet() {
        std::array<uint8_t, 64> p{};
        for (auto& b : p)
            b = U8();
        return p;
    }
    std::string Rest() {
        std::string s(reinterpret_cast<const char*>(m_data + m_pos), m_size - m_pos);
        m_pos = m_size;
        return s;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

} // namespace fuzz
