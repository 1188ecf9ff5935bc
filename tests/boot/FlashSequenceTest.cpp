#include <gtest/gtest.h>

#include <algorithm>

#include "boot/BL_Flash.h"
#include "boot/BL_Image.h"
#include "support/HexWriter.h"
#include "support/SimSession.h"
#include "usb/HIDinterface.h"

namespace {

class FlashTest : public TSimSessionTest {
protected:
    TFlashResult result = TFlashResult::None;
protected:
    TVirtualTarget& Connected(const TSimProfile& p) {
        TVirtualTarget& t = Add(p);
        EXPECT_TRUE(Connect());
        return t;
    }
    // Runs the flash procedure on a HEX file holding the given chunks.
    void Flash(const std::vector<THexChunk>& chunks) {
        const std::string path = WriteTempFile("image.hex", MakeHex(chunks));
        *PathForFamily(McuFamily) = path;
        result = FlashTarget(path, LoaderSetup.disableFlag != 0);
        CloseFlashSession();
    }
    // Log lines from the parser's first line on.
    std::vector<std::string> RunLog() const {
        auto all = rec.Trimmed();
        auto it = std::find_if(all.begin(), all.end(), [](const std::string& l) { return l.rfind("Parsing HEX", 0) == 0; });
        return std::vector<std::string>(it, all.end());
    }
    void ExpectClosed() {
        EXPECT_EQ(FlashPhase, 0);
        EXPECT_FALSE(BootloaderActive);
        EXPECT_EQ(CurrentDevice.handle, -1);
        EXPECT_EQ(backend.OpenHandles(), 0);
        EXPECT_EQ(DeviceChangeHandlerKind(), THandlerKind::None);
        ASSERT_FALSE(rec.lines.empty());
        EXPECT_EQ(TrimRight(rec.lines.back()), "Completed.");
    }
    // Every image offset below the boot start holds what was written, or erased flash; nothing at or
    // above it changed.
    void ExpectFlashMatches(TVirtualTarget& t, const std::vector<uint8_t>& before, int64_t writtenEnd,
                            int64_t vectorRunStart) {
        const uint32_t boot = t.BootStartImageOffset();
        for (uint32_t o = 0; o < t.Flash().size(); ++o) {
            uint8_t want;
            if (o >= boot) {
                want = before[o];
            } else if (int64_t(o) < writtenEnd || int64_t(o) >= vectorRunStart) {
                want = FlashImage[o];
            } else {
                want = t.ErasedByte(o);
            }
            ASSERT_EQ(t.Flash()[o], want) << "offset " << o;
        }
    }
    std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 13);
        return v;
    }
};

TEST_F(FlashTest, Pic18EndToEnd) {
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.bootStart = 0x7000;
    p.flashSize = 0x8000;
    TVirtualTarget& t = Connected(p);
    const auto before = t.Flash();
    auto code = Pattern(300, 1);
    code[0] = 0x12;
    code[1] = 0xEF;
    code[2] = 0x34;
    code[3] = 0xF0;
    Flash({{0, code}, {0x300000, {0x11, 0x22}}});  // configuration bytes far above flash are dropped
    EXPECT_EQ(result, TFlashResult::Flashed);
    EXPECT_TRUE(t.Violations().empty()) << t.Violations().front();
    // Erase: 0x7000 / 64 packets at 0, 64, ... 0x7000 - 64.
    ASSERT_EQ(t.EraseAddresses().size(), 0x7000u / 64);
    EXPECT_EQ(t.EraseAddresses().back(), 0x7000u - 64);
    // Program image in 256-byte transfer blocks (erase 64, write 64 give 64).
    EXPECT_EQ(TransferBlockSize(), 64);
    // Reset vector: jump to 0x7000 at 0, the user's instruction in the slot.
    const uint8_t jump[] = {0x00, 0xEF, 0x38, 0xF0};
    EXPECT_TRUE(std::equal(jump, jump + 4, t.Flash().begin()));
    const uint8_t saved[] = {0x12, 0xEF, 0x34, 0xF0};
    EXPECT_TRUE(std::equal(saved, saved + 4, t.Flash().begin() + 0x6FFC));
    EXPECT_EQ(t.WriteAddresses().back(), 0x7000u - 64);
    ExpectFlashMatches(t, before, 320, 0x7000 - 64);
    EXPECT_EQ(t.Flash()[299], code[299]);
    const std::vector<std::string> tail = {"Erasing flash memory.", "Flashing program image.", "Flashing complete."};
    auto log = RunLog();
    EXPECT_EQ(log[0], "Parsing HEX file: image.hex");
    EXPECT_NE(std::search(log.begin(), log.end(), tail.begin(), tail.end()), log.end());
    EXPECT_TRUE(rec.Contains("Free User Flash size         : " + std::to_string(0x7000 - 64 - 320) + " bytes"));
    EXPECT_EQ(t.Commands().back(), cmdEndSession);
    EXPECT_TRUE(t.SessionEnded());
    ExpectClosed();
    EXPECT_EQ(rec.progressPos.back(), 0);
}

