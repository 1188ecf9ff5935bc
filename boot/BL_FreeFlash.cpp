#include "boot/BL_FreeFlash.h"

#include <string>

#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "boot/Log.h"

int64_t FreeStart = 0;
int64_t FreeLimit = 0;
int64_t FreeEnd = 0;
int64_t BootFlagAddress = 0;
int64_t FreeSize = 0;
int64_t FreeSizeBytes = 0;
int64_t FreeBlockCount = 0;
std::vector<int64_t> FreeBlocks;

namespace {
int64_t WithPic32Base(int64_t v) {
    if (McuFamily != FamPic32) return v;
    return int64_t(uint64_t(v) | 0x9D000000u);
}
}  // namespace

void ComputeFreeUserFlash() {
    const int64_t b = ImageOffsetToAddress(BootInfo.EraseBlock);
    // A target without a boot start or an erase block leaves nothing that can be computed.
    if (b <= 0 || BootInfo.BootStart == 0) {
        FreeBlockCount = 0;
        return;
    }
    const int64_t e = ImageOffsetToAddress(EoFlash);
    FreeStart = WithPic32Base(RoundUpToBlock(uint32_t(e + 1), uint32_t(b)));
    FreeLimit = WithPic32Base(RoundDownToBlock((BootInfo.BootStart - 1) & 0xFFFFFF, uint32_t(b)));
    const int64_t flagStart = WithPic32Base(FreeLimit - b);
    FreeSize = FreeLimit - FreeStart;
    FreeBlockCount = FreeSize / b;
    if (FreeBlockCount <= 0) return;
    FreeSizeBytes = AddressToImageOffset(FreeSize);
    FreeEnd = FreeLimit - 1;
    BootFlagAddress = flagStart;
    FreeBlocks.clear();
    // The list keeps at most 65,536 block starts; the count and the report still cover them all.
    const int64_t listed = FreeBlockCount < int64_t(MaxFreeBlocks) ? FreeBlockCount : int64_t(MaxFreeBlocks);
    FreeBlocks.reserve(size_t(listed));
    for (int64_t k = 0; k < listed; ++k) FreeBlocks.push_back(FreeStart + k * b);
}

void ReportFreeUserFlash() {
    if (FreeBlockCount <= 0) {
        LogMessage("NO Free User Flash");
        LogMessage("NO Bootflag place");
        return;
    }
    const auto h = [](int64_t v) { return HexStr(uint64_t(v), 8); };
    LogMessage("Free User Flash size         : " + std::to_string(FreeSizeBytes) + " bytes");
    LogMessage("Free User Flash Start Address: 0x" + h(FreeStart));
    LogMessage("Free User Flash End Address  : 0x" + h(FreeEnd));
    LogMessage("BootFlag Address             : 0x" + h(BootFlagAddress));
    LogMessage("Free User Flash (" + std::to_string(FreeBlockCount) + " blocks of " +
               std::to_string(BootInfo.EraseBlock) + " bytes):");
    const int64_t b = ImageOffsetToAddress(BootInfo.EraseBlock);
    const auto entry = [&](int64_t k) { return FreeStart + k * b; };  // also past the listed 65,536
    if (FreeBlockCount <= 5) {
        for (int64_t k = 0; k < FreeBlockCount; ++k) LogMessage("   0x" + h(entry(k)));
    } else {
        LogMessage("   0x" + h(entry(0)));
        LogMessage("   0x" + h(entry(1)));
        LogMessage("   ...");
        LogMessage("   0x" + h(entry(FreeBlockCount - 2)));
        LogMessage("   0x" + h(entry(FreeBlockCount - 1)));
    }
}

void ResetFreeFlashState() {
    FreeStart = FreeLimit = FreeEnd = BootFlagAddress = FreeSize = FreeSizeBytes = FreeBlockCount = 0;
    FreeBlocks.clear();
}
