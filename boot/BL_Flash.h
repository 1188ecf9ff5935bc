#pragma once
// The programming sequence: erase, block writer, program image with boot vectors, PIC32 boot image,
// and the whole flash procedure.

#include <array>
#include <cstdint>
#include <string>

#include "boot/BL_Vars.h"

constexpr std::array<uint32_t, 4> Pic32VectorJump = {0x3C1EBFC0, 0x37DE0050, 0x03C00008, 0x70000000};

struct TPic32PatchEntry {
    uint16_t offset;
    uint32_t word;
};
constexpr std::array<TPic32PatchEntry, 4> Pic32BootPatch = {
    {{0x0040, 0x3C1E0000}, {0x0044, 0x37DE0000}, {0x0048, 0x03C00008}, {0x004C, 0x70000000}}};

// How a step ended. A step that fails has logged nothing yet; FlashTarget logs the reason once.
enum class TStepResult { Ok, NoAnswer, WrongAnswer, NotTaken, Refused, Unplugged };

// How a flash procedure ended (for the command-line exit code, the window and the tests).
// FinalCommandFailed: the image was written, but the board did not take the report that ends the
// session or disables the bootloader. TargetDiffers: the run's check (IFlashCheck) found the target
// holding something else than the run should have left, or the target recorded protocol violations.
enum class TFlashResult { None, Flashed, FileRefused, TargetRefused, CommFailed, FinalCommandFailed, TargetDiffers };

// A check of every run against the target itself (the virtual target provides one). Begin runs when
// FlashTarget starts; End runs after the last write of a run that would report success, before
// "Flashing complete.", logs each finding as a line of its own and returns false when there was one:
// the run then ends as a failure, without "Flashing complete." and without a final command.
class IFlashCheck {
public:
    virtual ~IFlashCheck() = default;
    virtual void Begin() = 0;
    // The file's data as parsed, before the run moves the reset vector and plants its jumps.
    virtual void ImageParsed() {}
    virtual bool End() = 0;
};
// nullptr: no check (the default, and after ResetBootState).
void SetFlashCheck(IFlashCheck* check);

TStepResult EraseBlocks(uint32_t count, uint32_t step, uint64_t start);
TStepResult EraseFlash();
// source/sourceSize: FlashImage or BootImage.
TStepResult WriteBlocks(int32_t startOffset, uint16_t blockSize, uint32_t byteCount, uint32_t baseAddress,
                        const uint8_t* source, size_t sourceSize);
TStepResult FlashProgramImage();
TStepResult FlashBootImage();
// Parses fileName and programs the target open in VendorDevice. After a good run the final command
// ends the session, or disables the bootloader when disableBootloader is set. The device stays open:
// the caller runs the closing steps (CloseFlashSession in session/).
TFlashResult FlashTarget(const std::string& fileName, bool disableBootloader);
// The part of FlashTarget after a successful parse: erase, program image, boot image, final command.
TFlashResult FlashParsedImage(bool disableBootloader);
// Wipes the application on purpose: erases and plants the boot vectors as an empty image would, so
// that the board starts its bootloader at reset. The caller runs the closing steps.
TFlashResult EraseTarget();

// Checks that every run of this flash can be carried out with the target's layout and the parsed
// image: no wrapped address or count, no read past an image, no slot outside FlashImage.
// On false, why holds a status line for the log.
bool CheckFlashPlan(std::string& why);
// Checks the boot information of a connected target before boot load mode is entered.
bool ValidateBootInfo(std::string& why);

uint16_t TransferBlockSize();

// PIC32 boot flash: the bytes from offset 0 that a run erases and writes back (whole erase blocks
// below the one that holds EoBoot).
int64_t BootFlashRunLength();

