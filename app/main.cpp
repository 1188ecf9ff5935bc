// The flash utility: the main window on the real HID back end, with udev telling it when devices
// come and go.

#include <QApplication>

#include "app/QtDeviceChangeSource.h"
#include "app/QtProgram.h"
#include "app/TBootloaderForm.h"
#include "platform/THidApiBackend.h"
#include "usb/HidBackend.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    THidApiBackend backend;
    SetHidBackend(&backend);
    int result = 0;
    {
        // The system's notifications first: they reach the listener that the program step creates.
        TQtDeviceChangeSource deviceChanges("hidraw");
        TQtProgram program(QCoreApplication::applicationFilePath().toStdString());
        TBootloaderForm form;
        form.show();
        // Closing the window runs FormClose; leaving this block runs FormDestroy, then the
        // monitor's shut-down step and the release of the listener.
        result = app.exec();
    }
    SetHidBackend(nullptr);
    return result;
}
