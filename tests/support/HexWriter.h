#pragma once
// Builds Intel HEX text for tests: data at 32-bit file addresses, with extended linear address
// records where the upper half changes and correct checksums.

#include <cstdint>
#include <string>
#include <vector>

struct THexChunk {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// How the records are written: extended segment (02) instead of linear (04) address records (for
// addresses below 1 MiB), and what stands before each record's colon.
struct THexStyle {
    bool segments = false;
    std::string lead;
};
std::string MakeHex(const std::vector<THexChunk>& chunks, int perLine = 16, const THexStyle& style = {});
// Writes text to a new file in a fresh temporary folder; returns its path.
std::string WriteTempFile(const std::string& name, const std::string& text);
