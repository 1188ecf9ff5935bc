#pragma once
// What `--version` prints: the program, its version, and the libraries it runs with.

#include <string>

// The version of the hidapi library in use, as the library itself reports it.
std::string HidApiVersion();
// "quarnel-flash 1.0.0\nhidapi 0.13.1\nQt 6.4.2\n"; qtVersion null: the program does not use Qt.
std::string VersionText(const std::string& program, const std::string& version, const char* qtVersion);
// True when "--version" is among the arguments (before a "--").
bool AsksForVersion(int argc, char** argv);
