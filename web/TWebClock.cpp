#include "web/TWebClock.h"

#include <emscripten.h>

// A browser timer fires a millisecond or so late, and a flash makes about a thousand 10-12 ms pauses:
// the timer sleeps to two milliseconds before the end, and message-channel turns of the event loop,
// which no timer clamping slows, take it to the exact end. The page's events run in both.
// clang-format off
EM_ASYNC_JS(void, qf_js_pause_until, (double deadlineMs, int ms), {
    if (ms > 2) await new Promise((resolve) => setTimeout(resolve, ms - 2));
    const turn = () => new Promise((resolve) => {
        const channel = new MessageChannel();
        channel.port1.onmessage = () => { channel.port1.close(); resolve(); };
        channel.port2.postMessage(0);
    });
    do { await turn(); } while (performance.now() < deadlineMs);
    Module.pauseLateMs = (Module.pauseLateMs || 0) + performance.now() - deadlineMs;
});
// clang-format on

void TWebClock::Pause(uint32_t ms) {
    m_pausedUs += uint64_t(ms) * 1000;
    qf_js_pause_until(emscripten_get_now() + double(ms), int(ms));
}

uint64_t TWebClock::NowUs() {
    return uint64_t(emscripten_get_now() * 1000.0);
}
