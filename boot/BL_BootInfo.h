#pragma once
// Decoding the boot information answer and describing the target in the log.

#include "boot/BL_Vars.h"

// Fills info from an answer and sets McuFamily and BootStartOffset. Returns false when the answer's
// length or layout would need a byte past index 63: decoding ends there, earlier fields stay set.
bool DecodeBootInfo(const TBootPacket& answer, TBootInfo& info);
void DescribeTarget(const TBootInfo& info);
// The name after "MCUtype" for a family code, or the code in two hex digits.
std::string FamilyName(uint8_t code);
