// The window driving whole sessions on the virtual target: the prompt, the connection pass, the
// indicator and buttons, a flash end to end, Reset, two bootloaders, and the VID keypad.

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <algorithm>

#include "GuiRig.h"
#include "GuiTests.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Vars.h"
#include "boot/HostHooks.h"
#include "boot/Log.h"
#include "session/LoaderSetup.h"
#include "sim/TSimProfile.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"
#include "widgets/TBitBtnWC.h"
#include "widgets/TEditHexL.h"
#include "widgets/TScrollLabel.h"

namespace {

const QString Prompt = "                Press PIC RESET button to get into boot load mode.";
// Beside the prompt, the IDs the window waits for.
const QString Waiting = "Waiting for a bootloader with VID 3930, PID 2021.";

QColor Background(const QWidget* w) {
    return w->palette().color(QPalette::Window);
}

} // namespace

class TSessionTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_rig = std::make_unique<TGuiRig>(); }
    void cleanup() { m_rig.reset(); }

    void PromptAndDesignLookAtStart();
    void PlugInConnectsAndShowsTheFamilyImage();
    void FlashButtonFollowsTheLabel();
    void FlashRunsEndToEnd();
    void ResetEndsTheSessionWithoutContactingTheTarget();
    void WaitsAgainAfterEveryRun();
    void BootloaderWithoutPermissionIsExplained();
    void TwoMatchingBootloadersGiveNoConnection();
    void FlashWithoutSessionShowsBoxThenActivates();
    void VidEnteredThroughTheKeypad();

private:
    // Connects to a PIC18 target whose image path names an existing file, so no dialog opens.
    TVirtualTarget& ConnectWithImage(std::string& image);
    std::unique_ptr<TGuiRig> m_rig;
};

TVirtualTarget& TSessionTest::ConnectWithImage(std::string& image) {
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    image = m_rig->CopyTestHex("blink.hex");
    *PathForFamily(FamPic18) = image;
    m_rig->Plug(target);
    return target;
}

void TSessionTest::PromptAndDesignLookAtStart() {
    m_rig->AddTarget(FamPic18);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    // Before the first timer event: the design look.
    QCOMPARE(form.ConnectIndicator->text(), QString("- - - - - - -"));
    QCOMPARE(Background(form.ConnectIndicator), QColor(255, 0, 0));
    QCOMPARE(form.InputWindow->toPlainText(), Prompt + "\n  \n" + Waiting);
    QCOMPARE(form.windowTitle(), QString(" Quarnel Flash utility:  V" QUARNEL_VERSION));
    QCOMPARE(form.SL->Caption(), QString(" "));
    // A file can be chosen before a board is connected.
    QVERIFY(form.GetFileBut->isEnabled());
    QVERIFY(form.HistoryBut->isEnabled());
    QVERIFY(!form.ListBox1->isVisible());
    QCOMPARE(form.ProgressBar->maximum(), 200);
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
    QCOMPARE(form.ActivationCount(), 1);

    form.UpdateTimerEvent();
    QCOMPARE(form.ConnectIndicator->text(), QString("------"));
    QCOMPARE(Background(form.ConnectIndicator), QColor(255, 0, 0));
    QVERIFY(form.ResetButton->isEnabled());
    QVERIFY(!form.FlashBut->isEnabled());
}