TEST_F(FlashTest, DisableFlagSendsTheDisableCommand) {
    TVirtualTarget& t = Connected(DefaultSimProfile(FamPic18));
    LoaderSetup.disableFlag = 2;
    Flash({{0, Pattern(16, 3)}});
    EXPECT_EQ(t.Commands().back(), cmdDisableBootloader);
    auto log = RunLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Disabling boot loader...");
}

TEST_F(FlashTest, Pic16EndToEnd) {
    TSimProfile p = DefaultSimProfile(FamPic16);
    p.bootStart = 0x0700;
    TVirtualTarget& t = Connected(p);
    const auto before = t.Flash();
    std::vector<uint8_t> words = {0x8A, 0x01, 0x00, 0x28, 0x55, 0x30};  // little-endian 14-bit words
    Flash({{0, words}});
    EXPECT_EQ(result, TFlashResult::Flashed);
    EXPECT_TRUE(t.Violations().empty()) << t.Violations().front();
    // Erase steps of 32 words.
    ASSERT_GE(t.EraseAddresses().size(), 2u);
    EXPECT_EQ(t.EraseAddresses()[1], 32u);
    EXPECT_EQ(t.EraseAddresses().size(), 0x700u / 32);
    EXPECT_EQ(t.Flash()[0], 0x00);
    EXPECT_EQ(t.Flash()[1], 0x2F);
    EXPECT_EQ(t.Flash()[0xDFE], 0x8A);
    EXPECT_EQ(t.Flash()[0xDFF], 0x01);
    EXPECT_EQ(t.WriteAddresses().back(), 0x6E0u);  // vector run at image offset 0xDC0
    ExpectFlashMatches(t, before, 64, 0xDC0);
    ExpectClosed();
}

TEST_F(FlashTest, Pic24EndToEndWithPacking) {
    TSimProfile p = DefaultSimProfile(FamPic24);
    p.bootStart = 0x4000;
    TVirtualTarget& t = Connected(p);
    const auto before = t.Flash();
    // Two instructions of four file bytes each, the last being the phantom byte.
    Flash({{0, {0x11, 0x22, 0x33, 0x00, 0x44, 0x55, 0x66, 0x00}}});
    EXPECT_EQ(result, TFlashResult::Flashed);
    EXPECT_TRUE(t.Violations().empty()) << t.Violations().front();
    EXPECT_EQ(t.EraseAddresses()[1], 1024u);  // 1536 bytes are 1024 addresses
    const uint8_t jump[] = {0x00, 0x40, 0x04, 0x00, 0x00, 0x00};
    EXPECT_TRUE(std::equal(jump, jump + 6, t.Flash().begin()));
    const uint8_t slot[] = {0x11, 0x22, 0x33, 0x00, 0x00, 0x00};
    EXPECT_TRUE(std::equal(slot, slot + 6, t.Flash().begin() + 0x6000 - 6));
    EXPECT_EQ(t.Flash()[3], 0x00);  // packed: second instruction follows at offset 3... overwritten by the jump
    EXPECT_EQ(t.WriteAddresses().back(), 0x4000u - 128);
    ExpectFlashMatches(t, before, 192, 0x6000 - 192);
    ExpectClosed();
}

