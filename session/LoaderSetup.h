#pragma once
// The stored bootloader setup: window position, one image path per family group, VID, PID and the
// option to disable the bootloader after flashing. Kept in "Quarnel.dat" in ExeDir, 1037 bytes.

#include <array>
#include <cstdint>
#include <string>

constexpr size_t LoaderSetupSize = 1037;
constexpr uint16_t DefaultVid = 0x3930;
constexpr uint16_t DefaultPid = 0x2021;

struct TLoaderSetup {
    int32_t left = 0;
    int32_t top = 0;
    std::string pic18Path;  // families 2, 3
    std::string pic24Path;  // families 4, 10
    std::string pic32Path;  // family 20
    std::string pic16Path;  // family 1
    uint16_t vid = DefaultVid;
    uint16_t pid = DefaultPid;
    uint8_t disableFlag = 0;  // any value but 0 means yes
};

extern TLoaderSetup LoaderSetup;

// The program's data folder, with a trailing "/". All files of the program live there.
extern std::string ExeDir;
// Where a program keeps its files: the real program's data folder, and the demo's own one, so that
// trying the demo never changes the real program's setup or history.
struct TDataFolderNames {
    std::string config;   // folder in the per-user configuration folder
    std::string portable; // sub-folder of a writable program folder; empty: the folder itself
};
const TDataFolderNames ProgramDataFolder{"quarnel-flash", ""};
const TDataFolderNames DemoDataFolder{"quarnel-flash-demo", "quarnel-flash-demo.data"};

// The program file's folder (or its portable sub-folder) when it can be written and is not a
// system folder (/usr/..., /opt/...), else the per-user configuration folder
// ($XDG_CONFIG_HOME/<config>/ or ~/.config/<config>/), created if needed.
std::string ComputeExeDir(const std::string& programPath, const TDataFolderNames& names = ProgramDataFolder);

std::string LoaderSetupFileName();  // ExeDir + "Quarnel.dat"
// Defaults: the window centred by the given values, every path ExeDir, VID 3930, PID 2021, flag 0.
void SetLoaderSetupDefaults(int32_t defaultLeft, int32_t defaultTop);
// Fills LoaderSetup from the file, or with the defaults when it is missing or shorter than 1037 bytes.
// Returns true when the file was used.
bool LoadLoaderSetup(int32_t defaultLeft, int32_t defaultTop);
// Writes LoaderSetup (after the caller stored the window position) atomically: a temporary file
// beside it is renamed over the old one, so a failed write leaves the old file as it was.
bool StoreLoaderSetup(std::string* error = nullptr);

// The 1037-byte record and back.
std::array<uint8_t, LoaderSetupSize> EncodeLoaderSetup(const TLoaderSetup& setup);
TLoaderSetup DecodeLoaderSetup(const uint8_t* record);

// The path field that serves a family code, or nullptr for a code outside the table.
std::string* PathForFamily(uint8_t family);

void ResetLoaderSetupState();
