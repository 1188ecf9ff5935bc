#include "platform/windows/TBoardLock.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>

#include "platform/windows/WindowsText.h"

TBoardLock::~TBoardLock() {
    if (m_mutex != nullptr) ::CloseHandle(m_mutex);
}

std::wstring TBoardLock::Name(const std::string& path) {
    std::wstring wide = Utf8ToWide(path);
    if (!wide.empty())
        ::CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    // FNV-1a over the UTF-16 units, 64 bits.
    uint64_t hash = 0xCBF29CE484222325ULL;
    for (wchar_t c : wide) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 0x100000001B3ULL;
    }
    wchar_t name[64];
    std::swprintf(name, 64, L"Global\\quarnel-flash-board-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

bool TBoardLock::Acquire(const std::string& path) {
    if (m_mutex != nullptr) return false;
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, Name(path).c_str());
    // An existing mutex means a holder; one of another user's session is refused outright.
    if (mutex == nullptr) return false;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return false;
    }
    m_mutex = mutex;
    return true;
}