void TSessionTest::PlugInConnectsAndShowsTheFamilyImage() {
    std::string image;
    TVirtualTarget& target = ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    QVERIFY(BootloaderActive);
    QVERIFY(target.InBootMode());
    QCOMPARE(m_rig->FileDialogsSeen(), 0);

    const QStringList log = m_rig->LogLines();
    const QStringList expected = {"HID Target device found", "HID device successfully opened",
                                  "Target MCU found."};
    for (const QString& line : expected)
        QVERIFY2(log.contains(line), qPrintable(line));
    const int bootMode = int(log.indexOf("Target device in boot load mode."));
    QVERIFY(bootMode > log.indexOf("Target MCU found."));
    QCOMPARE(log.mid(bootMode, 4), QStringList({"Target device in boot load mode.", "",
                                                "Press FLASH button to start flashing.", ""}));
    // The pass has left the slot: nothing disturbs the session now.
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::None);

    QVERIFY(form.GetFileBut->isEnabled());
    QVERIFY(form.HistoryBut->isEnabled());
    QCOMPARE(form.SL->Caption().toStdString(), image);
    form.UpdateTimerEvent();
    QCOMPARE(form.ConnectIndicator->text(), QString(" Target connected "));
    QCOMPARE(Background(form.ConnectIndicator), QColor(255, 127, 0));
    QVERIFY(form.FlashBut->isEnabled());
    QVERIFY(form.ResetButton->isEnabled());
    QCOMPARE(form.SL->FontColor(), QColor(Qt::white));
    QCOMPARE(form.OD->directory().absolutePath() + "/", QString::fromStdString(m_rig->Dir()));
}

void TSessionTest::FlashButtonFollowsTheLabel() {
    std::string image;
    ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    form.SL->SetCaption(QString::fromStdString(m_rig->PathIn("gone.hex")));
    form.UpdateTimerEvent();
    QVERIFY(!form.FlashBut->isEnabled());
    QCOMPARE(form.SL->FontColor(), QColor(Qt::red));

    form.SL->SetCaption("");
    form.UpdateTimerEvent();
    QCOMPARE(form.SL->Caption(), QString("HexFile?"));
    QCOMPARE(form.SL->FontColor(), QColor(Qt::red));
    QVERIFY(!form.FlashBut->isEnabled());

    // A folder is no image file either.
    form.SL->SetCaption(QString::fromStdString(m_rig->Dir()));
    form.UpdateTimerEvent();
    QVERIFY(!form.FlashBut->isEnabled());

    form.SL->SetCaption(QString::fromStdString(image));
    form.UpdateTimerEvent();
    QVERIFY(form.FlashBut->isEnabled());
    QCOMPARE(form.SL->FontColor(), QColor(Qt::white));
}

