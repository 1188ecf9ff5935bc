// The window's life: the stored setup read at the first activation and written on close, the
// activation rule, and the geometry and font kept in the settings file.

#include <QCheckBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTest>

#include "GuiRig.h"
#include "GuiTests.h"
#include "boot/BL_Vars.h"
#include "boot/Log.h"
#include "session/History.h"
#include "session/LoaderSetup.h"
#include "session/TSimpleIniFile.h"
#include "usb/HIDinterface.h"
#include "widgets/TBitBtnWC.h"

namespace {

std::string Record(const TLoaderSetup& setup) {
    const auto bytes = EncodeLoaderSetup(setup);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

TLoaderSetup SampleSetup() {
    TLoaderSetup s;
    s.left = 40;
    s.top = 30;
    s.pic18Path = "/images/p18.hex";
    s.pic24Path = "/images/p24.hex";
    s.pic32Path = "/images/p32.hex";
    s.pic16Path = "/images/p16.hex";
    s.vid = 0x1234;
    s.pid = 0x5678;
    s.disableFlag = 0;
    return s;
}

QRect Screen() {
    return QGuiApplication::primaryScreen()->geometry();
}

} // namespace

class TFormLifecycleTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_rig = std::make_unique<TGuiRig>(); }
    void cleanup() { m_rig.reset(); }

    void FirstStartUsesDefaultsAndStoresThemOnClose();
    void ShortSetupFileCountsAsMissing();
    void LongSetupFileIsReadFromItsFirstRecord();
    void DisableByteTwoTicksTheBoxAndIsStoredAsOne();
    void OnlyOurModalWindowsActivate();
    void CloseInstallsTheVendorDeviceOpener();
    void GeometryAndFontComeFromTheSettingsFile();
    void MaximisedWindowKeepsItsNormalBounds();
    void OversizedSettingsFileIsNotedAndKept();

private:
    std::unique_ptr<TGuiRig> m_rig;
};

void TFormLifecycleTest::FirstStartUsesDefaultsAndStoresThemOnClose() {
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    QCOMPARE(form.VIDlabel->text(), QString("3930"));
    QCOMPARE(form.PIDlabel->text(), QString("2021"));
    QVERIFY(!form.CheckBox2->isChecked());
    QCOMPARE(LoaderSetup.vid, DefaultVid);
    QCOMPARE(LoaderSetup.pid, DefaultPid);
    for (const std::string* path :
         {&LoaderSetup.pic16Path, &LoaderSetup.pic18Path, &LoaderSetup.pic24Path, &LoaderSetup.pic32Path})
        QCOMPARE(*path, m_rig->Dir());
    // Centred on the screen.
    const int left = Screen().width() / 2 - form.width() / 2;
    const int top = Screen().height() / 2 - form.height() / 2;
    QCOMPARE(LoaderSetup.left, left);
    QCOMPARE(LoaderSetup.top, top);
    QCOMPARE(form.pos(), QPoint(left, top));
    // The client area fits the controls: no empty bands at the right or the bottom.
    QCOMPARE(form.size(), QSize(TBootloaderForm::DesignWidth, TBootloaderForm::DesignHeight));
    // Shorter than that, the log gives way down to 80 pixels.
    QCOMPARE(form.minimumSize(),
             QSize(TBootloaderForm::DesignWidth, TBootloaderForm::DesignHeight - 350 + 80));
    QCOMPARE(form.Panel2->geometry().bottom() + 1 + 6, TBootloaderForm::DesignHeight);
    QCOMPARE(form.InputWindow->geometry().right() + 1 + 6, TBootloaderForm::DesignWidth);

    LoaderSetup.pic18Path = "/chosen/this.hex";
    m_rig->Stop();
    const std::string stored = m_rig->ReadFile("Quarnel.dat");
    QCOMPARE(stored.size(), size_t(1037));
    const TLoaderSetup back = DecodeLoaderSetup(reinterpret_cast<const uint8_t*>(stored.data()));
    QCOMPARE(back.vid, DefaultVid);
    QCOMPARE(back.left, left);
    QCOMPARE(back.top, top);
    QCOMPARE(back.pic18Path, std::string("/chosen/this.hex"));
    QCOMPARE(back.disableFlag, uint8_t(0));
}

