// The flash utility on a virtual target: the same window, with a bootloader that lives in memory.
// The target is plugged in one second after start, again one second after each Reset, and comes
// back by itself one second after a session has ended or it has gone away, as if the user had
// pressed the board's reset button. The demo keeps its own setup, apart from the real program's,
// and starts with the family's example image, so that the first FLASH works.
//
// quarnel-flash-demo [FAMILY] [--image FILE] [--sim KEY=VALUE,...]... [--screenshots DIR]
//   FAMILY         pic16, pic18 (default), pic18fj, pic24, dspic or pic32
//   --image        use FILE as the family's image (instead of the stored one or the example)
//   --sim          settings and faults of the virtual board, as for the command-line flasher:
//                  boot-start, flash-size, ..., drop-answer=N, wrong-echo=N, stop-writes=N,
//                  unplug-at=N, corrupt-at=N, plug-after-ms=MS
//   --screenshots  take PNGs of the window while waiting, connected, flashing, after one flash,
//                  after a failed one and after a refused file into DIR, then quit
//   --version      print the version and those of hidapi and Qt, then quit

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "app/DemoSetup.h"
#include "app/QtProgram.h"
#include "app/TBootloaderForm.h"
#include "boot/BL_Vars.h"
#include "platform/ProgramVersion.h"
#include "session/History.h"
#include "session/LoaderSetup.h"
#include "sim/TFlashCheck.h"
#include "sim/TSimBackend.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"
#include "usb/HidBackend.h"
#include "usb/HidLocale.h"
#include "widgets/TBitBtnWC.h"

namespace {

constexpr int PlugDelayMs = 1000;

// Walks the window through waiting, connected, flashing, flashed and failed, saving one picture of
// each.
class TScreenshotRun : public QObject {
public:
    TScreenshotRun(TBootloaderForm& form, TVirtualTarget& target, const QString& dir, std::string refusedFile)
        : m_form(form), m_target(target), m_dir(dir), m_refusedFile(std::move(refusedFile)) {
        QDir().mkpath(dir);
        connect(&m_poll, &QTimer::timeout, this, [this] { Poll(); });
        m_poll.start(100);
    }
    bool Ok() const { return m_ok; }

private:
    void Save(const char* name) {
        m_form.UpdateTimerEvent();
        const QString file = QDir(m_dir).filePath(QString("screenshot-%1.png").arg(name));
        const bool saved = m_form.grab().save(file);
        std::fprintf(stderr, "%s %s\n", saved ? "saved" : "could not save", qPrintable(file));
        m_ok = m_ok && saved;
    }

    // The flash runs inside the click and lets messages through: the picture of the running flash
    // is taken from in there, a moment after the start.
    void Flash() {
        m_poll.stop();
        QTimer::singleShot(1500, this, [this] {
            if (FlashPhase == 100) Save("flashing");
        });
        m_form.FlashBut->click();
        m_ticks = 0;
        m_poll.start(100);
    }

    void Poll() {
        ++m_ticks;
        switch (m_step) {
        case 0: // the prompt, before the target is plugged in
            if (m_ticks >= 3) {
                Save("waiting");
                m_step = 1;
            }
            break;
        case 1:
        case 4:
        case 7:
            if (BootloaderActive) {
                m_ticks = 0;
                ++m_step;
            }
            break;
        case 2: // let the indicator and the label settle
            if (m_ticks >= 3) {
                Save("connected");
                m_step = 3;
                Flash();
            }
            break;
        case 3:
            if (m_ticks >= 3) {
                Save("flashed");
                // Reset: the demo unplugs the target and plugs it in again a second later.
                m_form.ResetButton->click();
                m_ticks = 0;
                m_step = 4;
            }
            break;
        case 5: // connected again: this time the board answers an erase with a wrong echo
            if (m_ticks >= 3) {
                m_target.Faults().wrongEchoAt = m_target.ReportsReceived() + 20;
                m_step = 6;
                Flash();
            }
            break;
        case 6:
            if (m_ticks >= 3) {
                Save("failed");
                m_ticks = 0;
                m_step = 7;
            }
            break;
        case 8: // connected again: a file that holds nothing for this board
            if (m_ticks >= 3) {
                m_form.ChooseImageFile(m_refusedFile);
                m_step = 9;
                Flash();
            }
            break;
        case 9:
            if (m_ticks >= 3) {
                Save("refused");
                m_poll.stop();
                m_form.close();
            }
            break;
        default:
            break;
        }
        // Give up rather than hang when the target never connects.
        if (m_ticks > 300) {
            std::fprintf(stderr, "no connection to the virtual target\n");
            m_ok = false;
            m_poll.stop();
            m_form.close();
        }
    }

