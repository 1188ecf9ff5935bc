#include "app/QtHostHooks.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "usb/HIDinterface.h"

void QtProcessMessages() {
    QCoreApplication::processEvents();
    DispatchDeviceChanges();
}

void InstallQtDeviceChangeWakeup() {
    SetDeviceChangeWakeup([] {
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) return;
        // One call may find several notifications, and a later one none: both are harmless.
        QMetaObject::invokeMethod(
            app, [] { DispatchDeviceChanges(); }, Qt::QueuedConnection);
    });
}

void RemoveQtDeviceChangeWakeup() {
    SetDeviceChangeWakeup(nullptr);
}
