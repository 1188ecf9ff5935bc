// The device-change source on Windows: a device-interface notification for HID interfaces
// (CM_Register_Notification, or RegisterDeviceNotification on a message-only window where cfgmgr32
// lacks it). Each arrival or removal sets an event that WaitAndDispatch waits on; nothing is polled.

#include "platform/TDeviceMonitor.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <dbt.h>
#include <initguid.h> // GUID_DEVINTERFACE_HID defined here, not only declared

#include <hidclass.h>

#include <atomic>
#include <thread>

#include "usb/HIDinterface.h"

namespace {

// What the notification callbacks (on a system thread) and the waiting thread share.
struct TArrivals {
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> count{0};
    void Note() {
        count.fetch_add(1);
        ::SetEvent(event);
    }
    ~TArrivals() {
        if (event != nullptr) ::CloseHandle(event);
    }
};

using TRegister = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
using TUnregister = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

FARPROC CfgMgrProc(const char* name) {
    static HMODULE module = ::LoadLibraryW(L"cfgmgr32.dll");
    return module != nullptr ? ::GetProcAddress(module, name) : nullptr;
}

DWORD CALLBACK OnCmNotification(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                PCM_NOTIFY_EVENT_DATA, DWORD) {
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL ||
        action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL)
        static_cast<TArrivals*>(context)->Note();
    return ERROR_SUCCESS;
}

// The fallback: a message-only window on a thread of its own receives WM_DEVICECHANGE.
class TMessageWindow {
public:
    explicit TMessageWindow(TArrivals* arrivals) : m_arrivals(arrivals) {
        HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = std::thread([this, ready] { Run(ready); });
        ::WaitForSingleObject(ready, INFINITE);
        ::CloseHandle(ready);
    }
    ~TMessageWindow() {
        if (m_threadId != 0) ::PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
        if (m_thread.joinable()) m_thread.join();
    }
    bool Ok() const { return m_ok; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_DEVICECHANGE && (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE)) {
            auto* arrivals = reinterpret_cast<TArrivals*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            if (arrivals != nullptr) arrivals->Note();
        }
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
    void Run(HANDLE ready) {
        m_threadId = ::GetCurrentThreadId();
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QuarnelDeviceChange";
        ::RegisterClassW(&wc);
        HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      wc.hInstance, nullptr);
        HDEVNOTIFY notify = nullptr;
        if (hwnd != nullptr) {
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(m_arrivals));
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = GUID_DEVINTERFACE_HID;
            notify = ::RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        }
        m_ok = notify != nullptr;
        ::SetEvent(ready);
        MSG msg;
        while (m_ok && ::GetMessageW(&msg, nullptr, 0, 0) > 0)
            ::DispatchMessageW(&msg);
        if (notify != nullptr) ::UnregisterDeviceNotification(notify);
        if (hwnd != nullptr) ::DestroyWindow(hwnd);
    }

    TArrivals* m_arrivals;
    std::thread m_thread;
    std::atomic<DWORD> m_threadId{0};
    bool m_ok = false;
};

} // namespace

struct TDeviceMonitor::TSystemMonitor {
    TArrivals arrivals;
    HCMNOTIFICATION cm = nullptr;
    std::unique_ptr<TMessageWindow> window;

    TSystemMonitor() {
        if (arrivals.event == nullptr) return;
        const auto reg =
            reinterpret_cast<TRegister>(reinterpret_cast<void*>(CfgMgrProc("CM_Register_Notification")));
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_HID;
        if (reg != nullptr && reg(&filter, &arrivals, OnCmNotification, &cm) == CR_SUCCESS) return;
        cm = nullptr;
        window = std::make_unique<TMessageWindow>(&arrivals);
        if (!window->Ok()) window.reset();
    }
    ~TSystemMonitor() {
        if (cm != nullptr) {
            const auto unreg = reinterpret_cast<TUnregister>(
                reinterpret_cast<void*>(CfgMgrProc("CM_Unregister_Notification")));
            if (unreg != nullptr) unreg(cm);
        }
        window.reset();
    }
    bool Ok() const { return cm != nullptr || window != nullptr; }
};

TDeviceMonitor::TDeviceMonitor(const std::string& subsystem, const std::string& source)
    : m_subsystem(subsystem), m_source(source.empty() ? DefaultSource() : source) {
    auto* monitor = new TSystemMonitor;
    if (!monitor->Ok()) {
        delete monitor;
        return;
    }
    m_system = monitor;
}

TDeviceMonitor::~TDeviceMonitor() {
    delete m_system;
}

std::string TDeviceMonitor::DefaultSource(const std::string&) {
    return "windows";
}

int TDeviceMonitor::Drain() {
    if (!Ok()) return 0;
    const int n = m_system->arrivals.count.exchange(0);
    return n < MaxDrain ? n : MaxDrain;
}

int TDeviceMonitor::WaitAndDispatch(int timeoutMs, TUSBhandler& handler) {
    if (!Ok()) return -1;
    const DWORD r =
        ::WaitForSingleObject(m_system->arrivals.event, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    if (r == WAIT_FAILED) return -1;
    const int n = Drain();
    for (int i = 0; i < n; ++i)
        handler.DeviceChanged();
    return n;
}
