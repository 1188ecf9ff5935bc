// The settings file: the input is the file. Keys are read in every form the window uses and in
// other spellings, a few keys are written (the window's own, and a section and key found in the file,
// so that values are replaced in place), the file is written back and read again. Every written
// value must read back, and every other key must read as it did before the write.

#include <map>
#include <utility>

#include "FuzzSupport.h"
#include "session/TSimpleIniFile.h"

namespace {

// Blanks, tabs and stray CRs around names and values are not part of them.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string& s) {
    size_t first = 0;
    size_t last = s.size();
    while (first < last && IsBlank(s[first]))
        ++first;
    while (last > first && IsBlank(s[last - 1]))
        --last;
    return s.substr(first, last - first);
}

// Names are matched without regard to ASCII case.
std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

using TName = std::pair<std::string, std::string>; // section, key as the reader compares them
TName NameOf(const std::string& section, const std::string& key) {
    return {Lower(Trim(section)), Lower(Trim(key))};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        start = nl + 1;
    }
    return out;
}

// The first section header of the file and the first entry under it, spelled as in the file
// (blanks and case included): the writer has to find them again.
bool FirstEntry(const std::vector<std::string>& lines, std::string& section, std::string& key) {
    size_t i = 0;
    for (; i < lines.size(); ++i) {
        const std::string t = Trim(lines[i]);
        const size_t close = t.find(']');
        if (t.size() >= 2 && t[0] == '[' && close != std::string::npos) {
            section = t.substr(1, close - 1);
            break;
        }
    }
    for (++i; i < lines.size(); ++i) {
        const std::string t = Trim(lines[i]);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') return false;
        const size_t eq = lines[i].find('=');
        if (eq == std::string::npos || Trim(lines[i].substr(0, eq)).empty()) continue;
        key = lines[i].substr(0, eq);
        return true;
    }
    return false;
}

struct TProbe {
    std::string section;
    std::string key;
};

// The reader's answers for one key must agree with each other.
std::string ReadAll(const TSimpleIniFile& ini, const TProbe& p) {
    const std::string s1 = ini.ReadString(p.section, p.key, "\x01missing");
    const std::string s2 = ini.ReadString(p.section, p.key, "\x02missing");
    const bool missing = s1 != s2;
    FUZZ_CHECK(s1.size() <= TSimpleIniFile::MaxValueLength);
    const int32_t i1 = ini.ReadInteger(p.section, p.key, 461);
    const int32_t i2 = ini.ReadInteger(p.section, p.key, -7);
    if (i1 != i2) FUZZ_CHECK(i1 == 461 && i2 == -7); // only a missing or unparsable value gives the default
    if (missing) FUZZ_CHECK(i1 == 461 && i2 == -7);
    FUZZ_CHECK(ini.ReadBool(p.section, p.key, true) == (ini.ReadInteger(p.section, p.key, 1) != 0));
    FUZZ_CHECK(ini.ReadBool(p.section, p.key, false) == (i1 == i2 ? i1 != 0 : false));
    return missing ? std::string("\x01missing") : s1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TVirtualClock clock;
    static fuzz::TLogSink log;
    static const std::string path = fuzz::ScratchDir() + "Quarnel.ini";
    fuzz::StartRun(clock, log);
    const std::string text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(fuzz::WriteWholeFile(path, text));
    TSimpleIniFile::SetDefaultFileName(path);

    const std::vector<std::string> lines = Lines(text);
    std::vector<TProbe> probes = {{"Sizes", "MainWidth"}, {"sizes", "MAINHEIGHT"},    {"SIZES", "MainLeft"},
                                  {"Sizes", "MainTop"},   {"Sizes", "MainMaxiMised"}, {"Font", "Main"},
                                  {"font", "main"},       {"Fuzz", "Added"}};
    std::string fileSection, fileKey;
    const bool haveEntry = FirstEntry(lines, fileSection, fileKey);
    if (haveEntry) {
        probes.push_back({Trim(fileSection), Trim(fileKey)});
        probes.push_back({Lower(Trim(fileSection)), Lower(Trim(fileKey))});
    }
    // The value for the file's own entry: the input's last line, which may hold anything.
    std::string value = lines.empty() ? std::string("x") : lines.back();

    TSimpleIniFile ini(path);
    FUZZ_CHECK(!ini.Modified());
    std::map<TName, std::string> before;
    for (const auto& p : probes)
        before[NameOf(p.section, p.key)] = ReadAll(ini, p);

    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 16777619u;
    const int32_t width = int32_t(h);
    const bool maximised = (h >> 7) & 1;

    // What each written key must read as afterwards; a later write to the same key wins.
    std::map<TName, std::string> written;
    ini.WriteInteger("Sizes", "MainWidth", width);
    written[NameOf("Sizes", "MainWidth")] = std::to_string(width);
    ini.WriteBool("Sizes", "MainMaxiMised", maximised);
    written[NameOf("Sizes", "MainMaxiMised")] = maximised ? "1" : "0";
    if (haveEntry && ini.WriteString(fileSection, fileKey, value)) {
        std::string expect = Trim(value);
        if (expect.size() > TSimpleIniFile::MaxValueLength) expect.resize(TSimpleIniFile::MaxValueLength);
        written[NameOf(fileSection, fileKey)] = expect;
    }
    ini.WriteInteger(" Fuzz ", "Added ", -int32_t(h & 0xFFFF));
    written[NameOf("Fuzz", "Added")] = std::to_string(-int32_t(h & 0xFFFF));

    const auto check = [&](const TSimpleIniFile& f) {
        for (const auto& [name, expect] : written)
            FUZZ_CHECK(f.ReadString(name.first, name.second, "\x01missing") == expect);
        // Unless the file's own entry was one of them, the window's keys read back in their types.
        if (written[NameOf("Sizes", "MainWidth")] == std::to_string(width))
            FUZZ_CHECK(f.ReadInteger("SIZES", "mainwidth", 0) == width);
        if (written[NameOf("Sizes", "MainMaxiMised")] == (maximised ? "1" : "0"))
            FUZZ_CHECK(f.ReadBool("Sizes", "MainMaxiMised", !maximised) == maximised);
        // Keys that were not written read as before.
        for (const auto& p : probes) {
            const TName name = NameOf(p.section, p.key);
            if (written.count(name) == 0) FUZZ_CHECK(ReadAll(f, p) == before[name]);
        }
    };
    check(ini);

    std::string error;
    FUZZ_CHECK(ini.UpdateFile(error));
    FUZZ_CHECK(error.empty() && !ini.Modified());

    const TSimpleIniFile reread("");
    FUZZ_CHECK(reread.FileName() == path);
    check(reread);
    return 0;
}
