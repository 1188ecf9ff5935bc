#include <gtest/gtest.h>

#include "boot/BL_Flash.h"
#include "support/HexWriter.h"
#include "support/SimSession.h"
#include "usb/HIDinterface.h"

namespace {

class FlashFaultTest : public TSimSessionTest {
protected:
    TFlashResult result = TFlashResult::None;
protected:
    void SetUp() override {
        TSimSessionTest::SetUp();
        TSimProfile p = DefaultSimProfile(FamPic18);
        p.bootStart = 0x1000;  // 64 erase blocks keep the runs short
        p.flashSize = 0x2000;
        target = &Add(p);
        std::vector<uint8_t> code(700);
        for (size_t i = 0; i < code.size(); ++i) code[i] = uint8_t(i * 5 + 1);
        path = WriteTempFile("fw.hex", MakeHex({{0, code}}));
        ASSERT_TRUE(Connect());
    }
    void Flash() {
        *PathForFamily(McuFamily) = path;
        result = FlashTarget(path, LoaderSetup.disableFlag != 0);
        CloseFlashSession();
    }
    void ExpectFailedRun(const std::string& line) {
        EXPECT_EQ(result, TFlashResult::CommFailed);
        EXPECT_FALSE(rec.Contains("Flashing complete."));
        EXPECT_FALSE(rec.Contains("NO Free User Flash"));
        auto log = rec.Trimmed();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], line);
        EXPECT_EQ(log.back(), "Completed.");
        EXPECT_LE(line.size(), 47u);
        EXPECT_EQ(FlashPhase, 0);
        EXPECT_FALSE(BootloaderActive);
        EXPECT_EQ(DeviceChangeHandlerKind(), THandlerKind::None);
        // After a failure the board is left in its bootloader: no closing command.
        for (uint8_t c : target->Commands()) {
            EXPECT_NE(c, cmdEndSession);
            EXPECT_NE(c, cmdDisableBootloader);
        }
        EXPECT_TRUE(target->Violations().empty()) << target->Violations().front();
    }
    TVirtualTarget* target = nullptr;
    std::string path;
};

TEST_F(FlashFaultTest, MissingAnswerDuringEraseStopsTheRun) {
    const int base = target->ReportsReceived();
    target->Faults().dropAnswerAt = base + 10;  // the tenth erase packet
    Flash();
    ExpectFailedRun("Flashing failed: no answer from target!");
    EXPECT_EQ(target->ReportsReceived(), base + 10);  // nothing after the packet without answer
    EXPECT_TRUE(target->WriteAddresses().empty());
    EXPECT_EQ(CommErrorCount, 1);
}

TEST_F(FlashFaultTest, MissingAnswerDuringWritingSendsNoFurtherHeader) {
    const int base = target->ReportsReceived();
    // 64 erase packets, then blocks of one header and one report each: the third block's report.
    target->Faults().dropAnswerAt = base + 64 + 6;
    Flash();
    ExpectFailedRun("Flashing failed: no answer from target!");
    EXPECT_EQ(target->ReportsReceived(), base + 70);
    EXPECT_EQ(target->WriteAddresses().size(), 3u);
}

TEST_F(FlashFaultTest, WrongEchoIsAFailureToo) {
    const int base = target->ReportsReceived();
    target->Faults().wrongEchoAt = base + 64 + 2;  // the first block's acknowledgement
    Flash();
    ExpectFailedRun("Flashing failed: wrong answer from target!");
    EXPECT_EQ(target->ReportsReceived(), base + 66);
    EXPECT_EQ(CommErrorCount, 0);
}

TEST_F(FlashFaultTest, UnplugMidRunEndsBoundedAndAReconnectedTargetFlashes) {
    const int base = target->ReportsReceived();
    target->Faults().unplugAt = base + 30;
    const uint64_t start = clock.NowUs();
    Flash();
    ExpectFailedRun("Flashing failed: no answer from target!");
    // One write that is not taken and one full poll for its answer: bounded in clock time.
    EXPECT_LT(clock.NowUs() - start, 30 * 1000000ull);
    EXPECT_EQ(target->ReportsReceived(), base + 30);
    // The board is reset: it comes back, a new pass connects and the next run succeeds.
    target->Faults().unplugAt = 0;
    target->Plug();
    rec.lines.clear();
    InstallOnDeviceChange();
    EXPECT_EQ(DispatchDeviceChanges(), 2);  // the unplug and the plug
    ASSERT_EQ(LastPassResult, TPassResult::Connected);
    EXPECT_EQ(CommErrorCount, 0);
    Flash();
    EXPECT_EQ(result, TFlashResult::Flashed);
    EXPECT_TRUE(rec.Contains("Flashing complete."));
    for (size_t o = 4; o < 700; ++o) ASSERT_EQ(target->Flash()[o], uint8_t(o * 5 + 1)) << o;
}

TEST_F(FlashFaultTest, WritesNoLongerTakenEndTheRun) {
    const int base = target->ReportsReceived();
    target->Faults().stopWritesAt = base + 64 + 3;  // the second write header
    Flash();
    ExpectFailedRun("Flashing failed: target takes no data!");
    EXPECT_EQ(target->WriteAddresses().size(), 1u);
}

TEST_F(FlashFaultTest, HostileLayoutIsRefusedBeforeAnythingIsSent) {
    // A write block that makes the program run read past the image after the parse.
    BootInfo.WriteBlock = 0;
    const int base = target->ReportsReceived();
    Flash();
    EXPECT_EQ(result, TFlashResult::TargetRefused);
    EXPECT_EQ(target->ReportsReceived(), base);
    EXPECT_TRUE(rec.Contains("Target reports a write block of 0 !"));
    EXPECT_EQ(rec.Trimmed().back(), "Completed.");
}

}  // namespace
