#include "boot/BL_HexParser.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "boot/HostHooks.h"
#include "boot/Log.h"

namespace {

THexParseStats Stats;

// Value of each character as a hex digit, -1 for the rest: one load per digit instead of three
// range tests, which is most of the parse time of a large file.
constexpr std::array<int8_t, 256> HexDigitTable = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int c = '0'; c <= '9'; ++c) t[size_t(c)] = int8_t(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[size_t(c)] = int8_t(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[size_t(c)] = int8_t(c - 'a' + 10);
    return t;
}();

int HexDigit(char c) { return HexDigitTable[static_cast<unsigned char>(c)]; }

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What is left of the record line; fields are taken from its front.
struct TFieldReader {
    const char* p;
    const char* end;

    // Takes up to width characters as a hexadecimal number. False when no characters are left or
    // one of them is not a hex digit.
    bool Take(int width, uint32_t& value) {
        if (p >= end) return false;
        uint32_t v = 0;
        for (int i = 0; i < width && p < end; ++i, ++p) {
            const int d = HexDigit(*p);
            if (d < 0) return false;
            v = (v << 4) | uint32_t(d);
        }
        value = v;
        return true;
    }
    void Skip(int width) {
        for (int i = 0; i < width && p < end; ++i) ++p;
    }
};

// True when the record's bytes, checksum included, add up to 0 and their number fits the count.
bool ChecksumOk(const char* p, const char* end) {
    while (end > p && (end[-1] == ' ' || end[-1] == '\t')) --end;
    const size_t digits = size_t(end - p);
    if (digits < 10 || digits % 2 != 0) return false;
    unsigned sum = 0;
    size_t n = 0;
    for (const char* q = p; q < end; q += 2, ++n) {
        const int hi = HexDigit(q[0]);
        const int lo = HexDigit(q[1]);
        if (hi < 0 || lo < 0) return false;
        sum += unsigned(hi * 16 + lo);
    }
    const int count = HexDigit(p[0]) * 16 + HexDigit(p[1]);
    return n == size_t(count) + 5 && (sum & 0xFF) == 0;
}

struct TParse {
    int64_t upper = 0;
    bool ok = true;
    bool endSeen = false;
    bool tooBig = false;
    int64_t unsupported = 0;
    int64_t acceptedBelow = 0;  // compared value limit for program flash
    int64_t tooBigBelow = 0;

    void Place(int64_t recordAddress, int64_t i, uint8_t value) {
        const int64_t offset = upper * 65536 + recordAddress + i;
        int64_t compared = 0;
        int64_t store = 0;
        switch (McuFamily) {
        case FamPic16:
        case FamPic24:
        case FamDsPic:
            compared = offset / 2;
            store = offset;
            break;
        case FamPic18:
        case FamPic18FJ:
            compared = offset;
            store = offset;
            break;
        case FamPic32:
            if (upper >= 0x1FC0) {
                store = recordAddress + i;
                if (store >= BootImageSize) {
                    tooBig = true;  // beyond the boot image: never written
                    return;
                }
                BootImage[size_t(store)] = value;
                if (store > EoBoot) EoBoot = store;
                ++Stats.dataBytes;
                return;
            }
            store = (upper & 0xFF) * 65536 + recordAddress + i;
            compared = store;
            break;
        default: return;  // no family: nothing is stored
        }
        if (compared < acceptedBelow) {
            if (store < 0 || store >= FlashImageSize) {
                tooBig = true;  // the boot start lies beyond the image: never written
                return;
            }
            FlashImage[size_t(store)] = value;
            if (store > EoFlash) EoFlash = store;
            ++Stats.dataBytes;
        } else if (compared < tooBigBelow) {
            tooBig = true;
        }
        // Anything higher (configuration words, EEPROM, IDs) is dropped silently.
    }

    void Record(const char* p, const char* end) {
        TFieldReader r{p, end};
        uint32_t count = 0;
        if (!r.Take(2, count)) {
            ok = false;
            return;
        }
        ++Stats.records;
        if (!ChecksumOk(p, end)) ++Stats.checksumErrors;
        uint32_t type = 0;
        if (count == 0) {
            r.Skip(4);
            if (r.Take(2, type) && type == 0x01) endSeen = true;
            return;
        }
        uint32_t address = 0;
        if (!r.Take(4, address) || !r.Take(2, type)) {
            ok = false;
            return;
        }
        switch (type) {
        case 0x00:
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t b = 0;
                if (!r.Take(2, b)) {
                    ok = false;
                    return;
                }
                Place(address, i, uint8_t(b));
            }
            break;
        case 0x01: endSeen = true; break;
        case 0x02:
        case 0x03:
        case 0x05: ++unsupported; break;
        case 0x04: {
            uint32_t u = 0;
            if (!r.Take(4, u)) {
                ok = false;
                return;
            }
            upper = u;
            break;
        }
        default: break;
        }
    }
};

}  // namespace

