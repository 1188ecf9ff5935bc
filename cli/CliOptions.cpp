#include "cli/CliOptions.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boot/BL_HexParser.h"
#include "boot/BL_Vars.h"
#include "cli/ProductionChecks.h"
#include "cli/StandardStreams.h"

namespace {

bool ParseDigits(const std::string& text, size_t from, int base, uint64_t max, uint64_t& value) {
    if (from >= text.size()) return false;
    uint64_t v = 0;
    for (size_t i = from; i < text.size(); ++i) {
        const int c = std::tolower(static_cast<unsigned char>(text[i]));
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return false;
        }
        if (v > (max - uint64_t(digit)) / uint64_t(base)) return false;
        v = v * uint64_t(base) + uint64_t(digit);
    }
    value = v;
    return true;
}

bool HasHexPrefix(const std::string& text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

std::string Suffixed(const std::string& base, const std::string& suffix) {
    return base.empty() ? base : base + suffix;
}

} // namespace

bool ParseHexId(const std::string& text, uint16_t& value) {
    uint64_t v = 0;
    if (!ParseDigits(text, HasHexPrefix(text) ? 2 : 0, 16, 0xFFFF, v)) return false;
    value = static_cast<uint16_t>(v);
    return true;
}

bool ParseCliNumber(const std::string& text, uint64_t max, uint64_t& value) {
    return HasHexPrefix(text) ? ParseDigits(text, 2, 16, max, value) : ParseDigits(text, 0, 10, max, value);
}

bool BuildSimBoards(const TCliOptions& options, std::vector<TSimBoardSetup>& boards, std::string& error) {
    boards.clear();
    TSimProfile profile;
    if (!SimProfileByName(options.simulate, profile)) {
        error = "unknown family \"" + options.simulate +
                "\" for --simulate (pic16, pic18, pic18fj, pic24, dspic, pic32)";
        return false;
    }
    for (int i = 1; i <= options.boards; ++i) {
        TSimBoardSetup b;
        b.profile = profile;
        b.profile.path = "sim:" + std::to_string(i);
        char serial[16];
        std::snprintf(serial, sizeof serial, "SIM%04d", i);
        b.profile.serial = serial;
        boards.push_back(b);
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& list : options.sim) {
        pairs.clear();
        if (!SplitSettings(list, pairs, error)) return false;
        for (auto& b : boards)
            for (const auto& [key, value] : pairs)
                if (!ApplySimSetting(b, key, value, error)) return false;
    }
    for (const auto& item : options.boardSim) {
        const size_t colon = item.find(':');
        uint64_t n = 0;
        if (colon == std::string::npos || !ParseCliNumber(item.substr(0, colon), MaxBoards, n) || n == 0) {
            error = "\"" + item + "\" is not N:KEY=VALUE[,...] with a board number from 1";
            return false;
        }
        if (n > boards.size()) {
            error = "--board-sim names board " + std::to_string(n) + " but there are only " +
                    std::to_string(boards.size());
            return false;
        }
        pairs.clear();
        if (!SplitSettings(item.substr(colon + 1), pairs, error)) return false;
        for (const auto& [key, value] : pairs)
            if (!ApplySimSetting(boards[n - 1], key, value, error)) return false;
    }
    return true;
}

std::string CheckHexFileArgument(const std::string& file) {
    if (file == StdinPath)
        return StandardInputWasClosed() ? "standard input is closed: \"-\" has nothing to read" : "";
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return file + ": " + std::strerror(errno);
    if (S_ISREG(info.st_mode)) return "";
    return file + " is " + FileKindText(info.st_mode) + ", not a HEX file (\"-\" reads standard input)";
}

