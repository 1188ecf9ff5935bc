#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimTestHelpers.h"
#include "support/TestSupport.h"
#include "usb/HIDinterface.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class VirtualTarget : public TProgramTest {};

TEST_F(VirtualTarget, InitialFlashAndFamilyAddresses) {
    TVirtualTarget pic16(DefaultSimProfile(FamPic16));
    EXPECT_EQ(pic16.BootStartImageOffset(), 0x3800u);
    EXPECT_EQ(pic16.ErasedByte(1), 0x3F);
    for (uint32_t i = 1; i < pic16.Flash().size(); i += 2) ASSERT_LE(pic16.Flash()[i], 0x3F) << i;
    EXPECT_NE(pic16.Flash()[0x37FE], pic16.Flash()[0x3800]) << "old firmware and bootloader differ";
    EnterBootMode(pic16);
    Send(pic16, {Command(cmdErase, 32, 1)});  // word 32 = image offset 64
    EXPECT_TRUE(pic16.Flash()[64] == 0xFF && pic16.Flash()[65] == 0x3F);
    EXPECT_NE(pic16.Flash()[63], 0x3F) << "the block below is not erased";

    TVirtualTarget pic24(DefaultSimProfile(FamPic24));
    EnterBootMode(pic24);
    Send(pic24, {Command(cmdErase, 1024, 1)});  // address 1024 = image offset 1536
    EXPECT_EQ(pic24.Flash()[1536], 0xFF);
    EXPECT_NE(pic24.Flash()[1535], 0xFF);

    TVirtualTarget pic32(DefaultSimProfile(FamPic32));
    EXPECT_EQ(pic32.BootStartImageOffset(), 0x7C000u);
    EXPECT_EQ(pic32.BootFlash().size(), 0x3000u);
    EnterBootMode(pic32);
    // Boot flash goes in 256-byte pieces although the row is 512 bytes.
    Send(pic32, {Command(cmdErase, Pic32BootBase, 1), Command(cmdWrite, Pic32BootBase + 256, 64),
                 Filled(0x42), Command(cmdErase, Pic32ProgramBase + 4096, 1)});
    EXPECT_TRUE(pic32.BootFlash()[0] == 0xFF && pic32.BootFlash()[256] == 0x42);
    EXPECT_EQ(pic32.Flash()[4096], 0xFF);
    EXPECT_NE(pic32.Flash()[4095], 0xFF);
    EXPECT_TRUE(pic16.Violations().empty() && pic24.Violations().empty() && pic32.Violations().empty());
}

TEST_F(VirtualTarget, FlashBehavesLikeNor) {
    TVirtualTarget t(DefaultSimProfile(FamPic18));
    EnterBootMode(t);
    const std::vector<uint8_t> before(t.Flash().begin(), t.Flash().begin() + 128);
    TPacket data = Filled(0x5A);
    data[0] = CommandMarker;  // data that starts like a command is still data
    Send(t, {Command(cmdWrite, 0, 128), data});
    EXPECT_FALSE(TakeAnswer(t)) << "only the last report of a write is answered";
    Send(t, {data});
    auto ack = TakeAnswer(t);
    ASSERT_TRUE(ack);
    EXPECT_EQ((*ack)[1], cmdWrite);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(t.Flash()[i], before[i] & data[i % 64]) << i;

    Send(t, {Command(cmdErase, 64, 1)});
    ack = TakeAnswer(t);
    ASSERT_TRUE(ack);
    EXPECT_EQ((*ack)[1], cmdErase);
    EXPECT_EQ(t.Flash()[63], before[63] & 0x5A) << "only one block erased";
    Send(t, {Command(cmdWrite, 64, 40), Filled(0x11)});
    for (int i = 64; i < 104; ++i) ASSERT_EQ(t.Flash()[i], 0x11);
    EXPECT_EQ(t.Flash()[104], 0xFF) << "bytes past the count are padding";
    EXPECT_TRUE(t.Violations().empty());
    EXPECT_THAT(t.Commands(), ElementsAre(cmdEnterBootMode, cmdWrite, cmdErase, cmdWrite));
    EXPECT_THAT(t.WriteAddresses(), ElementsAre(0u, 64u));
}

