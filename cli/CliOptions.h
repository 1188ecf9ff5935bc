#pragma once
// What the command line asked for, the checks CLI11 cannot do by itself, and the settings of the
// virtual boards (--simulate, --sim, --board-sim).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "boot/BL_Flash.h"
#include "session/LoaderSetup.h"
#include "sim/TSimProfile.h"
#include "sim/TSimSettings.h"
#include "sim/TVirtualTarget.h"

constexpr int ExitOk = 0;
constexpr int ExitUsage = 1;
constexpr int ExitNoBootloader = 2;
constexpr int ExitFileRefused = 3;
constexpr int ExitCommFailed = 4;
// --simulate: the virtual target does not hold what the run should have left, or saw the protocol
// broken.
constexpr int ExitTargetDiffers = 5;

// Upper bound for --wait; a day is more than anyone waits for a reset button.
constexpr double MaxWaitSeconds = 86400.0;
// Upper bound for --boards; every board of --all is a process of its own.
constexpr int MaxBoards = 64;

enum class TCommand { List, Info, Flash, Erase, Station };

struct TCliOptions {
    TCommand command = TCommand::Info;
    std::string file;
    uint16_t vid = DefaultVid;
    uint16_t pid = DefaultPid;
    std::optional<double> waitSeconds;
    bool disableBootloader = false;
    bool ignoreChecksums = false;      // flash records with a wrong checksum too
    bool strict = false;               // refuse a file that is not written whole into the flash
    std::string simulate;              // family name; empty: real hardware
    std::vector<std::string> sim;      // each "KEY=VALUE[,KEY=VALUE...]", for every virtual board
    std::vector<std::string> boardSim; // each "N:KEY=VALUE[,...]", for virtual board N only
    int boards = 1;
    std::string trace;
    std::string simDump;
    bool realTime = false;
    std::string path;
    std::string serial;
    bool all = false;
    bool json = false;
    bool quiet = false;   // -q: only failure lines and the summary
    bool verbose = false; // -v: also one line per erase and write command
    bool bootloadersOnly = false; // list --bootloaders
    // Production use (flash and station).
    std::string record;            // append one JSON line per board to this file
    std::string sha256;            // the file's expected SHA-256, 64 hex digits
    std::string expectFamily;      // refuse a board of another family ("pic18", case ignored)
    std::string expectDescriptor;  // refuse a board with another descriptor text
    // station only
    int parallel = 1;              // boards flashed at once
    int count = 0;                 // stop after this many boards; 0: no limit
    int stopAfterFailures = 0;     // stop after this many failed or refused boards; 0: no limit
};

// "3930" or "0x3930": always hexadecimal, at most 0xFFFF.
bool ParseHexId(const std::string& text, uint16_t& value);
// Decimal, or hexadecimal after "0x"; false for anything else or a value above max.
bool ParseCliNumber(const std::string& text, uint64_t max, uint64_t& value);
// The virtual boards of a --simulate run: paths "sim:1".."sim:N", serials "SIM0001".., then --sim for
// all and --board-sim for one.
bool BuildSimBoards(const TCliOptions& options, std::vector<TSimBoardSetup>& boards, std::string& error);

// The flash command's FILE: "-" (standard input) or an existing regular file. Empty when it is
// fine, else why not.
std::string CheckHexFileArgument(const std::string& file);

// Combinations that make no sense (--sim without --simulate, --all with --path...).
bool ValidateOptions(const TCliOptions& options, std::string& error);

// The arguments (without the program name) of the child process that flashes board number index
// (from 1) at path for --all.
std::vector<std::string> ChildArguments(const TCliOptions& options, const std::string& path, int index);

int ExitCodeForFlash(TFlashResult result);
// What "list" shows for a device without a serial number; --serial with it selects such a device.
constexpr const char* NoSerialText = "---";

// "PIC18", "dsPIC"... for a family code.
std::string FamilyText(uint8_t family);
std::string HexId(uint16_t value); // 4 upper-case hex digits

// The udev rule that hands the bootloader's hidraw node to the logged-in user, with a comment saying
// where it goes.
std::string UdevRuleText(uint16_t vid, uint16_t pid);
