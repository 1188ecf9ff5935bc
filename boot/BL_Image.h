#pragma once
// The memory images and the arithmetic that relates image offsets to target addresses.

#include <cstdint>
#include <string>

#include "boot/BL_Vars.h"

int64_t ImageOffsetToAddress(int64_t value);
int64_t AddressToImageOffset(int64_t value);
// Both need a block above 0; callers refuse a block of 0 before they get here.
uint32_t RoundUpToBlock(uint32_t value, uint32_t block);
uint32_t RoundDownToBlock(uint32_t value, uint32_t block);
// Size in image bytes of the reserved vector slot just below the boot start, for McuFamily.
int64_t BootVectorSize();
void ResetImages();
void PackPhantomBytes();

bool IsKnownFamily(uint8_t family);
// Upper-case hexadecimal with at least the given number of digits.
std::string HexStr(uint64_t value, int digits);
