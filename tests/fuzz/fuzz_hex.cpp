// ParseHexFile for every family. The first input byte chooses the family and the boot start the
// parser measures the image against; the rest is the HEX file.

#include <cstring>

#include "FuzzSupport.h"
#include "boot/BL_HexParser.h"
#include "boot/BL_Image.h"

namespace {

constexpr uint8_t Families[8] = {FamPic16, FamPic18, FamPic18FJ, FamPic24, FamDsPic, FamPic32, FamNone, 0x42};

// Boot starts in target address units: realistic ones for each family, the edges of the image in
// each unit, and values that wrap or lie far beyond it.
constexpr uint32_t BootStarts[32] = {
    0,        1,         2,          4,          6,          0x10,       0x100,      0x400,
    0x1C00,   0x2000,    0x7000,     0xE000,     0xF000,     0x10000,    0x15554,    0x1E000,
    0x2AAAA,  0x3FFFF,   0x40000,    0x55555,    0x7FFFF,    0x80000,    0x80010,    0x100000,
    0xFFFFFF, 0x1000000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x9D07C000, 0x9D080000, 0x9D000010};

struct TOutcome {
    bool ok = false;
    int64_t eoFlash = 0;
    int64_t eoBoot = 0;
    THexParseStats stats;
    uint64_t hash = 0;
};

uint64_t Hash(const uint8_t* p, size_t n, uint64_t h) {
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

TOutcome Parse(const std::string& path) {
    TOutcome r;
    r.ok = ParseHexFile(path);
    r.eoFlash = EoFlash;
    r.eoBoot = EoBoot;
    r.stats = LastHexParseStats();
    FUZZ_CHECK(EoFlash >= 0 && EoFlash < FlashImageSize);
    FUZZ_CHECK(EoBoot >= 0 && EoBoot < BootImageSize);
    // The end markers really are the ends: nothing was placed behind them.
    const size_t flashTail = size_t(EoFlash) + 1;
    if (std::memcmp(FlashImage.data() + flashTail,
                    fuzz::ErasedImage(McuFamily == FamPic16).data() + flashTail,
                    FlashImageSize - flashTail) != 0)
        FUZZ_FAIL("flash image byte set behind EoFlash");
    const size_t bootTail = size_t(EoBoot) + 1;
    if (std::memcmp(BootImage.data() + bootTail, fuzz::ErasedImage(false).data() + bootTail,
                    BootImageSize - bootTail) != 0)
        FUZZ_FAIL("boot image byte set behind EoBoot");
    if (McuFamily != FamPic32) FUZZ_CHECK(EoBoot == 0 && BootImage[0] == 0xFF);
    r.hash = Hash(FlashImage.data(), size_t(EoFlash) + 1, 0xCBF29CE484222325ull);
    r.hash = Hash(BootImage.data(), size_t(EoBoot) + 1, r.hash);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static TVirtualClock clock;
    static fuzz::TLogSink log;
    static const std::string path = fuzz::ScratchDir() + "input.hex";

    fuzz::StartRun(clock, log);
    McuFamily = Families[data[0] & 7];
    BootInfo.BootStart = BootStarts[data[0] >> 3];
    BootStartOffset = BootInfo.BootStart & 0xFFFFFF;
    FUZZ_CHECK(fuzz::WriteWholeFile(path, data + 1, size - 1));

    const TOutcome first = Parse(path);
    FUZZ_CHECK(first.stats.opened);
    // A refused file always says so in the log.
    if (!first.ok) FUZZ_CHECK(log.Contains("Error parsing hex file."));
    // An accepted file was read to its end record, stored data, and (with no host to say yes) had
    // no record with a wrong checksum.
    if (first.ok) FUZZ_CHECK(first.stats.endRecord && first.stats.dataBytes > 0 && first.stats.checksumErrors == 0);

    // A second FLASH in the same session reads the file again over the images the first one left:
    // the parser must not depend on them.
    const TOutcome second = Parse(path);
    FUZZ_CHECK(second.ok == first.ok);
    FUZZ_CHECK(second.eoFlash == first.eoFlash && second.eoBoot == first.eoBoot);
    FUZZ_CHECK(second.hash == first.hash);
    FUZZ_CHECK(second.stats.lines == first.stats.lines && second.stats.records == first.stats.records);
    FUZZ_CHECK(second.stats.dataBytes == first.stats.dataBytes);
    FUZZ_CHECK(second.stats.checksumErrors == first.stats.checksumErrors);
    return 0;
}
