#pragma once
// The five bootloader transactions: packets, pacing, retries and error counting.

#include <cstdint>

#include "boot/BL_Vars.h"

constexpr uint32_t PauseAfterSendMs = 10;
constexpr uint32_t PauseAfterPollMs = 12;
constexpr int MaxPolls = 501;
constexpr uint32_t PauseAfterDataMs = 12;

void BootQuery(uint8_t code, TBootPacket& buffer);
// Sends a command without waiting for an answer; false when no device is selected or the report
// was not taken.
bool BootCommand(uint8_t code, TBootPacket& buffer);
bool BootData(const TBootPacket& report);
bool BootDataAck(const TBootPacket& packet, uint8_t expectedEcho);
bool BootWriteHeader(uint16_t count, uint64_t address);

// The selected slot of the target table, or nullptr when none is selected.
struct THidDevice;
THidDevice* SelectedSlot();
