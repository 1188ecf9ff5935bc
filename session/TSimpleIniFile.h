#pragma once
// The program's settings file: an INI text file of [sections] and key=value entries, named after
// the program file unless the caller names one. The file is read once at construction; changes are
// kept in memory and written back atomically by UpdateFile() or, failing that, by the destructor.
// Everything the writer does not understand (comments, blank lines, stray text) is kept byte for
// byte, so a hand-edited file survives the program's own writes.

#include <cstdint>
#include <string>
#include <vector>

class TSimpleIniFile {
public:
    // An empty name means DefaultFileName().
    explicit TSimpleIniFile(const std::string& fileName = "");
    // Writes unsaved changes; it cannot report a failure, so callers that care use UpdateFile().
    ~TSimpleIniFile();

    TSimpleIniFile(const TSimpleIniFile&) = delete;
    TSimpleIniFile& operator=(const TSimpleIniFile&) = delete;

    // The default when the section, the key or a parsable value is missing. Accepted: decimal with
    // an optional sign, or hexadecimal after "$", "0x" or "0X" (up to 32 bits, so $FFFFFFFF is -1).
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    // Read as an integer; non-zero is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    // The trimmed value text (at most MaxValueLength characters), or def when the key is missing.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;

    void WriteInteger(const std::string& section, const std::string& key, int32_t value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    // Names that could not be read back (empty key, "=" in a key, "]" in a section, line breaks) and
    // values with line breaks are refused; the result says whether the write was taken.
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);

    // Writes pending changes; on failure error = "Unable to write to <file>" and the old file is
    // left as it was. A file read only in part (Cut()) is never written.
    bool UpdateFile(std::string& error);
    bool Modified() const { return m_modified; }
    // The file holds more than ReadLimit bytes: only its whole lines within the limit were read.
    bool Cut() const { return m_cut; }
    const std::string& FileName() const { return m_fileName; }

    static void SetDefaultFileName(const std::string& fileName);
    static std::string DefaultFileName();
    // dir (with a "/" added when missing) + the program's file name with its extension replaced
    // by ".ini"; a name without an extension gets ".ini" appended.
    static std::string DefaultFileNameFor(const std::string& dir, const std::string& programPath);

    static constexpr size_t MaxValueLength = 2047;
    // The window's settings take a few hundred bytes; a larger file is read up to here.
    static constexpr size_t ReadLimit = 1 << 20;

private:
    struct TLine {
        std::string text; // without the line ending
        std::string eol;  // "\n", "\r\n", or "" for a last line without one
    };

    void Load();
    // Index of the first header line of the section, or -1.
    int FindSection(const std::string& section) const;
    // Index of the first key line of the key within the section starting at sectionLine, or -1.
    int FindKey(int sectionLine, const std::string& key) const;
    // One past the last line of the section starting at sectionLine.
    int SectionEnd(int sectionLine) const;
    void InsertLine(size_t index, const std::string& text);

    std::string m_fileName;
    std::vector<TLine> m_lines;
    std::string m_eol = "\n"; // used for lines we add: the file's own style
    bool m_modified = false;
    bool m_cut = false;
};
