// Waiting for device changes: virtual boards that arrive late, and real kernel events.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "cli/TDeviceWaiter.h"
#include "cli/TSimSetup.h"
#include "session/Monitor.h"
#include "support/TestSupport.h"
#include "support/UeventLock.h"
#include "usb/HIDinterface.h"

namespace {

class DeviceWaiterTest : public TProgramTest {};

TCliOptions LateBoard(const std::string& plugAfter) {
    TCliOptions o;
    o.command = TCommand::Info;
    o.simulate = "pic18";
    o.sim = {"plug-after-ms=" + plugAfter};
    return o;
}

} // namespace

TEST_F(DeviceWaiterTest, VirtualBoardArrivesAndThePassConnects) {
    TSimSetup sim;
    std::string error;
    ASSERT_TRUE(sim.Build(LateBoard("1500"), 0, error)) << error;
    SetHidBackend(&sim.Backend());
    TUSBhandler handler;
    TDeviceWaiter waiter(&sim, true);
    ASSERT_TRUE(waiter.Ok());
    MonitorStartup();
    InstallOnDeviceChange();
    OnDeviceChange();
    EXPECT_EQ(LastPassResult, TPassResult::NoDevice);
    const auto connected = [] { return LastPassResult == TPassResult::Connected; };
    EXPECT_TRUE(waiter.WaitUntil(3000000, handler, connected));
    // The virtual clock jumped straight to the plug-in; the pass then took its 220 ms.
    EXPECT_EQ(clock.NowUs(), 1720000u);
    EXPECT_FALSE(sim.NextPlugUs().has_value());
}

TEST_F(DeviceWaiterTest, VirtualWaitEndsAtTheDeadline) {
    TSimSetup sim;
    std::string error;
    ASSERT_TRUE(sim.Build(LateBoard("5000"), 0, error)) << error;
    SetHidBackend(&sim.Backend());
    TUSBhandler handler;
    TDeviceWaiter waiter(&sim, true);
    MonitorStartup();
    InstallOnDeviceChange();
    OnDeviceChange();
    EXPECT_FALSE(waiter.WaitUntil(2000000, handler, [] { return LastPassResult == TPassResult::Connected; }));
    EXPECT_EQ(clock.NowUs(), 2000000u);
    EXPECT_EQ(LastPassResult, TPassResult::NoDevice);
}

// A change event on /dev/null stands in for a HID device arriving: it goes through the same monitor.
TEST(DeviceWaiterKernel, WakesOnAUevent) {
    const char* uevent = "/sys/devices/virtual/mem/null/uevent";
    if (::access(uevent, W_OK) != 0) GTEST_SKIP() << "needs root to fire a uevent";
    // The platform tests count these events exactly: take turns with them.
    const TUeventLock lock;
    SetClock(nullptr);
    ResetDeviceChangeState();
    TUSBhandler handler;
    TDeviceWaiter waiter(nullptr, false, "mem");
    if (!waiter.Ok()) GTEST_SKIP() << waiter.Error();
    int calls = 0;
    SetDeviceChangeHandler([&calls] { ++calls; });
    std::thread trigger([uevent] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream(uevent) << "change\n";
    });
    const auto start = std::chrono::steady_clock::now();
    const bool woke = waiter.WaitUntil(NowUs() + 5000000, handler, [&calls] { return calls > 0; });
    const auto took = std::chrono::steady_clock::now() - start;
    trigger.join();
    SetDeviceChangeHandler(nullptr);
    EXPECT_TRUE(woke);
    EXPECT_GE(calls, 1);
    EXPECT_LT(took, std::chrono::seconds(4));
}
