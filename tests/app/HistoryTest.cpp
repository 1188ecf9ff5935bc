// Image file selection: the file dialog opened by the connection pass, the per-family history
// files, and the history list.

#include <QFileDialog>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "GuiRig.h"
#include "GuiTests.h"
#include "boot/BL_Vars.h"
#include "session/History.h"
#include "session/LoaderSetup.h"
#include "widgets/TBitBtnWC.h"
#include "widgets/TScrollLabel.h"

namespace {

std::string Lines(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& e : entries)
        text += e + "\r\n";
    return text;
}

QStringList ListItems(const QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->item(i)->text();
    return items;
}

} // namespace

class THistoryTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_rig = std::make_unique<TGuiRig>(); }
    void cleanup() { m_rig.reset(); }

    void CancelledDialogAtConnectKeepsSessionAndFilesNothing();
    void ChosenFileIsStoredShownAndFiledOnceFlashed();
    void DoubleClickSwapsWithFirstAndTrims();
    void AddToHistoryMatchesWithoutCaseAndTrims();
    void OtherKeysCloseArrowsAndEnterChooseAndAMissingEntryIsReported();
    void DsPicUsesThePic24PathAndHistory();

private:
    // A PIC18 session whose image is an existing file, so no dialog opens.
    void Connect();
    // Files in ExeDir that exist, named h1.hex, h2.hex...
    std::vector<std::string> MakeFiles(int count);
    std::unique_ptr<TGuiRig> m_rig;
};

void THistoryTest::Connect() {
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    *PathForFamily(FamPic18) = m_rig->CopyTestHex("current.hex");
    m_rig->Plug(target);
    QVERIFY(BootloaderActive);
}

std::vector<std::string> THistoryTest::MakeFiles(int count) {
    std::vector<std::string> files;
    for (int i = 1; i <= count; ++i) {
        const std::string name = "h" + std::to_string(i) + ".hex";
        m_rig->WriteFile(name, ":00000001FF\r\n");
        files.push_back(m_rig->PathIn(name));
    }
    return files;
}

void THistoryTest::CancelledDialogAtConnectKeepsSessionAndFilesNothing() {
    // The default setup names ExeDir, a folder: the pass opens the dialog right after connecting.
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    // The 50 ms timer runs while the dialog is open and puts its placeholder into the blank label.
    m_rig->OnFileDialog([&form](QFileDialog& dialog) {
        form.UpdateTimerEvent();
        dialog.reject();
    });
    m_rig->Plug(target);

    QCOMPARE(m_rig->FileDialogsSeen(), 1);
    QCOMPARE(form.OD->windowTitle(), QString("Load Flash image file"));
    QCOMPARE(form.OD->nameFilters(), QStringList({"Image files (*.hex)"}));
    QCOMPARE(form.OD->defaultSuffix(), QString("hex"));
    // Closing the file dialog is no activation: the session and its log stay.
    QVERIFY(BootloaderActive);
    QCOMPARE(form.ActivationCount(), 1);
    QVERIFY(m_rig->LogContains("Press FLASH button to start flashing."));
    // SL showed a blank when the dialog was cancelled: nothing is filed.
    QVERIFY(!FileExists(m_rig->PathIn("History_P18.txt")));
    QCOMPARE(form.SL->Caption().toStdString(), m_rig->Dir());
    QCOMPARE(form.FileDialogFileName().toStdString(), m_rig->Dir());
    form.UpdateTimerEvent();
    QVERIFY(!form.FlashBut->isEnabled());
    QCOMPARE(form.SL->Caption().toStdString(), m_rig->Dir());

    // After Reset (the board gone) SL is empty; a cancelled dialog files nothing then either.
    target.Unplug();
    m_rig->Settle();
    form.ResetButtonClick();
    m_rig->OnFileDialog([](QFileDialog& dialog) { dialog.reject(); });
    form.GetFileButClick();
    QCOMPARE(m_rig->FileDialogsSeen(), 2);
    QVERIFY(!FileExists(m_rig->PathIn("History_P18.txt")));
    QCOMPARE(form.ActivationCount(), 1);
}

