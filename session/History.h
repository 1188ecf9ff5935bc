#pragma once
// Recently used image files, one history file per family group in ExeDir, most recent first.

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t HistoryKeep = 10;
// Ten paths take a few KiB; a longer history file is read up to here.
constexpr size_t HistoryReadLimit = 1 << 20;

// "History_P16.txt" and so on, or "" for a family code outside the table.
std::string HistoryFileName(uint8_t family);
// ExeDir + the family's history file, or "" for a family code outside the table.
std::string HistoryFilePath(uint8_t family);
// The entries of a history file; a missing file, or one that is no regular file, gives an empty list.
// exists tells which.
std::vector<std::string> LoadHistory(const std::string& path, bool* exists = nullptr);
// Writes the entries with CR LF line ends through a temporary file and a rename.
bool SaveHistory(const std::string& path, const std::vector<std::string>& entries, std::string* error = nullptr);
// More than 10 entries: the tenth is removed (once), so the oldest entry stays at the bottom.
void TrimHistory(std::vector<std::string>& entries);
// Puts path first: an entry equal to it without regard to case is swapped with the first one,
// otherwise path is inserted at the top. Then trims.
void AddPathToHistory(std::vector<std::string>& entries, const std::string& path);
bool SameTextIgnoringCase(const std::string& a, const std::string& b);
// True for an empty text or one of blanks only: such a text names no file.
bool IsBlankPath(const std::string& path);
bool FileExists(const std::string& path);  // an existing regular file
std::string FolderOf(const std::string& path);
