#pragma once
// Puts every layer's program-wide state back to program start: transport, device-change slot,
// protocol, images, log memory, connection pass and stored setup (used by tests and the fuzzers).

void ResetProgramState();
