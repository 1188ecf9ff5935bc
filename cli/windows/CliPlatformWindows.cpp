#include "cli/CliPlatform.h"

#include <windows.h>

#include <iterator>
#include <vector>

#include <io.h>

#include <atomic>
#include <mutex>

#include "platform/ProgramVersion.h"
#include "platform/windows/WindowsText.h"

bool StderrIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int TerminalColumns(std::FILE* f) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f)));
    if (!::GetConsoleScreenBufferInfo(h, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

std::string SelfPath(const char* argv0) {
    std::wstring buf(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
    if (n == 0 || n >= buf.size()) return argv0;
    buf.resize(n);
    return WideToUtf8(buf);
}

namespace {

bool IdOfHandle(HANDLE h, TFileId& id) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info)) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return true;
}

} // namespace

bool FileIdOfPath(const std::string& path, TFileId& id) {
    // No access rights asked: the file may be open elsewhere, or read-only; folders open with the flag.
    const HANDLE h =
        ::CreateFileW(Utf8ToWide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = IdOfHandle(h, id);
    ::CloseHandle(h);
    return ok;
}

bool FileIdOfFd(int fd, TFileId& id) {
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    return h != INVALID_HANDLE_VALUE && IdOfHandle(h, id);
}

// Ctrl-C and Ctrl-Break end the run on the console handler's thread; a line being written is finished
// first, because the handler needs the lock a TSignalHold keeps.
namespace {

std::recursive_mutex& InterruptLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace

struct TSignalHold::TSaved {
    std::unique_lock<std::recursive_mutex> lock{InterruptLock()};
};

TSignalHold::TSignalHold() : m_saved(std::make_unique<TSaved>()) {}

TSignalHold::~TSignalHold() = default;

BOOL WINAPI EndOnInterrupt(DWORD) {
    std::lock_guard<std::recursive_mutex> held(InterruptLock());
    std::fflush(nullptr);
    ::ExitProcess(STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void EndOnClosedPipe() {
    // What a shell shows on Linux for a run ended by a closed pipe.
    ::_exit(128 + 13);
}

struct TWakeSignal::TState {
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~TState() {
        if (event != nullptr) ::CloseHandle(event);
    }
};

TWakeSignal::TWakeSignal() : m_state(std::make_unique<TState>()) {}

TWakeSignal::~TWakeSignal() = default;

bool TWakeSignal::Ok() const {
    return m_state->event != nullptr;
}

void TWakeSignal::Notify() {
    ::SetEvent(m_state->event);
}

bool TWakeSignal::Wait(int timeoutMs) {
    return ::WaitForSingleObject(m_state->event, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs)) != WAIT_FAILED;
}

std::string ProgramVersion() {
    wchar_t self[32768];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, DWORD(std::size(self)));
    if (n == 0 || n >= std::size(self)) return "";
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(self, &ignored);
    if (size == 0) return "";
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoW(self, 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return "";
    return FileVersionText(info->dwFileVersionMS, info->dwFileVersionLS);
}

bool SystemHasUdev() {
    return false;
}

namespace {

std::string SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = n > 0 ? WideToUtf8(std::wstring(text, n)) : "error " + std::to_string(code);
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    return out;
}

} // namespace

bool AppendWhole(const std::string& path, const std::string& text, std::string& error) {
    TSignalHold hold;
    const std::wstring wide = Utf8ToWide(path);
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file, as one.
    const HANDLE h = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = SystemErrorText(::GetLastError());
        return false;
    }
    std::string data = text;
    LARGE_INTEGER size{};
    if (::GetFileType(h) == FILE_TYPE_DISK && ::GetFileSizeEx(h, &size) && size.QuadPart > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(uint64_t(size.QuadPart - 1) & 0xFFFFFFFF);
        at.OffsetHigh = DWORD(uint64_t(size.QuadPart - 1) >> 32);
        char last = '\n';
        DWORD got = 0;
        if (::ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n') data = '\n' + text;
    }
    DWORD written = 0;
    const BOOL ok = ::WriteFile(h, data.data(), DWORD(data.size()), &written, nullptr);
    DWORD err = ok ? (written == data.size() ? 0 : ERROR_DISK_FULL) : ::GetLastError();
    if (written > 0 && written != data.size()) {
        // Take the partial text back, unless another writer has appended after it.
        LARGE_INTEGER end{};
        ::GetFileSizeEx(h, &end);
        const HANDLE t = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (t != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER back{};
            back.QuadPart = end.QuadPart - LONGLONG(written);
            if (back.QuadPart >= size.QuadPart && ::SetFilePointerEx(t, back, nullptr, FILE_BEGIN))
                ::SetEndOfFile(t);
            ::CloseHandle(t);
        }
    }
    if (err == 0 && ::GetFileType(h) == FILE_TYPE_DISK && !::FlushFileBuffers(h)) err = ::GetLastError();
    ::CloseHandle(h);
    if (err != 0) {
        error = SystemErrorText(err);
        return false;
    }
    return true;
}

namespace {

std::atomic<int> InterruptCount{0};

BOOL WINAPI CountInterrupt(DWORD kind) {
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT) return FALSE; // closing the console ends it
    ++InterruptCount;
    return TRUE;
}

} // namespace

struct TInterruptWatch::TSaved {};

TInterruptWatch::TInterruptWatch() : m_saved(std::make_unique<TSaved>()) {
    InterruptCount = 0;
    // Handlers run last-installed first; this one keeps the program-wide one from ending the run.
    ::SetConsoleCtrlHandler(CountInterrupt, TRUE);
}

TInterruptWatch::~TInterruptWatch() {
    ::SetConsoleCtrlHandler(CountInterrupt, FALSE);
}

int TInterruptWatch::Count() const {
    return InterruptCount;
}
