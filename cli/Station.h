#pragma once
// quarnel station FILE: a production bench. Waits for bootloaders, flashes every board that arrives
// (each by a child process, as flash --all does, up to --parallel at once), writes a line and a record
// per board, and goes on until Ctrl-C, --count boards or --stop-after-failures.

#include <string>

#include "cli/CliOptions.h"

// On the virtual bench, boards without an arrival time of their own arrive one after another, this
// far apart (board 1 at the start).
constexpr uint64_t StationArrivalGapMs = 5000;

// The options of the station's own view of the virtual bench: the arrival times filled in.
TCliOptions StationBenchOptions(const TCliOptions& options);
// What a board's child process is given: the flash of that board alone, already on the bus.
TCliOptions StationChildOptions(const TCliOptions& options);

// The running total of a station.
struct TStationTotals {
    int flashed = 0;
    int failed = 0;
    int refused = 0; // the board or the file was not the one the line expects

    void Add(int exitCode, const std::string& result);
    int Boards() const { return flashed + failed + refused; }
    // "12 flashed, 1 failed, 0 refused"
    std::string Text() const;
};

int RunStation(const TCliOptions& options, const std::string& selfPath);
