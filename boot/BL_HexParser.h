#pragma once
// Reading an Intel HEX file into the memory images for the connected target.

#include <cstdint>
#include <string>

// True when the file was read without a conversion error and the image fits below the bootloader.
bool ParseHexFile(const std::string& path);

// Counts of the last parse, for the command-line summary and the tests.
struct THexParseStats {
    int64_t lines = 0;
    int64_t records = 0;
    int64_t unsupported = 0;
    int64_t checksumErrors = 0;
    int64_t dataBytes = 0;
    bool tooBig = false;
    bool opened = false;
};
const THexParseStats& LastHexParseStats();
