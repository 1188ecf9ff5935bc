#pragma once
// The virtual boards of a --simulate run: the back end that serves them and the boards that are
// plugged in later (plug-after-ms), as a user pressing the reset button would.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "sim/TSimBackend.h"

class TSimSetup {
public:
    // startUs: the clock time the plug-in delays count from.
    bool Build(const TCliOptions& options, uint64_t startUs, std::string& error);

    TSimBackend& Backend() { return m_backend; }
    size_t BoardCount() const { return m_backend.TargetCount(); }
    TVirtualTarget& Board(size_t i) { return m_backend.Target(i); }

    // Clock time of the next board still to be plugged in.
    std::optional<uint64_t> NextPlugUs() const;
    // Plugs in every board that is due at nowUs (each posts a device-change notification).
    int PlugDue(uint64_t nowUs);

private:
    TSimBackend m_backend;
    std::vector<std::optional<uint64_t>> m_plugAtUs; // per board; empty once plugged
};
