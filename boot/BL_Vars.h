#pragma once
// Program-wide state of the bootloader protocol, the firmware image and the session.
// One instance each, living for the whole run; ResetBootState() puts this layer back to the state at
// program start (ResetProgramState() in session/ does it for every layer).

#include <array>
#include <cstdint>
#include <string>

constexpr int BootPacketSize = 64;
using TBootPacket = std::array<uint8_t, BootPacketSize>;

constexpr uint8_t CommandMarker = 0x0F;
constexpr uint8_t cmdGetBootInfo = 0x02;
constexpr uint8_t cmdEnterBootMode = 0x03;
constexpr uint8_t cmdEndSession = 0x04;
constexpr uint8_t cmdWrite = 0x0B;
constexpr uint8_t cmdErase = 0x15;
constexpr uint8_t cmdDisableBootloader = 0x17;

// Family codes.
constexpr uint8_t FamPic16 = 1;
constexpr uint8_t FamPic18 = 2;
constexpr uint8_t FamPic18FJ = 3;
constexpr uint8_t FamPic24 = 4;
constexpr uint8_t FamDsPic = 10;
constexpr uint8_t FamPic32 = 20;
constexpr uint8_t FamNone = 255;

constexpr int FlashImageSize = 0x80000;
constexpr int BootImageSize = 0x3000;
constexpr uint32_t Pic32ProgramBase = 0x1D000000;
constexpr uint32_t Pic32BootBase = 0x1FC00000;

struct TBootInfo {
    uint8_t answerLength = 0;
    uint8_t familyMark = 0;
    uint8_t McuType = 0;
    uint8_t flashSizeMark = 0;
    uint32_t McuSize = 0;
    uint8_t eraseBlockMark = 0;
    uint16_t EraseBlock = 0;
    uint8_t writeBlockMark = 0;
    uint16_t WriteBlock = 0;
    uint8_t bootRevisionMark = 0;
    uint16_t BootRevision = 0;
    uint8_t bootStartMark = 0;
    uint32_t BootStart = 0;
    uint8_t descriptorMark = 0;
    std::string Descriptor;  // at most 20 characters
};

// Session (connection monitor).
extern bool BootloaderActive;
extern int32_t FlashPhase;
extern uint8_t McuFamily;
extern int32_t CommErrorCount;
// A transfer failed because the board was unplugged: the run ends at once instead of polling on.
extern bool TargetUnplugged;
// Input reports found waiting when a command that expects an answer went out (an answer sent twice,
// a late one), read and dropped so that an answer always answers its own command.
extern int64_t StaleReportsDropped;

// Protocol.
extern TBootPacket CommandBuffer;
extern TBootInfo BootInfo;
extern uint32_t BootStartOffset;

// Memory images.
extern std::array<uint8_t, FlashImageSize> FlashImage;
extern std::array<uint8_t, BootImageSize> BootImage;
extern int64_t EoFlash;
extern int64_t EoBoot;

void ResetBootState();
