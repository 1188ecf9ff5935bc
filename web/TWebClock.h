#pragma once
// The page's clock: a pause suspends the run (Asyncify) and hands the browser back its event loop,
// so input reports, clicks and the progress bar go on while the protocol waits.

#include "boot/Clock.h"

class TWebClock final : public IClock {
public:
    void Pause(uint32_t ms) override;
    uint64_t NowUs() override;
    // Time spent in pauses since the start, as asked for (the protocol's floor for a run).
    uint64_t PausedUs() const { return m_pausedUs; }

private:
    uint64_t m_pausedUs = 0;
};
