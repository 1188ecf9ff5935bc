#include "sim/TSimSettings.h"

#include <cctype>

namespace {

std::string Lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

bool SplitSettings(const std::string& list, std::vector<std::pair<std::string, std::string>>& out,
                   std::string& error) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        const std::string item = list.substr(start, end - start);
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "\"" + item + "\" is not KEY=VALUE";
            return false;
        }
        out.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        start = end + 1;
    }
    return true;
}

bool ApplySimSetting(TSimBoardSetup& board, const std::string& key, const std::string& value,
                     std::string& error) {
    const std::string k = Lower(key);
    int* fault = k == "drop-answer"   ? &board.faults.dropAnswerAt
                 : k == "wrong-echo"  ? &board.faults.wrongEchoAt
                 : k == "unplug-at"   ? &board.faults.unplugAt
                 : k == "stop-writes" ? &board.faults.stopWritesAt
                 : k == "corrupt-at"  ? &board.faults.corruptAt
                 : k == "duplicate-answer" ? &board.faults.duplicateAnswerAt
                                      : nullptr;
    uint64_t v = 0;
    if (fault != nullptr) {
        // Report numbers count from 1; 0 would silently mean "off".
        if (!ParseSimNumber(value, 0x7FFFFFFF, v) || v == 0) {
            error = "bad value \"" + value + "\" for " + k + " (a report number from 1)";
            return false;
        }
        *fault = static_cast<int>(v);
        return true;
    }
    if (k == "plug-after-ms") {
        if (!ParseSimNumber(value, MaxPlugAfterMs, v)) {
            error = "bad value \"" + value + "\" for plug-after-ms";
            return false;
        }
        board.plugAfterMs = v;
        return true;
    }
    return ApplySimOverride(board.profile, key, value, error);
}

bool ApplySimSettings(TSimBoardSetup& board, const std::string& list, std::string& error) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!SplitSettings(list, pairs, error)) return false;
    for (const auto& [key, value] : pairs)
        if (!ApplySimSetting(board, key, value, error)) return false;
    return true;
}
