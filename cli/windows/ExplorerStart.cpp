#include "cli/windows/ExplorerStart.h"

#include <windows.h>

#include <cstdio>

TExplorerStart ExplorerStartOf(const std::vector<std::string>& args, bool ownConsole, bool fileExists) {
    if (args.empty()) return ownConsole ? TExplorerStart::Describe : TExplorerStart::None;
    // A subcommand or an option is a command line, whoever typed it.
    if (args.size() == 1 && !args[0].empty() && args[0][0] != '-' && fileExists) return TExplorerStart::Flash;
    return TExplorerStart::None;
}

std::string ExplorerDescription() {
    return "quarnel flashes microcontrollers (PIC16, PIC18, PIC18FJ, PIC24, dsPIC, PIC32) through their\n"
           "USB-HID bootloader. It is a command-line program: open a Command Prompt or PowerShell in\n"
           "this folder and type  quarnel --help  (PowerShell:  .\\quarnel --help).\n"
           "To flash a board, drop a HEX file on quarnel.exe, or use the window: open\n"
           "\"Quarnel Flash.html\" beside this program in Chrome or Edge.\n";
}

bool OwnConsole() {
    // A program that starts quarnel with a console of its own but pipes for its standard handles (a
    // test runner, a build tool) is no Explorer start: the console must be where input and output go.
    DWORD processes[2];
    DWORD mode = 0;
    return ::GetConsoleProcessList(processes, 2) == 1 &&
           ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0 &&
           ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void WaitForKey() {
    std::fputs("\nPress any key to close this window.\n", stderr);
    std::fflush(stderr);
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || !::GetConsoleMode(in, &mode)) return; // no console to wait on
    ::FlushConsoleInputBuffer(in);
    for (;;) {
        INPUT_RECORD record{};
        DWORD read = 0;
        if (!::ReadConsoleInputW(in, &record, 1, &read) || read == 0) return;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
    }
}
