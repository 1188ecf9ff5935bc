#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/TBoundedWriter.h"

namespace {

using TClock = std::chrono::steady_clock;

long long MsSince(TClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

// A write that blocks until released, for at most 2 s, and then keeps the bytes it was given, as a
// device reads them only then. Shared with the worker, which may outlive the test when it is detached.
struct TGate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> entered{0};
    std::atomic<int> cleanups{0};
    std::vector<std::vector<uint8_t>> sent;

    int Block(const uint8_t* data, size_t len) {
        ++entered;
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(2), [&] { return open; });
        sent.emplace_back(data, data + len);
        return 65;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
};

bool WaitFor(const std::function<bool()>& done, int ms) {
    const auto end = TClock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (TClock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

TEST(TBoundedWriter, FastWriteIsTakenWithItsBytes) {
    auto seen = std::make_shared<std::vector<uint8_t>>();
    auto mutex = std::make_shared<std::mutex>();
    TBoundedWriter writer([seen, mutex](const uint8_t* data, size_t len) {
        std::lock_guard<std::mutex> lock(*mutex);
        seen->assign(data, data + len);
        return static_cast<int>(len);
    });
    ASSERT_TRUE(writer.Ok());
    uint8_t report[65];
    for (int i = 0; i < 65; ++i)
        report[i] = static_cast<uint8_t>(i);
    EXPECT_TRUE(writer.Write(report, sizeof report, 200));
    std::lock_guard<std::mutex> lock(*mutex);
    EXPECT_EQ(*seen, std::vector<uint8_t>(report, report + 65));
}

TEST(TBoundedWriter, FailedWriteIsFalse) {
    TBoundedWriter writer([](const uint8_t*, size_t) { return -1; });
    const uint8_t report[2] = {0, 1};
    EXPECT_FALSE(writer.Write(report, sizeof report, 200));
    EXPECT_FALSE(writer.Write(nullptr, 5, 200));
    std::vector<uint8_t> huge(TBoundedWriter::MaxReportSize + 1);
    EXPECT_FALSE(writer.Write(huge.data(), huge.size(), 200));
}

TEST(TBoundedWriter, BlockedWriteReturnsAfterItsBound) {
    auto gate = std::make_shared<TGate>();
    TBoundedWriter writer([gate](const uint8_t* data, size_t len) { return gate->Block(data, len); },
                          [gate] { ++gate->cleanups; });
    uint8_t report[65];
    std::fill(std::begin(report), std::end(report), 0x11);

    auto start = TClock::now();
    EXPECT_FALSE(writer.Write(report, sizeof report, 200));
    long long ms = MsSince(start);
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 1500) << "the 2 s write must not hold the caller";
    EXPECT_TRUE(writer.Busy());

    // Still stuck: the next write waits its own bound for the worker, then gives up unsent, without
    // touching the report the worker is still sending.
    std::fill(std::begin(report), std::end(report), 0x22);
    start = TClock::now();
    EXPECT_FALSE(writer.Write(report, sizeof report, 100));
    ms = MsSince(start);
    EXPECT_GE(ms, 90);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(gate->entered.load(), 1);

    // Once the stuck write returns the worker takes reports again.
    gate->Open();
    EXPECT_TRUE(WaitFor([&] { return !writer.Busy(); }, 2000));
    std::fill(std::begin(report), std::end(report), 0x33);
    EXPECT_TRUE(writer.Write(report, sizeof report, 200));
    EXPECT_EQ(gate->entered.load(), 2);
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        EXPECT_EQ(gate->sent, std::vector<std::vector<uint8_t>>({std::vector<uint8_t>(65, 0x11),
                                                                  std::vector<uint8_t>(65, 0x33)}));
    }
    EXPECT_TRUE(writer.Stop(1000));
    EXPECT_EQ(gate->cleanups.load(), 1);
}

TEST(TBoundedWriter, StopLeavesAStuckWorkerToCleanUpLater) {
    auto gate = std::make_shared<TGate>();
    auto writer = std::make_unique<TBoundedWriter>([gate](const uint8_t* data, size_t len) { return gate->Block(data, len); },
                                                   [gate] { ++gate->cleanups; });
    const uint8_t report[65] = {};
    EXPECT_FALSE(writer->Write(report, sizeof report, 50));

    const auto start = TClock::now();
    EXPECT_FALSE(writer->Stop(50)) << "the worker is still inside its write";
    writer.reset();
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(gate->cleanups.load(), 0) << "no cleanup while the write runs";

    gate->Open();
    EXPECT_TRUE(WaitFor([&] { return gate->cleanups.load() == 1; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(gate->cleanups.load(), 1);
}

TEST(TBoundedWriter, StopWhenIdleJoinsAndCleansUpOnce) {
    auto cleanups = std::make_shared<std::atomic<int>>(0);
    TBoundedWriter writer([](const uint8_t*, size_t len) { return static_cast<int>(len); },
                          [cleanups] { ++*cleanups; });
    const uint8_t report[3] = {0, 1, 2};
    EXPECT_TRUE(writer.Write(report, sizeof report, 200));
    EXPECT_TRUE(writer.Stop(1000));
    EXPECT_EQ(cleanups->load(), 1);
    EXPECT_FALSE(writer.Ok());
    EXPECT_FALSE(writer.Write(report, sizeof report, 200)) << "stopped";
    EXPECT_TRUE(writer.Stop(1000));
    EXPECT_EQ(cleanups->load(), 1);
}
