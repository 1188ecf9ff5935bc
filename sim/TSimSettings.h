#pragma once
// The settings of a virtual board as "KEY=VALUE,KEY=VALUE" text: the profile keys of TSimProfile,
// the fault keys and the plug-in delay. Shared by the command-line flasher and the window's demo.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/TSimProfile.h"
#include "sim/TVirtualTarget.h"

// What one virtual board is made of.
struct TSimBoardSetup {
    TSimProfile profile;
    TSimFaults faults;
    // Clock time after the start at which the board is plugged in; until then it is absent.
    std::optional<uint64_t> plugAfterMs;
};

// A day: longer than anyone waits for a board to be plugged in.
constexpr uint64_t MaxPlugAfterMs = 86400000;

// "a=1,b=2" into pairs; false (with error) for an item without "=" or with an empty key.
bool SplitSettings(const std::string& list, std::vector<std::pair<std::string, std::string>>& out,
                   std::string& error);
// One setting for a virtual board: the fault keys (drop-answer, wrong-echo, unplug-at, stop-writes,
// corrupt-at) and plug-after-ms here, the rest are profile keys.
bool ApplySimSetting(TSimBoardSetup& board, const std::string& key, const std::string& value,
                     std::string& error);
// A whole "KEY=VALUE[,KEY=VALUE...]" list, in order; stops at the first bad item.
bool ApplySimSettings(TSimBoardSetup& board, const std::string& list, std::string& error);
