// quarnel-window-driver: the window program exactly as quarnel-flash runs it (RunWindowProgram:
// hidapi back end, udev device-change source, program steps, main window), with a driver on a timer
// that does what a user does: choose the file when the window asks for it, wait for
// " Target connected ", press FLASH, and read "Flashing complete.".
//
//   quarnel-window-driver FILE.hex [SECONDS]
//
// Prints the window's log on stdout; exit 0 when the log says "Flashing complete.", 1 otherwise.

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/TBootloaderForm.h"
#include "app/WindowProgram.h"
#include "widgets/TBitBtnWC.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: quarnel-window-driver FILE.hex [SECONDS]\n");
        return 2;
    }
    const std::string hex = argv[1];
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    QApplication app(argc, argv);
    int result = 1;
    RunWindowProgram(app, [&](TBootloaderForm& form) {
        bool pressed = false;
        auto* driver = new QTimer(&form);
        driver->setInterval(50);
        QObject::connect(driver, &QTimer::timeout, [&form, &app, &result, hex, pressed]() mutable {
            const QString log = form.InputWindow->toPlainText();
            // The connection pass asks for a file when the family has none yet: choose it.
            if (form.OD->isVisible()) {
                std::printf("driver: file dialog open, choosing %s\n", hex.c_str());
                std::fflush(stdout);
                form.OD->selectFile(QString::fromStdString(hex));
                QMetaObject::invokeMethod(form.OD, "accept");
                return;
            }
            if (!pressed && form.ConnectIndicator->text() == " Target connected " && form.FlashBut->isEnabled()) {
                std::printf("driver: indicator says \"%s\", pressing FLASH\n",
                            form.ConnectIndicator->text().toUtf8().constData());
                std::fflush(stdout);
                pressed = true;
                form.FlashBut->click();
                return;
            }
            if (pressed && log.contains("Completed.")) {
                result = log.contains("Flashing complete.") ? 0 : 1;
                app.quit();
            }
        });
        QTimer::singleShot(seconds * 1000, &form, [&app, seconds] {
            std::printf("driver: gave up after %d s\n", seconds);
            app.quit();
        });
        driver->start();
        QTimer::singleShot(0, &form, [] {
            std::printf("driver: window shown\n");
            std::fflush(stdout);
        });
        // The window is still there when the event loop is about to end: its log is the record.
        QObject::connect(&app, &QCoreApplication::aboutToQuit, &form, [&form] {
            std::printf("%s\n", form.InputWindow->toPlainText().toUtf8().constData());
            std::fflush(stdout);
        });
    });
    return result;
}
