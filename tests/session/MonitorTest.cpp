#include <gtest/gtest.h>

#include "boot/BL_Vars.h"
#include "boot/Log.h"
#include "session/ProgramState.h"
#include "support/SimSession.h"
#include "usb/HIDinterface.h"

namespace {

class MonitorTest : public TSimSessionTest {
protected:
    static THidInterfaceInfo Plain(const std::string& path, uint16_t vid, uint16_t pid) {
        THidInterfaceInfo i;
        i.path = path;
        i.attributesRead = true;
        i.vendorId = vid;
        i.productId = pid;
        i.capsRead = true;
        i.reportLength = 9;
        return i;
    }
    // Program start as the window does it, then one activation.
    void Start() {
        MonitorStartup();
        ResetSession();
        ShowResetPrompt();
        InstallOnDeviceChange();
        rec.lines.clear();
    }
};

TEST_F(MonitorTest, SuccessfulPass) {
    TVirtualTarget& t = Add(DefaultSimProfile(FamPic18));
    CommErrorCount = 3;  // left over from an earlier board
    Start();
    OnDeviceChange();
    ASSERT_EQ(LastPassResult, TPassResult::Connected);
    auto log = rec.Trimmed();
    ASSERT_GE(log.size(), 13u);
    EXPECT_EQ(log[0], "HID Target device found");
    EXPECT_EQ(log[1], "HID device successfully opened");
    EXPECT_EQ(log[2], "Target MCU found.");
    EXPECT_EQ(log[3], "  MCUtype      : PIC18");
    EXPECT_EQ(log[9], "  Descriptor   : Virtual PIC18");
    const std::vector<std::string> end = {"Target device in boot load mode.", "",
                                          "Press FLASH button to start flashing.", ""};
    EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()), end);
    EXPECT_TRUE(BootloaderActive);
    EXPECT_EQ(SelectedDevice, 0);
    EXPECT_EQ(CommErrorCount, 0);
    EXPECT_EQ(McuFamily, FamPic18);
    EXPECT_EQ(rec.connectedCalls, 1);
    EXPECT_EQ(DeviceChangeHandlerKind(), THandlerKind::None);
    EXPECT_TRUE(t.InBootMode());
    // The pass waits 200 ms after opening.
    EXPECT_GE(clock.NowUs(), 200000u);
    // Further notifications do nothing until the monitor is installed again.
    t.Unplug();
    t.Plug();
    EXPECT_EQ(DispatchDeviceChanges(), 2);
    EXPECT_EQ(rec.lines.size(), log.size());
    InstallOnDeviceChange();
    OnDeviceChange();  // returns at once while the session is active
    EXPECT_EQ(rec.lines.size(), log.size());
}

TEST_F(MonitorTest, TwoBootloadersAreNotConnectedOnlyArrivalsLogged) {
    backend.AddPlainDevice(Plain("kbd", 0x046D, 0xC31C));
    Start();
    Add(DefaultSimProfile(FamPic18));
    TVirtualTarget& second = Add(DefaultSimProfile(FamPic18));
    backend.AddPlainDevice(Plain("mouse", 0x046D, 0xC31C));  // same IDs as a known device
    OnDeviceChange();
    EXPECT_EQ(LastPassResult, TPassResult::NoDevice);
    EXPECT_EQ(SelectedDevice, -1);
    EXPECT_EQ(second.ReportsReceived(), 0);
    ASSERT_EQ(rec.lines.size(), 1u);
    EXPECT_EQ(rec.lines[0], "USB event...  (3930, 2021) (3930, 2021)");
    EXPECT_EQ(KnownDeviceCount, 4);
    OnDeviceChange();  // nothing new
    EXPECT_EQ(rec.lines.size(), 1u);
}

TEST_F(MonitorTest, UnknownFamilyIsNotAskedForBootMode) {
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.family = 5;
    TVirtualTarget& t = Add(p);
    Start();
    OnDeviceChange();
    EXPECT_EQ(LastPassResult, TPassResult::NotFound);
    EXPECT_EQ(rec.Trimmed().back(), "Target MCU not found !");
    EXPECT_EQ(t.Commands(), std::vector<uint8_t>{cmdGetBootInfo});
    EXPECT_FALSE(BootloaderActive);
}

TEST_F(MonitorTest, OpenFailuresNameTheCause) {
    Add(DefaultSimProfile(FamPic18));
    Start();
    backend.FailOpens(THidOpenError::Permission);
    OnDeviceChange();
    auto log = rec.Trimmed();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], "Unable to open HID device !");
    EXPECT_EQ(log[2], "No permission for sim:0: install the udev rule ('quarnel udev-rule' prints it).");
    EXPECT_EQ(SelectedDevice, 0);
    EXPECT_EQ(LastPassResult, TPassResult::OpenFailed);
}