TEST_F(FlashTest, Pic32PlantsBothJumps) {
    TSimProfile p = DefaultSimProfile(FamPic32);
    TVirtualTarget& t = Connected(p);
    const auto before = t.Flash();
    const auto bootBefore = t.BootFlash();
    std::vector<uint8_t> boot(0x2000, 0x00);
    for (size_t i = 0; i < boot.size(); ++i) boot[i] = uint8_t(i * 7);
    Flash({{0x1D000000, Pattern(600, 9)}, {0x1FC00000, boot}});
    EXPECT_EQ(result, TFlashResult::Flashed);
    EXPECT_TRUE(t.Violations().empty()) << t.Violations().front();
    const uint32_t bootOffset = 0x07C000;
    // Program flash: 31 + ... blocks from 0x1D000000, then the boot flash blocks below EoBoot's block.
    EXPECT_EQ(t.EraseAddresses().front(), 0x1D000000u);
    const size_t programBlocks = bootOffset / 4096;
    ASSERT_EQ(t.EraseAddresses().size(), programBlocks + 1);  // EoBoot 0x1FFF: one boot block
    EXPECT_EQ(t.EraseAddresses().back(), 0x1FC00000u);
    // Vector slot jumps into boot flash at 0xBFC00050.
    const uint8_t slot[] = {0xC0, 0xBF, 0x1E, 0x3C, 0x50, 0x00, 0xDE, 0x37,
                            0x08, 0x00, 0xC0, 0x03, 0x00, 0x00, 0x00, 0x70};
    EXPECT_TRUE(std::equal(slot, slot + 16, t.Flash().begin() + bootOffset - 16));
    // Boot flash 0x40: load 0x9D07C000 into register 30 and jump there.
    const uint8_t patch[] = {0x07, 0x9D, 0x1E, 0x3C, 0x00, 0xC0, 0xDE, 0x37,
                             0x08, 0x00, 0xC0, 0x03, 0x00, 0x00, 0x00, 0x70};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(t.BootFlash()[0x40 + i], patch[i]) << i;
    // The boot run stops one erase block short of EoBoot + 1 = 0x2000: 0x1000 bytes.
    for (uint32_t o = 0; o < 0x3000; ++o) {
        uint8_t want = o < 0x1000 ? BootImage[o] : bootBefore[o];
        ASSERT_EQ(t.BootFlash()[o], want) << o;
    }
    ExpectFlashMatches(t, before, 1024, bootOffset - 512);
    auto log = RunLog();
    const std::vector<std::string> steps = {"Erasing flash memory.",  "Erasing boot memory.",
                                            "Flashing program image.", "Flashing boot vectors.",
                                            "Flashing boot image.",    "Flashing complete."};
    for (size_t i = 0, at = 0; i < steps.size(); ++i) {
        auto it = std::find(log.begin() + long(at), log.end(), steps[i]);
        ASSERT_NE(it, log.end()) << steps[i];
        at = size_t(it - log.begin());
    }
    EXPECT_TRUE(rec.Contains("  EoFlash: Address 0x9D000257"));
    ExpectClosed();
}

TEST_F(FlashTest, RefusedFileTouchesNothing) {
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.bootStart = 0x7000;
    TVirtualTarget& t = Connected(p);
    const int before = t.ReportsReceived();
    Flash({{0x6FFE, {1, 2}}});  // inside the refused window below the boot start
    EXPECT_EQ(result, TFlashResult::FileRefused);
    EXPECT_EQ(t.ReportsReceived(), before);
    auto log = RunLog();
    EXPECT_EQ(log.back(), "Completed.");
    EXPECT_EQ(log[log.size() - 3], "Error parsing hex file.");
    EXPECT_EQ(log[log.size() - 2], " Line 2: data at 0x6FFE overlaps the bootloader");
    ExpectClosed();
}

// Packet-level checks of the block writer, on a connected PIC18 target.
TEST_F(FlashTest, WriteBlocksPacketsAndProgress) {
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.writeBlock = 64;
    TVirtualTarget& t = Connected(p);
    // A real target would refuse writes to unerased flash only by content; the sim records none.
    ResetImages();
    size_t at = t.Trace().size();
    EXPECT_EQ(WriteBlocks(0, 256, 100, 0, FlashImage.data(), FlashImage.size()), TStepResult::Ok);
    std::vector<TSimTraceEntry> outs;
    for (size_t i = at; i < t.Trace().size(); ++i)
        if (t.Trace()[i].out) outs.push_back(t.Trace()[i]);
    ASSERT_EQ(outs.size(), 3u);  // one header of 128 bytes, two reports
    EXPECT_EQ(outs[0].data[6], 128);
    EXPECT_EQ(rec.progressMax.back(), 1);
    // 1000 bytes in 256-byte blocks with a 256-byte write block: four blocks, the bar at 4 of 4.
    BootInfo.WriteBlock = 256;
    at = t.WriteAddresses().size();
    EXPECT_EQ(WriteBlocks(0, 256, 1000, 0, FlashImage.data(), FlashImage.size()), TStepResult::Ok);
    EXPECT_EQ(t.WriteAddresses().size() - at, 4u);
    EXPECT_EQ(rec.progressMax.back(), 4);
    EXPECT_EQ(rec.progressPos.back(), 4);
    // A 96-byte block: one full report and one of 32 bytes padded with 0xFF.
    BootInfo.WriteBlock = 32;
    FlashImage[0x400 + 95] = 0x5A;
    at = t.Trace().size();
    EXPECT_EQ(WriteBlocks(0x400, 96, 96, 0, FlashImage.data(), FlashImage.size()), TStepResult::Ok);
    outs.clear();
    for (size_t i = at; i < t.Trace().size(); ++i)
        if (t.Trace()[i].out) outs.push_back(t.Trace()[i]);
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_EQ(outs[2].data[31], 0x5A);
    EXPECT_EQ(outs[2].data[32], 0xFF);
    EXPECT_EQ(outs[2].data[63], 0xFF);
    // Nothing to write: nothing sent, the bar's maximum is 1.
    at = t.Trace().size();
    EXPECT_EQ(WriteBlocks(0, 256, 0, 0, FlashImage.data(), FlashImage.size()), TStepResult::Ok);
    EXPECT_EQ(t.Trace().size(), at);
    EXPECT_EQ(rec.progressMax.back(), 1);
    // A run past the image is refused before anything of it is sent.
    EXPECT_EQ(WriteBlocks(0x7FFC0, 256, 0x80, 0, FlashImage.data(), FlashImage.size()), TStepResult::Refused);
    EXPECT_EQ(t.Trace().size(), at);
}

