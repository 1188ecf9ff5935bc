// The flash utility on a virtual target: the same window, with a bootloader that lives in memory.
// The target is plugged in one second after start and again one second after each Reset, as if
// the user had pressed the board's reset button.
//
// quarnel-flash-demo [FAMILY] [--image FILE] [--screenshots DIR]
//   FAMILY         pic16, pic18 (default), pic18fj, pic24, dspic or pic32
//   --image        use FILE as the family's image (instead of the one kept in the stored setup)
//   --screenshots  take PNGs of the window while waiting, connected and after one flash into DIR,
//                  then quit
//   --version      print the version and those of hidapi and Qt, then quit

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string>

#include "app/QtProgram.h"
#include "app/TBootloaderForm.h"
#include "boot/BL_Vars.h"
#include "platform/ProgramVersion.h"
#include "session/LoaderSetup.h"
#include "sim/TFlashCheck.h"
#include "sim/TSimBackend.h"
#include "sim/TSimProfile.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"
#include "usb/HidBackend.h"
#include "usb/HidLocale.h"
#include "widgets/TBitBtnWC.h"

namespace {

constexpr int PlugDelayMs = 1000;

struct TDemoOptions {
    std::string family = "pic18";
    QString image;
    QString screenshotDir;
};

bool ParseOptions(const QStringList& args, TDemoOptions& options, QString& error) {
    bool familySeen = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "--image" || a == "--screenshots") {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            (a == "--image" ? options.image : options.screenshotDir) = args[++i];
        } else if (!a.startsWith("-") && !familySeen) {
            options.family = a.toStdString();
            familySeen = true;
        } else {
            error = "unexpected argument " + a;
            return false;
        }
    }
    return true;
}

// Walks the window through waiting, connected and flashed, saving one picture of each.
class TScreenshotRun : public QObject {
public:
    TScreenshotRun(TBootloaderForm& form, const QString& dir) : m_form(form), m_dir(dir) {
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
            if (BootloaderActive) {
                m_ticks = 0;
                m_step = 2;
            }
            break;
        case 2: // let the indicator and the label settle
            if (m_ticks >= 3) {
                Save("connected");
                m_step = 3;
                m_poll.stop();
                // The flash runs inside the click and lets messages through; carry on afterwards.
                m_form.FlashBut->click();
                m_ticks = 0;
                m_step = 4;
                m_poll.start(100);
            }
            break;
        case 4:
            if (m_ticks >= 3) {
                Save("flashed");
                // Reset: the demo unplugs the target and plugs it in again a second later.
                m_form.ResetButton->click();
                m_ticks = 0;
                m_step = 5;
            }
            break;
        case 5:
            if (BootloaderActive) {
                std::fprintf(stderr, "connected again after Reset\n");
                m_poll.stop();
                m_form.close();
            }
            break;
        default:
            break;
        }
        // Give up rather than hang when the target never connects.
        if (m_step != 4 && m_ticks > 300) {
            std::fprintf(stderr, "no connection to the virtual target\n");
            m_ok = false;
            m_poll.stop();
            m_form.close();
        }
    }

    TBootloaderForm& m_form;
    QString m_dir;
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
    TSimProfile profile;
    if (!ParseOptions(app.arguments(), options, error) || !SimProfileByName(options.family, profile)) {
        if (error.isEmpty()) error = "unknown family " + QString::fromStdString(options.family);
        std::fprintf(stderr, "quarnel-flash-demo: %s\n", qPrintable(error));
        std::fprintf(stderr,
                     "usage: quarnel-flash-demo [pic16|pic18|pic18fj|pic24|dspic|pic32] [--image FILE] "
                     "[--screenshots DIR]\n");
        return 2;
    }

    TSimBackend backend;
    TVirtualTarget& target = backend.AddTarget(profile);
    target.Unplug();
    DispatchDeviceChanges(); // nothing listens yet: the unplug above is no news to anyone
    SetHidBackend(&backend);
    // Every run is checked against what the virtual board holds afterwards; findings go to the log.
    TVirtualTargetCheck check(backend);
    SetFlashCheck(&check);
    int result = 0;
    {
        TQtProgram program(QCoreApplication::applicationFilePath().toStdString());
        TBootloaderForm form;
        form.show();
        if (!options.image.isEmpty()) {
            if (std::string* path = PathForFamily(profile.family))
                *path = CutText(QDir().absoluteFilePath(options.image).toStdString(), 255);
        }

        QTimer plugTimer;
        plugTimer.setSingleShot(true);
        QObject::connect(&plugTimer, &QTimer::timeout, [&target] { target.Plug(); });
        plugTimer.start(PlugDelayMs);
        QObject::connect(&form, &TBootloaderForm::SessionReset, [&target, &plugTimer] {
            target.Unplug();
            plugTimer.start(PlugDelayMs);
        });

        std::unique_ptr<TScreenshotRun> screenshots;
        if (!options.screenshotDir.isEmpty())
            screenshots = std::make_unique<TScreenshotRun>(form, options.screenshotDir);
        result = app.exec();
        if (screenshots && !screenshots->Ok()) result = 1;
    }
    SetFlashCheck(nullptr);
    SetHidBackend(nullptr);
    return result;
}
