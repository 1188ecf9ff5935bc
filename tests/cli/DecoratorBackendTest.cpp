// The back ends the command line puts over the real or virtual one: the trace and the selection.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "RunQuarnel.h"
#include "boot/BL_Flash.h"
#include "cli/TSelectBackend.h"
#include "cli/TTraceBackend.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "sim/TSimBackend.h"
#include "support/TestSupport.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

namespace {

class TraceBackendTest : public TProgramTest {
protected:
    void Connect(TTraceBackend& trace) {
        SetHidBackend(&trace);
        MonitorStartup();
        InstallOnDeviceChange();
        OnDeviceChange();
        ASSERT_EQ(LastPassResult, TPassResult::Connected);
    }
    TSimBackend sim;
    std::ostringstream text;
};

std::vector<std::string> Paths(IHidBackend& backend) {
    std::vector<THidInterfaceInfo> list;
    EXPECT_TRUE(backend.Enumerate(list));
    std::vector<std::string> paths;
    for (const auto& i : list)
        paths.push_back(i.path);
    return paths;
}

} // namespace

TEST(TraceLine, StampDirectionAndSixtyFourBytes) {
    uint8_t data[64];
    for (int i = 0; i < 64; ++i)
        data[i] = uint8_t(i * 5);
    const std::string line = TTraceBackend::FormatLine(1234567, true, data, 64);
    EXPECT_EQ(line.substr(0, 17), "1234.567 OUT 0005");
    EXPECT_EQ(line.size(), std::string("1234.567 OUT ").size() + 128);
    EXPECT_EQ(line.substr(line.size() - 2), "3b"); // 63 * 5 = 315 -> 0x3B
    // A short report is padded, so every line has the same shape.
    const uint8_t two[2] = {0xAB, 0xCD};
    const std::string shortLine = TTraceBackend::FormatLine(5, false, two, 2);
    EXPECT_EQ(shortLine, "0.005 IN abcd" + std::string(124, '0'));
}

TEST_F(TraceBackendTest, SameTraceAsTheVirtualTargetKeeps) {
    TVirtualTarget& target = sim.AddTarget(DefaultSimProfile(FamPic18));
    TTraceBackend trace(sim, text, 0);
    Connect(trace);
    EXPECT_EQ(FlashTarget(ExamplePath("pic18/blink18.hex"), false), TFlashResult::Flashed);
    CloseFlashSession();
    // What went through the decorator is, report for report and to the microsecond, what the target saw.
    EXPECT_EQ(text.str(), target.TraceText(0));
    EXPECT_EQ(trace.Lines(), int64_t(target.Trace().size()));
    const std::regex shape("[0-9]+\\.[0-9]{3} (OUT|IN) [0-9a-f]{128}");
    for (const auto& l : SplitLines(text.str()))
        EXPECT_TRUE(std::regex_match(l, shape)) << l;
}

TEST_F(TraceBackendTest, ReportsNotTakenAreLeftOut) {
    TVirtualTarget& target = sim.AddTarget(DefaultSimProfile(FamPic18));
    target.Faults().stopWritesAt = 5; // the target takes the first 4 reports only
    TTraceBackend trace(sim, text, 0);
    Connect(trace);
    EXPECT_EQ(FlashTarget(ExamplePath("pic18/blink18.hex"), false), TFlashResult::CommFailed);
    CloseFlashSession();
    const std::vector<std::string> lines = SplitLines(text.str());
    int outs = 0;
    for (const auto& l : lines)
        outs += l.find(" OUT ") != std::string::npos ? 1 : 0;
    EXPECT_EQ(outs, 4);
    EXPECT_GT(target.ReportsReceived(), 4); // more were offered, and not traced
    EXPECT_EQ(text.str(), target.TraceText(0));
}

TEST_F(TraceBackendTest, TimesCountFromTheStart) {
    sim.AddTarget(DefaultSimProfile(FamPic18));
    clock.Set(5000000);
    TTraceBackend trace(sim, text, 5000000);
    Connect(trace);
    // The pass waits 200 ms after opening before it asks for the boot information.
    EXPECT_EQ(text.str().substr(0, 12), "200.000 OUT ");
}

TEST(SelectBackend, HidesOtherBootloadersOnly) {
    TSimBackend sim;
    for (int i = 1; i <= 3; ++i) {
        TSimProfile p = DefaultSimProfile(FamPic18);
        p.path = "sim:" + std::to_string(i);
        p.serial = i == 3 ? "" : "S" + std::to_string(i);
        sim.AddTarget(p);
    }
    THidInterfaceInfo keyboard;
    keyboard.path = "kbd";
    keyboard.attributesRead = true;
    keyboard.vendorId = 0x046D;
    keyboard.productId = 0xC31C;
    sim.AddPlainDevice(keyboard);

    TSelectBackend byPath(sim, DefaultVid, DefaultPid, "sim:2", "");
    EXPECT_EQ(Paths(byPath), (std::vector<std::string>{"sim:2", "kbd"}));
    TSelectBackend bySerial(sim, DefaultVid, DefaultPid, "", "S1");
    EXPECT_EQ(Paths(bySerial), (std::vector<std::string>{"sim:1", "kbd"}));
    TSelectBackend both(sim, DefaultVid, DefaultPid, "sim:2", "S1");
    EXPECT_EQ(Paths(both), (std::vector<std::string>{"kbd"}));
    // A device without a serial number is matched by the "---" the transport shows for it.
    TSelectBackend noSerial(sim, DefaultVid, DefaultPid, "", "---");
    EXPECT_EQ(Paths(noSerial), (std::vector<std::string>{"sim:3", "kbd"}));
    // Other IDs: the selection does not apply, everything stays.
    TSelectBackend otherIds(sim, 0x1234, 0x5678, "sim:2", "");
    EXPECT_EQ(Paths(otherIds).size(), 4u);
}

TEST(SelectBackend, TransfersGoThrough) {
    TSimBackend sim;
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.path = "sim:1";
    TVirtualTarget& target = sim.AddTarget(p);
    TSelectBackend select(sim, DefaultVid, DefaultPid, "sim:1", "");
    THidOpenError error = THidOpenError::None;
    const int h = select.Open("sim:1", error);
    ASSERT_GE(h, 0);
    uint8_t report[65] = {0, CommandMarker, cmdGetBootInfo};
    EXPECT_TRUE(select.Write(h, report, sizeof report, 200));
    EXPECT_EQ(target.ReportsReceived(), 1);
    uint8_t answer[65] = {};
    size_t received = 0;
    EXPECT_TRUE(select.Read(h, answer, sizeof answer, received));
    EXPECT_EQ(received, 65u);
    EXPECT_EQ(answer[2], 1); // family tag of the boot information
    select.Close(h);
    EXPECT_EQ(sim.OpenHandles(), 0);
}

namespace {

TEST(DecoratorGone, BothDecoratorsPassTheUnplugThrough) {
    for (bool report : {false, true}) {
        TSimBackend sim;
        sim.ReportUnplug(report);
        TVirtualTarget& t = sim.AddTarget(DefaultSimProfile(FamPic18));
        TSelectBackend select(sim, 0x3930, 0x2021, "sim:0", "");
        std::ostringstream text;
        TTraceBackend trace(select, text, 0);
        THidOpenError error = THidOpenError::None;
        const int h = trace.Open("sim:0", error);
        ASSERT_GE(h, 0);
        EXPECT_FALSE(trace.Gone(h));
        t.Unplug();
        EXPECT_EQ(select.Gone(h), report);
        EXPECT_EQ(trace.Gone(h), report);
    }
}

}  // namespace
