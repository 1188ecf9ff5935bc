#include "support/FlashProperty.h"

#include <algorithm>
#include <cstdio>

#include "boot/BL_Vars.h"
#include "support/FlashRun.h"

namespace {

uint32_t VectorSize(uint8_t family) {
    switch (family) {
    case FamPic16: return 2;
    case FamPic24:
    case FamDsPic: return 6;
    case FamPic32: return 16;
    default: return 4;
    }
}

// Image bytes per instruction unit: a block must hold whole ones.
uint32_t Unit(uint8_t family) {
    return family == FamPic16 ? 2 : (family == FamPic24 || family == FamDsPic) ? 3 : 1;
}

std::string Hex(uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
    return b;
}

std::vector<uint8_t> RandomBytes(const TPick& pick, uint32_t n) {
    std::vector<uint8_t> v(n);
    const uint8_t seed = uint8_t(pick(256));
    const uint8_t step = uint8_t(1 + 2 * pick(128));
    for (uint32_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * step);
    return v;
}

// Random chunks in [0, limit): some anywhere, one at 0 and one ending at limit - 1 now and then.
std::vector<THexChunk> RandomChunks(const TPick& pick, uint32_t limit, bool atLeastOne) {
    std::vector<THexChunk> chunks;
    if (limit == 0) return chunks;
    const uint32_t maxLen = std::min<uint32_t>(limit, 600);
    const uint32_t count = pick(4);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t start = pick(limit);
        const uint32_t len = 1 + pick(std::min(maxLen, limit - start));
        chunks.push_back({start, RandomBytes(pick, len)});
    }
    if (pick(2) == 0 || (atLeastOne && chunks.empty())) {
        chunks.push_back({0, RandomBytes(pick, 1 + pick(maxLen))});
    }
    if (pick(3) == 0) {
        const uint32_t len = 1 + pick(maxLen);
        chunks.push_back({limit - len, RandomBytes(pick, len)});
    }
    // Chunks may overlap; a file that gives one byte two values is refused, so overlaps agree.
    std::vector<int> value(limit, -1);
    for (auto& chunk : chunks)
        for (size_t i = 0; i < chunk.bytes.size(); ++i) {
            int& v = value[chunk.address + i];
            if (v < 0) v = chunk.bytes[i];
            chunk.bytes[i] = uint8_t(v);
        }
    return chunks;
}

void PutLe32(std::vector<uint8_t>& m, size_t at, uint32_t w) {
    for (int i = 0; i < 4; ++i) m[at + size_t(i)] = uint8_t(w >> (8 * i));
}

}  // namespace

std::string TPropertyCase::Describe() const {
    std::string s = "family " + std::to_string(profile.family) + ", boot start " + Hex(profile.bootStart) +
                    ", erase block " + std::to_string(profile.eraseBlock) + ", write block " +
                    std::to_string(profile.writeBlock) + ", flash " + Hex(profile.flashSize) + ", program";
    for (const auto& c : program) s += " " + Hex(c.address) + "+" + std::to_string(c.bytes.size());
    if (!boot.empty()) s += ", boot";
    for (const auto& c : boot) s += " " + Hex(c.address) + "+" + std::to_string(c.bytes.size());
    if (segment != 0) s += ", segment " + Hex(segment);
    if (style.segments) s += ", type 02 records";
    if (!style.lead.empty()) s += ", blank-led records";
    if (twice) s += ", every chunk twice";
    return s;
}

