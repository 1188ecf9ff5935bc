#pragma once
// Pauses on Windows: the default timer tick is about 15.6 ms, so a 10-12 ms pause on Sleep() would
// stretch by up to half. A high-resolution waitable timer keeps it close to what was asked.

#include <cstdint>

// Sleeps ms milliseconds on this thread's waitable timer (high resolution where the system has it).
void PauseOnWaitableTimer(uint32_t ms);
// Whether this thread's timer is a high-resolution one (false: the fallback with a 1 ms tick).
bool HighResolutionTimer();
