#include "boot/BL_Flash.h"

#include <algorithm>

#include "boot/BL_Command.h"
#include "boot/BL_FreeFlash.h"
#include "boot/BL_HexParser.h"
#include "boot/BL_Image.h"
#include "boot/Clock.h"
#include "boot/HostHooks.h"
#include "boot/Log.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

namespace {

IFlashCheck* RunCheck = nullptr;

// Why an acknowledged packet came back false.
TStepResult AckFailure() {
    if (TargetUnplugged) return TStepResult::Unplugged;
    if (CommErrorCount > 0) return TStepResult::NoAnswer;
    if (SelectedDevice == -1) return TStepResult::NotTaken;
    return TStepResult::WrongAnswer;
}

// The boot start that the vector slot and the image writes are measured from.
uint32_t BootStartUsed() { return McuFamily == FamPic32 ? BootStartOffset : BootInfo.BootStart; }
uint32_t FamilyBase() { return McuFamily == FamPic32 ? Pic32ProgramBase : 0; }

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

int64_t CeilDiv(int64_t a, int64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

int64_t TransferBlockSize64() {
    const int64_t wb = BootInfo.WriteBlock;
    const int64_t eb = BootInfo.EraseBlock;
    if (wb <= 0) return 0;
    const int64_t m = std::min<int64_t>(std::max<int64_t>(256, wb), eb);
    return m % wb == 0 ? m : m + (wb - m % wb);
}

// Layout checks that depend only on the target's boot information.
bool CheckLayout(std::string& why) {
    if (!IsKnownFamily(McuFamily)) return true;  // nothing is erased or written for it
    if (BootInfo.EraseBlock == 0) {
        why = "Target reports an erase block of 0 !";
        return false;
    }
    if (BootInfo.WriteBlock == 0) {
        why = "Target reports a write block of 0 !";
        return false;
    }
    const int64_t e = ImageOffsetToAddress(BootInfo.EraseBlock);
    if (e < 1 || e > 0xFFFF) {
        why = "Erase block does not fit the protocol !";
        return false;
    }
    // A block must hold whole instructions (PIC16: 2 image bytes, PIC24 and dsPIC: 3), or its
    // address in the packets is not where its bytes go.
    const int unit = McuFamily == FamPic16 ? 2 : (McuFamily == FamPic24 || McuFamily == FamDsPic) ? 3 : 1;
    if (BootInfo.EraseBlock % unit != 0 || BootInfo.WriteBlock % unit != 0) {
        why = "Target's blocks are not whole instructions !";
        return false;
    }
    // Every erased block is written back whole: a write block straddling an erase block would
    // write into flash that was not erased.
    if (BootInfo.EraseBlock % BootInfo.WriteBlock != 0) {
        why = "Erase block is not whole write blocks !";
        return false;
    }
    if (BootInfo.flashSizeMark == 8 &&
        (BootInfo.EraseBlock > BootInfo.McuSize || BootInfo.WriteBlock > BootInfo.McuSize)) {
        why = "Target's blocks are larger than its flash !";
        return false;
    }
    if ((BootInfo.BootStart & 0xFFFFFF) == 0) {
        why = "Target reports a boot start of 0 !";
        return false;
    }
    const int64_t bootOffset = AddressToImageOffset(BootStartUsed());
    if (bootOffset > FlashImageSize || (BootInfo.flashSizeMark == 8 && bootOffset > int64_t(BootInfo.McuSize))) {
        why = "Boot start lies beyond the flash !";
        return false;
    }
    // The erase stops at the last whole block below the boot start and the vector run ends at the
    // boot start: both only meet the bootloader exactly when it starts on an erase block boundary
    // (and so on a write block boundary).
    if (bootOffset % BootInfo.EraseBlock != 0) {
        why = "Boot start is not on an erase block boundary !";
        return false;
    }
    const int64_t vectorRun = CeilDiv(BootVectorSize(), BootInfo.WriteBlock) * BootInfo.WriteBlock;
    // The slot that takes the user's first instruction must lie above the jump planted at address 0
    // (PIC32 plants none there).
    const int64_t jump = McuFamily == FamPic32 ? 0 : BootVectorSize();
    if (bootOffset - BootVectorSize() < jump || bootOffset - vectorRun < 0) {
        why = "Boot start too low for the boot vector !";
        return false;
    }
    if (McuFamily == FamPic16 && BootInfo.BootStart >= 0x10000) {
        why = "Boot start out of range for a PIC16 !";
        return false;
    }
    const int64_t n = int64_t(BootStartUsed() & (McuFamily == FamPic32 ? 0xFFFFFFu : 0xFFFFFFFFu)) / e;
    if (n > 0xFFFF) {
        why = "Too many erase blocks for the protocol !";
        return false;
    }
    if (TransferBlockSize64() > 0xFFFF) {
        why = "Write block does not fit the protocol !";
        return false;
    }
    return true;
}

}  // namespace

uint16_t TransferBlockSize() { return uint16_t(TransferBlockSize64()); }

void SetFlashCheck(IFlashCheck* check) { RunCheck = check; }

int64_t BootFlashRunLength() {
    const int64_t e = BootInfo.EraseBlock;
    if (e < 1 || EoBoot < 0) return 0;
    return EoBoot / e * e;
}

bool ValidateBootInfo(std::string& why) { return CheckLayout(why); }

bool CheckFlashPlan(std::string& why) {
    if (!CheckLayout(why)) return false;
    if (!IsKnownFamily(McuFamily)) return true;
    const int64_t wb = BootInfo.WriteBlock;
    const int64_t programRun = CeilDiv(EoFlash + 1, wb) * wb;
    if (EoFlash < 0 || programRun > FlashImageSize) {
        why = "Image run would read past the flash image !";
        return false;
    }
    if (McuFamily == FamPic32) {
        const int64_t e = BootInfo.EraseBlock;
        if ((EoBoot / e) > 0xFFFF) {
            why = "Too many boot erase blocks for the protocol !";
            return false;
        }
        const int64_t bootRun = BootFlashRunLength();
        if (bootRun > 0 && CeilDiv(bootRun, wb) * wb > BootImageSize) {
            why = "Boot run would read past the boot image !";
            return false;
        }
    }
    return true;
}

TStepResult EraseBlocks(uint32_t count, uint32_t step, uint64_t start) {
    if (count > 0xFFFF || step == 0 || step > 0xFFFF) return TStepResult::Refused;
    HostSetProgressMax(count);
    CommandBuffer.fill(0);
    CommandBuffer[0] = CommandMarker;
    CommandBuffer[1] = cmdErase;
    CommandBuffer[6] = 1;
    CommandBuffer[7] = 0;
    uint64_t address = start;
    for (uint32_t k = 0; k < count; ++k) {
        PutLe32(&CommandBuffer[2], uint32_t(address));
        HostFlashCommand(cmdErase, uint32_t(address), BootInfo.EraseBlock);
        // After the first missing or wrong answer nothing more is sent: the flash state is unknown.
        if (!BootDataAck(CommandBuffer, cmdErase)) return AckFailure();
        address += step;
        HostSetProgressPos(k);
        HostProcessMessages();
    }
    return TStepResult::Ok;
}

TStepResult EraseFlash() {
    LogMessage("Erasing flash memory.");
    TStepResult r = TStepResult::Ok;
    switch (McuFamily) {
    case FamPic16:
    case FamPic18:
    case FamPic18FJ:
    case FamPic24:
    case FamDsPic: {
        const int64_t e = ImageOffsetToAddress(BootInfo.EraseBlock);
        if (e < 1 || e > 0xFFFF) return TStepResult::Refused;
        const int64_t n = int64_t(BootInfo.BootStart) / e;
        if (n > 0xFFFF) return TStepResult::Refused;
        r = EraseBlocks(uint32_t(n), uint32_t(e), 0);
        if (r != TStepResult::Ok) break;
        Pause(100);
        break;
    }
    case FamPic32: {
        const int64_t e = BootInfo.EraseBlock;
        if (e < 1) return TStepResult::Refused;
        const int64_t n = int64_t(BootStartOffset) / e;
        const int64_t m = int64_t(RoundDownToBlock(uint32_t(EoBoot), uint32_t(e))) / e;
        if (n > 0xFFFF || m > 0xFFFF) return TStepResult::Refused;
        r = EraseBlocks(uint32_t(n), uint32_t(e), Pic32ProgramBase);
        if (r != TStepResult::Ok) break;
        Pause(100);
        LogMessage("Erasing boot memory.");
        r = EraseBlocks(uint32_t(m), uint32_t(e), Pic32BootBase);
        if (r != TStepResult::Ok) break;
        Pause(100);
        break;
    }
    default: break;
    }
    HostSetProgressPos(0);
    return r;
}

TStepResult WriteBlocks(int32_t startOffset, uint16_t blockSize, uint32_t byteCount, uint32_t baseAddress,
                        const uint8_t* source, size_t sourceSize) {
    uint16_t blocksDone = 0;
    if (blockSize == 0 || BootInfo.WriteBlock == 0) return TStepResult::Refused;
    HostSetProgressMax(int64_t(byteCount / blockSize) + 1);
    const uint64_t wb = BootInfo.WriteBlock;
    uint64_t remaining = byteCount % wb == 0 ? byteCount : byteCount + (wb - byteCount % wb);
    if (remaining == 0) return TStepResult::Ok;
    // The whole run, once extended to write blocks, must lie inside the source image and its
    // addresses must fit in 32 bits; otherwise nothing of it is sent.
    if (startOffset < 0 || uint64_t(startOffset) + remaining > sourceSize) return TStepResult::Refused;
    if (uint64_t(ImageOffsetToAddress(int64_t(startOffset) + int64_t(remaining))) + baseAddress > 0xFFFFFFFFull)
        return TStepResult::Refused;
    uint64_t offset = uint64_t(startOffset);
    TBootPacket packet;
    while (remaining > 0) {
        // A write header without its data reports would be taken as data by the bootloader.
        if (CommErrorCount > 0) return AckFailure();
        uint32_t blockLeft = uint32_t(blockSize < remaining ? blockSize : remaining);
        const uint64_t address = uint64_t(ImageOffsetToAddress(int64_t(offset))) + baseAddress;
        HostFlashCommand(cmdWrite, uint32_t(address), blockLeft);
        if (!BootWriteHeader(uint16_t(blockLeft), address))
            return TargetUnplugged ? TStepResult::Unplugged : TStepResult::NotTaken;
        while (blockLeft > 0) {
            const uint32_t chunk = blockLeft > 64 ? 64 : blockLeft;
            packet.fill(0xFF);
            for (uint32_t k = 0; k < chunk; ++k) {
                packet[k] = source[offset];
                ++offset;
                --blockLeft;
                --remaining;
            }
            if (blockLeft > 0) {
                if (!BootData(packet)) return AckFailure();
            } else if (!BootDataAck(packet, cmdWrite)) {
                return AckFailure();
            }
        }
        ++blocksDone;
        HostSetProgressPos(blocksDone);
        HostProcessMessages();
    }
    return TStepResult::Ok;
}

TStepResult FlashProgramImage() {
    LogMessage("Flashing program image.");
    if (!IsKnownFamily(McuFamily)) {
        HostSetProgressPos(0);
        return TStepResult::Ok;
    }
    const uint32_t b = BootInfo.BootStart;
    const int64_t v = BootVectorSize();
    const int64_t bootOffset = AddressToImageOffset(BootStartUsed());
    const int64_t slot = bootOffset - v;
    if (slot < 0 || bootOffset > FlashImageSize || BootInfo.WriteBlock == 0) return TStepResult::Refused;
    uint8_t* img = FlashImage.data();
    uint8_t* s = img + slot;
    switch (McuFamily) {
    case FamPic16:
        if (b >= 0x10000) return TStepResult::Refused;
        s[0] = img[0];
        s[1] = img[1];
        img[0] = uint8_t(b & 0xFF);
        // GOTO carries 11 address bits: below 0x800 it reaches the boot start itself. Above, no
        // single word does; the bootloader there guards its own reset, so the word stays as it was.
        img[1] = b < 0x800 ? uint8_t(0x28 | (b >> 8)) : uint8_t((b >> 8) | 0x2C);
        break;
    case FamPic18:
    case FamPic18FJ: {
        std::copy(img, img + 4, s);
        const uint32_t w = b >> 1;
        img[0] = uint8_t(w & 0xFF);
        img[1] = 0xEF;
        img[2] = uint8_t((w >> 8) & 0xFF);
        img[3] = uint8_t(((w >> 16) & 0x0F) | 0xF0);
        break;
    }
    case FamPic24:
    case FamDsPic:
        std::copy(img, img + 3, s);
        s[3] = s[4] = s[5] = 0;
        img[0] = uint8_t(b & 0xFF);
        img[1] = uint8_t((b >> 8) & 0xFF);
        img[2] = 0x04;
        // Second word of the GOTO: address bits 16 to 22.
        img[3] = uint8_t((b >> 16) & 0x7F);
        img[4] = img[5] = 0;
        break;
    case FamPic32:
        for (size_t i = 0; i < Pic32VectorJump.size(); ++i) PutLe32(s + 4 * i, Pic32VectorJump[i]);
        break;
    default: break;
    }
    TStepResult r = WriteBlocks(0, TransferBlockSize(), uint32_t(EoFlash + 1), FamilyBase(), img, FlashImageSize);
    if (r != TStepResult::Ok) return r;
    if (McuFamily == FamPic32) LogMessage("Flashing boot vectors.");
    const int64_t wb = BootInfo.WriteBlock;
    const int64_t n = CeilDiv(v, wb);
    const int64_t runStart = bootOffset - n * wb;
    if (runStart < 0) return TStepResult::Refused;
    r = WriteBlocks(int32_t(runStart), uint16_t(wb), uint32_t(n * wb), FamilyBase(), img, FlashImageSize);
    if (r != TStepResult::Ok) return r;
    HostSetProgressPos(0);
    return TStepResult::Ok;
}

TStepResult FlashBootImage() {
    const uint32_t bs = BootInfo.BootStart;
    uint8_t* p = BootImage.data();
    PutLe32(p + 0x40, 0x3C1E0000u | (bs >> 16));
    PutLe32(p + 0x44, 0x37DE0000u | (bs & 0xFFFF));
    PutLe32(p + 0x48, Pic32BootPatch[2].word);
    PutLe32(p + 0x4C, Pic32BootPatch[3].word);
    LogMessage("Flashing boot image.");
    // The erase block that holds EoBoot (it may hold configuration words) is neither erased nor
    // written; the run writes back exactly the blocks the erase cleared. The parse named the file's
    // bytes that this leaves out.
    const int64_t count = BootFlashRunLength();
    TStepResult r = TStepResult::Ok;
    // Little or no boot-flash data: the run is empty, which is not an error.
    if (count > 0) r = WriteBlocks(0, 256, uint32_t(count), Pic32BootBase, p, BootImageSize);
    HostSetProgressPos(0);
    return r;
}

namespace {
std::string FailureLine(TStepResult r) {
    switch (r) {
    case TStepResult::NoAnswer: return "Flashing failed: no answer from target!";
    case TStepResult::WrongAnswer: return "Flashing failed: wrong answer from target!";
    case TStepResult::NotTaken: return "Flashing failed: target takes no data!";
    case TStepResult::Refused: return "Flashing refused: run outside the image!";
    case TStepResult::Unplugged: return "Flashing failed: target unplugged!";
    case TStepResult::Ok: break;
    }
    return "";
}
}  // namespace

TFlashResult FlashTarget(const std::string& fileName, bool disableBootloader) {
    FlashPhase = 100;
    if (RunCheck) RunCheck->Begin();
    if (!ParseHexFile(fileName)) return TFlashResult::FileRefused;
    if (RunCheck) RunCheck->ImageParsed();
    return FlashParsedImage(disableBootloader);
}

TFlashResult EraseTarget() {
    FlashPhase = 100;
    if (RunCheck) RunCheck->Begin();
    ResetImages();
    EoFlash = 0;
    EoBoot = 0;
    if (McuFamily == FamPic24 || McuFamily == FamDsPic) PackPhantomBytes();
    if (RunCheck) RunCheck->ImageParsed();
    LogMessage("Erasing the application: no image is written.");
    return FlashParsedImage(false);
}

TFlashResult FlashParsedImage(bool disableBootloader) {
    FlashPhase = 100;
    std::string why;
    if (!CheckFlashPlan(why)) {
        LogMessage(why);
        LogMessage("Programming aborted, nothing was sent.");
        return TFlashResult::TargetRefused;
    }
    TStepResult r = EraseFlash();
    if (r == TStepResult::Ok) r = FlashProgramImage();
    if (r == TStepResult::Ok && McuFamily == FamPic32) r = FlashBootImage();
    if (r != TStepResult::Ok) {
        // No closing command after a failure: the target stays in its bootloader with a
        // half-written image, ready for another try after a reset.
        HostSetProgressPos(0);
        LogMessage(FailureLine(r));
        return r == TStepResult::Refused ? TFlashResult::TargetRefused : TFlashResult::CommFailed;
    }
    // A check that finds the target holding something else: no "Flashing complete.", and no final
    // command, as after any other failure.
    if (RunCheck && !RunCheck->End()) {
        HostSetProgressPos(0);
        return TFlashResult::TargetDiffers;
    }
    LogMessage("Flashing complete.");
    ComputeFreeUserFlash();
    ReportFreeUserFlash();
    // The image is on the board, but a bootloader that did not take its last command still runs
    // (or is still enabled) when the user expects the firmware: that is no success.
    if (disableBootloader) {
        const bool taken = BootCommand(cmdDisableBootloader, CommandBuffer);
        LogMessage("Disabling boot loader...");
        if (!taken) {
            LogMessage("Disabling failed: target takes no data!");
            return TFlashResult::FinalCommandFailed;
        }
    } else if (!BootCommand(cmdEndSession, CommandBuffer)) {
        LogMessage("Ending session failed: target takes no data!");
        return TFlashResult::FinalCommandFailed;
    }
    return TFlashResult::Flashed;
}