TEST_F(FlashTest, WriteAddressesPerFamily) {
    TSimProfile p16 = DefaultSimProfile(FamPic16);
    TVirtualTarget& t16 = Connected(p16);
    ResetImages();
    WriteBlocks(0x200, 64, 64, 0, FlashImage.data(), FlashImage.size());
    EXPECT_EQ(t16.WriteAddresses().back(), 0x100u);
    McuFamily = FamPic24;
    BootInfo.WriteBlock = 192;
    // Only the address conversion matters here; the PIC16 target records the header as sent.
    WriteBlocks(384, 192, 192, 0, FlashImage.data(), FlashImage.size());
    EXPECT_EQ(t16.WriteAddresses().back(), 256u);
    McuFamily = FamPic32;
    BootInfo.WriteBlock = 256;
    WriteBlocks(0, 256, 256, Pic32BootBase, BootImage.data(), BootImage.size());
    EXPECT_EQ(t16.WriteAddresses().back(), 0x1FC00000u);
}

TEST_F(FlashTest, EraseRunsPerFamily) {
    // PIC32 with 31 blocks below the boot start and EoBoot 0x2FFF.
    TSimProfile p = DefaultSimProfile(FamPic32);
    p.bootStart = 0x9D000000 + 31 * 4096;
    TVirtualTarget& t = Connected(p);
    EoBoot = 0x2FFF;
    rec.lines.clear();
    EXPECT_EQ(EraseFlash(), TStepResult::Ok);
    ASSERT_EQ(t.EraseAddresses().size(), 33u);
    EXPECT_EQ(t.EraseAddresses()[30], 0x1D000000u + 30 * 4096);
    EXPECT_EQ(t.EraseAddresses()[31], 0x1FC00000u);
    EXPECT_EQ(t.EraseAddresses()[32], 0x1FC00000u + 4096);
    EXPECT_EQ(rec.Trimmed(), (std::vector<std::string>{"Erasing flash memory.", "Erasing boot memory."}));
    EXPECT_EQ(rec.progressPos.back(), 0);
    // An unknown family: only the first line, nothing sent.
    McuFamily = 7;
    const size_t n = t.EraseAddresses().size();
    EraseFlash();
    EXPECT_EQ(t.EraseAddresses().size(), n);
}

TEST_F(FlashTest, BootImageRunLengths) {
    TVirtualTarget& t = Connected(DefaultSimProfile(FamPic32));
    BootInfo.EraseBlock = 0x1000;
    EoBoot = 0x2FFF;
    const size_t at = t.WriteAddresses().size();
    EXPECT_EQ(FlashBootImage(), TStepResult::Ok);
    ASSERT_EQ(t.WriteAddresses().size() - at, 32u);
    EXPECT_EQ(t.WriteAddresses()[at + 31], 0x1FC00000u + 256 * 31);
    EXPECT_EQ(rec.progressMax.back(), 33);
    // Little boot data: nothing to write, which is no error.
    EoBoot = 0x100;
    const size_t n = t.WriteAddresses().size();
    EXPECT_EQ(FlashBootImage(), TStepResult::Ok);
    EXPECT_EQ(t.WriteAddresses().size(), n);
}

TEST_F(FlashTest, VectorRunLongerThanAWriteBlock) {
    TSimProfile p = DefaultSimProfile(FamPic24);
    p.writeBlock = 6;  // keeps the target's alignment rules happy
    p.bootStart = 0x4000;
    TVirtualTarget& t = Connected(p);
    BootInfo.WriteBlock = 4;  // V 6 with write block 4: n = 2, an 8-byte run
    ResetImages();
    EoFlash = 2;
    const size_t at = t.WriteAddresses().size();
    FlashProgramImage();
    ASSERT_EQ(t.WriteAddresses().size() - at, 3u);
    EXPECT_EQ(t.WriteAddresses()[at + 1], uint64_t((0x6000 - 8) * 2 / 3));
    EXPECT_EQ(t.WriteAddresses()[at + 2], uint64_t((0x6000 - 4) * 2 / 3));
}

}  // namespace