void THistoryTest::ChosenFileIsStoredShownAndFiledOnceFlashed() {
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    const std::string image = m_rig->CopyTestHex("chosen.hex");
    m_rig->OnFileDialog([&image](QFileDialog& dialog) { TGuiRig::ChooseFile(dialog, image); });
    m_rig->Plug(target);

    QCOMPARE(m_rig->FileDialogsSeen(), 1);
    QVERIFY(BootloaderActive);
    QCOMPARE(LoaderSetup.pic18Path, image);
    QCOMPARE(form.SL->Caption().toStdString(), image);
    // Only a flashed file goes into the history.
    QVERIFY(!FileExists(m_rig->PathIn("History_P18.txt")));
    QCOMPARE(form.OD->directory().absolutePath().toStdString() + "/", FolderOf(image));
    form.UpdateTimerEvent();
    QVERIFY(form.FlashBut->isEnabled());
    QCOMPARE(form.ActivationCount(), 1);

    // Cancelling files nothing and keeps the choice.
    m_rig->OnFileDialog([](QFileDialog& dialog) { dialog.reject(); });
    form.GetFileButClick();
    QVERIFY(!FileExists(m_rig->PathIn("History_P18.txt")));
    QCOMPARE(LoaderSetup.pic18Path, image);

    QTest::mouseClick(form.FlashBut, Qt::LeftButton);
    QCOMPARE(form.LastFlashResult(), TFlashResult::Flashed);
    QCOMPARE(m_rig->ReadFile("History_P18.txt"), image + "\r\n");
}

void THistoryTest::DoubleClickSwapsWithFirstAndTrims() {
    Connect();
    TBootloaderForm& form = m_rig->Form();
    const std::vector<std::string> f = MakeFiles(11);
    m_rig->WriteFile("History_P18.txt", Lines(f));

    form.HistoryButClick();
    QVERIFY(form.ListBox1->isVisible());
    QCOMPARE(form.ListBox1->count(), 11);
    form.ListBox1->setCurrentRow(2);
    form.ListBox1DblClick();

    // The third entry swaps with the first; then the tenth of the eleven goes.
    const std::vector<std::string> expected = {f[2], f[1], f[0], f[3], f[4], f[5], f[6], f[7], f[8], f[10]};
    QCOMPARE(m_rig->ReadFile("History_P18.txt"), Lines(expected));
    QCOMPARE(LoaderSetup.pic18Path, f[2]);
    QCOMPARE(form.SL->Caption().toStdString(), f[2]);
    QCOMPARE(form.OD->directory().absolutePath().toStdString() + "/", m_rig->Dir());
    QVERIFY(!form.ListBox1->isVisible());
    QVERIFY(m_rig->messages.empty());
    QVERIFY(BootloaderActive);
    QCOMPARE(form.ActivationCount(), 1);
}

void THistoryTest::AddToHistoryMatchesWithoutCaseAndTrims() {
    Connect();
    TBootloaderForm& form = m_rig->Form();
    std::vector<std::string> e;
    for (int i = 1; i <= 10; ++i)
        e.push_back("/old/e" + std::to_string(i) + ".hex");
    m_rig->WriteFile("History_P18.txt", Lines(e));

    form.AddToHistory("/new/n.hex");
    QCOMPARE(m_rig->ReadFile("History_P18.txt"),
             Lines({"/new/n.hex", e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7], e[9]}));

    // The same path in other letters is found and keeps its own spelling.
    form.AddToHistory("/OLD/E3.HEX");
    QCOMPARE(m_rig->ReadFile("History_P18.txt"),
             Lines({e[2], e[0], e[1], "/new/n.hex", e[3], e[4], e[5], e[6], e[7], e[9]}));
    // The working list shows the new history (without being shown).
    QCOMPARE(ListItems(form.ListBox1).first().toStdString(), e[2]);
    QVERIFY(!form.ListBox1->isVisible());
}

