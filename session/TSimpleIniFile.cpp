#include "session/TSimpleIniFile.h"

#include "session/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

std::string g_defaultFileName;

// A stray CR (a last line ending in one, or CR CR LF) counts as white space around names and values.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string Trim(const std::string& s) {
    size_t first = 0;
    size_t last = s.size();
    while (first < last && IsBlank(s[first]))
        ++first;
    while (last > first && IsBlank(s[last - 1]))
        --last;
    return s.substr(first, last - first);
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Section and key names are ASCII in practice; other bytes compare exactly.
bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool IsComment(const std::string& trimmed) {
    return !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#');
}

// "[name]" (blanks around allowed) gives name; anything else is not a header.
bool SectionName(const std::string& line, std::string& name) {
    const std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[') return false;
    const size_t close = t.find(']');
    if (close == std::string::npos) return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value" outside comments gives the trimmed key and the position of the "=".
bool KeyName(const std::string& line, std::string& key, size_t& equals) {
    const std::string t = Trim(line);
    if (t.empty() || IsComment(t) || t[0] == '[') return false;
    equals = line.find('=');
    if (equals == std::string::npos) return false;
    key = Trim(line.substr(0, equals));
    return !key.empty();
}

bool HexDigit(char c, uint32_t& digit) {
    if (c >= '0' && c <= '9')
        digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
        digit = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        digit = static_cast<uint32_t>(c - 'A' + 10);
    else
        return false;
    return true;
}

bool ParseInteger(const std::string& text, int32_t& result) {
    std::string s = text;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = "$" + s.substr(2);
    if (s.empty()) return false;
    if (s[0] == '$') {
        if (s.size() == 1) return false;
        uint64_t value = 0;
        for (size_t i = 1; i < s.size(); ++i) {
            uint32_t digit = 0;
            if (!HexDigit(s[i], digit)) return false;
            value = value * 16 + digit;
            if (value > 0xFFFFFFFFull) return false;
        }
        // Hexadecimal spells the 32 bits, so $FFFFFFFF is -1.
        result = static_cast<int32_t>(static_cast<uint32_t>(value));
        return true;
    }
    size_t i = 0;
    bool negative = false;
    if (s[0] == '-' || s[0] == '+') {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) return false;
    int64_t value = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
        if (value > 0x80000000ll) return false;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return false;
    result = static_cast<int32_t>(value);
    return true;
}

} // namespace

TSimpleIniFile::TSimpleIniFile(const std::string& fileName)
    : m_fileName(fileName.empty() ? g_defaultFileName : fileName) {
    Load();
}

TSimpleIniFile::~TSimpleIniFile() {
    if (m_modified) {
        std::string ignored;
        UpdateFile(ignored);
    }
}

void TSimpleIniFile::Load() {
    std::string data;
    if (m_fileName.empty() || !ReadKeptFile(m_fileName, ReadLimit, data, &m_cut)) return;
    // A line cut at the limit would read as a different value.
    if (m_cut) {
        const size_t lastBreak = data.rfind('\n');
        data.resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
    }
    bool styleKnown = false;
    size_t start = 0;
    while (start < data.size()) {
        const size_t nl = data.find('\n', start);
        TLine line;
        if (nl == std::string::npos) {
            line.text = data.substr(start);
            start = data.size();
        } else {
            const bool cr = nl > start && data[nl - 1] == '\r';
            line.text = data.substr(start, (cr ? nl - 1 : nl) - start);
            line.eol = cr ? "\r\n" : "\n";
            if (!styleKnown) {
                m_eol = line.eol;
                styleKnown = true;
            }
            start = nl + 1;
        }
        m_lines.push_back(std::move(line));
    }
}

int TSimpleIniFile::FindSection(const std::string& section) const {
    for (size_t i = 0; i < m_lines.size(); ++i) {
        std::string name;
        if (SectionName(m_lines[i].text, name) && SameName(name, section)) return static_cast<int>(i);
    }
    return -1;
}

int TSimpleIniFile::SectionEnd(int sectionLine) const {
    size_t i = static_cast<size_t>(sectionLine) + 1;
    std::string name;
    while (i < m_lines.size() && !SectionName(m_lines[i].text, name))
        ++i;
    return static_cast<int>(i);
}

int TSimpleIniFile::FindKey(int sectionLine, const std::string& key) const {
    const int end = SectionEnd(sectionLine);
    for (int i = sectionLine + 1; i < end; ++i) {
        std::string name;
        size_t equals = 0;
        if (KeyName(m_lines[static_cast<size_t>(i)].text, name, equals) && SameName(name, key)) return i;
    }
    return -1;
}

std::string TSimpleIniFile::ReadString(const std::string& section, const std::string& key,
                                       const std::string& def) const {
    const int sectionLine = FindSection(section);
    if (sectionLine < 0) return def;
    const int keyLine = FindKey(sectionLine, key);
    if (keyLine < 0) return def;
    const std::string& text = m_lines[static_cast<size_t>(keyLine)].text;
    std::string value = Trim(text.substr(text.find('=') + 1));
    if (value.size() > MaxValueLength) value.resize(MaxValueLength);
    return value;
}

int32_t TSimpleIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
    const int sectionLine = FindSection(section);
    if (sectionLine < 0 || FindKey(sectionLine, key) < 0) return def;
    int32_t value = 0;
    return ParseInteger(ReadString(section, key, ""), value) ? value : def;
}

