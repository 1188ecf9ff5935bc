#pragma once
// What `--version` prints: the program, its version, and the libraries it runs with.

#include <cstdint>
#include <string>

// The version of the hidapi library in use, as the library itself reports it.
std::string HidApiVersion();
// "quarnel-flash 1.0.0\nhidapi 0.13.1\nQt 6.4.2\n"; qtVersion null: the program does not use Qt.
std::string VersionText(const std::string& program, const std::string& version, const char* qtVersion);
// The version text of a file version as a version resource keeps it (most and least significant 32
// bits): the high and low halves of ms and the high half of ls, decimal, joined by "." (4.3.3.62 gives
// "4.3.3"; the fourth part is not shown).
std::string FileVersionText(uint32_t ms, uint32_t ls);
// True when "--version" is among the arguments (before a "--").
bool AsksForVersion(int argc, char** argv);
