#pragma once
// The checks of a production line: the right file (its SHA-256), the right board (family and
// descriptor), and serial numbers that cannot tell boards apart.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CliOptions.h"
#include "usb/Hid.h"

// --sha256, --expect-family, --record, --parallel, --count, --stop-after-failures as given.
bool ValidateProductionOptions(const TCliOptions& options, std::string& error);

// --sha256: true when the file's hash is the expected one (or none is expected). Otherwise why not,
// e.g. "blink18.hex has SHA-256 0a1b..., not the expected 5e6f...".
bool FileHashExpected(const TCliOptions& options, std::string& why);

// Empty when the connected board is the kind --expect-family and --expect-descriptor ask for, else
// what it is instead.
std::string UnexpectedTarget(const TCliOptions& options, const std::string& family,
                             const std::string& descriptor);

// What a record notes about the serial number of a connected board (target: its "target" event; null
// when the run never connected): "serial number missing", "serial number all zeros".
std::vector<std::string> SerialWarnings(const nlohmann::json& target);

// For each board whose serial number another attached board reports too: "serial number S is
// reported by P1 and P2; tell these boards apart by --path". One line per serial number.
std::vector<std::string> DuplicateSerialWarnings(const std::vector<THidDevice>& devices);
