#pragma once
// The connection monitor: the pass that turns a device arrival into a bootloader in boot load mode,
// and the session state it shares with the rest of the program.

#include <cstdint>

#include "usb/Hid.h"

extern bool VendorDeviceOpen;
extern THidDevice VendorDevice;
extern THidDeviceTable KnownDevices;
extern uint8_t KnownDeviceCount;
extern THidDeviceTable PresentDevices;
extern uint8_t PresentDeviceCount;

void ResetSession();
void OnDeviceChange();
void OpenVendorDevice();
void InstallOnDeviceChange();
void InstallOpenVendorDevice();

// The closing steps after a flash procedure, whatever its result: the device and the target table's
// handles are closed, the device-change handler is removed and the session ends with "Completed.".
void CloseFlashSession();

// Program-wide start-up step (before the main window exists) and the shut-down step.
void MonitorStartup();
void MonitorShutdown();

// How the last connection pass ended (for the command-line exit code and the tests).
// NoAnswer and Unplugged: the boot-information query got no answer, or the board went away then.
enum class TPassResult { None, NoDevice, OpenFailed, NotFound, NoAnswer, Unplugged, BadBootInfo, BootModeFailed, Connected };
extern TPassResult LastPassResult;

void ResetMonitorState();
