// The flash utility: the main window on the real HID back end, with udev telling it when devices
// come and go.

#include <QApplication>

#include <cstdio>

#include "app/QtDeviceChangeSource.h"
#include "app/QtProgram.h"
#include "app/TBootloaderForm.h"
#include "platform/ProgramVersion.h"
#include "platform/THidApiBackend.h"
#include "usb/HidBackend.h"
#include "usb/HidLocale.h"

int main(int argc, char** argv) {
    // Before the application object: it needs no display.
    if (AsksForVersion(argc, argv)) {
        std::fputs(VersionText("quarnel-flash", QUARNEL_VERSION, qVersion()).c_str(), stdout);
        return 0;
    }
    QApplication app(argc, argv);
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
        // Closing the window runs FormClose; leaving this block runs FormDestroy, then the
        // monitor's shut-down step and the release of the listener.
        result = app.exec();
    }
    SetHidBackend(nullptr);
    return result;
}
