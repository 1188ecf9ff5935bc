// The flash utility: the main window on the real HID back end, with udev telling it when devices
// come and go.

#include <QApplication>

#include <cstdio>

#include "app/WindowProgram.h"
#include "platform/ProgramVersion.h"

int main(int argc, char** argv) {
    // Before the application object: it needs no display.
    if (AsksForVersion(argc, argv)) {
        std::fputs(VersionText("quarnel-flash", QUARNEL_VERSION, qVersion()).c_str(), stdout);
        return 0;
    }
    QApplication app(argc, argv);
    return RunWindowProgram(app);
}