TEST_F(VirtualTarget, ProtocolViolationsAreRecorded) {
    struct TCase {
        const char* name;
        uint8_t family;
        bool bootMode;
        std::vector<TPacket> packets;
        const char* expected;
    };
    const TPacket data = Filled(0);
    const std::vector<TCase> cases = {
        {"data without header", FamPic18, true, {data}, "data report without a pending write header"},
        {"unknown command", FamPic18, true, {Command(0x09)}, "unknown command 0x09"},
        {"erase before boot mode", FamPic18, false, {Command(cmdErase, 0, 1)}, "before boot mode"},
        {"write before boot mode", FamPic18, false, {Command(cmdWrite, 0, 64), data}, "before boot mode"},
        {"erase outside", FamPic18, true, {Command(cmdErase, 0x20000, 1)}, "outside flash"},
        {"erase misaligned", FamPic18, true, {Command(cmdErase, 32, 1)}, "not aligned to the 64-byte erase"},
        {"erase two blocks", FamPic18, true, {Command(cmdErase, 0, 2)}, "of 2 blocks"},
        {"erase bootloader", FamPic18, true, {Command(cmdErase, 0xF000, 1)}, "touches the bootloader"},
        {"write outside", FamPic32, true, {Command(cmdWrite, 0x9D000000, 64), data}, "outside flash"},
        {"write misaligned", FamPic18, true, {Command(cmdWrite, 16, 64), data}, "not aligned to the 64-byte"},
        {"write odd PIC24", FamPic24, true, {Command(cmdWrite, 0x81, 64), data}, "odd address"},
        {"write of 0 bytes", FamPic18, true, {Command(cmdWrite, 0, 0)}, "of 0 bytes"},
        {"write past end", FamPic32, true, {Command(cmdWrite, Pic32BootBase + 0x2F00, 512)}, "past the end"},
        {"write bootloader", FamPic18, true, {Command(cmdWrite, 0xEFC0, 128), data, data}, "the bootloader"},
        {"header as data", FamPic18, true, {Command(cmdWrite, 0, 128), data, Command(cmdWrite, 64, 64)},
         "header taken as data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TVirtualTarget t(DefaultSimProfile(c.family));
        if (c.bootMode) EnterBootMode(t);
        const auto flash = t.Flash();
        const auto bootFlash = t.BootFlash();
        Send(t, c.packets);
        ASSERT_EQ(t.Violations().size(), 1u);
        EXPECT_THAT(t.Violations()[0], HasSubstr(c.expected));
        if (std::string(c.name) != "header as data") {
            EXPECT_EQ(t.Flash(), flash) << "a refused command leaves the flash alone";
            EXPECT_EQ(t.BootFlash(), bootFlash);
        }
        if (std::string(c.name) == "write bootloader") {
            // Its data was swallowed and answered, so the host is not left waiting.
            auto ack = TakeAnswer(t);
            ASSERT_TRUE(ack);
            EXPECT_EQ((*ack)[1], cmdWrite);
        }
    }
}

TEST_F(VirtualTarget, FaultsAtChosenReports) {
    TVirtualTarget t(DefaultSimProfile(FamPic18));
    t.Faults().dropAnswerAt = 2;
    t.Faults().wrongEchoAt = 3;
    t.Faults().stopWritesAt = 5;
    EnterBootMode(t);  // report 1
    Send(t, {Command(cmdErase, 0, 1)});
    EXPECT_FALSE(TakeAnswer(t));
    Send(t, {Command(cmdErase, 64, 1)});
    auto a = TakeAnswer(t);
    ASSERT_TRUE(a);
    EXPECT_NE((*a)[1], cmdErase);
    Send(t, {Command(cmdErase, 128, 1)});
    a = TakeAnswer(t);
    ASSERT_TRUE(a);
    EXPECT_EQ((*a)[1], cmdErase);
    EXPECT_FALSE(t.Receive(Command(cmdErase, 192, 1).data()));
    EXPECT_FALSE(t.Receive(Command(cmdGetBootInfo).data()));
    EXPECT_NE(t.Flash()[192], 0xFF);
    EXPECT_EQ(t.ReportsReceived(), 6);
    EXPECT_EQ(t.Trace().size(), 4u + 3u) << "only taken reports and read answers are traced";
}

TEST_F(VirtualTarget, UnplugAndPlug) {
    TVirtualTarget t(DefaultSimProfile(FamPic18));
    t.Faults().unplugAt = 3;
    EnterBootMode(t);
    Send(t, {Command(cmdErase, 0, 1)});  // its answer is lost with the unplug
    EXPECT_EQ(PendingDeviceChanges(), 0);
    EXPECT_FALSE(t.Receive(Command(cmdErase, 64, 1).data()));
    EXPECT_FALSE(t.Plugged());
    EXPECT_EQ(PendingDeviceChanges(), 1);
    EXPECT_FALSE(TakeAnswer(t));
    EXPECT_FALSE(t.Receive(Command(cmdGetBootInfo).data()));
    t.Plug();
    EXPECT_EQ(PendingDeviceChanges(), 2);
    EXPECT_FALSE(t.InBootMode()) << "the bootloader restarted";
    EXPECT_FALSE(TakeAnswer(t));
    EXPECT_EQ(t.Flash()[0], 0xFF) << "the flash survives";
    Send(t, {Command(cmdEnterBootMode)});
    EXPECT_TRUE(TakeAnswer(t));
    t.Plug();
    EXPECT_EQ(PendingDeviceChanges(), 2) << "plugging a plugged target changes nothing";
}

TEST_F(VirtualTarget, AnswerLatencyAndTrace) {
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.latencyUs = 5000;
    TVirtualTarget t(p);
    clock.Set(12000);
    Send(t, {Command(cmdEnterBootMode), Command(cmdGetBootInfo)});
    clock.AdvanceUs(4999);
    EXPECT_FALSE(TakeAnswer(t));
    clock.AdvanceUs(1);
    auto a = TakeAnswer(t);
    ASSERT_TRUE(a);
    EXPECT_EQ((*a)[1], 3) << "answers come in order";
    a = TakeAnswer(t);
    ASSERT_TRUE(a);
    EXPECT_EQ(*a, BuildBootInfoAnswer(p));

    ASSERT_EQ(t.Trace().size(), 4u);
    EXPECT_TRUE(t.Trace()[0].out);
    EXPECT_FALSE(t.Trace()[2].out);
    EXPECT_EQ(t.Trace()[2].us, 17000u);
    const std::string text = t.TraceText(1500);
    std::vector<std::string> lines;
    for (size_t s = 0, e; (e = text.find('\n', s)) != std::string::npos; s = e + 1)
        lines.push_back(text.substr(s, e - s));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "10.500 OUT 0f03" + std::string(124, '0'));
    EXPECT_EQ(lines[2], "15.500 IN 0f03" + std::string(124, '0'));
}