TEST_F(MonitorTest, HostileTargetsAreRefusedWithAClearLine) {
    struct TCase {
        const char* what;
        void (*change)(TSimProfile&);
        const char* line;
    };
    const TCase cases[] = {
        {"report length", [](TSimProfile& p) { p.reportLength = 100; }, "Report length 100 not supported (65 only)."},
        // Every report would be cut short: a PIC18 run with 33 wrote 29 wrong bytes.
        {"report length 33", [](TSimProfile& p) { p.reportLength = 33; }, "Report length 33 not supported (65 only)."},
        {"report length 64", [](TSimProfile& p) { p.reportLength = 64; }, "Report length 64 not supported (65 only)."},
        {"report length 2", [](TSimProfile& p) { p.reportLength = 2; }, "Report length 2 not supported (65 only)."},
        // Writes would overlap the bootloader or lose the moved reset vector.
        {"boot start off the erase blocks", [](TSimProfile& p) { p.bootStart = 0xF010; },
         "Boot start is not on an erase block boundary !"},
        {"erase block not whole write blocks",
         [](TSimProfile& p) {
             p.eraseBlock = 96;
             p.writeBlock = 64;
             p.bootStart = 0xC000;
         },
         "Erase block is not whole write blocks !"},
        {"blocks not whole instructions",
         [](TSimProfile& p) {
             p = DefaultSimProfile(FamPic24);
             p.eraseBlock = 1024;
             p.writeBlock = 128;
         },
         "Target's blocks are not whole instructions !"},
        {"PIC32 boot start off the erase blocks", [](TSimProfile& p) {
             p = DefaultSimProfile(FamPic32);
             p.bootStart = 0x9D07C200;
         },
         "Boot start is not on an erase block boundary !"},
        {"erase block 0", [](TSimProfile& p) { p.eraseBlock = 0; }, "Target reports an erase block of 0 !"},
        {"write block 0", [](TSimProfile& p) { p.writeBlock = 0; }, "Target reports a write block of 0 !"},
        {"boot start 0", [](TSimProfile& p) { p.bootStart = 0; }, "Target reports a boot start of 0 !"},
        {"boot start beyond", [](TSimProfile& p) { p.bootStart = 0x90000; }, "Boot start lies beyond the flash !"},
        // The moved reset vector would share bytes with the jump at address 0: the first
        // instruction would be lost on a run that reports success.
        {"vector slot on the jump",
         [](TSimProfile& p) {
             p.eraseBlock = p.writeBlock = 5;
             p.bootStart = 5;
         },
         "Boot start too low for the boot vector !"},
        {"block larger than flash",
         [](TSimProfile& p) {
             p.flashSize = 0x8000;
             p.eraseBlock = 0xC000;
         },
         "Target's blocks are larger than its flash !"},
        {"answer past 63",
         [](TSimProfile& p) {
             std::array<uint8_t, 64> a{};
             a[0] = 200;
             a[1] = 1;
             a[2] = 2;
             p.bootInfoAnswer = a;
         },
         "Boot information runs past 64 bytes !"},
    };
    for (const auto& c : cases) {
        ResetProgramState();
        SetClock(&clock);
        SetHostHooks(rec.Hooks());
        TSimBackend local;
        SetHidBackend(&local);
        TSimProfile p = DefaultSimProfile(FamPic18);
        c.change(p);
        TVirtualTarget& t = local.AddTarget(p);
        Start();
        OnDeviceChange();
        EXPECT_FALSE(BootloaderActive) << c.what;
        EXPECT_TRUE(rec.Contains(c.line)) << c.what << ": " << rec.Trimmed().back();
        for (uint8_t cmd : t.Commands()) EXPECT_EQ(cmd, cmdGetBootInfo) << c.what;
        SetHidBackend(&backend);
    }
}

TEST_F(MonitorTest, NoBootModeConfirmation) {
    TVirtualTarget& t = Add(DefaultSimProfile(FamPic32));
    t.Faults().dropAnswerAt = 2;
    Start();
    OnDeviceChange();
    EXPECT_EQ(rec.Trimmed().back(), "Unable to enter boot load mode !");
    EXPECT_EQ(SelectedDevice, 0);
    EXPECT_FALSE(BootloaderActive);
    // The next notification closes the handle of this pass before it opens again.
    const int handles = backend.OpenHandles();
    OnDeviceChange();
    EXPECT_EQ(backend.OpenHandles(), handles);
    EXPECT_TRUE(BootloaderActive);
}

TEST_F(MonitorTest, VendorDeviceOpenerMatchesTheVendorOnly) {
    backend.AddPlainDevice(Plain("other", 0x1234, 0x0001));
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.productId = 0x7777;
    Add(p);
    MonitorStartup();
    EXPECT_EQ(DeviceChangeHandlerKind(), THandlerKind::OpenVendorDevice);
    OpenVendorDevice();
    EXPECT_TRUE(VendorDeviceOpen);
    EXPECT_EQ(VendorDevice.productId, 0x7777);
    EXPECT_TRUE(rec.lines.empty());
    MonitorShutdown();
    EXPECT_EQ(backend.OpenHandles(), 0);
    EXPECT_EQ(DeviceChangeHandlerKind(), THandlerKind::None);
}

}  // namespace
