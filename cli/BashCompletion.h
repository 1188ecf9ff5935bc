#pragma once
// The bash completion script of quarnel, made from the program's own option table, so that a new
// option is completed without anyone touching the script.

#include <string>

namespace CLI {
class App;
}

// The families --simulate takes, in the order the help lists them.
extern const char* const SimFamilyNames;

// A script that defines _quarnel and registers it for "quarnel": subcommands, their options, the
// families after --simulate, file names after options whose value is a FILE, PATH or PREFIX and for
// a positional FILE. Subcommands and options in the empty group (hidden from --help) are left out.
std::string BashCompletionScript(const CLI::App& app);