TPropertyCase MakePropertyCase(const TPick& pick) {
    static const uint8_t families[] = {FamPic16, FamPic18, FamPic18FJ, FamPic24, FamDsPic, FamPic32};
    TPropertyCase c;
    const uint8_t family = families[pick(6)];
    c.profile = DefaultSimProfile(family);
    const uint32_t unit = Unit(family);
    uint32_t wb;
    if (family == FamPic32) {
        wb = 4u << pick(10);  // 4 .. 2048: boot flash goes in 256-byte pieces
    } else {
        wb = unit * (1 + pick(256 / unit));
    }
    const uint32_t eb = wb * (1 + pick(std::min<uint32_t>(16, 0xFFFF / wb)));
    const uint32_t v = VectorSize(family);
    const uint32_t vectorRun = (v + wb - 1) / wb * wb;
    // Mostly small flash; now and then up to the largest image (PIC24 and dsPIC: the unpacked file
    // bytes must fit the image too; PIC16: word addresses below 0x10000).
    uint32_t maxOffset = pick(8) == 0 ? 0x80000 : 0x10000;
    if (family == FamPic16) maxOffset = std::min<uint32_t>(maxOffset, 0x1FFFE);
    // The vector slot lies above the jump at address 0 (PIC32 plants none there).
    const uint32_t lowest = std::max(vectorRun, family == FamPic32 ? v + 1 : 2 * v);
    const uint32_t minBlocks = std::max<uint32_t>(1, (lowest + eb - 1) / eb);
    // Every erase packet covers one block; keep the count within the protocol's 16 bits.
    const uint32_t maxBlocks = std::min<uint32_t>(maxOffset / eb, 0xFFFF);
    const uint32_t blocks = minBlocks + (maxBlocks > minBlocks ? pick(maxBlocks - minBlocks + 1) : 0);
    c.bootOffset = blocks * eb;
    switch (family) {
    case FamPic16: c.profile.bootStart = c.bootOffset / 2; break;
    case FamPic24:
    case FamDsPic: c.profile.bootStart = c.bootOffset / 3 * 2; break;
    case FamPic32: c.profile.bootStart = 0x9D000000u + c.bootOffset; break;
    default: c.profile.bootStart = c.bootOffset; break;
    }
    c.profile.eraseBlock = uint16_t(eb);
    c.profile.writeBlock = uint16_t(wb);
    c.profile.flashSize = c.bootOffset + eb * (1 + pick(4));
    c.program = RandomChunks(pick, c.bootOffset - v, true);
    if (family == FamPic32) c.boot = RandomChunks(pick, 0x3000, false);
    static const uint32_t segments[] = {0, 0x80000000u, 0xA0000000u};
    if (family == FamPic32) c.segment = segments[pick(3)];
    // Segment records reach the first MiB of file addresses only (PIC24: two file bytes per PC).
    const uint32_t fileEnd = family == FamPic24 || family == FamDsPic ? c.bootOffset / 3 * 4 : c.bootOffset;
    c.style.segments = family != FamPic32 && fileEnd <= 0x100000 && pick(2) == 0;
    if (pick(3) == 0) c.style.lead = pick(2) ? " " : "\t ";
    c.twice = pick(4) == 0;
    return c;
}

std::string PropertyHex(const TPropertyCase& c) {
    const uint8_t family = c.profile.family;
    std::vector<THexChunk> file;
    for (const auto& chunk : c.program) {
        if (family == FamPic24 || family == FamDsPic) {
            // Four file bytes per instruction, the fourth (phantom) byte left out: one run per word.
            for (size_t i = 0; i < chunk.bytes.size();) {
                const uint32_t o = chunk.address + uint32_t(i);
                const uint32_t word = o / 3;
                THexChunk piece{word * 4 + o % 3, {}};
                while (i < chunk.bytes.size() && (chunk.address + i) / 3 == word) piece.bytes.push_back(chunk.bytes[i++]);
                file.push_back(piece);
            }
        } else if (family == FamPic32) {
            file.push_back({c.segment + 0x1D000000u + chunk.address, chunk.bytes});
        } else {
            file.push_back(chunk);
        }
    }
    for (const auto& chunk : c.boot) file.push_back({c.segment + 0x1FC00000u + chunk.address, chunk.bytes});
    // The same data given again, in other records: no contradiction.
    if (c.twice) {
        const std::vector<THexChunk> again = file;
        file.insert(file.end(), again.begin(), again.end());
    }
    return MakeHex(file, 16, c.style);
}