bool TSimpleIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TSimpleIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TSimpleIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TSimpleIniFile::InsertLine(size_t index, const std::string& text) {
    // A last line without a line ending gets one before anything follows it.
    // A line that ends in a CR of its own needs a full CR LF, or reading the file back would take
    // its CR for part of the line end.
    if (index > 0 && m_lines[index - 1].eol.empty()) {
        const std::string& prev = m_lines[index - 1].text;
        m_lines[index - 1].eol = !prev.empty() && prev.back() == '\r' ? "\r\n" : m_eol;
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(index), TLine{text, m_eol});
}

bool TSimpleIniFile::WriteString(const std::string& section, const std::string& key,
                                 const std::string& value) {
    const auto hasBreak = [](const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; };
    const std::string cleanKey = Trim(key);
    const std::string cleanSection = Trim(section);
    if (cleanKey.empty() || cleanKey.find('=') != std::string::npos || cleanKey[0] == '[' ||
        cleanKey[0] == ';' || cleanKey[0] == '#' || hasBreak(cleanKey) ||
        cleanSection.find(']') != std::string::npos || hasBreak(cleanSection) || hasBreak(value))
        return false;

    const int sectionLine = FindSection(cleanSection);
    if (sectionLine < 0) {
        if (!m_lines.empty() && !Trim(m_lines.back().text).empty()) InsertLine(m_lines.size(), "");
        InsertLine(m_lines.size(), "[" + cleanSection + "]");
        InsertLine(m_lines.size(), cleanKey + "=" + value);
        m_modified = true;
        return true;
    }

    const int keyLine = FindKey(sectionLine, cleanKey);
    if (keyLine >= 0) {
        // Keep the key as spelled in the file and the blanks between "=" and the value.
        std::string& text = m_lines[static_cast<size_t>(keyLine)].text;
        size_t valueStart = text.find('=') + 1;
        while (valueStart < text.size() && IsBlank(text[valueStart]))
            ++valueStart;
        const std::string newText = text.substr(0, valueStart) + value;
        if (newText != text) {
            text = newText;
            m_modified = true;
        }
        return true;
    }

    // After the section's last entry, so comments and blank lines that lead into the next section
    // stay with it.
    const int end = SectionEnd(sectionLine);
    int insertAt = sectionLine + 1;
    for (int i = sectionLine + 1; i < end; ++i) {
        std::string name;
        size_t equals = 0;
        if (KeyName(m_lines[static_cast<size_t>(i)].text, name, equals)) insertAt = i + 1;
    }
    InsertLine(static_cast<size_t>(insertAt), cleanKey + "=" + value);
    m_modified = true;
    return true;
}

bool TSimpleIniFile::UpdateFile(std::string& error) {
    error.clear();
    if (!m_modified) return true;
    const std::string failure = "Unable to write to " + m_fileName;
    // What lies past the read limit is not in memory, so writing the file back would lose it.
    if (m_fileName.empty() || m_cut) {
        error = failure;
        return false;
    }

    std::string data;
    for (const TLine& line : m_lines)
        data += line.text + line.eol;

    if (!WriteFileAtomically(m_fileName, data, &error)) return false;
    m_modified = false;
    return true;
}

void TSimpleIniFile::SetDefaultFileName(const std::string& fileName) {
    g_defaultFileName = fileName;
}

std::string TSimpleIniFile::DefaultFileName() {
    return g_defaultFileName;
}

std::string TSimpleIniFile::DefaultFileNameFor(const std::string& dir, const std::string& programPath) {
    const size_t slash = programPath.rfind('/');
    std::string name = slash == std::string::npos ? programPath : programPath.substr(slash + 1);
    const size_t dot = name.rfind('.');
    // A leading dot names a hidden file, not an extension.
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    name += ".ini";
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}
