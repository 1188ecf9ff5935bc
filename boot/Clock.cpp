#include "boot/Clock.h"

#include <chrono>
#include <thread>

void TRealClock::Pause(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

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
