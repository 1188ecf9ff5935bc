#include "boot/Clock.h"

#include <chrono>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#endif

namespace {
TSystemPause SystemPause = nullptr;
}  // namespace

void SetSystemPause(TSystemPause pause) { SystemPause = pause; }

void TRealClock::Pause(uint32_t ms) {
    if (SystemPause != nullptr) {
        SystemPause(ms);
        return;
    }
#if defined(__linux__)
    // A flash makes thousands of 10-12 ms pauses; the default 50 us timer slack lengthens every
    // one of them. Sleep to an absolute deadline with the slack at its minimum, then put it back so
    // the event loop's own timers keep their usual batching.
    const int oldSlack = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += time_t(ms / 1000);
    deadline.tv_nsec += long(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
    if (oldSlack > 0) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(oldSlack), 0, 0, 0);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
}

uint64_t TRealClock::NowUs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {
TRealClock RealClock;
IClock* Installed = &RealClock;
}  // namespace

IClock& Clock() { return *Installed; }
void SetClock(IClock* clock) { Installed = clock ? clock : &RealClock; }
