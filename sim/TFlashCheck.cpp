#include "sim/TFlashCheck.h"

#include <algorithm>

#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "boot/Log.h"
#include "usb/Hid.h"

namespace {

void PutLe(std::vector<uint8_t>& m, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes && at + size_t(i) < m.size(); ++i) m[at + size_t(i)] = uint8_t(value >> (8 * i));
}

// MIPS: lui $30, hi; ori $30, $30, lo; jr $30; and the word the bootloader expects in the delay slot.
void PutMipsJump(std::vector<uint8_t>& m, size_t at, uint32_t target) {
    constexpr uint32_t k1 = 30;
    PutLe(m, at, (0x0Fu << 26) | (k1 << 16) | (target >> 16), 4);
    PutLe(m, at + 4, (0x0Du << 26) | (k1 << 21) | (k1 << 16) | (target & 0xFFFF), 4);
    PutLe(m, at + 8, (k1 << 21) | 0x08, 4);
    PutLe(m, at + 12, 0x70000000, 4);
}

// The run's own changes to the program image: the user's first instruction moved to the slot below
// the boot start, and a jump to the bootloader at address 0.
void PlantVectors(std::vector<uint8_t>& img, uint8_t family, uint32_t bootStart, size_t bootOffset) {
    const auto move = [&](size_t size, size_t kept) {
        if (bootOffset < size || img.size() < bootOffset) return;
        const std::vector<uint8_t> first(img.begin(), img.begin() + long(size));
        for (size_t i = 0; i < size; ++i) img[bootOffset - size + i] = i < kept ? first[i] : 0;
    };
    switch (family) {
    case FamPic16:
        move(2, 2);
        // GOTO k (10 1kkk kkkk kkkk) reaches the first 2K words; above, the bootloader guards its
        // own reset and the word carries its high address bits.
        PutLe(img, 0, bootStart < 0x800 ? 0x2800u | bootStart : ((bootStart >> 8) | 0x2C) << 8 | (bootStart & 0xFF), 2);
        break;
    case FamPic18:
    case FamPic18FJ:
        move(4, 4);
        // GOTO k: 1110 1111 k7..k0, 1111 k19..k8, k the word address.
        PutLe(img, 0, 0xEF00u | ((bootStart / 2) & 0xFF), 2);
        PutLe(img, 2, 0xF000u | ((bootStart / 2 >> 8) & 0xFFF), 2);
        break;
    case FamPic24:
    case FamDsPic:
        move(6, 3);
        // GOTO: 0x04 with address bits 15..1, then a word with bits 22..16.
        PutLe(img, 0, 0x040000u | (bootStart & 0xFFFE), 3);
        PutLe(img, 3, (bootStart >> 16) & 0x7F, 3);
        break;
    case FamPic32:
        if (bootOffset >= 16) PutMipsJump(img, bootOffset - 16, 0xBFC00050);
        break;
    default: break;
    }
}

}  // namespace

TExpectedFlash ExpectedFlashAfterRun(const TVirtualTarget& target, const std::vector<uint8_t>& flashBefore,
                                     const std::vector<uint8_t>& bootBefore, const TParsedImage& parsed) {
    TExpectedFlash e{flashBefore, bootBefore};
    const TSimProfile& p = target.Profile();
    std::vector<uint8_t> image = parsed.flash;
    PlantVectors(image, p.family, p.bootStart, target.BootStartImageOffset());
    // The connection pass refuses a boot start off an erase block boundary, so the erase covers
    // exactly the image offsets below it.
    const size_t erased = std::min<size_t>({target.BootStartImageOffset(), e.flash.size(), image.size()});
    for (size_t o = 0; o < erased; ++o) e.flash[o] = image[o] & target.ErasedByte(uint32_t(o));
    if (p.family == FamPic32) {
        std::vector<uint8_t> boot = parsed.boot;
        PutMipsJump(boot, 0x40, p.bootStart);
        const int64_t block = p.eraseBlock;
        const int64_t run = block > 0 && parsed.eoBoot >= 0 ? parsed.eoBoot / block * block : 0;
        const size_t n = std::min<size_t>({size_t(run), e.boot.size(), boot.size()});
        std::copy(boot.begin(), boot.begin() + long(n), e.boot.begin());
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
    m_haveImage = false;
    if (m_target == nullptr) return;
    m_flash = m_target->Flash();
    m_boot = m_target->BootFlash();
}

void TVirtualTargetCheck::ImageParsed() {
    m_parsed.flash.assign(FlashImage.begin(), FlashImage.end());
    m_parsed.boot.assign(BootImage.begin(), BootImage.end());
    m_parsed.eoBoot = EoBoot;
    m_haveImage = true;
}

bool TVirtualTargetCheck::End() {
    if (m_target == nullptr || !m_haveImage) {
        LogMessage(m_target == nullptr ? " Virtual target: the run's target is not a virtual one, nothing checked"
                                       : " Virtual target: the run's image was never seen, nothing checked");
        return false;
    }
    const auto lines = CompareWithTarget(*m_target, ExpectedFlashAfterRun(*m_target, m_flash, m_boot, m_parsed));
    // Detail lines (leading blank): shown whole, not cut to the status column.
    for (const auto& l : lines) LogMessage(" " + l);
    return lines.empty();
}