    TBootloaderForm& m_form;
    TVirtualTarget& m_target;
    QString m_dir;
    std::string m_refusedFile;
    QTimer m_poll;
    int m_step = 0;
    int m_ticks = 0;
    bool m_ok = true;
};

} // namespace

int main(int argc, char** argv) {
    if (AsksForVersion(argc, argv)) {
        std::fputs(VersionText("quarnel-flash-demo", QUARNEL_VERSION, qVersion()).c_str(), stdout);
        return 0;
    }
    QApplication app(argc, argv);
    UseUtf8CharacterType();
    TDemoOptions options;
    QString error;
    TSimBoardSetup board;
    std::string boardError;
    if (!ParseDemoOptions(app.arguments(), options, error) || !BuildDemoBoard(options, board, boardError)) {
        if (error.isEmpty()) error = QString::fromStdString(boardError);
        std::fprintf(stderr, "quarnel-flash-demo: %s\n%s\n", qPrintable(error), DemoUsage());
        return 2;
    }

    TSimBackend backend;
    // A board unplugged during a run is reported as on Linux, as the command line's simulation does:
    // the transfer fails at once ("target unplugged!"), not after the answer's time-out.
    backend.ReportUnplug(true);
    TVirtualTarget& target = backend.AddTarget(board.profile);
    target.Faults() = board.faults;
    target.Unplug();
    DispatchDeviceChanges(); // nothing listens yet: the unplug above is no news to anyone
    SetHidBackend(&backend);
    // Every run is checked against what the virtual board holds afterwards; findings go to the log.
    TVirtualTargetCheck check(backend);
    SetFlashCheck(&check);
    int result = 0;
    {
        const std::string programPath = QCoreApplication::applicationFilePath().toStdString();
        TQtProgram program(programPath, DemoDataFolder);
        TBootloaderForm form;
        form.show(); // the first activation has loaded the demo's stored setup
        form.setWindowTitle(DemoWindowTitle(form.windowTitle()));
        if (std::string* path = PathForFamily(board.profile.family)) {
            if (!options.image.isEmpty()) {
                *path = CutText(QDir().absoluteFilePath(options.image).toStdString(), 255);
            } else if (!FileExists(*path)) {
                const std::string example =
                    DemoExampleFor(board.profile.family, DemoExamplesFolder(programPath));
                if (FileExists(example)) *path = CutText(example, 255);
            }
        }

        QTimer plugTimer;
        plugTimer.setSingleShot(true);
        QObject::connect(&plugTimer, &QTimer::timeout, [&target] { target.Plug(); });
        const uint64_t firstPlugMs = board.plugAfterMs.value_or(PlugDelayMs);
        plugTimer.start(int(std::min<uint64_t>(firstPlugMs, MaxPlugAfterMs)));
        const auto resetBoard = [&target, &plugTimer] {
            target.Unplug();
            plugTimer.start(PlugDelayMs);
        };
        QObject::connect(&form, &TBootloaderForm::SessionReset, resetBoard);
        QObject::connect(&form, &TBootloaderForm::FlashFinished, resetBoard);
        // A board that went away (a fault unplugged it) comes back as well.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&target, &plugTimer] {
            if (!target.Plugged() && !plugTimer.isActive()) plugTimer.start(PlugDelayMs);
        });
        watch.start(250);

        std::unique_ptr<TScreenshotRun> screenshots;
        if (!options.screenshotDir.isEmpty())
            screenshots = std::make_unique<TScreenshotRun>(
                form, target, options.screenshotDir,
                DemoExampleFor(board.profile.family == FamPic32 ? FamPic18 : FamPic32,
                               DemoExamplesFolder(programPath)));
        result = app.exec();
        if (screenshots && !screenshots->Ok()) result = 1;
    }
    SetFlashCheck(nullptr);
    SetHidBackend(nullptr);
    return result;
}
