#pragma once
// How much program flash the new firmware leaves free below the bootloader, and the boot flag block.

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t MaxFreeBlocks = 65536;

extern int64_t FreeStart;
extern int64_t FreeLimit;
extern int64_t FreeEnd;
extern int64_t BootFlagAddress;
extern int64_t FreeSize;
extern int64_t FreeSizeBytes;
extern int64_t FreeBlockCount;
extern std::vector<int64_t> FreeBlocks;

void ComputeFreeUserFlash();
void ReportFreeUserFlash();
void ResetFreeFlashState();