bool ValidateOptions(const TCliOptions& o, std::string& error) {
    const bool simulated = !o.simulate.empty();
    if (o.vid == 0 && o.pid == 0) {
        // 0:0 would make every HID device (keyboards included) a bootloader candidate.
        error = "--vid and --pid cannot both be 0";
        return false;
    }
    if (!simulated) {
        const char* needsSim = !o.sim.empty()        ? "--sim"
                               : !o.boardSim.empty() ? "--board-sim"
                               : o.boards != 1       ? "--boards"
                               : !o.simDump.empty()  ? "--sim-dump"
                               : o.realTime          ? "--real-time"
                                                     : nullptr;
        if (needsSim != nullptr) {
            error = std::string(needsSim) + " needs --simulate FAMILY";
            return false;
        }
    }
    if (o.boards < 1 || o.boards > MaxBoards) {
        error = "--boards must be between 1 and " + std::to_string(MaxBoards);
        return false;
    }
    if (o.waitSeconds && (!(*o.waitSeconds >= 0) || *o.waitSeconds > MaxWaitSeconds)) {
        error = "--wait must be between 0 and " + std::to_string(int(MaxWaitSeconds)) + " seconds";
        return false;
    }
    if (o.all && o.file == StdinPath) {
        error = "--all starts one process per board; they cannot share standard input as FILE";
        return false;
    }
    if (o.quiet && o.verbose) {
        error = "--quiet and --verbose cannot be combined";
        return false;
    }
    if (o.all && o.verbose) {
        // The boards' command lines would run into each other.
        error = "--verbose cannot be combined with --all";
        return false;
    }
    if (o.all && (!o.path.empty() || !o.serial.empty())) {
        error = "--all flashes every board; it cannot be combined with --path or --serial";
        return false;
    }
    if (!ValidateProductionOptions(o, error)) return false;
    if (simulated) {
        // Catches unknown families and keys before anything runs.
        std::vector<TSimBoardSetup> boards;
        if (!BuildSimBoards(o, boards, error)) return false;
    }
    return true;
}

std::vector<std::string> ChildArguments(const TCliOptions& o, const std::string& path, int index) {
    std::vector<std::string> a = {"flash",      o.file,   "--vid", HexId(o.vid), "--pid",
                                  HexId(o.pid), "--path", path,    "--json"};
    if (o.disableBootloader) a.push_back("--disable-bootloader");
    if (o.ignoreChecksums) a.push_back("--ignore-checksums");
    if (o.strict) a.push_back("--strict");
    // The checks go with each board: a file replaced while a station runs is still refused.
    if (!o.sha256.empty()) a.insert(a.end(), {"--sha256", o.sha256});
    if (!o.expectFamily.empty()) a.insert(a.end(), {"--expect-family", o.expectFamily});
    if (!o.expectDescriptor.empty()) a.insert(a.end(), {"--expect-descriptor", o.expectDescriptor});
    if (o.waitSeconds) {
        a.push_back("--wait");
        a.push_back(std::to_string(*o.waitSeconds));
    }
    if (!o.simulate.empty()) {
        a.insert(a.end(), {"--simulate", o.simulate, "--boards", std::to_string(o.boards)});
        for (const auto& s : o.sim)
            a.insert(a.end(), {"--sim", s});
        for (const auto& s : o.boardSim)
            a.insert(a.end(), {"--board-sim", s});
        if (o.realTime) a.push_back("--real-time");
    }
    const std::string n = std::to_string(index);
    if (!o.trace.empty()) a.insert(a.end(), {"--trace", Suffixed(o.trace, "." + n)});
    if (!o.simDump.empty()) a.insert(a.end(), {"--sim-dump", Suffixed(o.simDump, "-" + n)});
    return a;
}

int ExitCodeForFlash(TFlashResult result) {
    switch (result) {
    case TFlashResult::Flashed:
        return ExitOk;
    case TFlashResult::FileRefused:
    case TFlashResult::TargetRefused:
        return ExitFileRefused;
    case TFlashResult::CommFailed:
    case TFlashResult::FinalCommandFailed:
        return ExitCommFailed;
    case TFlashResult::TargetDiffers:
        return ExitTargetDiffers;
    case TFlashResult::None:
        break;
    }
    return ExitNoBootloader;
}

std::string FamilyText(uint8_t family) {
    switch (family) {
    case FamPic16:
        return "PIC16";
    case FamPic18:
        return "PIC18";
    case FamPic18FJ:
        return "PIC18FJ";
    case FamPic24:
        return "PIC24";
    case FamDsPic:
        return "dsPIC";
    case FamPic32:
        return "PIC32";
    default:
        break;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "family %u", unsigned(family));
    return buf;
}

std::string HexId(uint16_t value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", unsigned(value));
    return buf;
}

std::string UdevRuleText(uint16_t vid, uint16_t pid) {
    char ids[64];
    std::snprintf(ids, sizeof ids, "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\"", vid, pid);
    return std::string("# Save as /etc/udev/rules.d/70-quarnel-flash-local.rules, then run\n"
                       "#   udevadm control --reload-rules && udevadm trigger --subsystem-match=hidraw\n") +
           "KERNEL==\"hidraw*\", SUBSYSTEM==\"hidraw\", " + ids + ", TAG+=\"uaccess\"\n";
}
