// A history file: the input is the file. It is loaded, a path is put first (one of its own entries
// spelled in another case, or a new one), the list is saved and loaded again: the same list must come
// back.

#include <algorithm>
#include <cctype>

#include "FuzzSupport.h"
#include "session/History.h"
#include "session/LoaderSetup.h"

namespace {

std::string FlipCase(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TVirtualClock clock;
    static fuzz::TLogSink log;
    fuzz::StartRun(clock, log);
    ExeDir = fuzz::ScratchDir();
    const std::string path = HistoryFilePath(uint8_t(size == 0 ? 2 : (data[0] % 3 == 0 ? 1 : 20)));
    FUZZ_CHECK(!path.empty() && path.rfind(ExeDir, 0) == 0);
    FUZZ_CHECK(fuzz::WriteWholeFile(path, data, size));

    bool exists = false;
    std::vector<std::string> entries = LoadHistory(path, &exists);
    FUZZ_CHECK(exists);
    size_t total = 0;
    for (const auto& e : entries) {
        FUZZ_CHECK(e.find('\n') == std::string::npos);
        total += e.size() + 1;
        const std::string folder = FolderOf(e);
        FUZZ_CHECK(e.compare(0, folder.size(), folder) == 0);
        FUZZ_CHECK(SameTextIgnoringCase(e, FlipCase(e)));
    }
    FUZZ_CHECK(total <= size + 1); // each entry took its text and a line end, the last maybe none

    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 16777619u;
    const size_t pick = entries.empty() ? 0 : h % (entries.size() + 1);
    const bool known = pick < entries.size();
    const std::string added =
        known ? FlipCase(entries[pick]) : "/home/user/fw/image" + std::to_string(h) + ".hex";

    const std::vector<std::string> old = entries;
    AddPathToHistory(entries, added);
    size_t found = old.size();
    for (size_t i = 0; i < old.size() && found == old.size(); ++i)
        if (SameTextIgnoringCase(old[i], added)) found = i;
    const size_t grown = found == old.size() ? old.size() + 1 : old.size();
    FUZZ_CHECK(entries.size() == (grown > HistoryKeep ? grown - 1 : grown));
    if (found == old.size()) {
        FUZZ_CHECK(entries[0] == added);
    } else {
        // The entry as it was spelled moves to the top; the top one takes its place.
        FUZZ_CHECK(entries[0] == old[found]);
        if (found != 0 && grown <= HistoryKeep) FUZZ_CHECK(entries[found] == old[0]);
    }

    std::string error;
    FUZZ_CHECK(SaveHistory(path, entries, &error));
    std::string expectText;
    for (const auto& e : entries)
        expectText += e + "\r\n";
    FUZZ_CHECK(fuzz::ReadWholeFile(path) == expectText);
    const std::vector<std::string> again = LoadHistory(path);
    FUZZ_CHECK(again == entries);
    return 0;
}
