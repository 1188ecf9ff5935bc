#pragma once
// The property every run must keep: on a valid layout with a valid image, a run that reports success
// leaves exactly the flash that the HEX records, the moved reset vector and the planted jumps make,
// computed here from the records themselves (never from the program's own image buffers).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/TSimProfile.h"
#include "support/HexWriter.h"

// pick(n): a number from 0 to n - 1 (the seeded generator of the unit test, or the fuzz input).
using TPick = std::function<uint32_t(uint32_t)>;

struct TPropertyCase {
    TSimProfile profile;
    uint32_t bootOffset = 0;             // image offset of the boot start
    std::vector<THexChunk> program;      // image offsets
    std::vector<THexChunk> boot;         // PIC32 boot flash offsets
    // How the file says it: PIC32 segment added to physical addresses (0, KSEG0, KSEG1), type 02
    // records, blanks before the colons, every program chunk given twice.
    uint32_t segment = 0;
    THexStyle style;
    bool twice = false;
    std::string Describe() const;
};

// A random valid layout (family, boot start, erase and write block, flash size) and a random image:
// gaps, data at offset 0 and right below the vector slot, PIC32 boot-flash data up to its last byte.
TPropertyCase MakePropertyCase(const TPick& pick);
// The HEX file of a case: image offsets turned into the family's file addresses.
std::string PropertyHex(const TPropertyCase& c);
// What the target's program and boot flash must hold after a successful run.
void ExpectedFlash(const TPropertyCase& c, const std::vector<uint8_t>& flashBefore,
                   const std::vector<uint8_t>& bootBefore, std::vector<uint8_t>& flash,
                   std::vector<uint8_t>& boot);
// Runs the case (file written into folder); empty when the property held, else what broke.
std::string CheckPropertyCase(const TPropertyCase& c, const std::string& folder);