void ExpectedFlash(const TPropertyCase& c, const std::vector<uint8_t>& flashBefore,
                   const std::vector<uint8_t>& bootBefore, std::vector<uint8_t>& flash,
                   std::vector<uint8_t>& boot) {
    const uint8_t family = c.profile.family;
    const uint32_t b = c.profile.bootStart;
    const uint32_t v = VectorSize(family);
    flash = flashBefore;
    // Everything below the boot start is erased (PIC16: 14-bit words, high byte 0x3F) and rewritten.
    std::vector<uint8_t> image(c.bootOffset, 0xFF);
    for (const auto& chunk : c.program)
        std::copy(chunk.bytes.begin(), chunk.bytes.end(), image.begin() + chunk.address);
    uint8_t* slot = image.data() + c.bootOffset - v;
    if (family == FamPic32) {
        const uint32_t words[] = {0x3C1EBFC0, 0x37DE0050, 0x03C00008, 0x70000000};  // to 0xBFC00050
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 4; ++k) slot[4 * i + k] = uint8_t(words[i] >> (8 * k));
    } else {
        // The user's first instruction moves to the slot below the boot start.
        const uint32_t kept = family == FamPic24 || family == FamDsPic ? 3 : v;
        std::copy(image.begin(), image.begin() + kept, slot);
        std::fill(slot + kept, slot + v, 0);
        const auto jump = EncodedBootJump(family, b);
        std::copy(jump.begin(), jump.end(), image.begin());
    }
    for (uint32_t o = 0; o < c.bootOffset; ++o)
        flash[o] = family == FamPic16 && (o & 1) ? image[o] & 0x3F : image[o];

    boot = bootBefore;
    if (family != FamPic32) return;
    std::vector<uint8_t> bootImage(0x3000, 0xFF);
    int64_t last = -1;
    for (const auto& chunk : c.boot) {
        std::copy(chunk.bytes.begin(), chunk.bytes.end(), bootImage.begin() + chunk.address);
        last = std::max<int64_t>(last, int64_t(chunk.address + chunk.bytes.size()) - 1);
    }
    // At 0x40: lui $30, upper half; ori $30, $30, lower half; jr $30; and the delay slot.
    PutLe32(bootImage, 0x40, (0x0Fu << 26) | (30u << 16) | (b >> 16));
    PutLe32(bootImage, 0x44, (0x0Du << 26) | (30u << 21) | (30u << 16) | (b & 0xFFFF));
    PutLe32(bootImage, 0x48, (30u << 21) | 0x08);
    PutLe32(bootImage, 0x4C, 0x70000000);
    // Whole erase blocks below the one that holds the last boot byte are erased and written back.
    const int64_t run = last < 0 ? 0 : last / c.profile.eraseBlock * c.profile.eraseBlock;
    std::copy(bootImage.begin(), bootImage.begin() + run, boot.begin());
}

std::string CheckPropertyCase(const TPropertyCase& c, const std::string& folder) {
    const std::string path = folder + "property.hex";
    const std::string text = PropertyHex(c);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return "cannot write " + path;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written) return "cannot write " + path;

    const TFlashRun run = RunOnVirtualTarget(c.profile, path);
    if (!run.connected) return "not connected: " + (run.log.empty() ? std::string() : run.log.back());
    if (run.result != TFlashResult::Flashed) {
        std::string why = "run did not succeed (result " + std::to_string(int(run.result)) + ")";
        for (const auto& l : run.log) why += "\n  " + l;
        return why;
    }
    std::vector<uint8_t> flash, boot;
    ExpectedFlash(c, run.flashBefore, run.bootBefore, flash, boot);
    for (size_t o = 0; o < flash.size(); ++o)
        if (run.flash[o] != flash[o])
            return "program flash differs at image offset " + Hex(o) + ": " + Hex(run.flash[o]) + " instead of " +
                   Hex(flash[o]);
    for (size_t o = 0; o < boot.size(); ++o)
        if (run.boot[o] != boot[o])
            return "boot flash differs at offset " + Hex(o) + ": " + Hex(run.boot[o]) + " instead of " + Hex(boot[o]);
    if (!run.violations.empty()) return "violation: " + run.violations.front();
    return "";
}
