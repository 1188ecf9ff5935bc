#include "boot/BL_Image.h"

#include <algorithm>
#include <cstring>

namespace {
bool IsPic24Family(uint8_t f) { return f == FamPic24 || f == FamDsPic; }
}  // namespace

bool IsKnownFamily(uint8_t f) {
    return f == FamPic16 || f == FamPic18 || f == FamPic18FJ || f == FamPic24 || f == FamDsPic || f == FamPic32;
}

int64_t ImageOffsetToAddress(int64_t value) {
    if (McuFamily == FamPic16) return value / 2;
    if (IsPic24Family(McuFamily)) return (value * 2) / 3;
    return value;
}

int64_t AddressToImageOffset(int64_t value) {
    if (McuFamily == FamPic16) return value * 2;
    if (IsPic24Family(McuFamily)) return (value * 3) / 2;
    return value;
}

uint32_t RoundUpToBlock(uint32_t value, uint32_t block) {
    const uint32_t r = value % block;
    return r == 0 ? value : value + (block - r);
}

uint32_t RoundDownToBlock(uint32_t value, uint32_t block) { return value - (value % block); }

int64_t BootVectorSize() {
    switch (McuFamily) {
    case FamPic16: return 2;
    case FamPic18:
    case FamPic18FJ: return 4;
    case FamPic24:
    case FamDsPic: return 6;
    case FamPic32: return 16;
    default: return 32;
    }
}

void ResetImages() {
    FlashImage.fill(0xFF);
    BootImage.fill(0xFF);
    if (McuFamily == FamPic16)
        for (size_t i = 1; i < FlashImage.size(); i += 2) FlashImage[i] = 0x3F;
}

void PackPhantomBytes() {
    static std::array<uint8_t, FlashImageSize> scratch;  // one buffer for the whole run
    scratch.fill(0xFF);
    int64_t source = 0;
    int64_t target = 0;
    do {
        // Groups that would reach past the image cannot hold data; stop there.
        if (source + 2 >= FlashImageSize || target + 2 >= FlashImageSize) break;
        scratch[size_t(target)] = FlashImage[size_t(source)];
        scratch[size_t(target + 1)] = FlashImage[size_t(source + 1)];
        scratch[size_t(target + 2)] = FlashImage[size_t(source + 2)];
        target += 3;
        source += 4;
    } while (source <= EoFlash);
    EoFlash = target;
    FlashImage.fill(0xFF);
    const int64_t last = std::min<int64_t>(EoFlash, FlashImageSize - 1);
    std::memcpy(FlashImage.data(), scratch.data(), size_t(last + 1));
}

std::string HexStr(uint64_t value, int digits) {
    static const char* hex = "0123456789ABCDEF";
    std::string s;
    do {
        s.insert(s.begin(), hex[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (int(s.size()) < digits) s.insert(0, size_t(digits - int(s.size())), '0');
    return s;
}