void TSessionTest::FlashRunsEndToEnd() {
    std::string image;
    TVirtualTarget& target = ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    form.UpdateTimerEvent();
    QVERIFY(form.FlashBut->isEnabled());

    // Look at the window from inside the run, at the first progress step.
    struct TInside {
        bool seen = false;
        QString caption;
        QColor colour;
        bool flashEnabled = true;
        bool resetEnabled = true;
        bool fileButEnabled = true;
    } inside;
    THostHooks hooks = HostHooks();
    auto windowPos = hooks.setProgressPos;
    hooks.setProgressPos = [&](int64_t pos) {
        windowPos(pos);
        if (inside.seen || pos <= 0) return;
        inside.seen = true;
        form.UpdateTimerEvent();
        inside.caption = form.ConnectIndicator->text();
        inside.colour = Background(form.ConnectIndicator);
        inside.flashEnabled = form.FlashBut->isEnabled();
        inside.resetEnabled = form.ResetButton->isEnabled();
        inside.fileButEnabled = form.GetFileBut->isEnabled() || form.HistoryBut->isEnabled();
    };
    SetHostHooks(hooks);

    QTest::mouseClick(form.FlashBut, Qt::LeftButton);

    QVERIFY(inside.seen);
    QCOMPARE(inside.caption, QString("Flashing"));
    QCOMPARE(inside.colour, QColor(0, 255, 0));
    QVERIFY(!inside.flashEnabled);
    QVERIFY(!inside.resetEnabled);
    QVERIFY(!inside.fileButEnabled);

    QCOMPARE(form.LastFlashResult(), TFlashResult::Flashed);
    const QStringList log = m_rig->LogLines();
    QVERIFY(log.contains("Parsing HEX file: blink.hex"));
    const int complete = int(log.indexOf("Flashing complete."));
    QVERIFY(complete > 0);
    QCOMPARE(log.last(), QString("Completed."));
    QVERIFY(target.SessionEnded());
    QVERIFY(!target.BootloaderDisabled());
    QVERIFY2(target.Violations().empty(), target.Violations().empty() ? "" : target.Violations()[0].c_str());

    // A GOTO to the bootloader at 0xF000 in place of the image's reset instruction, which now sits
    // in the four bytes below the bootloader.
    const std::vector<uint8_t>& flash = target.Flash();
    QCOMPARE(std::vector<uint8_t>(flash.begin(), flash.begin() + 4),
             std::vector<uint8_t>({0x00, 0xEF, 0x78, 0xF0}));
    const uint32_t slot = target.BootStartImageOffset() - 4;
    QCOMPARE(std::vector<uint8_t>(flash.begin() + slot, flash.begin() + slot + 4),
             std::vector<uint8_t>({0x10, 0xEF, 0x00, 0xF0}));
    const std::vector<uint8_t> code = {0x93, 0x6A, 0x55, 0x0E, 0x8A, 0x6E, 0x8A, 0x1E, 0xFC, 0xD7};
    QCOMPARE(std::vector<uint8_t>(flash.begin() + 0x20, flash.begin() + 0x2A), code);
    // Erased, not left with the old firmware.
    QVERIFY(std::all_of(flash.begin() + 0x2A, flash.begin() + 0x100, [](uint8_t b) { return b == 0xFF; }));

    // After the run: not connected, the outcome shown in a green of its own, waiting again.
    QVERIFY(!BootloaderActive);
    QCOMPARE(FlashPhase, 0);
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
    form.UpdateTimerEvent();
    QCOMPARE(form.ConnectIndicator->text(), QString(" Flashed "));
    QCOMPARE(Background(form.ConnectIndicator), QColor(0, 190, 60));
    QCOMPARE(form.ResultLine(), QString("Flashed: blink.hex"));
    QVERIFY(form.ResetButton->isEnabled());
    QVERIFY(!form.FlashBut->isEnabled());
    QVERIFY(form.GetFileBut->isEnabled());

    // Ticking the option re-arms the monitor without clearing the log.
    form.CheckBox2->setChecked(true);
    QCOMPARE(LoaderSetup.disableFlag, 1);
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
    QCOMPARE(m_rig->LogLines().last(), QString("Completed."));
}

void TSessionTest::ResetEndsTheSessionWithoutContactingTheTarget() {
    std::string image;
    TVirtualTarget& target = ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    m_rig->WriteFile("History_P18.txt", image + "\r\n");
    form.HistoryButClick();
    QVERIFY(form.ListBox1->isVisible());
    const int reports = target.ReportsReceived();
    int resets = 0;
    connect(&form, &TBootloaderForm::SessionReset, this, [&resets] { ++resets; });

    // The board goes away, as the board's own reset makes it do.
    target.Unplug();
    m_rig->Settle();
    QTest::mouseClick(form.ResetButton, Qt::LeftButton);

    QCOMPARE(resets, 1);
    QVERIFY(!BootloaderActive);
    QCOMPARE(m_rig->LogLines(), QStringList({Prompt, "", Waiting}));
    QCOMPARE(form.SL->Caption(), QString(""));
    QVERIFY(!form.ListBox1->isVisible());
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
    form.UpdateTimerEvent();
    QCOMPARE(form.ConnectIndicator->text(), QString("------"));
    QCOMPARE(Background(form.ConnectIndicator), QColor(255, 0, 0));
    QCOMPARE(target.ReportsReceived(), reports);
    // Not an activation: no modal window of ours was involved.
    QCOMPARE(form.ActivationCount(), 1);

    // The board's reset brings it back: re-plugging connects again.
    m_rig->Plug(target);
    QVERIFY(BootloaderActive);

    // Reset while the board stays in its bootloader: the pass that starts the wait finds it at
    // once, without a device change.
    QCOMPARE(PendingDeviceChanges(), 0);
    QTest::mouseClick(form.ResetButton, Qt::LeftButton);
    QCOMPARE(resets, 2);
    QVERIFY(BootloaderActive);
    QCOMPARE(m_rig->LogLines().first(), Prompt);
    QVERIFY(m_rig->LogContains("Target device in boot load mode."));
}

