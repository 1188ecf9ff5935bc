#pragma once
// --record: one JSON line per board, appended whole or not at all, so that a production line keeps a
// history of every unit (time, board, firmware hash, result) that any log shipper can collect.

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// "2026-12-09T07:12:03.123Z"
std::string UtcTimeText(std::chrono::system_clock::time_point when);

// A board's record from the events of its run: target (the "target" event, null when the run never
// connected) and result (the "result" event, with "sha256"). warnings: what the line should know about
// the board (serial numbers).
nlohmann::json BoardRecord(std::chrono::system_clock::time_point when, const nlohmann::json& target,
                           const nlohmann::json& result, const std::vector<std::string>& warnings);

// Appends the record as one line; false with error when it is not in the file.
bool AppendRecord(const std::string& path, const nlohmann::json& record, std::string& error);

// The record of a board flashed by a child process (flash --all, station) from the events it wrote:
// its exit code and wall-clock time as the parent saw them; a child that ended without its result
// (killed, crashed) is recorded as "comm-failed". extraWarnings come after the serial number's.
nlohmann::json ChildRecord(const std::string& board, const nlohmann::json& target, const nlohmann::json& resultEvent,
                           int exitCode, double seconds, const std::vector<std::string>& extraWarnings);
