#pragma once
// The virtual target's check of every run: after a run that would report success, its flash must
// hold exactly what the run should have left, and it must have seen no protocol violation.

#include <cstdint>
#include <string>
#include <vector>

#include "boot/BL_Flash.h"
#include "sim/TSimBackend.h"

// What a run should have left on a target, from the file's data as parsed (before the run moved the
// reset vector and planted its jumps, which are encoded here from the instruction set): below the
// boot start every erase block holds the image, the rest of program flash is as before; PIC32 boot
// flash holds the boot image in the blocks the run erased and is as before above them.
struct TExpectedFlash {
    std::vector<uint8_t> flash;
    std::vector<uint8_t> boot;
};
struct TParsedImage {
    std::vector<uint8_t> flash;  // FlashImage as the parse left it
    std::vector<uint8_t> boot;   // BootImage
    int64_t eoBoot = 0;
};
TExpectedFlash ExpectedFlashAfterRun(const TVirtualTarget& target, const std::vector<uint8_t>& flashBefore,
                                     const std::vector<uint8_t>& bootBefore, const TParsedImage& parsed);

// The findings as log lines: "Virtual target: flash differs at <n> bytes, first at 0x<address>" and
// "Virtual target: <violation>" for each violation the target recorded. Empty: the run is good.
std::vector<std::string> CompareWithTarget(const TVirtualTarget& target, const TExpectedFlash& expected);

// Installed with SetFlashCheck: finds the target that the run talks to (by the open device's path),
// keeps its flash at the start and checks it at the end.
class TVirtualTargetCheck final : public IFlashCheck {
public:
    explicit TVirtualTargetCheck(TSimBackend& backend) : m_backend(backend) {}
    void Begin() override;
    void ImageParsed() override;
    bool End() override;

private:
    TSimBackend& m_backend;
    TVirtualTarget* m_target = nullptr;
    std::vector<uint8_t> m_flash;
    std::vector<uint8_t> m_boot;
    TParsedImage m_parsed;
    bool m_haveImage = false;
};
