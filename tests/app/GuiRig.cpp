#include "GuiRig.h"
#include "session/ProgramState.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include <fstream>
#include <sstream>

#include "boot/BL_Vars.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "session/TSimpleIniFile.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"
#include "widgets/TEditHexL.h"

std::string GuiTestData(const std::string& name) {
    return std::string(QUARNEL_GUI_TEST_DATA) + "/" + name;
}

TGuiRig::TGuiRig() {
    ResetProgramState();
    m_exeDir = m_dir.path().toStdString() + "/";
}

TGuiRig::~TGuiRig() {
    Stop();
}

TVirtualTarget& TGuiRig::AddTarget(uint8_t family) {
    TVirtualTarget& target = m_backend.AddTarget(DefaultSimProfile(family));
    target.Unplug();
    DispatchDeviceChanges(); // nobody listens yet
    return target;
}

void TGuiRig::AddPlainDevice(uint16_t vid, uint16_t pid) {
    THidInterfaceInfo info;
    info.attributesRead = true;
    info.vendorId = vid;
    info.productId = pid;
    info.capsRead = true;
    info.reportLength = 9;
    m_backend.AddPlainDevice(info);
}

void TGuiRig::Start(bool show) {
    SetClock(&m_clock);
    SetHidBackend(&m_backend);
    m_listener = std::make_unique<TUSBhandler>();
    CurrentDevice.Clear();
    ExeDir = m_exeDir;
    MonitorStartup();
    TSimpleIniFile::SetDefaultFileName(m_exeDir + "quarnel-flash.ini");
    m_form = std::make_unique<TBootloaderForm>();
    m_form->SetMessageBoxProc([this](const QString& text) { messages.push_back(text); });
    m_started = true;
    QObject::connect(&m_dialogWatch, &QTimer::timeout, [this] { WatchForDialog(); });
    m_dialogWatch.start(10);
    if (show) m_form->show();
}

void TGuiRig::Stop() {
    if (!m_started) return;
    m_started = false;
    m_dialogWatch.stop();
    m_form->close();
    m_form.reset();
    MonitorShutdown();
    m_listener.reset();
    SetHidBackend(nullptr);
    SetClock(nullptr);
    TEditHexL::SetShownHook(nullptr);
    TEditHexL::SetBeepHook(nullptr);
    TEditHexL::SetMessageHook(nullptr);
    ResetProgramState();
}

bool TGuiRig::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream out(PathIn(name), std::ios::binary | std::ios::trunc);
    out << bytes;
    return bool(out);
}

std::string TGuiRig::ReadFile(const std::string& name) const {
    std::ifstream in(PathIn(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TGuiRig::CopyTestHex(const std::string& name) {
    std::ifstream in(GuiTestData("blink-pic18.hex"), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    WriteFile(name, s.str());
    return PathIn(name);
}

void TGuiRig::Plug(TVirtualTarget& target) {
    target.Plug();
    // The notification travels as a queued call, as it does from the virtual target in the demo.
    QTRY_VERIFY_WITH_TIMEOUT(PendingDeviceChanges() == 0, 5000);
    Settle();
}

void TGuiRig::Settle(int ms) {
    QTest::qWait(ms);
}

QStringList TGuiRig::LogLines() const {
    QStringList lines = m_form->InputWindow->toPlainText().split('\n');
    for (QString& line : lines) {
        while (line.endsWith(' '))
            line.chop(1);
    }
    return lines;
}

void TGuiRig::OnFileDialog(std::function<void(QFileDialog&)> action) {
    m_dialogAction = std::move(action);
}

void TGuiRig::WatchForDialog() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box != nullptr && box->isVisible() && box->button(QMessageBox::No) != nullptr) {
        if (m_answer != QMessageBox::NoButton && box->button(m_answer) != nullptr) {
            m_unansweredTicks = 0;
            questions.push_back(box->text());
            box->button(m_answer)->click();
        } else if (++m_unansweredTicks > 200) {
            m_unansweredTicks = 0;
            box->button(QMessageBox::No)->click();
            QFAIL(qPrintable("a question no test answered: " + box->text()));
        }
    }
    if (!m_form || !m_form->OD->isVisible()) {
        m_unwantedTicks = 0;
        return;
    }
    if (m_dialogAction) {
        ++m_dialogsSeen;
        auto action = std::move(m_dialogAction);
        m_dialogAction = nullptr;
        action(*m_form->OD);
        return;
    }
    // A dialog no test asked for would wait for a user for ever.
    if (++m_unwantedTicks > 200) {
        ++m_unwantedDialogs;
        m_form->OD->reject();
        QFAIL("the file dialog opened without a test to answer it");
    }
}

void TGuiRig::ChooseFile(QFileDialog& dialog, const std::string& path) {
    const QString file = QString::fromStdString(path);
    // Typed into the name field, as a user would: selectFile() leaves the field alone while it has
    // the focus, which depends on window activation.
    auto* nameEdit = dialog.findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(nameEdit != nullptr);
    nameEdit->setText(file);
    if (dialog.selectedFiles().value(0) != file) {
        dialog.reject(); // never leave a test hanging in the dialog
        QFAIL(qPrintable("the dialog did not take " + file));
    }
    static_cast<QDialog&>(dialog).accept(); // the dialog's own checks run
}