void THistoryTest::OtherKeysCloseArrowsAndEnterChooseAndAMissingEntryIsReported() {
    Connect();
    TBootloaderForm& form = m_rig->Form();
    const std::vector<std::string> f = MakeFiles(2);
    const std::string gone = m_rig->PathIn("gone.hex");
    const std::string history = Lines({f[0], gone, f[1]});
    m_rig->WriteFile("History_P18.txt", history);

    // Keys other than the list's own moves and Enter close it without choosing.
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_A, Qt::Key_Space, Qt::Key_Tab, Qt::Key_Delete}) {
        form.HistoryButClick();
        QVERIFY(form.ListBox1->isVisible());
        QTest::keyClick(form.ListBox1, key);
        QVERIFY2(!form.ListBox1->isVisible(), qPrintable(QKeySequence(key).toString()));
        QCOMPARE(m_rig->ReadFile("History_P18.txt"), history);
        QCOMPARE(form.SL->Caption().toStdString(), LoaderSetup.pic18Path);
    }

    // The arrow keys move through the list and Enter chooses, as a double click does.
    form.HistoryButClick();
    QCOMPARE(form.ListBox1->currentRow(), 0);
    QTest::keyClick(form.ListBox1, Qt::Key_Down);
    QTest::keyClick(form.ListBox1, Qt::Key_Down);
    QTest::keyClick(form.ListBox1, Qt::Key_Up);
    QTest::keyClick(form.ListBox1, Qt::Key_Down);
    QVERIFY(form.ListBox1->isVisible());
    QCOMPARE(form.ListBox1->currentRow(), 2);
    QTest::keyClick(form.ListBox1, Qt::Key_Return);
    QVERIFY(!form.ListBox1->isVisible());
    QCOMPARE(form.SL->Caption().toStdString(), f[1]);
    QCOMPARE(LoaderSetup.pic18Path, f[1]);
    const std::string chosen = Lines({f[1], gone, f[0]});
    QCOMPARE(m_rig->ReadFile("History_P18.txt"), chosen);
    QVERIFY(m_rig->messages.empty());

    form.HistoryButClick();
    const QRect rowRect = form.ListBox1->visualItemRect(form.ListBox1->item(1));
    // A real double click: the first click selects, the second press arrives as the double click.
    QTest::mouseClick(form.ListBox1->viewport(), Qt::LeftButton, {}, rowRect.center());
    QTest::mouseDClick(form.ListBox1->viewport(), Qt::LeftButton, {}, rowRect.center());
    QCOMPARE(m_rig->messages,
             std::vector<QString>({QString::fromStdString("File " + gone + " does not exist")}));
    // The message box is ours: its closing activates the window, which ends the session and waits
    // again; the board, still in its bootloader, connects anew at once.
    QCOMPARE(form.ActivationCount(), 2);
    QVERIFY(BootloaderActive);
    QVERIFY(m_rig->LogLines().first().contains("Press PIC RESET button"));
    QVERIFY(m_rig->LogContains("Press FLASH button to start flashing."));
    QVERIFY(!form.ListBox1->isVisible());
    QCOMPARE(m_rig->ReadFile("History_P18.txt"), chosen);
}

void THistoryTest::DsPicUsesThePic24PathAndHistory() {
    TVirtualTarget& target = m_rig->AddTarget(FamDsPic);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    const std::string image = m_rig->CopyTestHex("dspic.hex");
    LoaderSetup.pic24Path = image;
    m_rig->Plug(target);

    QVERIFY(BootloaderActive);
    QCOMPARE(McuFamily, FamDsPic);
    QCOMPARE(form.SL->Caption().toStdString(), image);
    form.AddToHistory(image);
    QCOMPARE(m_rig->ReadFile("History_P24.txt"), image + "\r\n");
    QVERIFY(!FileExists(m_rig->PathIn("History_P18.txt")));

    form.HistoryButClick();
    QCOMPARE(ListItems(form.ListBox1), QStringList({QString::fromStdString(image)}));
}

GUI_TEST_CLASS(THistoryTest)
#include "HistoryTest.moc"
