#include "sim/TSimProfile.h"

#include <algorithm>
#include <cctype>

#include "boot/BL_Vars.h"

namespace {

// Largest flash a profile may claim through an override; more than any supported chip has.
constexpr uint64_t MaxFlashSize = 0x1000000;

TSimProfile MakeProfile(uint8_t family, uint32_t flashSize, uint16_t eraseBlock, uint16_t writeBlock,
                        uint32_t bootStart, uint16_t revision, const char* name) {
    TSimProfile p;
    p.family = family;
    p.flashSize = flashSize;
    p.eraseBlock = eraseBlock;
    p.writeBlock = writeBlock;
    p.bootStart = bootStart;
    p.revision = revision;
    p.descriptor = std::string("Virtual ") + name;
    p.product = std::string("Virtual ") + name + " bootloader";
    return p;
}

// The decoder's field alignments: 16-bit values and everything else. Codes outside the table keep
// the alignments the decoder had, which is 1 and 1 in a fresh answer.
void FamilyAlignment(uint8_t family, int& align16, int& alignGeneral) {
    switch (family) {
    case FamPic16:
    case FamPic18:
    case FamPic18FJ:
        align16 = 1;
        alignGeneral = 1;
        break;
    case FamPic24:
    case FamDsPic:
        align16 = 2;
        alignGeneral = 2;
        break;
    case FamPic32:
        align16 = 2;
        alignGeneral = 4;
        break;
    default: break;
    }
}

int AlignUp(int pos, int align) { return (pos + align - 1) / align * align; }

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    int base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const int c = std::tolower(static_cast<unsigned char>(text[i]));
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return false;
        }
        if (v > (max - digit) / base) return false;
        v = v * base + digit;
    }
    value = v;
    return true;
}

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

TSimProfile DefaultSimProfile(uint8_t family) {
    switch (family) {
    case FamPic16:
        // 8K words, bootloader in the top 1K words.
        return MakeProfile(FamPic16, 0x4000, 64, 64, 0x1C00, 0x0102, "PIC16");
    case FamPic18FJ:
        // 1 KB pages; the bootloader takes the top 8 KB.
        return MakeProfile(FamPic18FJ, 0x10000, 1024, 64, 0xE000, 0x0105, "PIC18FJ");
    case FamPic24:
        // 32K instructions (3 image bytes each), 512-instruction pages, 64-instruction rows.
        return MakeProfile(FamPic24, 0x18000, 1536, 192, 0xE000, 0x0201, "PIC24");
    case FamDsPic:
        return MakeProfile(FamDsPic, 0x30000, 1536, 192, 0x1E000, 0x0203, "dsPIC");
    case FamPic32:
        // 512 KB program flash, 4 KB pages, 512-byte rows; the bootloader sits in the top 16 KB.
        return MakeProfile(FamPic32, 0x80000, 4096, 512, 0x9D07C000, 0x0300, "PIC32");
    default: {
        TSimProfile p = MakeProfile(FamPic18, 0x10000, 64, 64, 0xF000, 0x0110, "PIC18");
        p.family = family;
        return p;
    }
    }
}

bool SimProfileByName(const std::string& name, TSimProfile& profile) {
    static const struct {
        const char* name;
        uint8_t family;
    } names[] = {{"pic16", FamPic16}, {"pic18", FamPic18}, {"pic18fj", FamPic18FJ},
                 {"pic24", FamPic24}, {"dspic", FamDsPic}, {"pic32", FamPic32}};
    const std::string key = Lower(name);
    for (const auto& n : names) {
        if (key == n.name) {
            profile = DefaultSimProfile(n.family);
            return true;
        }
    }
    return false;
}

