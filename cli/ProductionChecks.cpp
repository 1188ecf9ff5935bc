#include "cli/ProductionChecks.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "boot/BL_HexParser.h"
#include "boot/BL_Vars.h"
#include "cli/OutputGuard.h"
#include "cli/TSha256.h"

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Descriptors are padded by some bootloaders.
std::string TrimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

bool KnownFamily(const std::string& name) {
    for (const uint8_t f : {FamPic16, FamPic18, FamPic18FJ, FamPic24, FamDsPic, FamPic32})
        if (Lower(FamilyText(f)) == Lower(name)) return true;
    return false;
}

} // namespace

bool ValidateProductionOptions(const TCliOptions& o, std::string& error) {
    if (!o.sha256.empty()) {
        const bool hex = o.sha256.size() == 64 && std::all_of(o.sha256.begin(), o.sha256.end(), [](char c) {
                             return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                         });
        if (!hex) {
            error = "--sha256 takes the 64 hex digits of the file's SHA-256";
            return false;
        }
        if (o.file == StdinPath) {
            // Hashing standard input would use up what the run has to read.
            error = "--sha256 needs a FILE, not standard input";
            return false;
        }
    }
    if (!o.expectFamily.empty() && !KnownFamily(o.expectFamily)) {
        error = "unknown family \"" + o.expectFamily +
                "\" for --expect-family (pic16, pic18, pic18fj, pic24, dspic, pic32)";
        return false;
    }
    if (o.command == TCommand::Station) {
        if (o.parallel < 1 || o.parallel > MaxBoards) {
            error = "--parallel must be between 1 and " + std::to_string(MaxBoards);
            return false;
        }
        if (o.count < 0 || o.stopAfterFailures < 0) {
            error = "--count and --stop-after-failures take a number of boards (0: no limit)";
            return false;
        }
        if (o.file == StdinPath) {
            error = "a station flashes many boards; they cannot share standard input as FILE";
            return false;
        }
    }
    return true;
}

bool FileHashExpected(const TCliOptions& o, std::string& why) {
    if (o.sha256.empty()) return true;
    std::string hex;
    std::string error;
    if (!Sha256OfFile(o.file, hex, error)) {
        why = EscapeControls(o.file) + ": " + error;
        return false;
    }
    if (hex == Lower(o.sha256)) return true;
    why = EscapeControls(o.file) + " has SHA-256 " + hex + ", not the expected " + Lower(o.sha256);
    return false;
}

std::string UnexpectedTarget(const TCliOptions& o, const std::string& family, const std::string& descriptor) {
    if (!o.expectFamily.empty() && Lower(family) != Lower(o.expectFamily))
        return "the board is a " + family + " target, not the expected " + o.expectFamily;
    if (!o.expectDescriptor.empty() && TrimRight(descriptor) != TrimRight(o.expectDescriptor))
        return "the board describes itself as \"" + EscapeControls(TrimRight(descriptor)) + "\", not \"" +
               EscapeControls(o.expectDescriptor) + "\"";
    return "";
}

std::vector<std::string> SerialWarnings(const nlohmann::json& target) {
    if (!target.is_object()) return {};
    const nlohmann::json serial = target.value("serial", nlohmann::json());
    if (!serial.is_string() || serial.get<std::string>().empty()) return {"serial number missing"};
    const std::string s = serial.get<std::string>();
    if (s.find_first_not_of('0') == std::string::npos) return {"serial number all zeros"};
    return {};
}

std::vector<std::string> DuplicateSerialWarnings(const std::vector<THidDevice>& devices) {
    std::map<std::string, std::vector<std::string>> bySerial;
    for (const auto& d : devices)
        if (d.hasSerial && !d.serialNumber.empty()) bySerial[d.serialNumber].push_back(d.path);
    std::vector<std::string> lines;
    for (const auto& [serial, paths] : bySerial) {
        if (paths.size() < 2) continue;
        std::string list;
        for (size_t i = 0; i < paths.size(); ++i)
            list += (i == 0 ? "" : i + 1 == paths.size() ? " and " : ", ") + EscapeControls(paths[i]);
        lines.push_back("serial number " + EscapeControls(serial) + " is reported by " + list +
                        "; tell these boards apart by --path");
    }
    return lines;
}
