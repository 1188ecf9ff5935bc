#pragma once
// Device-change notification: one handler slot, called once per notification on the GUI thread.

#include <functional>

using TDeviceChangeProc = std::function<void()>;

// The one slot. Empty at program start.
extern TDeviceChangeProc DeviceChangeHandler;
void SetDeviceChangeHandler(TDeviceChangeProc proc);  // an empty function empties the slot
// A name for the installed procedure, so that tests and the trace can tell which one is in the slot.
enum class THandlerKind { None, OpenVendorDevice, OnDeviceChange, Other };
void SetDeviceChangeHandler(THandlerKind kind, TDeviceChangeProc proc);
THandlerKind DeviceChangeHandlerKind();

// The listener. The platform's notification source (udev monitor, virtual target) feeds it:
// DeviceChanged() is the message method, run for every notification that reaches the program.
class TUSBhandler {
public:
    TUSBhandler();
    ~TUSBhandler();
    TUSBhandler(const TUSBhandler&) = delete;
    TUSBhandler& operator=(const TUSBhandler&) = delete;

    void DeviceChanged();
};

// Notifications that arrive from outside the GUI thread's own call chain (the virtual target plugs
// in or out in the middle of a transfer) are queued and dispatched from the loop, one call each.
void PostDeviceChange();
// Calls the installed handler once per queued notification; returns how many were dispatched.
int DispatchDeviceChanges();
int PendingDeviceChanges();
// Called (from any thread) whenever a notification is queued, so a loop can wake up.
void SetDeviceChangeWakeup(std::function<void()> wake);

extern TUSBhandler* USBhandler;

void ResetDeviceChangeState();
