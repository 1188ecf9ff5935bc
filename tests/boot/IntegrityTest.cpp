// What the board holds after a run is what the run says: the property over random layouts and
// images, and one table per way a run used to say "Flashing complete." for a board that did not
// hold the file.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "boot/BL_Command.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Vars.h"
#include "sim/TFlashCheck.h"
#include "support/FlashProperty.h"
#include "support/FlashRun.h"
#include "support/HexWriter.h"
#include "support/TestSupport.h"

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 29);
    return v;
}

TFlashRun RunFile(const TSimProfile& p, const std::vector<THexChunk>& chunks, const TFlashRunOptions& o = {}) {
    return RunOnVirtualTarget(p, WriteTempFile("image.hex", MakeHex(chunks)), o);
}

TEST(FlashProperty, EveryRunThatSucceedsLeavesExactlyTheFileOnRandomLayouts) {
    std::mt19937 random(14);
    const TPick pick = [&random](uint32_t n) { return n == 0 ? 0u : uint32_t(random() % n); };
    const std::string scratch = WriteTempFile("property.hex", "");
    const std::string folder = scratch.substr(0, scratch.rfind('/') + 1);
    int families[256] = {};
    for (int i = 0; i < 200; ++i) {
        const TPropertyCase c = MakePropertyCase(pick);
        ++families[c.profile.family];
        const std::string broken = CheckPropertyCase(c, folder);
        ASSERT_EQ(broken, "") << "case " << i << ": " << c.Describe();
    }
    for (uint8_t f : {FamPic16, FamPic18, FamPic18FJ, FamPic24, FamDsPic, FamPic32}) EXPECT_GT(families[f], 0) << int(f);
}

// The jump at address 0, against the instruction set's encoding (EncodedBootJump, written apart
// from the program's own formula), for boot starts on both sides of every family's old limits.
TEST(BootJump, ReachesTheBootStart) {
    struct TCase {
        uint8_t family;
        uint32_t bootStart;
        uint32_t flashSize;
        std::vector<uint8_t> bytes;  // spelled out for the cases that must keep earlier bytes
    };
    const TCase cases[] = {
        {FamPic16, 0x300, 0x4000, {0x00, 0x2B}},   // used to be GOTO 0x700
        {FamPic16, 0x100, 0x4000, {0x00, 0x29}},
        {FamPic16, 0x700, 0x4000, {0x00, 0x2F}},   // 0x400..0x7FF: the bytes it always had
        {FamPic16, 0x1C00, 0x4000, {0x00, 0x3C}},  // from 0x800 up: no word reaches, bytes kept
        {FamPic18, 0x7000, 0x10000, {}},
        {FamPic18, 0x1E000, 0x20000, {0x00, 0xEF, 0xF0, 0xF0}},
        {FamPic18, 0x2F000, 0x30000, {}},
        {FamPic18FJ, 0x7E000, 0x80000, {}},
        {FamPic24, 0x4000, 0x18000, {0x00, 0x40, 0x04, 0x00, 0x00, 0x00}},  // below 0x10000: as before
        {FamPic24, 0x1E000, 0x30000, {}},  // used to be GOTO 0x00E000
        {FamDsPic, 0x1E000, 0x30000, {}},
        {FamDsPic, 0x52000, 0x7E000, {}},
    };
    for (const auto& c : cases) {
        TSimProfile p = DefaultSimProfile(c.family);
        p.bootStart = c.bootStart;
        p.flashSize = c.flashSize;
        const TFlashRun r = RunFile(p, {{0, Bytes(8, 0x41)}});
        const std::string what = std::to_string(c.family) + " at " + std::to_string(c.bootStart);
        ASSERT_EQ(r.result, TFlashResult::Flashed) << what;
        const std::vector<uint8_t> want = c.bytes.empty() ? EncodedBootJump(c.family, c.bootStart) : c.bytes;
        ASSERT_EQ(want, EncodedBootJump(c.family, c.bootStart)) << what;
        std::vector<uint8_t> have(r.flash.begin(), r.flash.begin() + long(want.size()));
        std::vector<uint8_t> held = want;
        if (c.family == FamPic16) held[1] &= 0x3F;  // 14-bit words
        EXPECT_EQ(have, held) << what;
        // The virtual target's check encodes the jump itself, from the file's data as parsed.
        const TVirtualTarget t(p);
        const TExpectedFlash e =
            ExpectedFlashAfterRun(t, t.Flash(), t.BootFlash(), {std::vector<uint8_t>(FlashImageSize, 0xFF), {}, 0});
        EXPECT_EQ(std::vector<uint8_t>(e.flash.begin(), e.flash.begin() + long(want.size())), held) << what;
    }
}

