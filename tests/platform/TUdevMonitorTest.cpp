#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "TTempDir.h"
#include "platform/TDeviceMonitor.h"
#include "usb/HIDinterface.h"
#include "support/UeventLock.h"

namespace {

const char* const NullUevent = "/sys/devices/virtual/mem/null/uevent";
constexpr int EventWaitMs = 2000; // generous; the kernel queues the event before the write returns
constexpr int QuietMs = 150;      // how long to look for an event that should not come

bool FireUevent() {
    const int fd = ::open(NullUevent, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, "change", 6) == 6;
    ::close(fd);
    return ok;
}

// Drains until `expected` events have come or the wait runs out, then keeps looking a little for
// surplus ones. Returns the total.
int CollectEvents(TDeviceMonitor& monitor, int expected) {
    int total = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(EventWaitMs);
    while (total < expected && std::chrono::steady_clock::now() < end) {
        pollfd p{monitor.Fd(), POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) total += monitor.Drain();
    }
    pollfd p{monitor.Fd(), POLLIN, 0};
    if (::poll(&p, 1, QuietMs) > 0) total += monitor.Drain();
    return total;
}

int DispatchEvents(TDeviceMonitor& monitor, TUSBhandler& handler, int expected) {
    int total = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(EventWaitMs);
    while (total < expected && std::chrono::steady_clock::now() < end) {
        const int n = monitor.WaitAndDispatch(50, handler);
        if (n < 0) return n;
        total += n;
    }
    const int n = monitor.WaitAndDispatch(QuietMs, handler);
    return n < 0 ? n : total + n;
}

class TKernelUeventTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceChangeState();
        if (::geteuid() != 0) GTEST_SKIP() << "firing uevents needs root";
        if (::access(NullUevent, W_OK) != 0) GTEST_SKIP() << NullUevent << " is not writable";
        lock = std::make_unique<TUeventLock>();
        if (!lock->Held()) GTEST_SKIP() << "another test process kept the uevent lock";
        monitor = std::make_unique<TDeviceMonitor>("mem", "kernel");
        if (!monitor->Ok()) GTEST_SKIP() << "no kernel netlink monitor could be created";
        monitor->Drain(); // whatever came before the test
    }
    void TearDown() override { ResetDeviceChangeState(); }

    std::unique_ptr<TUeventLock> lock;
    std::unique_ptr<TDeviceMonitor> monitor;
};

} // namespace

TEST(TDeviceMonitor, DefaultSourceFollowsUdevd) {
    TTempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string control = dir.Path() + "/control";
    EXPECT_EQ(TDeviceMonitor::DefaultSource(control), "kernel");
    ASSERT_TRUE(dir.WriteFile("control", {}));
    EXPECT_EQ(TDeviceMonitor::DefaultSource(control), "udev");
}

TEST(TDeviceMonitor, ConstructorDefaults) {
    TDeviceMonitor monitor;
    EXPECT_EQ(monitor.Subsystem(), "hidraw");
    EXPECT_EQ(monitor.Source(), TDeviceMonitor::DefaultSource());
    if (monitor.Ok()) {
        EXPECT_GE(monitor.Fd(), 0);
        EXPECT_NE(::fcntl(monitor.Fd(), F_GETFL) & O_NONBLOCK, 0);
        const auto start = std::chrono::steady_clock::now();
        monitor.Drain(); // must not block even when nothing is pending
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
}

TEST(TDeviceMonitor, UnknownSourceIsRefused) {
    TDeviceMonitor monitor("hidraw", "bogus");
    EXPECT_FALSE(monitor.Ok());
    EXPECT_EQ(monitor.Fd(), -1);
    EXPECT_EQ(monitor.Drain(), 0);
    TUSBhandler handler;
    EXPECT_EQ(monitor.WaitAndDispatch(0, handler), -1);
}

TEST_F(TKernelUeventTest, OneEventPerWrite) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(FireUevent());
        EXPECT_EQ(CollectEvents(*monitor, 1), 1) << "write " << i;
    }
    // Several writes before anyone looks: still one each.
    ASSERT_TRUE(FireUevent());
    ASSERT_TRUE(FireUevent());
    EXPECT_EQ(CollectEvents(*monitor, 2), 2);
}

TEST_F(TKernelUeventTest, OtherSubsystemsAreFilteredOut) {
    TDeviceMonitor hidraw("hidraw", "kernel");
    ASSERT_TRUE(hidraw.Ok());
    hidraw.Drain();
    ASSERT_TRUE(FireUevent());
    EXPECT_EQ(CollectEvents(*monitor, 1), 1);
    EXPECT_EQ(hidraw.Drain(), 0);
}

TEST_F(TKernelUeventTest, DispatchesOncePerEventToTheInstalledHandler) {
    TUSBhandler handler;
    int first = 0;
    int second = 0;

    // Empty slot: events are taken but nothing is called.
    ASSERT_TRUE(FireUevent());
    EXPECT_EQ(DispatchEvents(*monitor, handler, 1), 1);

    SetDeviceChangeHandler([&] { ++first; });
    ASSERT_TRUE(FireUevent());
    ASSERT_TRUE(FireUevent());
    EXPECT_EQ(DispatchEvents(*monitor, handler, 2), 2);
    EXPECT_EQ(first, 2);

    // A replaced handler is not called again.
    SetDeviceChangeHandler([&] { ++second; });
    ASSERT_TRUE(FireUevent());
    EXPECT_EQ(DispatchEvents(*monitor, handler, 1), 1);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);

    SetDeviceChangeHandler(TDeviceChangeProc{});
    ASSERT_TRUE(FireUevent());
    EXPECT_EQ(DispatchEvents(*monitor, handler, 1), 1);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);

    // Nothing pending: a short wait dispatches nothing.
    EXPECT_EQ(monitor->WaitAndDispatch(20, handler), 0);
}