void TFormLifecycleTest::ShortSetupFileCountsAsMissing() {
    m_rig->WriteFile("Quarnel.dat", Record(SampleSetup()).substr(0, 1036));
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    QCOMPARE(form.VIDlabel->text(), QString("3930"));
    QCOMPARE(form.PIDlabel->text(), QString("2021"));
    QCOMPARE(LoaderSetup.pic18Path, m_rig->Dir());
    QCOMPARE(LoaderSetup.left, Screen().width() / 2 - form.width() / 2);
}

void TFormLifecycleTest::LongSetupFileIsReadFromItsFirstRecord() {
    m_rig->WriteFile("Quarnel.dat", Record(SampleSetup()) + std::string(2000 - 1037, '\x5A'));
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    QCOMPARE(form.VIDlabel->text(), QString("1234"));
    QCOMPARE(form.PIDlabel->text(), QString("5678"));
    QCOMPARE(LoaderSetup.pic18Path, std::string("/images/p18.hex"));
    QCOMPARE(LoaderSetup.pic16Path, std::string("/images/p16.hex"));
    QCOMPARE(form.pos(), QPoint(40, 30));
    QVERIFY(!form.CheckBox2->isChecked());
}

void TFormLifecycleTest::DisableByteTwoTicksTheBoxAndIsStoredAsOne() {
    std::string bytes = Record(SampleSetup());
    bytes[1036] = 2;
    m_rig->WriteFile("Quarnel.dat", bytes);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    QVERIFY(form.CheckBox2->isChecked());
    QCOMPARE(LoaderSetup.disableFlag, uint8_t(1));
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
    m_rig->Stop();
    const std::string stored = m_rig->ReadFile("Quarnel.dat");
    QCOMPARE(stored.size(), size_t(1037));
    QCOMPARE(int(uint8_t(stored[1036])), 1);
    QCOMPARE(stored.substr(1032, 4), bytes.substr(1032, 4));
}

void TFormLifecycleTest::OnlyOurModalWindowsActivate() {
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    QCOMPARE(form.ActivationCount(), 1);
    LogMessage("A line before the box.");
    SetDeviceChangeHandler(nullptr);

    form.ShowMessageBox("Hello.");
    QCOMPARE(form.ActivationCount(), 2);
    QCOMPARE(m_rig->LogLines().size(), 3); // the prompt, a blank, the IDs waited for
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OnDeviceChange);
    // The first-activation steps ran once only.
    form.VIDlabel->setText("ABCD");
    form.ShowMessageBox("Again.");
    QCOMPARE(form.ActivationCount(), 3);
    QCOMPARE(form.VIDlabel->text(), QString("ABCD"));

    // The file dialog is not one of them, and hiding and showing the window is no activation.
    LogMessage("A line before the dialog.");
    m_rig->OnFileDialog([](QFileDialog& dialog) { dialog.reject(); });
    form.GetFileButClick();
    QCOMPARE(m_rig->FileDialogsSeen(), 1);
    form.hide();
    form.show();
    m_rig->Settle();
    QCOMPARE(form.ActivationCount(), 3);
    QVERIFY(m_rig->LogContains("A line before the dialog."));
}

void TFormLifecycleTest::CloseInstallsTheVendorDeviceOpener() {
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    target.Plug();
    m_rig->Settle();
    // A board already in its bootloader connects at the start, without a device change; the stored
    // path is a folder, so the dialog opens.
    m_rig->OnFileDialog([](QFileDialog& dialog) { dialog.reject(); });
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    QVERIFY(BootloaderActive);
    QCOMPARE(m_rig->FileDialogsSeen(), 1);
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::None);
    form.close();
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OpenVendorDevice);
    QVERIFY(FileExists(m_rig->PathIn("Quarnel.dat")));
}

