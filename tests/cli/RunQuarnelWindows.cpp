// Starting a program from the tests on Windows: CreateProcessW with standard input from a file, only
// the three standard handles inherited, the output read until the program ends, the environment changed.
#include "RunQuarnel.h"

#include <windows.h>

#include <chrono>

#include "platform/windows/WindowsText.h"

namespace {

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

// This process's environment with the changes: "NAME=VALUE" sets, "NAME" removes.
std::wstring EnvironmentBlock(const std::vector<std::string>& changes) {
    std::wstring block;
    wchar_t* env = ::GetEnvironmentStringsW();
    for (const wchar_t* e = env; *e != 0; e += wcslen(e) + 1) {
        const std::wstring var = e;
        const std::wstring name = var.substr(0, var.find(L'=', 1));
        bool changed = false;
        for (const auto& c : changes)
            changed = changed || _wcsicmp(Utf8ToWide(c.substr(0, c.find('='))).c_str(), name.c_str()) == 0;
        if (!changed) block += var + L'\0';
    }
    ::FreeEnvironmentStringsW(env);
    for (const auto& c : changes)
        if (c.find('=') != std::string::npos) block += Utf8ToWide(c) + L'\0';
    return block + L'\0';
}

// Takes what the pipe holds now, without waiting.
void ReadWaiting(HANDLE pipe, std::string& into) {
    DWORD available = 0;
    while (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buf[8192];
        DWORD n = 0;
        if (!::ReadFile(pipe, buf, available < sizeof buf ? available : DWORD(sizeof buf), &n, nullptr) ||
            n == 0)
            return;
        into.append(buf, n);
    }
}

TRunResult Run(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const TRunOptions& options) {
    TRunResult r;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0) || !::CreatePipe(&errRead, &errWrite, &inherit, 0))
        return r;
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    const std::wstring in = options.stdinPath == "/dev/null" ? L"NUL" : Utf8ToWide(options.stdinPath);
    const HANDLE input = ::CreateFileW(in.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                       OPEN_EXISTING, 0, nullptr);
    // Only these three handles are inherited: the test's own standard handles (CTest's pipes) must not
    // reach the program, nor what Wine starts on its behalf, or CTest would wait for them for ever.
    HANDLE handles[] = {input, outWrite, errWrite};
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attrBuf(size);
    auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrBuf.data());
    if (input == INVALID_HANDLE_VALUE) handles[0] = outWrite;
    const bool listed = ::InitializeProcThreadAttributeList(attrs, 1, 0, &size) &&
                        ::UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                                    sizeof handles, nullptr, nullptr);
    STARTUPINFOEXW six{};
    STARTUPINFOW& si = six.StartupInfo;
    si.cb = sizeof six;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    if (listed) six.lpAttributeList = attrs;
    std::wstring line = Quoted(Utf8ToWide(program));
    for (const auto& a : args)
        line += L" " + Quoted(Utf8ToWide(a));
    std::wstring block = EnvironmentBlock(env);
    PROCESS_INFORMATION pi{};
    const BOOL ok = ::CreateProcessW(Utf8ToWide(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                                     CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW |
                                         (listed ? EXTENDED_STARTUPINFO_PRESENT : 0),
                                     block.data(), nullptr, &si, &pi);
    if (listed) ::DeleteProcThreadAttributeList(attrs);
    if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
    if (!ok) {
        ::CloseHandle(outRead);
        ::CloseHandle(errRead);
        return r;
    }
    if (options.whileRunning) options.whileRunning(pid_t(pi.dwProcessId));
    // The pipes are read until the program has ended, not until their end: a process Wine starts on
    // the program's behalf (its desktop) inherits the program's handles and keeps the pipes open.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutS);
    while (::WaitForSingleObject(pi.hProcess, 5) == WAIT_TIMEOUT) {
        ReadWaiting(outRead, r.out);
        ReadWaiting(errRead, r.err);
        if (std::chrono::steady_clock::now() > deadline) {
            ::TerminateProcess(pi.hProcess, 1);
            ::WaitForSingleObject(pi.hProcess, INFINITE);
        }
    }
    ReadWaiting(outRead, r.out);
    ReadWaiting(errRead, r.err);
    ::CloseHandle(outRead);
    ::CloseHandle(errRead);
    DWORD code = 0;
    if (::GetExitCodeProcess(pi.hProcess, &code)) r.exitCode = code >= 0xC0000000u ? -1 : int(code);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
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
