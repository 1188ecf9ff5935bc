#pragma once
// Reading an Intel HEX file into the memory images for the connected target.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The path that stands for standard input, the one stream a parse accepts.
constexpr const char* StdinPath = "-";
// A record is at most 521 characters; a longer line (line end not counted) fails the parse.
constexpr size_t MaxHexLineLength = 4096;

// True when the file (a regular file, or standard input for StdinPath) was read up to its end record
// without a fault, holds data for this target, fits below the bootloader, and has no record with a
// wrong checksum unless the host's yes/no question (HostAskYesNo) allowed them. A refusal logs
// "Error parsing hex file." followed, where one line is at fault, by "  Line <n>: <what>".
bool ParseHexFile(const std::string& path);

// "a directory", "a FIFO"... for the file type bits of a stat mode.
std::string FileKindText(unsigned mode);

// File data that a run will not write, one entry per kind: the range in the target's units (PIC32:
// physical addresses), the number of file bytes and the kind ("bootloader", "above_flash",
// "boot_block_kept").
struct THexNotWritten {
    int64_t from = 0;
    int64_t to = 0;
    int64_t bytes = 0;
    std::string reason;
};

// Strict intake: a file is refused when a line is no record or when any of its bytes inside the
// target's flash would not be written. Off by default; the command line sets it with --strict.
void SetStrictHexIntake(bool strict);

// Counts of the last parse, for the command-line summary and the tests.
struct THexParseStats {
    int64_t lines = 0;
    int64_t records = 0;
    int64_t unsupported = 0;
    int64_t checksumErrors = 0;
    int64_t dataBytes = 0;
    bool tooBig = false;
    bool opened = false;
    bool endRecord = false;
    int64_t firstChecksumLine = 0;  // the first record with a wrong checksum, 0 for none
    int64_t notRecords = 0;          // lines that are neither records nor blank
    int64_t firstNotRecordLine = 0;
    std::vector<THexNotWritten> notWritten;
};
const THexParseStats& LastHexParseStats();
