// quarnel's entry point on Windows: the arguments arrive in UTF-16 (wmain) and go on in UTF-8, the
// console shows UTF-8, standard input and output are binary (a HEX file on "-" arrives as it is, what
// the program writes has LF line ends as on Linux), and Ctrl-C ends a trace with a whole line.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "boot/Clock.h"
#include "cli/CliPlatform.h"
#include "cli/StandardStreams.h"
#include "cli/windows/ExplorerStart.h"
#include "platform/windows/ClockWindows.h"
#include "platform/windows/WindowsText.h"

BOOL WINAPI EndOnInterrupt(DWORD); // CliPlatformWindows.cpp

namespace {

// The progress bar redraws its line with "\r\033[K"; consoles since Windows 10 take that when asked.
void AllowEscapes(DWORD handle) {
    const HANDLE h = ::GetStdHandle(handle);
    DWORD mode = 0;
    if (::GetConsoleMode(h, &mode)) ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

} // namespace

int wmain(int argc, wchar_t** wargv) {
    GuardStandardStreams();
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
    AllowEscapes(STD_OUTPUT_HANDLE);
    AllowEscapes(STD_ERROR_HANDLE);
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    ::SetConsoleCtrlHandler(EndOnInterrupt, TRUE);
    SetSystemPause(PauseOnWaitableTimer);

    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(WideToUtf8(wargv[i]));
    // From Explorer: a double-click says what this is; a HEX file dropped on the program is flashed.
    // Either way the console Explorer opened stays until a key is pressed.
    const std::vector<std::string> given(args.begin() + (args.empty() ? 0 : 1), args.end());
    const DWORD attributes = given.size() == 1 ? ::GetFileAttributesW(wargv[1]) : INVALID_FILE_ATTRIBUTES;
    const bool isFile = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    const TExplorerStart start = ExplorerStartOf(given, OwnConsole(), isFile);
    if (start == TExplorerStart::Describe) {
        std::fputs(ExplorerDescription().c_str(), stdout);
        std::fflush(stdout);
        WaitForKey();
        return 0;
    }
    if (start == TExplorerStart::Flash) args = {args[0], "flash", args[1]};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int code = QuarnelMain(int(args.size()), argv.data());
    if (start == TExplorerStart::Flash && OwnConsole()) WaitForKey();
    return code;
}
