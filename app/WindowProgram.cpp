#include "app/WindowProgram.h"

#include <QApplication>

#include "app/QtDeviceChangeSource.h"
#include "app/QtProgram.h"
#include "app/TBootloaderForm.h"
#include "platform/THidApiBackend.h"
#include "usb/HidBackend.h"
#include "usb/HidLocale.h"

int RunWindowProgram(QApplication& app, const std::function<void(TBootloaderForm&)>& shown) {
    UseUtf8CharacterType();
    THidApiBackend backend;
    SetHidBackend(&backend);
    int result = 0;
    {
        // The system's notifications first: they reach the listener that the program step creates.
        TQtDeviceChangeSource deviceChanges("hidraw");
        TQtProgram program(QCoreApplication::applicationFilePath().toStdString());
        TBootloaderForm form;
        form.show();
        if (shown) shown(form);
        // Closing the window runs FormClose; leaving this block runs FormDestroy, then the
        // monitor's shut-down step and the release of the listener.
        result = app.exec();
    }
    SetHidBackend(nullptr);
    return result;
}
