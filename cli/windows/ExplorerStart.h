#pragma once
// quarnel.exe started from Explorer: a double-click (no arguments) or a HEX file dropped on it (the
// file as the only argument), in a console of its own that closes when the program ends.

#include <string>
#include <vector>

enum class TExplorerStart {
    None,     // a command line as usual
    Describe, // say what the program is, point to the window, wait for a key
    Flash     // flash the dropped file to the one attached board, then wait for a key
};

// args without the program name; ownConsole: the console has no other process (Explorer made it for
// this program). A dropped file is an argument that is not an option and names an existing file.
TExplorerStart ExplorerStartOf(const std::vector<std::string>& args, bool ownConsole, bool fileExists);
// What a double-click shows.
std::string ExplorerDescription();
// True when this process is the only one on its console and its standard input and output are that
// console (what Explorer gives a console program it starts).
bool OwnConsole();
// "Press any key to close this window." and the wait for it.
void WaitForKey();
