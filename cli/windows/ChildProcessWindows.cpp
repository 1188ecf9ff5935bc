#include "cli/ChildProcess.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/windows/WindowsText.h"

namespace {

// Pieces read by the reader threads of every child, handed to ReadChildren on the owner's thread.
struct TPiece {
    const void* child;
    bool isOut;
    std::string data; // empty: the stream ended
};

struct TOutputQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<TPiece> pieces;
};

TOutputQueue& Queue() {
    static TOutputQueue queue;
    return queue;
}

// One argument as the C runtime's command-line parser reads it back.
std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::string LastErrorText() {
    const DWORD error = ::GetLastError();
    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = text != nullptr ? WideToUtf8(text) : "error " + std::to_string(error);
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out;
}

} // namespace

struct TChildProcess::TImpl {
    PROCESS_INFORMATION info{};
    bool started = false;
    bool outOpen = false;
    bool errOpen = false;
    bool killed = false;
    std::thread outReader;
    std::thread errReader;

    void Read(HANDLE pipe, bool isOut) {
        char buf[4096];
        DWORD n = 0;
        while (::ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) {
            std::lock_guard<std::mutex> lock(Queue().mutex);
            Queue().pieces.push_back({this, isOut, std::string(buf, n)});
            Queue().ready.notify_all();
        }
        ::CloseHandle(pipe);
        std::lock_guard<std::mutex> lock(Queue().mutex);
        Queue().pieces.push_back({this, isOut, std::string()});
        Queue().ready.notify_all();
    }
};

TChildProcess::TChildProcess() : m_impl(std::make_unique<TImpl>()) {}

TChildProcess::~TChildProcess() {
    if (m_impl->started && (m_impl->outReader.joinable() || m_impl->errReader.joinable())) {
        Kill(); // the readers end with the child's pipes
    }
    if (m_impl->outReader.joinable()) m_impl->outReader.join();
    if (m_impl->errReader.joinable()) m_impl->errReader.join();
    if (m_impl->started) {
        ::CloseHandle(m_impl->info.hProcess);
        ::CloseHandle(m_impl->info.hThread);
    }
    // Pieces of this child still queued must not outlive it.
    std::lock_guard<std::mutex> lock(Queue().mutex);
    std::erase_if(Queue().pieces, [this](const TPiece& p) { return p.child == m_impl.get(); });
}

bool TChildProcess::Start(const std::string& self, const std::vector<std::string>& args, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    HANDLE errRead = nullptr;
    HANDLE errWrite = nullptr;
    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        error = LastErrorText();
        return false;
    }
    if (!::CreatePipe(&errRead, &errWrite, &inherit, 0)) {
        error = LastErrorText();
        ::CloseHandle(outRead);
        ::CloseHandle(outWrite);
        return false;
    }
    // Only the child's ends are inherited; its standard input is the null device.
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, 0, nullptr);
    HANDLE handles[] = {nul, outWrite, errWrite};
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attrBuf(size);
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrBuf.data());
    const bool listed =
        ::InitializeProcThreadAttributeList(attrs, 1, 0, &size) &&
        ::UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                    nul != INVALID_HANDLE_VALUE ? sizeof handles : 2 * sizeof(HANDLE),
                                    nullptr, nullptr);
    if (nul == INVALID_HANDLE_VALUE) handles[0] = outWrite;

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = nul != INVALID_HANDLE_VALUE ? nul : nullptr;
    si.StartupInfo.hStdOutput = outWrite;
    si.StartupInfo.hStdError = errWrite;
    if (listed) si.lpAttributeList = attrs;

    const std::wstring program = Utf8ToWide(self);
    std::wstring line = Quoted(program);
    for (const auto& a : args)
        line += L" " + Quoted(Utf8ToWide(a));
    const BOOL ok = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                     CREATE_NO_WINDOW | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
                                     nullptr, &si.StartupInfo, &m_impl->info);
    if (!ok) error = LastErrorText();
    if (listed) ::DeleteProcThreadAttributeList(attrs);
    if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
    if (!ok) {
        ::CloseHandle(outRead);
        ::CloseHandle(errRead);
        return false;
    }
    m_impl->started = true;
    m_impl->outOpen = true;
    m_impl->errOpen = true;
    TImpl* impl = m_impl.get();
    m_impl->outReader = std::thread([impl, outRead] { impl->Read(outRead, true); });
    m_impl->errReader = std::thread([impl, errRead] { impl->Read(errRead, false); });
    return true;
}

bool TChildProcess::Started() const {
    return m_impl->started;
}

bool TChildProcess::OutOpen() const {
    return m_impl->outOpen;
}

bool TChildProcess::ErrOpen() const {
    return m_impl->errOpen;
}

void TChildProcess::Kill() {
    if (!m_impl->started) return;
    m_impl->killed = true;
    ::TerminateProcess(m_impl->info.hProcess, 1);
}

int TChildProcess::Reap(uint64_t graceUs, std::string& why) {
    if (!m_impl->started) return -1;
    if (::WaitForSingleObject(m_impl->info.hProcess, DWORD(graceUs / 1000)) == WAIT_TIMEOUT) {
        Kill();
        ::WaitForSingleObject(m_impl->info.hProcess, INFINITE);
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(m_impl->info.hProcess, &code)) return -1;
    if (m_impl->killed) {
        why = "terminated";
        return -1;
    }
    // An exception status (0xC0000005 and the like) means the child crashed.
    if (code >= 0xC0000000u) {
        char text[64];
        std::snprintf(text, sizeof text, "ended by exception 0x%08lX", static_cast<unsigned long>(code));
        why = text;
        return -1;
    }
    return int(code);
}

bool ReadChildren(std::vector<TChildProcess*>& children, int timeoutMs,
                  const std::function<void(size_t, bool, const std::string&)>& onData) {
    std::deque<TPiece> pieces;
    {
        std::unique_lock<std::mutex> lock(Queue().mutex);
        Queue().ready.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [] { return !Queue().pieces.empty(); });
        pieces.swap(Queue().pieces);
    }
    for (const TPiece& p : pieces) {
        for (size_t i = 0; i < children.size(); ++i) {
            TChildProcess::TImpl* impl = children[i]->Impl();
            if (impl != p.child) continue;
            if (p.data.empty()) (p.isOut ? impl->outOpen : impl->errOpen) = false;
            onData(i, p.isOut, p.data);
        }
    }
    return true;
}
