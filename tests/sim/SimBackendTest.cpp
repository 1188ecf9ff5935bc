#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "SimTestHelpers.h"
#include "sim/TSimBackend.h"
#include "support/TestSupport.h"

using ::testing::HasSubstr;

namespace {

std::array<uint8_t, 65> Report(const TPacket& data) {
    std::array<uint8_t, 65> r{};
    std::memcpy(r.data() + 1, data.data(), 64);
    return r;
}

}  // namespace

class SimBackend : public TProgramTest {
protected:
    TSimBackend backend;
    THidOpenError error = THidOpenError::Other;
    size_t received = 0;
    std::array<uint8_t, 65> in{};
};

TEST_F(SimBackend, EnumeratesPluggedTargetsAndPlainDevices) {
    TSimProfile p = DefaultSimProfile(FamPic24);
    p.product = "Carte d\xC3\xA9mo";  // UTF-8 in the profile
    TVirtualTarget& t = backend.AddTarget(p);
    p.serial = "0042";
    p.path = "sim:custom";
    backend.AddTarget(p);
    THidInterfaceInfo keyboard;
    keyboard.path = "/dev/hidraw9";
    backend.AddPlainDevice(keyboard);

    std::vector<THidInterfaceInfo> list;
    ASSERT_TRUE(backend.Enumerate(list));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].path, "sim:0");
    EXPECT_TRUE(list[0].attributesRead && list[0].capsRead);
    EXPECT_EQ(list[0].vendorId, p.vendorId);
    EXPECT_EQ(list[0].reportLength, 65);
    EXPECT_EQ(list[0].product, U"Carte d\u00E9mo");
    EXPECT_FALSE(list[0].hasSerial);
    EXPECT_TRUE(list[1].hasSerial);
    EXPECT_EQ(list[1].serial, U"0042");
    EXPECT_EQ(list[2].path, "/dev/hidraw9");
    t.Unplug();
    backend.RemovePlainDevices();
    ASSERT_TRUE(backend.Enumerate(list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].path, "sim:custom");
}

TEST_F(SimBackend, OpenAndClose) {
    TVirtualTarget& t = backend.AddTarget(DefaultSimProfile(FamPic18));
    THidInterfaceInfo mouse;
    mouse.path = "/dev/hidraw3";
    backend.AddPlainDevice(mouse);
    const int a = backend.Open("sim:0", error);
    EXPECT_EQ(error, THidOpenError::None);
    const int b = backend.Open("/dev/hidraw3", error);
    EXPECT_TRUE(a >= 0 && b >= 0 && a != b);
    EXPECT_EQ(backend.Open("sim:7", error), -1);
    EXPECT_EQ(error, THidOpenError::NotFound);
    EXPECT_EQ(backend.OpenHandles(), 2);
    backend.Close(a);
    EXPECT_EQ(backend.OpenHandles(), 1);
    t.Unplug();
    EXPECT_EQ(backend.Open("sim:0", error), -1);
    EXPECT_EQ(error, THidOpenError::NotFound);
    t.Plug();
    backend.FailOpens(THidOpenError::Permission);
    EXPECT_EQ(backend.Open("sim:0", error), -1);
    EXPECT_EQ(error, THidOpenError::Permission);
    EXPECT_EQ(backend.OpenCount(), 5) << "refused opens count too";
}

TEST_F(SimBackend, ReportsGoThroughWithTheReportId) {
    TVirtualTarget& t = backend.AddTarget(DefaultSimProfile(FamPic32));
    const int h = backend.Open("sim:0", error);
    auto out = Report(Command(cmdGetBootInfo));
    ASSERT_TRUE(backend.Write(h, out.data(), out.size(), 200));
    in.fill(0xEE);
    ASSERT_TRUE(backend.Read(h, in.data(), in.size(), received));
    EXPECT_EQ(received, 65u);
    EXPECT_EQ(in[0], 0);
    EXPECT_TRUE(std::equal(in.begin() + 1, in.end(), BuildBootInfoAnswer(t.Profile()).begin()));
    EXPECT_FALSE(backend.Read(h, in.data(), in.size(), received)) << "one answer, one read";
    EXPECT_TRUE(t.Violations().empty());

    // A short report arrives with zeros in place of the missing bytes, and is noted.
    auto shortReport = Report(Filled(0x77));
    shortReport[1] = CommandMarker;
    shortReport[2] = cmdEnterBootMode;
    ASSERT_TRUE(backend.Write(h, shortReport.data(), 33, 200));
    EXPECT_EQ(t.Trace().back().data[31], 0x77);
    EXPECT_EQ(t.Trace().back().data[32], 0x00);
    out[0] = 5;
    ASSERT_TRUE(backend.Write(h, out.data(), out.size(), 200));
    ASSERT_EQ(t.Violations().size(), 2u);
    EXPECT_THAT(t.Violations()[0], HasSubstr("report of 33 bytes"));
    EXPECT_THAT(t.Violations()[1], HasSubstr("report ID 5"));
}

