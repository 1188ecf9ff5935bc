#pragma once
// What a virtual bootloader says about its chip. Every field can be overridden.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct TSimProfile {
    uint8_t family = 2;          // code sent in the boot information (any value, for hostile tests)
    uint32_t flashSize = 0;      // program flash in image bytes (PIC32: bytes from 0x1D000000)
    uint16_t eraseBlock = 0;     // image bytes
    uint16_t writeBlock = 0;     // image bytes
    uint32_t bootStart = 0;      // target address units (PIC32: full virtual address, e.g. 0x9D07C000)
    uint16_t revision = 0x0100;
    std::string descriptor;
    // USB identity
    std::string path;            // empty: "sim:N" given by the back end
    uint16_t vendorId = 0x3930;
    uint16_t productId = 0x2021;
    uint16_t version = 0x0100;
    std::string manufacturer = "Quarnel";
    std::string product = "Virtual bootloader";
    std::string serial;          // empty: the device gives no serial number
    uint16_t reportLength = 65;
    uint32_t latencyUs = 0;      // clock time before an answer can be read
    // Raw boot-information answer instead of the one built from the fields above.
    std::optional<std::array<uint8_t, 64>> bootInfoAnswer;
};

// Realistic defaults per family code (1, 2, 3, 4, 10, 20); other codes get PIC18 sizes.
TSimProfile DefaultSimProfile(uint8_t family);
// "pic16", "pic18", "pic18fj", "pic24", "dspic", "pic32" (any case); false for other names.
bool SimProfileByName(const std::string& name, TSimProfile& profile);
// The tagged cmdGetBootInfo answer with the family's field alignment.
std::array<uint8_t, 64> BuildBootInfoAnswer(const TSimProfile& profile);
// Sets one override from "key=value" (boot-start, erase-block, write-block, flash-size, revision,
// descriptor, latency-ms, family, vid, pid, serial, manufacturer, product, report-length); numbers
// decimal or 0x hex.
bool ApplySimOverride(TSimProfile& profile, const std::string& key, const std::string& value,
                      std::string& error);
// A setting's number: decimal, or hexadecimal after "0x"; false for anything else or above max.
bool ParseSimNumber(const std::string& text, uint64_t max, uint64_t& value);
