#include "sim/TFlashCheck.h"

#include <algorithm>

#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "boot/Log.h"
#include "usb/Hid.h"

TExpectedFlash ExpectedFlashAfterRun(const TVirtualTarget& target, const std::vector<uint8_t>& flashBefore,
                                     const std::vector<uint8_t>& bootBefore) {
    TExpectedFlash e{flashBefore, bootBefore};
    // The connection pass refuses a boot start off an erase block boundary, so the erase covers
    // exactly the image offsets below it.
    const size_t erased = std::min<size_t>({target.BootStartImageOffset(), e.flash.size(), FlashImage.size()});
    for (size_t o = 0; o < erased; ++o) e.flash[o] = FlashImage[o] & target.ErasedByte(uint32_t(o));
    if (target.Profile().family == FamPic32) {
        const int64_t block = target.Profile().eraseBlock;
        const int64_t run = block > 0 && EoBoot >= 0 ? EoBoot / block * block : 0;
        const size_t n = std::min<size_t>({size_t(run), e.boot.size(), BootImage.size()});
        std::copy(BootImage.begin(), BootImage.begin() + long(n), e.boot.begin());
    }
    return e;
}

std::vector<std::string> CompareWithTarget(const TVirtualTarget& target, const TExpectedFlash& expected) {
    std::vector<std::string> lines;
    const bool pic32 = target.Profile().family == FamPic32;
    size_t differ = 0;
    uint64_t first = 0;
    const auto compare = [&](const std::vector<uint8_t>& have, const std::vector<uint8_t>& want, bool boot) {
        for (size_t o = 0; o < have.size() && o < want.size(); ++o) {
            if (have[o] == want[o]) continue;
            if (differ++ == 0) {
                if (boot) first = uint64_t(Pic32BootBase) + o;
                else if (pic32) first = uint64_t(Pic32ProgramBase) + o;
                else first = uint64_t(std::max<int64_t>(0, ImageOffsetToAddress(int64_t(o))));
            }
        }
        differ += std::max(have.size(), want.size()) - std::min(have.size(), want.size());
    };
    compare(target.Flash(), expected.flash, false);
    compare(target.BootFlash(), expected.boot, true);
    if (differ > 0)
        lines.push_back("Virtual target: flash differs at " + std::to_string(differ) + " bytes, first at 0x" +
                        HexStr(first, 8));
    for (const std::string& v : target.Violations()) lines.push_back("Virtual target: " + v);
    return lines;
}

void TVirtualTargetCheck::Begin() {
    m_target = nullptr;
    for (size_t i = 0; i < m_backend.TargetCount(); ++i) {
        TVirtualTarget& t = m_backend.Target(i);
        if (t.Plugged() && m_backend.PathOf(i) == CurrentDevice.path) m_target = &t;
    }
    if (m_target == nullptr) return;
    m_flash = m_target->Flash();
    m_boot = m_target->BootFlash();
}

bool TVirtualTargetCheck::End() {
    if (m_target == nullptr) {
        LogMessage(" Virtual target: the run's target is not a virtual one, nothing checked");
        return false;
    }
    const auto lines = CompareWithTarget(*m_target, ExpectedFlashAfterRun(*m_target, m_flash, m_boot));
    // Detail lines (leading blank): shown whole, not cut to the status column.
    for (const auto& l : lines) LogMessage(" " + l);
    return lines.empty();
}
