#include <gtest/gtest.h>

#include <memory>

#include "boot/BL_Command.h"
#include "boot/BL_Flash.h"
#include "session/ProgramState.h"
#include "support/HexWriter.h"
#include "support/SimSession.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

namespace {

// A board that goes away in the middle of a run, on a back end that says so (as hidraw does with
// ENODEV and EIO): the run ends at once with its own line, exit code as for other failures.
class UnplugTest : public TProgramTest {
protected:
    void SetUp() override {
        TProgramTest::SetUp();
        std::vector<uint8_t> code(700);
        for (size_t i = 0; i < code.size(); ++i) code[i] = uint8_t(i * 5 + 1);
        path = WriteTempFile("fw.hex", MakeHex({{0, code}}));
    }
    // A fresh session on a fresh board; false when it did not connect.
    bool Start() {
        ResetProgramState();
        SetClock(&clock);
        rec = TRecorder{};
        SetHostHooks(rec.Hooks());
        backend = std::make_unique<TSimBackend>();
        backend->ReportUnplug(true);
        SetHidBackend(backend.get());
        TSimProfile p = DefaultSimProfile(FamPic18);
        p.bootStart = 0x1000;  // 64 erase blocks, then blocks of one header and one data report
        p.flashSize = 0x2000;
        target = &backend->AddTarget(p);
        InstallOnDeviceChange();
        OnDeviceChange();
        return LastPassResult == TPassResult::Connected;
    }
    void Flash() {
        *PathForFamily(McuFamily) = path;
        result = FlashTarget(path, false);
        CloseFlashSession();
    }
    TFlashResult result = TFlashResult::None;
    std::unique_ptr<TSimBackend> backend;
    TVirtualTarget* target = nullptr;
    std::string path;
};

TEST_F(UnplugTest, RunEndsAtTheReportThatFoundTheBoardGone) {
    struct TCase {
        const char* what;
        int report;  // counted from the first report of the run
    };
    const TCase cases[] = {
        {"first erase packet", 1},
        {"tenth erase packet", 10},
        {"last erase packet", 64},
        {"first write header", 65},
        {"acknowledged data report", 66},
        {"third block's header", 69},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Start());
        const int base = target->ReportsReceived();
        target->Faults().unplugAt = base + c.report;
        const uint64_t start = clock.NowUs();
        Flash();
        EXPECT_EQ(result, TFlashResult::CommFailed);
        const auto log = rec.Trimmed();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "Flashing failed: target unplugged!");
        EXPECT_EQ(log.back(), "Completed.");
        EXPECT_FALSE(rec.Contains("Flashing complete."));
        EXPECT_FALSE(rec.Contains("Flashing failed: no answer from target!"));
        // Nothing after the report that found it gone, and no 501 polls or write waits on the way.
        EXPECT_EQ(target->ReportsReceived(), base + c.report);
        EXPECT_LT(clock.NowUs() - start, 2'000'000u);
        EXPECT_TRUE(TargetUnplugged);
        EXPECT_EQ(CommErrorCount, 1);
        EXPECT_TRUE(target->Violations().empty());
    }
}

TEST_F(UnplugTest, WithoutTheBackEndsWordItIsAMissingAnswer) {
    ASSERT_TRUE(Start());
    backend->ReportUnplug(false);
    target->Faults().unplugAt = target->ReportsReceived() + 10;
    const uint64_t start = clock.NowUs();
    Flash();
    EXPECT_TRUE(rec.Contains("Flashing failed: no answer from target!"));
    EXPECT_FALSE(TargetUnplugged);
    // The write wait and all 501 polls.
    EXPECT_GT(clock.NowUs() - start, uint64_t(MaxPolls) * PauseAfterPollMs * 1000);
}

TEST_F(UnplugTest, NextSessionStartsWithoutTheMark) {
    ASSERT_TRUE(Start());
    target->Faults().unplugAt = target->ReportsReceived() + 5;
    Flash();
    ASSERT_TRUE(TargetUnplugged);
    target->Faults().unplugAt = 0;
    target->Plug();
    rec.lines.clear();
    InstallOnDeviceChange();
    DispatchDeviceChanges();
    ASSERT_EQ(LastPassResult, TPassResult::Connected);
    EXPECT_FALSE(TargetUnplugged);
    EXPECT_EQ(CommErrorCount, 0);
    Flash();
    EXPECT_EQ(result, TFlashResult::Flashed);
}

// A back end whose board takes every report and then answers nothing: gone or only silent.
class TSilentBackend final : public IHidBackend {
public:
    bool gone = false;
    int reads = 0;
    bool Enumerate(std::vector<THidInterfaceInfo>& out) override {
        THidInterfaceInfo i;
        i.path = "b";
        i.attributesRead = i.capsRead = true;
        i.vendorId = 0x3930;
        i.productId = 0x2021;
        i.reportLength = 65;
        out = {i};
        return true;
    }
    int Open(const std::string&, THidOpenError&) override { return 1; }
    void Close(int) override {}
    bool Write(int, const uint8_t*, size_t, uint32_t) override { return true; }
    bool Read(int, uint8_t*, size_t, size_t&) override {
        ++reads;
        return false;
    }
    bool Gone(int) override { return gone; }
};

class PollUnplugTest : public TProgramTest {
protected:
    void SetUp() override {
        TProgramTest::SetUp();
        SetHidBackend(&silent);
        HidFindDevices(TargetDevices, TargetDeviceCount, 0x3930, 0x2021);
        SelectedDevice = 0;
        ASSERT_TRUE(HidOpen(TargetDevices[0]));
    }
    TSilentBackend silent;
};

TEST_F(PollUnplugTest, PollingStopsAtTheFirstReadOfAGoneBoard) {
    struct TCase {
        bool gone;
        int reads;
        int64_t clockMs;
    };
    // Present but silent: every poll and its pause; gone: one poll, no pause after it. Each after the
    // one read that finds no stale report waiting.
    const TCase cases[] = {{false, MaxPolls + 1, PauseAfterSendMs + MaxPolls * PauseAfterPollMs},
                           {true, 2, PauseAfterSendMs}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gone ? "gone" : "silent");
        CommErrorCount = 0;
        TargetUnplugged = false;
        silent.gone = c.gone;
        silent.reads = 0;
        const uint64_t start = clock.NowUs();
        BootQuery(cmdGetBootInfo, CommandBuffer);
        EXPECT_EQ(silent.reads, c.reads);
        EXPECT_EQ(int64_t(clock.NowUs() - start) / 1000, c.clockMs);
        EXPECT_EQ(CommErrorCount, 1);
        EXPECT_EQ(TargetUnplugged, c.gone);
        EXPECT_EQ(CommandBuffer, TBootPacket{});
    }
}

TEST_F(PollUnplugTest, AcknowledgedPacketToAGoneBoardCountsOnce) {
    silent.gone = true;
    TBootPacket p{};
    EXPECT_FALSE(BootDataAck(p, cmdErase));
    EXPECT_EQ(CommErrorCount, 1);
    EXPECT_TRUE(TargetUnplugged);
    // Nothing more is sent once the run knows.
    EXPECT_FALSE(BootDataAck(p, cmdErase));
    EXPECT_FALSE(BootData(p));
    EXPECT_EQ(CommErrorCount, 1);
    EXPECT_EQ(silent.reads, 2);  // the stale-report check and the one poll
}

}  // namespace
