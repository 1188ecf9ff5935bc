#include "usb/HIDinterface.h"

#include <atomic>
#include <mutex>

TDeviceChangeProc DeviceChangeHandler;
TUSBhandler* USBhandler = nullptr;

namespace {
THandlerKind HandlerKind = THandlerKind::None;
std::atomic<int> Pending{0};
std::mutex WakeMutex;
std::function<void()> Wakeup;
}  // namespace

void SetDeviceChangeHandler(TDeviceChangeProc proc) {
    SetDeviceChangeHandler(proc ? THandlerKind::Other : THandlerKind::None, std::move(proc));
}

void SetDeviceChangeHandler(THandlerKind kind, TDeviceChangeProc proc) {
    DeviceChangeHandler = std::move(proc);
    HandlerKind = DeviceChangeHandler ? kind : THandlerKind::None;
}

THandlerKind DeviceChangeHandlerKind() { return HandlerKind; }

TUSBhandler::TUSBhandler() { USBhandler = this; }

TUSBhandler::~TUSBhandler() {
    if (USBhandler == this) USBhandler = nullptr;
}

void TUSBhandler::DeviceChanged() {
    if (!DeviceChangeHandler) return;
    // Copy first: the handler may replace itself in the slot while it runs.
    TDeviceChangeProc proc = DeviceChangeHandler;
    proc();
}

void PostDeviceChange() {
    Pending.fetch_add(1);
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(WakeMutex);
        wake = Wakeup;
    }
    if (wake) wake();
}

int DispatchDeviceChanges() {
    int n = 0;
    while (Pending.load() > 0) {
        Pending.fetch_sub(1);
        ++n;
        if (USBhandler) {
            USBhandler->DeviceChanged();
        } else if (DeviceChangeHandler) {
            TDeviceChangeProc proc = DeviceChangeHandler;
            proc();
        }
    }
    return n;
}

int PendingDeviceChanges() { return Pending.load(); }

void SetDeviceChangeWakeup(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(WakeMutex);
    Wakeup = std::move(wake);
}

void ResetDeviceChangeState() {
    DeviceChangeHandler = nullptr;
    HandlerKind = THandlerKind::None;
    Pending.store(0);
    std::lock_guard<std::mutex> lock(WakeMutex);
    Wakeup = nullptr;
}
