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

std::string MakeHex(const std::vector<THexChunk>& chunks, int perLine = 16);
// Writes text to a new file in a fresh temporary folder; returns its path.
std::string WriteTempFile(const std::string& name, const std::string& text);
