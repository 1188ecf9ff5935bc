#include "session/History.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include "session/AtomicFile.h"
#include "session/LoaderSetup.h"

std::string HistoryFileName(uint8_t family) {
    switch (family) {
    case 1: return "History_P16.txt";
    case 2:
    case 3: return "History_P18.txt";
    case 4:
    case 10: return "History_P24.txt";
    case 20: return "History_P32.txt";
    default: return "";
    }
}

std::string HistoryFilePath(uint8_t family) {
    const std::string name = HistoryFileName(family);
    return name.empty() ? name : ExeDir + name;
}

std::vector<std::string> LoadHistory(const std::string& path, bool* exists) {
    std::vector<std::string> entries;
    std::string data;
    const bool read = ReadKeptFile(path, HistoryReadLimit, data);
    if (exists) *exists = read;
    if (!read) return entries;
    std::string cur;
    bool pending = false;
    for (const char c : data) {
        if (c == '\n') {
            if (!cur.empty() && cur.back() == '\r') cur.pop_back();
            entries.push_back(cur);
            cur.clear();
            pending = false;
        } else {
            cur += c;
            pending = true;
        }
    }
    if (pending) {
        if (!cur.empty() && cur.back() == '\r') cur.pop_back();
        entries.push_back(cur);
    }
    return entries;
}

bool SaveHistory(const std::string& path, const std::vector<std::string>& entries, std::string* error) {
    std::string data;
    for (const auto& e : entries) data += e + "\r\n";
    return WriteFileAtomically(path, data, error);
}

void TrimHistory(std::vector<std::string>& entries) {
    if (entries.size() > HistoryKeep) entries.erase(entries.begin() + (HistoryKeep - 1));
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void AddPathToHistory(std::vector<std::string>& entries, const std::string& path) {
    size_t found = entries.size();
    for (size_t i = 0; i < entries.size(); ++i)
        if (SameTextIgnoringCase(entries[i], path)) {
            found = i;
            break;
        }
    if (found == entries.size()) {
        entries.insert(entries.begin(), path);
    } else if (found != 0) {
        std::swap(entries[0], entries[found]);
    }
    TrimHistory(entries);
}

bool IsBlankPath(const std::string& path) { return path.find_first_not_of(' ') == std::string::npos; }

bool FileExists(const std::string& path) {
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