void TSessionTest::WaitsAgainAfterEveryRun() {
    const struct {
        const char* name;
        const char* file;    // "" for the test image
        int dropAnswerAfter; // 0: no fault
        TFlashResult result;
        const char* indicator;
        const char* resultLine;
        const char* logLine;
    } cases[] = {
        {"flashed", "", 0, TFlashResult::Flashed, " Flashed ", "Flashed: run.hex", "Flashing complete."},
        {"failed", "", 3, TFlashResult::CommFailed, " Flashing failed ", "Flashing failed: run.hex",
         "Flashing failed: no answer from target!"},
        {"refused", ":0400000001020304\r\n", 0, TFlashResult::FileRefused, " File refused ",
         "File refused: run.hex", "Error parsing hex file."},
    };
    for (const auto& c : cases) {
        m_rig.reset(); // the old window stores its setup before the next rig starts
        m_rig = std::make_unique<TGuiRig>();
        TVirtualTarget& target = m_rig->AddTarget(FamPic18);
        m_rig->Start();
        const std::string image = *c.file ? (m_rig->WriteFile("run.hex", c.file), m_rig->PathIn("run.hex"))
                                          : m_rig->CopyTestHex("run.hex");
        *PathForFamily(FamPic18) = image;
        m_rig->Plug(target);
        TBootloaderForm& form = m_rig->Form();
        form.UpdateTimerEvent();
        if (c.dropAnswerAfter) target.Faults().dropAnswerAt = target.ReportsReceived() + c.dropAnswerAfter;
        QTest::mouseClick(form.FlashBut, Qt::LeftButton);
        QVERIFY2(form.LastFlashResult() == c.result, c.name);
        target.Faults().dropAnswerAt = 0;

        // Waiting again: the outcome on the indicator and the bar, the file buttons free.
        QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
        form.UpdateTimerEvent();
        QCOMPARE(form.ConnectIndicator->text(), QString(c.indicator));
        QCOMPARE(form.ResultLine(), QString(c.resultLine));
        QVERIFY2(form.GetFileBut->isEnabled(), c.name);
        // The board never left its bootloader: it connects again with no device change.
        QCOMPARE(PendingDeviceChanges(), 0);
        QTRY_VERIFY2(BootloaderActive, c.name);
        form.UpdateTimerEvent();
        QCOMPARE(form.ConnectIndicator->text(), QString(" Target connected "));
        // The outcome and the run's lines stay until the next FLASH.
        QCOMPARE(form.ResultLine(), QString(c.resultLine));
        QVERIFY2(m_rig->LogContains(c.logLine), c.name);
        QVERIFY2(m_rig->LogContains("Completed."), c.name);
        QCOMPARE(m_rig->LogLines().first(), Prompt);
    }
}

void TSessionTest::TwoMatchingBootloadersGiveNoConnection() {
    m_rig->AddPlainDevice(0x046D, 0xC077); // a mouse, present at start
    TVirtualTarget& first = m_rig->AddTarget(FamPic18);
    TVirtualTarget& second = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    first.Plug();
    second.Plug();
    QTRY_COMPARE(PendingDeviceChanges(), 0);
    m_rig->Settle();

    QVERIFY(!BootloaderActive);
    QCOMPARE(first.ReportsReceived(), 0);
    QCOMPARE(second.ReportsReceived(), 0);
    const QStringList log = m_rig->LogLines();
    QVERIFY(!log.contains("HID Target device found"));
    // Both arrivals are news; the mouse is not. The second notification finds nothing new.
    QCOMPARE(log, QStringList({Prompt, "", Waiting, "USB event...  (3930, 2021) (3930, 2021)"}));
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
}

