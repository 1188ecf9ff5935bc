#include "cli/RecordFile.h"

#include <cstdio>

#include "cli/CliPlatform.h"
#include "cli/ProductionChecks.h"

std::string UtcTimeText(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{ms - day};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()), int(time.subseconds().count()));
    return buf;
}

nlohmann::json BoardRecord(std::chrono::system_clock::time_point when, const nlohmann::json& target,
                           const nlohmann::json& result, const std::vector<std::string>& warnings) {
    const auto field = [](const nlohmann::json& from, const char* key) {
        return from.is_object() && from.contains(key) ? from[key] : nlohmann::json();
    };
    nlohmann::json r = {{"time", UtcTimeText(when)},
                        {"board", field(result, "board").is_null() ? field(target, "path") : field(result, "board")},
                        {"serial", field(target, "serial")},
                        {"family", field(target, "family")},
                        {"descriptor", field(target, "descriptor")},
                        {"boot_start", field(target, "boot_start")},
                        {"file", field(result, "file")},
                        {"sha256", field(result, "sha256")},
                        {"result", field(result, "result")},
                        {"exit_code", field(result, "exit_code")},
                        {"duration_s", field(result, "duration_s")},
                        {"not_written", field(result, "not_written")},
                        {"warnings", warnings}};
    return r;
}

bool AppendRecord(const std::string& path, const nlohmann::json& record, std::string& error) {
    const std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    return AppendWhole(path, line, error);
}

nlohmann::json ChildRecord(const std::string& board, const nlohmann::json& target, const nlohmann::json& resultEvent,
                           int exitCode, double seconds, const std::vector<std::string>& extraWarnings) {
    nlohmann::json r = resultEvent.is_object() ? resultEvent : nlohmann::json{{"result", "comm-failed"}};
    r["board"] = board;
    r["exit_code"] = exitCode;
    r["duration_s"] = seconds;
    std::vector<std::string> warnings = SerialWarnings(target);
    warnings.insert(warnings.end(), extraWarnings.begin(), extraWarnings.end());
    return BoardRecord(std::chrono::system_clock::now(), target, r, warnings);
}