TEST_F(SimBackend, WritesNotTakenWaitForTheTimeout) {
    TVirtualTarget& t = backend.AddTarget(DefaultSimProfile(FamPic18));
    THidInterfaceInfo keyboard;
    keyboard.path = "kbd";
    backend.AddPlainDevice(keyboard);
    const int h = backend.Open("sim:0", error);
    const int k = backend.Open("kbd", error);
    const auto out = Report(Command(cmdEnterBootMode));
    EXPECT_FALSE(backend.Write(k, out.data(), out.size(), 200));
    EXPECT_EQ(clock.NowUs(), 200000u);
    EXPECT_FALSE(backend.Read(k, in.data(), in.size(), received));
    t.Faults().stopWritesAt = 1;
    EXPECT_FALSE(backend.Write(h, out.data(), out.size(), 200));
    EXPECT_EQ(clock.NowUs(), 400000u);
    t.Faults().stopWritesAt = 0;
    t.Unplug();
    EXPECT_FALSE(backend.Write(h, out.data(), out.size(), 200));
    EXPECT_EQ(clock.NowUs(), 600000u);
    t.Plug();
    EXPECT_FALSE(backend.Write(h, out.data(), out.size(), 200)) << "a handle from before the unplug is dead";
    const int fresh = backend.Open("sim:0", error);
    EXPECT_TRUE(backend.Write(fresh, out.data(), out.size(), 200));
    EXPECT_EQ(clock.NowUs(), 800000u);
    EXPECT_TRUE(backend.Read(fresh, in.data(), in.size(), received));
    EXPECT_EQ(in[2], 3);
    backend.Close(fresh);
    EXPECT_FALSE(backend.Write(fresh, out.data(), out.size(), 200));
    EXPECT_EQ(clock.NowUs(), 800000u) << "a closed handle fails at once";
}

TEST_F(SimBackend, UnplugIsReportedOnlyWhenAskedFor) {
    struct TCase {
        bool report;
        bool gone;
        uint64_t clockUs;  // spent by the write to the vanished board
    };
    const TCase cases[] = {{false, false, 200'000}, {true, true, 0}};
    for (const auto& c : cases) {
        TSimBackend local;
        local.ReportUnplug(c.report);
        TVirtualTarget& t = local.AddTarget(DefaultSimProfile(FamPic18));
        const int h = local.Open("sim:0", error);
        ASSERT_GE(h, 0);
        EXPECT_FALSE(local.Gone(h));
        t.Unplug();
        const auto out = Report(TPacket{});
        const uint64_t start = clock.NowUs();
        EXPECT_FALSE(local.Write(h, out.data(), out.size(), 200));
        EXPECT_EQ(clock.NowUs() - start, c.clockUs);
        EXPECT_FALSE(local.Read(h, in.data(), in.size(), received));
        EXPECT_EQ(local.Gone(h), c.gone);
        // The board comes back: the old handle stays gone, a new one is not.
        t.Plug();
        EXPECT_EQ(local.Gone(h), c.gone);
        const int fresh = local.Open("sim:0", error);
        EXPECT_FALSE(local.Gone(fresh));
    }
}

TEST_F(SimBackend, ReportThatUnplugsTheBoardFailsAtOnceWhenReported) {
    backend.ReportUnplug(true);
    TVirtualTarget& t = backend.AddTarget(DefaultSimProfile(FamPic18));
    t.Faults().unplugAt = 1;
    const int h = backend.Open("sim:0", error);
    const auto out = Report(TPacket{});
    const uint64_t start = clock.NowUs();
    EXPECT_FALSE(backend.Write(h, out.data(), out.size(), 200));
    EXPECT_EQ(clock.NowUs(), start);
    EXPECT_TRUE(backend.Gone(h));
}