std::array<uint8_t, 64> BuildBootInfoAnswer(const TSimProfile& profile) {
    std::array<uint8_t, 64> a{};  // zero padding reads as "unknown tag" and is skipped
    int align16 = 1;
    int alignGeneral = 1;
    int pos = 1;
    // Every field is placed where the host's decoder will look for it, so the two walk in step.
    a[pos++] = 1;
    a[pos++] = profile.family;
    FamilyAlignment(profile.family, align16, alignGeneral);
    pos = AlignUp(pos, alignGeneral);

    auto put32 = [&](uint8_t tag, uint32_t value) {
        a[pos++] = tag;
        pos = AlignUp(pos, alignGeneral);
        for (int i = 0; i < 4; ++i) a[pos + i] = static_cast<uint8_t>(value >> (8 * i));
        pos = AlignUp(pos + 4, alignGeneral);
    };
    auto put16 = [&](uint8_t tag, uint16_t value) {
        a[pos++] = tag;
        pos = AlignUp(pos, align16);
        a[pos] = static_cast<uint8_t>(value);
        a[pos + 1] = static_cast<uint8_t>(value >> 8);
        pos = AlignUp(pos + 2, alignGeneral);
    };
    // At most 4 + 4 * 4 + 8 bytes so far (PIC32 layout ends at 32): always inside the packet.
    put32(8, profile.flashSize);
    put16(3, profile.eraseBlock);
    put16(4, profile.writeBlock);
    put16(5, profile.revision);
    put32(6, profile.bootStart);

    a[pos++] = 7;
    // The decoder reads characters up to index L-2; the byte at L-1 is a terminator it never reads.
    const size_t room = a.size() - 1 - static_cast<size_t>(pos);
    const size_t n = std::min(profile.descriptor.size(), room);
    for (size_t i = 0; i < n; ++i) a[pos++] = static_cast<uint8_t>(profile.descriptor[i]);
    a[pos++] = 0;
    a[0] = static_cast<uint8_t>(pos);
    return a;
}

bool ParseSimNumber(const std::string& text, uint64_t max, uint64_t& value) {
    return ParseNumber(text, max, value);
}

bool ApplySimOverride(TSimProfile& profile, const std::string& key, const std::string& value,
                      std::string& error) {
    const std::string k = Lower(key);
    if (k == "descriptor") {
        profile.descriptor = value;
        return true;
    }
    if (k == "serial") {
        profile.serial = value;
        return true;
    }
    if (k == "manufacturer" || k == "product") {
        (k == "product" ? profile.product : profile.manufacturer) = value;
        return true;
    }
    struct TNumericKey {
        const char* name;
        uint64_t max;
    };
    static const TNumericKey keys[] = {
        {"boot-start", 0xFFFFFFFF}, {"erase-block", 0xFFFF}, {"write-block", 0xFFFF},
        {"flash-size", MaxFlashSize}, {"revision", 0xFFFF},   {"latency-ms", 0xFFFFFFFFu / 1000},
        {"family", 0xFF},           {"vid", 0xFFFF},         {"pid", 0xFFFF},
        {"report-length", 0xFFFF}};
    const TNumericKey* found = nullptr;
    for (const auto& entry : keys)
        if (k == entry.name) found = &entry;
    if (!found) {
        error = "unknown setting \"" + key + "\"";
        return false;
    }
    uint64_t v = 0;
    if (!ParseNumber(value, found->max, v)) {
        error = "bad value \"" + value + "\" for " + k + " (a number up to " + std::to_string(found->max) +
                ", decimal or 0x hex)";
        return false;
    }
    if (k == "boot-start") profile.bootStart = static_cast<uint32_t>(v);
    else if (k == "erase-block") profile.eraseBlock = static_cast<uint16_t>(v);
    else if (k == "write-block") profile.writeBlock = static_cast<uint16_t>(v);
    else if (k == "flash-size") profile.flashSize = static_cast<uint32_t>(v);
    else if (k == "revision") profile.revision = static_cast<uint16_t>(v);
    else if (k == "latency-ms") profile.latencyUs = static_cast<uint32_t>(v * 1000);
    else if (k == "family") profile.family = static_cast<uint8_t>(v);
    else if (k == "vid") profile.vendorId = static_cast<uint16_t>(v);
    else if (k == "pid") profile.productId = static_cast<uint16_t>(v);
    else profile.reportLength = static_cast<uint16_t>(v);
    return true;
}
