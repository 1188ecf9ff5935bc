#include <gtest/gtest.h>

#include "boot/BL_Command.h"
#include "support/SimSession.h"
#include "usb/Hid.h"

namespace {

class CommandTest : public TSimSessionTest {
protected:
    // Opens the target the way the connection pass does, without the pass itself.
    TVirtualTarget& Open(const TSimProfile& p = DefaultSimProfile(FamPic18)) {
        TVirtualTarget& t = Add(p);
        HidFindDevices(TargetDevices, TargetDeviceCount, 0x3930, 0x2021);
        SelectedDevice = 0;
        EXPECT_TRUE(HidOpen(TargetDevices[0]));
        return t;
    }
    static TBootPacket Data(uint8_t v) {
        TBootPacket p;
        p.fill(v);
        return p;
    }
};

TEST_F(CommandTest, QueryWithoutAnswerTakesTheFullPollTime) {
    TVirtualTarget& t = Open();
    t.Faults().dropAnswerAt = 1;
    const uint64_t start = clock.NowUs();
    CommandBuffer.fill(0x77);
    BootQuery(cmdGetBootInfo, CommandBuffer);
    EXPECT_EQ(clock.NowUs() - start, (10 + 501 * 12) * 1000ull);
    EXPECT_EQ(CommErrorCount, 1);
    for (uint8_t b : CommandBuffer) EXPECT_EQ(b, 0);
    // From now on data packets are refused without a transfer, while queries still go out.
    const int sent = t.ReportsReceived();
    EXPECT_FALSE(BootData(Data(1)));
    EXPECT_FALSE(BootDataAck(Data(2), cmdWrite));
    EXPECT_EQ(t.ReportsReceived(), sent);
    BootQuery(cmdEnterBootMode, CommandBuffer);
    EXPECT_EQ(t.ReportsReceived(), sent + 1);
    EXPECT_EQ(CommandBuffer[1], cmdEnterBootMode);
}

TEST_F(CommandTest, QueryAnswerAndPacing) {
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.latencyUs = 30000;  // readable after 30 ms: polls at 10, 22, 34 ms
    Open(p);
    const uint64_t start = clock.NowUs();
    BootQuery(cmdEnterBootMode, CommandBuffer);
    EXPECT_EQ(clock.NowUs() - start, 34000u);
    EXPECT_EQ(CommandBuffer[1], cmdEnterBootMode);
    EXPECT_EQ(CommErrorCount, 0);
}

TEST_F(CommandTest, WrongEchoReturnsFalseWithoutCounting) {
    TVirtualTarget& t = Open();
    BootQuery(cmdEnterBootMode, CommandBuffer);
    t.Faults().wrongEchoAt = 2;
    TBootPacket erase{};
    erase[0] = CommandMarker;
    erase[1] = cmdErase;
    erase[6] = 1;
    EXPECT_FALSE(BootDataAck(erase, cmdErase));
    EXPECT_EQ(CommErrorCount, 0);
    EXPECT_TRUE(BootDataAck(erase, cmdErase));
}

TEST_F(CommandTest, DataReportPacing) {
    TVirtualTarget& t = Open();
    const uint64_t start = clock.NowUs();
    EXPECT_TRUE(BootData(Data(0xAB)));
    EXPECT_EQ(clock.NowUs() - start, 12000u);
    ASSERT_FALSE(t.Trace().empty());
    EXPECT_EQ(t.Trace().back().data[0], 0xAB);
}

TEST_F(CommandTest, WriteHeaderAndCommandBytes) {
    TVirtualTarget& t = Open(DefaultSimProfile(FamPic32));
    EXPECT_TRUE(BootWriteHeader(64, 0x1D000000));
    std::array<uint8_t, 64> want{};
    want[0] = 15;
    want[1] = 11;
    want[5] = 0x1D;
    want[6] = 0x40;
    EXPECT_EQ(t.Trace().back().data, want);
    BootWriteHeader(64, 0x1'2345'6789ull);  // only the low 32 bits travel
    EXPECT_EQ(t.Trace().back().data[2], 0x89);
    EXPECT_EQ(t.Trace().back().data[5], 0x23);
    const uint64_t before = clock.NowUs();
    BootCommand(cmdDisableBootloader, CommandBuffer);
    EXPECT_EQ(clock.NowUs(), before);  // no pause, no read
    std::array<uint8_t, 64> disable{};
    disable[0] = 15;
    disable[1] = 23;
    EXPECT_EQ(t.Trace().back().data, disable);
}

TEST_F(CommandTest, NothingIsSentWithoutASelectedDevice) {
    TVirtualTarget& t = Open();
    SelectedDevice = -1;
    CommandBuffer.fill(0x55);
    BootQuery(cmdGetBootInfo, CommandBuffer);
    EXPECT_EQ(CommandBuffer[0], 0x55);
    BootCommand(cmdEndSession, CommandBuffer);
    EXPECT_FALSE(BootData(Data(1)));
    EXPECT_FALSE(BootDataAck(Data(1), cmdWrite));
    EXPECT_EQ(t.ReportsReceived(), 0);
    EXPECT_EQ(CommErrorCount, 0);
}

}  // namespace
