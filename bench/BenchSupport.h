#pragma once
// Small helpers shared by the benchmark programs: timing, medians, the parser's target setup and
// the one line per figure that scripts/bench gathers into its table.

#include <cstdint>
#include <string>
#include <vector>

// Seconds on the monotonic wall clock, independent of the installed protocol clock.
double WallSeconds();
double Median(std::vector<double> values);
// Peak resident size of this process so far, in KiB.
long PeakRssKiB();
// CPU time (user + system) of this process so far, in seconds.
double CpuSeconds();

// The boot information the parser needs, without a connection: family and boot start.
void SetParserTarget(uint8_t family, uint32_t bootStart);

// "RESULT<TAB>name<TAB>figure<TAB>target<TAB>yes|no|-" on stdout; scripts/bench turns these into
// its table. A missed target is reported, never turned into a failing exit code.
void PrintResult(const std::string& name, const std::string& figure, const std::string& target,
                 const std::string& met);
std::string Fixed(double value, int decimals);
