// The main window, in-process, built as the program builds it (offscreen platform by default):
//
//   bench_window parse FILE RUNS       HEX parse with the window's own host hooks: progress bar and
//                                       one pass of Qt event handling per line (median of RUNS)
//   bench_window idle SECONDS [DIR]    CPU time of the window waiting for a board (no target), after
//                                       one second of start-up; its ExeDir inside DIR (default: the
//                                       current folder)
//   bench_window flash FAMILY FILE     peak resident size after connecting to a virtual target (virtual
//                                       clock) and one flash of FILE through the FLASH button
//
// FILE for "parse" must hold PIC18 data below 0x7FFFC (accepted whole with a boot start of 0x80000).

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "app/TBootloaderForm.h"
#include "boot/BL_Flash.h"
#include "boot/BL_HexParser.h"
#include "boot/BL_Vars.h"
#include "boot/Clock.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "session/ProgramState.h"
#include "session/TSimpleIniFile.h"
#include "sim/TSimBackend.h"
#include "sim/TSimProfile.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

namespace {

// Start-up as the program does it, in a scratch ExeDir so no user files are touched.
class TWindowRig {
public:
    // The scratch ExeDir is made inside parentDir. The window's file dialog watches ExeDir and the
    // folder above it, so a folder that other programs write to (/tmp) costs CPU time while idle.
    explicit TWindowRig(IClock* clock, const QString& parentDir = QDir::currentPath())
        : m_dir(parentDir + "/bench_window-XXXXXX") {
        ResetProgramState();
        m_exeDir = m_dir.path().toStdString() + "/";
        SetClock(clock);
        SetHidBackend(&m_backend);
    }
    ~TWindowRig() {
        if (m_form) {
            m_form->close();
            m_form.reset();
        }
        MonitorShutdown();
        m_listener.reset();
        SetHidBackend(nullptr);
        SetClock(nullptr);
        ResetProgramState();
    }
    TSimBackend& Backend() { return m_backend; }
    void Start() {
        m_listener = std::make_unique<TUSBhandler>();
        CurrentDevice.Clear();
        ExeDir = m_exeDir;
        MonitorStartup();
        TSimpleIniFile::SetDefaultFileName(m_exeDir + "quarnel-flash.ini");
        m_form = std::make_unique<TBootloaderForm>();
        m_form->SetMessageBoxProc([](const QString& text) {
            std::fprintf(stderr, "message box: %s\n", qPrintable(text));
        });
        m_form->show();
        Settle(200);
    }
    TBootloaderForm& Form() { return *m_form; }
    // Lets the event loop run (timers, queued calls, painting) for ms without spinning.
    static void Settle(int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }

private:
    QTemporaryDir m_dir;
    std::string m_exeDir;
    TSimBackend m_backend;
    std::unique_ptr<TUSBhandler> m_listener;
    std::unique_ptr<TBootloaderForm> m_form;
};

int Parse(const std::string& file, int runs) {
    TWindowRig rig(nullptr);
    rig.Start();
    std::vector<double> times;
    bool ok = true;
    int maxSeen = 0;
    for (int i = 0; i < runs; ++i) {
        SetParserTarget(FamPic18, 0x80000);
        const double t0 = WallSeconds();
        const bool parsed = ParseHexFile(file);
        times.push_back(WallSeconds() - t0);
        maxSeen = rig.Form().ProgressBar->maximum();
        ok = ok && parsed && EoFlash == 0x7FFFB;
    }
    const double median = Median(times);
    std::fprintf(stderr, "window parse: %lld lines, progress maximum %d, runs (s):", (long long)LastHexParseStats().lines,
                 maxSeen);
    for (double t : times) std::fprintf(stderr, " %.3f", t);
    std::fprintf(stderr, "\n");
    std::string figure = Fixed(median, 3) + " s";
    if (!ok) figure += " (a parse failed)";
    PrintResult("2. HEX parse, same file, window hooks (TBootloaderForm, offscreen), median of " +
                    std::to_string(runs),
                figure,
                "< 0.3 s", ok && median < 0.3 ? "yes" : "no");
    return 0;
}

int Idle(double seconds, const QString& parentDir) {
    TWindowRig rig(nullptr, parentDir);
    rig.Start();
    TWindowRig::Settle(1000);
    const double cpu0 = CpuSeconds();
    const double t0 = WallSeconds();
    // A precise timer: a coarse one may end the wait up to 5 % late.
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, qApp, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    const double elapsed = WallSeconds() - t0;
    const double cpu = CpuSeconds() - cpu0;
    const double percent = 100.0 * cpu / elapsed;
    std::fprintf(stderr, "window in-process idle: %.4f s CPU in %.2f s = %.3f %%\n", cpu, elapsed, percent);
    const bool busy = parentDir == "/tmp";
    const std::string figure =
        Fixed(percent, 3) + " % of one core (" + Fixed(cpu * 1000, 1) + " ms CPU in " + Fixed(elapsed, 1) + " s)";
    if (busy) {
        PrintResult("   Idle, TBootloaderForm in-process, ExeDir inside /tmp (written to by other programs)", figure,
                    "(report)", "-");
    } else {
        PrintResult("4. Idle, TBootloaderForm in-process, offscreen", figure, "< 1 % of one core",
                    percent < 1.0 ? "yes" : "no");
    }
    return 0;
}

int Flash(const std::string& familyName, const std::string& file) {
    TSimProfile profile;
    if (!SimProfileByName(familyName, profile)) {
        std::fprintf(stderr, "bench_window: unknown family %s\n", familyName.c_str());
        return 1;
    }
    TVirtualClock clock;
    TWindowRig rig(&clock);
    TVirtualTarget& target = rig.Backend().AddTarget(profile);
    target.Unplug();
    DispatchDeviceChanges();  // nobody listens yet
    rig.Start();
    // The family's image, as the stored setup would hold it; set before the connection so that the
    // pass finds the file and opens no file dialog.
    if (std::string* path = PathForFamily(profile.family)) *path = file;
    const long beforeKiB = PeakRssKiB();
    target.Plug();
    QElapsedTimer wait;
    wait.start();
    // The window's 50 ms timer guarantees that each wait for events ends.
    while (!BootloaderActive && wait.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    bool ok = BootloaderActive;
    if (ok) {
        TWindowRig::Settle(100);
        rig.Form().FlashButClick();
        TWindowRig::Settle(200);
        ok = rig.Form().LastFlashResult() == TFlashResult::Flashed && target.Violations().empty();
    }
    const long peakKiB = PeakRssKiB();
    std::fprintf(stderr, "window %s flash: %s, peak RSS %ld KiB (%ld KiB before the connection)\n", familyName.c_str(),
                 ok ? "flashed" : "FAILED", peakKiB, beforeKiB);
    std::string figure = Fixed(double(peakKiB) / 1024.0, 1) + " MiB";
    if (!ok) figure += " (flash failed)";
    PrintResult("5. Peak RSS, window in-process after one " + familyName + " flash (virtual clock)", figure,
                "(report)", "-");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "parse" && argc == 4) return Parse(argv[2], std::max(1, std::atoi(argv[3])));
    if (mode == "idle" && (argc == 3 || argc == 4))
        return Idle(std::atof(argv[2]), argc == 4 ? QString::fromLocal8Bit(argv[3]) : QDir::currentPath());
    if (mode == "flash" && argc == 4) return Flash(argv[2], argv[3]);
    std::fprintf(stderr, "usage: bench_window parse FILE RUNS | idle SECONDS [DIR] | flash FAMILY FILE\n");
    return 1;
}
