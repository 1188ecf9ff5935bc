#include "cli/CliPlatform.h"

#include <windows.h>

#include <iterator>
#include <vector>

#include <io.h>

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
