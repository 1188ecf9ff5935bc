#include "platform/windows/ClockWindows.h"

#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

constexpr uint32_t SpinMarginMs = 2;

// One timer per thread, made on first use. Systems before Windows 10 1803 refuse the high-resolution
// flag; there an ordinary timer with the system tick lowered to 1 ms (timeBeginPeriod) serves.
struct TThreadTimer {
    HANDLE handle = nullptr;
    bool highResolution = false;

    TThreadTimer() {
        handle = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
        highResolution = handle != nullptr;
        if (handle == nullptr) handle = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    ~TThreadTimer() {
        if (handle != nullptr) ::CloseHandle(handle);
    }
};

TThreadTimer& ThisThreadTimer() {
    thread_local TThreadTimer timer;
    return timer;
}

using TPeriodProc = UINT(WINAPI*)(UINT);

// timeBeginPeriod/timeEndPeriod from winmm, looked up once so the program does not depend on it.
TPeriodProc PeriodProc(const char* name) {
    static HMODULE winmm = ::LoadLibraryW(L"winmm.dll");
    return winmm != nullptr
               ? reinterpret_cast<TPeriodProc>(reinterpret_cast<void*>(::GetProcAddress(winmm, name)))
               : nullptr;
}

} // namespace

bool HighResolutionTimer() {
    return ThisThreadTimer().highResolution;
}

void PauseOnWaitableTimer(uint32_t ms) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    const LONGLONG deadline = start.QuadPart + LONGLONG(ms) * frequency.QuadPart / 1000;
    // The timer wakes up to a timer tick late; it is set SpinMarginMs early and the rest is spent
    // watching the counter, so a pause is as long as asked and no longer. Yielding the processor in
    // that spin would hand it to another program for a whole time slice on a busy machine.
    if (ms > SpinMarginMs) {
        TThreadTimer& timer = ThisThreadTimer();
        const uint32_t sleepMs = ms - SpinMarginMs;
        static const TPeriodProc begin = PeriodProc("timeBeginPeriod");
        static const TPeriodProc end = PeriodProc("timeEndPeriod");
        const bool lowerTick = !timer.highResolution && begin != nullptr && end != nullptr;
        if (lowerTick) begin(1);
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(sleepMs) * 10000; // relative, in 100 ns units
        if (timer.handle != nullptr && ::SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE))
            ::WaitForSingleObject(timer.handle, INFINITE);
        else
            ::Sleep(sleepMs);
        if (lowerTick) end(1);
    }
    LARGE_INTEGER now;
    for (::QueryPerformanceCounter(&now); now.QuadPart < deadline; ::QueryPerformanceCounter(&now))
        YieldProcessor();
}