void TSessionTest::FlashWithoutSessionShowsBoxThenActivates() {
    m_rig->AddTarget(FamPic18);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    LogMessage("Something from before.");
    SetDeviceChangeHandler(nullptr);
    const int activations = form.ActivationCount();

    form.FlashButClick();

    QCOMPARE(m_rig->messages, std::vector<QString>({"Bootloader is not active."}));
    QCOMPARE(form.ActivationCount(), activations + 1);
    QCOMPARE(m_rig->LogLines(), QStringList({Prompt, "", Waiting}));
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
    QCOMPARE(form.LastFlashResult(), TFlashResult::None);
}

void TSessionTest::VidEnteredThroughTheKeypad() {
    std::string image;
    TVirtualTarget& target = ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    QVERIFY(BootloaderActive);
    QString shownAtOpen;
    TEditHexL::SetShownHook([&shownAtOpen](TEditHexL& keypad) {
        shownAtOpen = keypad.EditBuffer();
        QTest::keyClicks(&keypad, "1a2b");
        QTest::keyClick(&keypad, Qt::Key_Return);
    });

    QTest::mousePress(form.VIDlabel, Qt::LeftButton);

    QCOMPARE(shownAtOpen, QString("3930"));
    QCOMPARE(form.VIDlabel->text(), QString("1A2B"));
    QCOMPARE(LoaderSetup.vid, uint16_t(0x1A2B));
    QCOMPARE(LoaderSetup.pid, uint16_t(0x2021));
    // The keypad is a modal window of ours: its closing ends the session.
    QCOMPARE(form.ActivationCount(), 2);
    QVERIFY(!BootloaderActive);
    QCOMPARE(m_rig->LogLines(),
             QStringList({Prompt, "", "Waiting for a bootloader with VID 1A2B, PID 2021."}));

    // The next pass looks for the new VID, so the target (VID 3930) is no longer found.
    target.Unplug();
    m_rig->Settle();
    m_rig->Plug(target);
    QVERIFY(!BootloaderActive);
    QVERIFY(!m_rig->LogContains("HID Target device found"));

    // A value out of range cannot be typed in four digits; a cancelled keypad keeps the value.
    TEditHexL::SetShownHook([](TEditHexL& keypad) {
        QTest::keyClicks(&keypad, "77");
        QTest::keyClick(&keypad, Qt::Key_Escape);
    });
    QTest::mousePress(form.PIDlabel, Qt::LeftButton);
    QCOMPARE(form.PIDlabel->text(), QString("2021"));
    QCOMPARE(LoaderSetup.pid, uint16_t(0x2021));
    QCOMPARE(form.ActivationCount(), 3);
}

void TSessionTest::BootloaderWithoutPermissionIsExplained() {
    const struct {
        uint16_t vid, pid;
        bool ruleCovers;
    } cases[] = {{0x3930, 0x2021, true}, {0x04D8, 0x003C, false}};
    for (const auto& c : cases) {
        m_rig.reset(); // the old window stores its setup before the next rig starts
        m_rig = std::make_unique<TGuiRig>();
        TSimProfile profile = DefaultSimProfile(FamPic18);
        profile.vendorId = c.vid;
        profile.productId = c.pid;
        TVirtualTarget& target = m_rig->Backend().AddTarget(profile);
        target.Unplug();
        DispatchDeviceChanges();
        m_rig->Start();
        LoaderSetup.vid = c.vid;
        LoaderSetup.pid = c.pid;
        m_rig->Backend().FailOpens(THidOpenError::Permission);
        m_rig->Plug(target);
        QVERIFY(!BootloaderActive);
        QVERIFY(m_rig->LogContains("Unable to open HID device !"));
        QVERIFY(m_rig->LogContains(
            "See the NOTES of man quarnel-flash, and the rule file " QUARNEL_UDEV_RULE_FILE "."));
        const QString notCovered =
            QString("The installed rule covers VID 3930, PID 2021 only, not these IDs: "
                    "'quarnel udev-rule --vid %1 --pid %2' prints a rule for them.")
                .arg(TBootloaderForm::HexWord(c.vid), TBootloaderForm::HexWord(c.pid));
        QCOMPARE(m_rig->LogContains(notCovered), !c.ruleCovers);
    }
}

GUI_TEST_CLASS(TSessionTest)
#include "SessionTest.moc"
