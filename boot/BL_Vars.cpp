#include "boot/BL_Vars.h"

#include "boot/BL_HexParser.h"

bool BootloaderActive = false;
int32_t FlashPhase = 0;
uint8_t McuFamily = FamNone;
int32_t CommErrorCount = 0;
bool TargetUnplugged = false;
int64_t StaleReportsDropped = 0;

TBootPacket CommandBuffer{};
TBootInfo BootInfo;
uint32_t BootStartOffset = 0;

std::array<uint8_t, FlashImageSize> FlashImage{};
std::array<uint8_t, BootImageSize> BootImage{};
int64_t EoFlash = 0;
int64_t EoBoot = 0;

void ResetBootState() {
    BootloaderActive = false;
    FlashPhase = 0;
    McuFamily = FamNone;
    CommErrorCount = 0;
    TargetUnplugged = false;
    StaleReportsDropped = 0;
    CommandBuffer.fill(0);
    BootInfo = TBootInfo{};
    BootStartOffset = 0;
    FlashImage.fill(0);
    BootImage.fill(0);
    EoFlash = 0;
    EoBoot = 0;
    SetStrictHexIntake(false);
}
