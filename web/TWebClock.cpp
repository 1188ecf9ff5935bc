#include "web/TWebClock.h"

#include <emscripten.h>

void TWebClock::Pause(uint32_t ms) {
    m_pausedUs += uint64_t(ms) * 1000;
    emscripten_sleep(ms);
}

uint64_t TWebClock::NowUs() { return uint64_t(emscripten_get_now() * 1000.0); }