void TFormLifecycleTest::GeometryAndFontComeFromTheSettingsFile() {
    {
        TSimpleIniFile ini(m_rig->PathIn("quarnel-flash.ini"));
        ini.WriteInteger("Sizes", "MainWidth", 500);
        ini.WriteInteger("Sizes", "MainHeight", 520);
        ini.WriteInteger("Sizes", "MainLeft", 10);
        ini.WriteInteger("Sizes", "MainTop", 20);
        ini.WriteInteger("Font", "Main", 10);
        std::string error;
        QVERIFY(ini.UpdateFile(error));
    }
    m_rig->Start(false);
    TBootloaderForm& form = m_rig->Form();
    QCOMPARE(form.size(), QSize(500, 520));
    QCOMPARE(form.pos(), QPoint(10, 20));
    QCOMPARE(form.font().pointSize(), 10);
    form.show();
    m_rig->Settle();
    // Showing changes no size, so the font holds; the first activation moved the window.
    QCOMPARE(form.font().pointSize(), 10);
    QCOMPARE(form.pos(), QPoint(LoaderSetup.left, LoaderSetup.top));

    // One and a half times the design size: controls and fonts follow from the design layout.
    const int w = (TBootloaderForm::DesignWidth * 3 + 1) / 2;
    const int h = (TBootloaderForm::DesignHeight * 3 + 1) / 2;
    form.resize(w, h);
    m_rig->Settle();
    QCOMPARE(form.size(), QSize(w, h));
    QCOMPARE(form.font().pointSize(), 12);
    const double rx = double(w) / TBootloaderForm::DesignWidth;
    const double ry = double(h) / TBootloaderForm::DesignHeight;
    QCOMPARE(form.InputWindow->geometry(), QRect(int(6 * rx), int(90 * ry), int(435 * rx), int(350 * ry)));
    QCOMPARE(form.FlashBut->font().pointSize(), 21); // 14 x 1.5
    form.move(33, 44);

    m_rig->Stop();
    TSimpleIniFile ini(m_rig->PathIn("quarnel-flash.ini"));
    QCOMPARE(ini.ReadInteger("Sizes", "MainWidth", 0), w);
    QCOMPARE(ini.ReadInteger("Sizes", "MainHeight", 0), h);
    QCOMPARE(ini.ReadInteger("Sizes", "MainLeft", 0), 33);
    QCOMPARE(ini.ReadInteger("Sizes", "MainTop", 0), 44);
    QCOMPARE(ini.ReadBool("Sizes", "MainMaxiMised", true), false);
    QCOMPARE(ini.ReadInteger("Font", "Main", 0), 12);
}

void TFormLifecycleTest::MaximisedWindowKeepsItsNormalBounds() {
    {
        TSimpleIniFile ini(m_rig->PathIn("quarnel-flash.ini"));
        ini.WriteInteger("Sizes", "MainWidth", 470);
        ini.WriteInteger("Sizes", "MainHeight", 510);
        ini.WriteBool("Sizes", "MainMaxiMised", true);
        std::string error;
        QVERIFY(ini.UpdateFile(error));
    }
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    m_rig->Settle();
    QVERIFY(form.isMaximized());
    m_rig->Stop();
    TSimpleIniFile ini(m_rig->PathIn("quarnel-flash.ini"));
    QCOMPARE(ini.ReadBool("Sizes", "MainMaxiMised", false), true);
    // Only the state is written while maximised.
    QCOMPARE(ini.ReadInteger("Sizes", "MainWidth", 0), 470);
    QCOMPARE(ini.ReadInteger("Sizes", "MainHeight", 0), 510);
}

void TFormLifecycleTest::OversizedSettingsFileIsNotedAndKept() {
    const std::string ini = m_rig->PathIn("quarnel-flash.ini");
    const std::string text = "[Sizes]\nMainWidth=520\n" + std::string(TSimpleIniFile::ReadLimit, ';') + "\n";
    QVERIFY(m_rig->WriteFile("quarnel-flash.ini", text));
    m_rig->Start();
    QCOMPARE(m_rig->Form().width(), 520);
    QVERIFY(m_rig->LogContains(
        QString::fromStdString("Settings file " + ini + ": only its first 1024 KiB were read; it is not rewritten.")));
    m_rig->Stop();
    QVERIFY(m_rig->ReadFile("quarnel-flash.ini") == text);
    QCOMPARE(m_rig->messages, std::vector<QString>{QString::fromStdString("Unable to write to " + ini)});
}

GUI_TEST_CLASS(TFormLifecycleTest)
#include "FormLifecycleTest.moc"