const THexParseStats& LastHexParseStats() { return Stats; }

bool ParseHexFile(const std::string& path) {
    Stats = THexParseStats{};
    ResetImages();
    LogMessage("Parsing HEX file: " + BaseName(path));
    EoFlash = 0;
    EoBoot = 0;
    TParse st;
    const int64_t vector = BootVectorSize();
    if (McuFamily == FamPic32) {
        st.acceptedBelow = int64_t(BootStartOffset) - 16;
        st.tooBigBelow = int64_t(BootStartOffset) + 256;
    } else {
        st.acceptedBelow = int64_t(BootInfo.BootStart) - ImageOffsetToAddress(vector);
        st.tooBigBelow = int64_t(uint32_t(BootInfo.BootStart + 256u));
    }

    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        LogMessage("Unable to open file " + BaseName(path));
        LogMessage("Error parsing hex file.");
        HostSetProgressPos(0);
        return false;
    }
    Stats.opened = true;
    std::fseek(f, 0, SEEK_END);
    const long length = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    HostSetProgressMax(length > 0 ? length : 0);

    char* line = nullptr;
    size_t capacity = 0;
    int64_t readSoFar = 0;
    bool readError = false;
    while (!st.endSeen && st.ok) {
        const ssize_t n = ::getline(&line, &capacity, f);
        if (n < 0) {
            readError = std::ferror(f) != 0;
            break;
        }
        readSoFar += n;
        ++Stats.lines;
        HostSetProgressPos(readSoFar);
        HostProcessMessages();
        const char* end = line + n;
        if (end > line && end[-1] == '\n') --end;
        if (end > line && end[-1] == '\r') --end;
        if (end == line || line[0] != ':') continue;
        st.Record(line + 1, end);
    }
    std::free(line);
    std::fclose(f);
    if (readError) {
        LogMessage("Read error in file " + BaseName(path));
        st.ok = false;
    }

    if (McuFamily == FamPic24 || McuFamily == FamDsPic) PackPhantomBytes();

    const int64_t limit = AddressToImageOffset(int64_t(BootInfo.BootStart & 0xFFFFFF)) - vector;
    if (st.tooBig || EoFlash > limit) {
        LogMessage("  Image is too big for this PIC and");
        LogMessage("  would overwrite (part of) bootloader!");
        LogMessage("  Programming will be aborted.");
        st.ok = false;
    }
    Stats.tooBig = st.tooBig;
    Stats.unsupported = st.unsupported;
    if (!st.ok) LogMessage("Error parsing hex file.");
    if (st.unsupported != 0) LogMessage(std::to_string(st.unsupported) + " unsupported entries found!");
    if (Stats.checksumErrors != 0) LogMessage(std::to_string(Stats.checksumErrors) + " checksum errors found!");
    HostSetProgressPos(0);
    if (st.ok) {
        if (McuFamily == FamPic32) {
            LogMessage("   EoFlash: Address 0x" + HexStr(uint32_t(uint64_t(EoFlash) | 0x9D000000u), 8));
            LogMessage("   EoBoot : Address 0x" + HexStr(uint32_t(uint64_t(EoBoot) | 0x9FC00000u), 8));
        } else {
            LogMessage("   EoFlash: Address 0x" + HexStr(uint64_t(ImageOffsetToAddress(EoFlash)), 6));
        }
    }
    return st.ok;
}
