#pragma once
// One whole run on a fresh virtual target, without a test framework (the fuzz targets use it too):
// program state reset, virtual clock, the connection pass, FlashTarget and the closing steps.

#include <functional>
#include <string>
#include <vector>

#include "boot/BL_Flash.h"
#include "sim/TVirtualTarget.h"
#include "support/HexWriter.h"

struct TFlashRun {
    bool connected = false;
    TFlashResult result = TFlashResult::None;
    std::vector<std::string> log;  // from the connection pass on, trailing blanks removed
    std::vector<uint8_t> flashBefore, bootBefore, flash, boot;
    std::vector<std::string> violations;
    std::vector<uint8_t> commands;
    int reports = 0;  // reports of the flash run itself

    bool Logged(const std::string& line) const;
};

struct TFlashRunOptions {
    bool disableBootloader = false;
    bool check = true;  // install the virtual target's run check (as --simulate does)
    // Called after the connection pass with the target and the reports it has received so far.
    std::function<void(TVirtualTarget&, int)> arm;
};

TFlashRun RunOnVirtualTarget(const TSimProfile& profile, const std::string& hexPath,
                             const TFlashRunOptions& options = {});

// A test's own encoding of the jump planted at image offset 0, from the instruction sets:
// PIC16 GOTO 0b10_1kkk_kkkk_kkkk (k = word address; from 0x800 up no GOTO reaches, the word keeps
// the form ((k >> 8) | 0x2C) << 8 | (k & 0xFF)), PIC18 GOTO 0xEFkk 0xFkkk (k = byte address / 2),
// PIC24/dsPIC GOTO 0x04kkkk 0x00000k (k = program address, bits 0-15 then 16-22); bytes in image
// order.
std::vector<uint8_t> EncodedBootJump(uint8_t family, uint32_t bootStart);
