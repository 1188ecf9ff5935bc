#include "app/QtHostHooks.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>

#include "usb/HIDinterface.h"

bool QtAskYesNo(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Question, "Quarnel Flash", text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

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
