#pragma once
// The protocol's pauses and time stamps go through one installable clock: the real one sleeps,
// the virtual one only advances a counter, so tests of long time-outs run in microseconds.

#include <cstdint>

class IClock {
public:
    virtual ~IClock() = default;
    virtual void Pause(uint32_t ms) = 0;
    // Monotonic time in microseconds since an arbitrary start.
    virtual uint64_t NowUs() = 0;
};

class TRealClock final : public IClock {
public:
    void Pause(uint32_t ms) override;
    uint64_t NowUs() override;
};

class TVirtualClock final : public IClock {
public:
    void Pause(uint32_t ms) override { m_now += uint64_t(ms) * 1000; }
    uint64_t NowUs() override { return m_now; }
    void AdvanceUs(uint64_t us) { m_now += us; }
    void Set(uint64_t us) { m_now = us; }

private:
    uint64_t m_now = 0;
};

// A system whose plain sleep is too coarse for the protocol's 10-12 ms pauses installs its own pause
// for the real clock from its entry point (Windows: platform/windows/ClockWindows.cpp); none installed,
// the real clock sleeps on the monotonic clock.
using TSystemPause = void (*)(uint32_t ms);
void SetSystemPause(TSystemPause pause);

IClock& Clock();
void SetClock(IClock* clock);  // nullptr re-installs the real clock
inline void Pause(uint32_t ms) { Clock().Pause(ms); }
inline uint64_t NowUs() { return Clock().NowUs(); }