// PIC32 boot flash: the run writes back exactly the blocks it erased; the file's data in the block
// that holds its last boot byte is named after the parse as not written.
TEST(Pic32BootFlash, WrittenExactlyAsFarAsErased) {
    struct TCase {
        uint32_t from, to;  // boot-flash data of the file, offsets
        uint32_t written;   // bytes of boot flash erased and written back
        const char* kept;   // bytes and range of the file left as they are
    };
    const TCase cases[] = {
        {0x000, 0x1000, 0x1000, "1 bytes at 0x1FC01000..0x1FC01000"},  // lost 3.5 KB
        {0x000, 0x17FF, 0x1000, "2048 bytes at 0x1FC01000..0x1FC017FF"},
        {0x000, 0x1FFF, 0x1000, "4096 bytes at 0x1FC01000..0x1FC01FFF"},
        {0x2F00, 0x2FFF, 0x2000, "256 bytes at 0x1FC02F00..0x1FC02FFF"},
        {0x100, 0x1FF, 0, "256 bytes at 0x1FC00100..0x1FC001FF"},
    };
    for (const auto& c : cases) {
        TSimProfile p = DefaultSimProfile(FamPic32);  // erase block 0x1000, write block 512
        const auto boot = Bytes(c.to - c.from + 1, 0x13);
        const TFlashRun r = RunFile(p, {{0x1D000000, Bytes(64, 1)}, {0x1FC00000 + c.from, boot}});
        const std::string what = std::to_string(c.from) + ".." + std::to_string(c.to);
        ASSERT_EQ(r.result, TFlashResult::Flashed) << what;
        for (uint32_t o = 0; o < 0x3000; ++o) {
            uint8_t want = r.bootBefore[o];
            if (o < c.written) want = o >= c.from && o <= c.to ? boot[o - c.from] : 0xFF;
            if (o >= 0x40 && o < 0x50 && o < c.written) continue;  // the planted jump
            ASSERT_EQ(r.boot[o], want) << what << " offset " << o;
        }
        const std::string line = std::string(" Not written: ") + c.kept + " in the boot flash block left as it is.";
        EXPECT_NE(std::find(r.log.begin(), r.log.end(), line), r.log.end()) << what;
    }
    // No boot-flash data: nothing said.
    const TFlashRun none = RunFile(DefaultSimProfile(FamPic32), {{0x1D000000, Bytes(64, 1)}});
    EXPECT_EQ(none.result, TFlashResult::Flashed);
    for (const std::string& l : none.log) EXPECT_EQ(l.find("Not written"), std::string::npos) << l;
}

// The final report (end of session, or disabling the bootloader) must be taken by the board.
TEST(FinalCommand, NotTakenIsAFailure) {
    struct TCase {
        bool disable;
        bool taken;
        TFlashResult result;
        std::vector<std::string> tail;  // last log lines before "Completed."
    };
    const TCase cases[] = {
        {true, true, TFlashResult::Flashed, {"Disabling boot loader..."}},
        {true, false, TFlashResult::FinalCommandFailed,
         {"Disabling boot loader...", "Disabling failed: target takes no data!"}},
        {false, false, TFlashResult::FinalCommandFailed, {"Ending session failed: target takes no data!"}},
    };
    TSimProfile p = DefaultSimProfile(FamPic18);
    // The same run without faults tells which report is the last one.
    const int reports = RunFile(p, {{0, Bytes(100, 5)}}).reports;
    for (const auto& c : cases) {
        TFlashRunOptions o;
        o.disableBootloader = c.disable;
        if (!c.taken) o.arm = [reports](TVirtualTarget& t, int base) { t.Faults().stopWritesAt = base + reports; };
        const TFlashRun r = RunFile(p, {{0, Bytes(100, 5)}}, o);
        EXPECT_EQ(r.result, c.result) << c.disable << c.taken;
        ASSERT_GE(r.log.size(), c.tail.size() + 1);
        const std::vector<std::string> tail(r.log.end() - long(c.tail.size()) - 1, r.log.end() - 1);
        EXPECT_EQ(tail, c.tail);
        EXPECT_EQ(r.log.back(), "Completed.");
    }
}

// The virtual target's check: a board that holds something else, or saw the protocol broken, makes
// the run a failure and says where.
TEST(VirtualTargetCheck, DifferencesAndViolationsFailTheRun) {
    struct TCase {
        const char* what;
        std::function<void(TVirtualTarget&, int)> arm;
        std::vector<std::string> lines;
    };
    const TCase cases[] = {
        {"clean run", nullptr, {}},
        // Report 3 of the run is the first data report after the erase and the first header.
        {"corrupted data", [](TVirtualTarget& t, int base) { t.Faults().corruptAt = base + 0x7000 / 64 + 2; },
         {"Virtual target: flash differs at 1 bytes, first at 0x00000000"}},
    };
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.bootStart = 0x7000;
    for (const auto& c : cases) {
        TFlashRunOptions o;
        o.arm = c.arm;
        const TFlashRun r = RunFile(p, {{0, Bytes(100, 5)}}, o);
        std::vector<std::string> found;
        for (const auto& l : r.log)
            if (l.rfind("Virtual target: ", 0) == 0) found.push_back(l);
        EXPECT_EQ(found, c.lines) << c.what;
        EXPECT_EQ(r.Logged("Flashing complete."), c.lines.empty()) << c.what;
        EXPECT_EQ(r.result, c.lines.empty() ? TFlashResult::Flashed : TFlashResult::TargetDiffers) << c.what;
    }
    // Every recorded violation is a line of its own.
    TVirtualTarget t(p);
    t.RecordViolation("write at 0x00000010 not aligned to the 64-byte write block");
    TExpectedFlash same{t.Flash(), t.BootFlash()};
    EXPECT_EQ(CompareWithTarget(t, same),
              (std::vector<std::string>{"Virtual target: report 0: write at 0x00000010 not aligned to the 64-byte write block"}));
    same.flash[0x10] ^= 1;
    same.flash[0x20] ^= 1;
    EXPECT_EQ(CompareWithTarget(t, same).front(), "Virtual target: flash differs at 2 bytes, first at 0x00000010");
}

}  // namespace
