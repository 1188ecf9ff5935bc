// The window as a first-time user meets it: the layout at any size, the focus and the option during
// a run, the failed run on the indicator, the restored position, the label's and FLASH's looks, and
// the keyboard on the IDs and the history list.

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QCompleter>
#include <QFileDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "GuiRig.h"
#include "GuiTests.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Vars.h"
#include "boot/HostHooks.h"
#include "session/History.h"
#include "session/LoaderSetup.h"
#include "session/TSimpleIniFile.h"
#include "sim/TFlashCheck.h"
#include "usb/HIDinterface.h"
#include "widgets/TBitBtnWC.h"
#include "widgets/TEditHexL.h"
#include "widgets/TScrollLabel.h"

namespace {

QColor Background(const QWidget* w) {
    return w->palette().color(QPalette::Window);
}

int CountPixels(const QImage& image, const std::function<bool(QColor)>& match) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += match(image.pixelColor(x, y)) ? 1 : 0;
    return n;
}

bool IsRed(QColor c) {
    return c.red() > 150 && c.green() < 90 && c.blue() < 90;
}

bool IsWhite(QColor c) {
    return c.red() > 200 && c.green() > 200 && c.blue() > 200;
}

std::string SetupRecord(int32_t left, int32_t top) {
    TLoaderSetup setup;
    setup.left = left;
    setup.top = top;
    const auto bytes = EncodeLoaderSetup(setup);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The controls a user sees, by name.
QList<QWidget*> Controls(TBootloaderForm& form) {
    return {form.GroupBox1,        form.StaticText1, form.StaticText2, form.VIDlabel,    form.PIDlabel,
            form.CheckBox2,        form.AutoBox,     form.FlashBut,    form.ResetButton, form.Label1,
            form.ConnectIndicator, form.Panel1,      form.SL,          form.GetFileBut,  form.HistoryBut,
            form.InputWindow,      form.Panel2,      form.ProgressBar};
}

} // namespace

class TWindowStatesTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_rig = std::make_unique<TGuiRig>(); }
    void cleanup() { m_rig.reset(); }

    void DesignSizeKeepsTheDesignBounds();
    void EveryControlStaysWholeAtAnySize();
    void StoredSizeAndMaximisedStartKeepEveryControl();
    void SpaceTwiceOnFlashLeavesTheOptionAlone();
    void FlagIsTheOneSetWhenFlashWasPressed();
    void FailedRunShowsOnTheIndicatorUntilTheNextFlash();
    void FailedRunShowsOnTheIndicatorUntilTheNextFlash_data();
    void KeepOnScreenMovesAWindowOntoAnArea();
    void RestoredPositionStaysOnTheScreen();
    void LabelTurnsWhiteWhateverTheOrder();
    void DisabledFlashLooksDisabled();
    void IdsAreReachedAndChangedFromTheKeyboard();
    void CompletionPopupIsClosedWithTheDialog();
    void AutoFlashesWhenABoardConnects();
    void DroppedFileIsChosenAndUnusableFilesAreRefused();
    void DisableIsConfirmedOnEachFlashAndShownBesideIt();
    void CloseDuringARunClosesWhenItEnds();
    void ControlsHaveNamesTabOrderAndShortcuts();

private:
    TVirtualTarget& ConnectWithImage(std::string& image);
    // Every shown control lies whole inside its parent and the window, shows its caption whole,
    // and overlaps none of its neighbours (the history list lies over the log by design).
    void CheckWhole(const QString& where);
    std::unique_ptr<TGuiRig> m_rig;
};

TVirtualTarget& TWindowStatesTest::ConnectWithImage(std::string& image) {
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    image = m_rig->CopyTestHex("blink.hex");
    *PathForFamily(FamPic18) = image;
    m_rig->Plug(target);
    return target;
}

void TWindowStatesTest::CheckWhole(const QString& where) {
    TBootloaderForm& form = m_rig->Form();
    const QList<QWidget*> controls = Controls(form);
    for (QWidget* c : controls) {
        const QString what = where + ": " + c->objectName();
        QVERIFY2(c->isVisibleTo(&form), qPrintable(what));
        QVERIFY2(c->width() > 0 && c->height() > 0, qPrintable(what));
        QVERIFY2(c->parentWidget()->rect().contains(c->geometry()),
                 qPrintable(what + " lies outside its parent"));
        const QRect inWindow(c->mapTo(&form, QPoint(0, 0)), c->size());
        QVERIFY2(form.rect().contains(inWindow), qPrintable(what + " lies outside the window"));
        const QFontMetrics fm(c->font());
        if (auto* button = qobject_cast<QPushButton*>(c))
            QVERIFY2(fm.horizontalAdvance(button->text()) <= button->width() - 2, qPrintable(what));
        if (auto* label = qobject_cast<QLabel*>(c); label && !label->wordWrap())
            QVERIFY2(fm.horizontalAdvance(label->text()) <= label->contentsRect().width(), qPrintable(what));
    }
    // The option's caption and box, measured in the face the window really uses.
    QVERIFY2(form.CheckBox2->sizeHint().width() <= form.CheckBox2->width(),
             qPrintable(where + QString(": option caption needs %1, has %2")
                                    .arg(form.CheckBox2->sizeHint().width())
                                    .arg(form.CheckBox2->width())));
    QVERIFY2(QFontMetrics(form.CheckBox2->font()).height() <= form.CheckBox2->height(), qPrintable(where));
    const QFontMetrics labelFm(form.Label1->font());
    for (const QString& word : form.Label1->text().split(' '))
        QVERIFY2(labelFm.horizontalAdvance(word) <= form.Label1->width(), qPrintable(where + ": " + word));
    QVERIFY2(form.Label1->heightForWidth(form.Label1->width()) <= form.Label1->height(), qPrintable(where));
    // Neighbours do not cover one another.
    for (int i = 0; i < controls.size(); ++i) {
        for (int j = i + 1; j < controls.size(); ++j) {
            QWidget* a = controls[i];
            QWidget* b = controls[j];
            if (a->parentWidget() != b->parentWidget()) continue;
            QVERIFY2(!a->geometry().intersects(b->geometry()),
                     qPrintable(where + ": " + a->objectName() + " covers " + b->objectName()));
        }
    }
}

void TWindowStatesTest::DesignSizeKeepsTheDesignBounds() {
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    // In a run for one desktop's face, that face is the one measured.
    const QString face = qEnvironmentVariable("QUARNEL_LAYOUT_FACE");
    if (!face.isEmpty()) QCOMPARE(QFontInfo(form.font()).family(), face);
    qInfo("face %s: option caption %d of %d px, label %dx%d", qPrintable(QFontInfo(form.font()).family()),
          form.CheckBox2->sizeHint().width(), form.CheckBox2->width(), form.Label1->width(),
          form.Label1->heightForWidth(form.Label1->width()));
    const struct {
        QWidget* control;
        QRect bounds;
    } design[] = {
        {form.GroupBox1, {5, 1, 270, 59}},         {form.StaticText1, {9, 16, 21, 17}},
        {form.StaticText2, {9, 35, 21, 17}},       {form.VIDlabel, {33, 15, 43, 17}},
        {form.PIDlabel, {33, 34, 43, 17}},         {form.CheckBox2, {84, 35, 182, 17}},
        {form.FlashBut, {289, 5, 92, 56}},         {form.ResetButton, {393, 7, 40, 20}},
        {form.ConnectIndicator, {7, 64, 113, 18}}, {form.Panel1, {125, 64, 257, 18}},
        {form.GetFileBut, {389, 62, 31, 25}},      {form.HistoryBut, {424, 62, 15, 25}},
        {form.InputWindow, {6, 90, 435, 350}},     {form.ListBox1, {6, 88, 433, 353}},
        {form.Panel2, {6, 445, 435, 20}},
    };
    // Out to another size and back, through the window's real resize events.
    for (const QSize size :
         {form.size(), QSize(900, 700), QSize(TBootloaderForm::DesignWidth, TBootloaderForm::DesignHeight)}) {
        form.resize(size);
        QTRY_COMPARE(form.size(), size);
    }
    for (const auto& d : design)
        QCOMPARE(d.control->geometry(), d.bounds);
    QCOMPARE(form.Label1->pos(), QPoint(397, 33));
    QCOMPARE(form.SL->geometry(), form.Panel1->contentsRect());
    QCOMPARE(form.ProgressBar->geometry(), form.Panel2->contentsRect());
    QCOMPARE(form.font().pointSize(), 8);
    CheckWhole("design size");
}

void TWindowStatesTest::EveryControlStaysWholeAtAnySize() {
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    const double logPoints = form.InputWindow->font().pointSizeF();
    // Shorter than the design (a large scale on a small screen): the log gives way, the rest keeps
    // its design height and font.
    for (const QSize size : {QSize(TBootloaderForm::DesignWidth, 300), form.minimumSize(), QSize(700, 260)}) {
        form.resize(size);
        QTRY_COMPARE(form.size(), size);
        const QString where = QString("short %1x%2").arg(size.width()).arg(size.height());
        CheckWhole(where);
        QCOMPARE(form.font().pointSize(), 8);
        QCOMPARE(form.FlashBut->height(), 56);
        QCOMPARE(form.InputWindow->height(), 350 - (TBootloaderForm::DesignHeight - size.height()));
        QCOMPARE(form.Panel2->geometry().bottom() + 1 + 6, size.height());
    }
    const QSize sizes[] = {{TBootloaderForm::DesignWidth + 1, TBootloaderForm::DesignHeight + 1},
                           {600, 480},
                           {1000, 480},
                           {460, 800},
                           {671, 707},
                           {800, 600},
                           {1600, 1200}};
    for (const QSize size : sizes) {
        form.resize(size);
        QTRY_COMPARE(form.size(), size);
        CheckWhole(QString("%1x%2").arg(size.width()).arg(size.height()));
    }
    // Maximised, as the window manager does it.
    form.showMaximized();
    QTRY_VERIFY(form.isMaximized());
    QTRY_COMPARE(form.frameGeometry().size(), QGuiApplication::primaryScreen()->availableGeometry().size());
    CheckWhole("maximised");
    // Restored and back at the design size, the fonts are the design's again, the log's fraction too.
    form.showNormal();
    form.resize(TBootloaderForm::DesignWidth, TBootloaderForm::DesignHeight);
    QTRY_COMPARE(form.size(), QSize(TBootloaderForm::DesignWidth, TBootloaderForm::DesignHeight));
    QCOMPARE(form.InputWindow->font().pointSizeF(), logPoints);
    QCOMPARE(form.font().pointSize(), 8);
}

void TWindowStatesTest::StoredSizeAndMaximisedStartKeepEveryControl() {
    const struct {
        int width, height;
        bool maximised;
    } stored[] = {{700, 560, false}, {470, 510, true}, {1200, 500, false}};
    for (const auto& s : stored) {
        m_rig.reset(); // the old window stores its setup before the next rig starts
        m_rig = std::make_unique<TGuiRig>();
        {
            TSimpleIniFile ini(m_rig->PathIn("quarnel-flash.ini"));
            ini.WriteInteger("Sizes", "MainWidth", s.width);
            ini.WriteInteger("Sizes", "MainHeight", s.height);
            ini.WriteBool("Sizes", "MainMaxiMised", s.maximised);
            std::string error;
            QVERIFY(ini.UpdateFile(error));
        }
        m_rig->Start();
        m_rig->Settle();
        TBootloaderForm& form = m_rig->Form();
        const QString where =
            QString("stored %1x%2%3").arg(s.width).arg(s.height).arg(s.maximised ? " max" : "");
        if (s.maximised)
            QTRY_VERIFY(form.isMaximized());
        else
            QCOMPARE(form.size(), QSize(s.width, s.height));
        CheckWhole(where);
        // The group box keeps room for both rows and the option.
        QVERIFY2(form.GroupBox1->height() >= 59, qPrintable(where));
        QVERIFY2(form.PIDlabel->geometry().bottom() < form.GroupBox1->height(), qPrintable(where));
    }
}

void TWindowStatesTest::SpaceTwiceOnFlashLeavesTheOptionAlone() {
    std::string image;
    TVirtualTarget& target = ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.UpdateTimerEvent();
    QVERIFY(form.FlashBut->isEnabled());
    form.FlashBut->setFocus();
    QCOMPARE(QApplication::focusWidget(), form.FlashBut);

    struct {
        bool seen = false;
        QWidget* focus = nullptr;
        bool optionEnabled = true;
        bool idsEnabled = true;
        bool tickedAfterKeys = false;
    } inside;
    THostHooks hooks = HostHooks();
    auto windowPos = hooks.setProgressPos;
    hooks.setProgressPos = [&](int64_t pos) {
        windowPos(pos);
        if (inside.seen || pos <= 0) return;
        inside.seen = true;
        inside.focus = QApplication::focusWidget();
        inside.optionEnabled = form.CheckBox2->isEnabled();
        inside.idsEnabled = form.VIDlabel->isEnabled() || form.PIDlabel->isEnabled();
        // The user's second Space, to whatever has the focus, and a click on the option.
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Space);
        QTest::mouseClick(form.CheckBox2, Qt::LeftButton);
        QTest::keyClick(form.CheckBox2, Qt::Key_Space);
        inside.tickedAfterKeys = form.CheckBox2->isChecked();
    };
    SetHostHooks(hooks);

    // The first Space, on the focused FLASH, runs the whole flash.
    QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Space);

    QVERIFY(inside.seen);
    QVERIFY(inside.focus != form.CheckBox2);
    QVERIFY(inside.focus != form.VIDlabel && inside.focus != form.PIDlabel);
    QVERIFY(!inside.optionEnabled);
    QVERIFY(!inside.idsEnabled);
    QVERIFY(!inside.tickedAfterKeys);
    QCOMPARE(form.LastFlashResult(), TFlashResult::Flashed);
    QVERIFY(!form.CheckBox2->isChecked());
    QCOMPARE(LoaderSetup.disableFlag, uint8_t(0));
    QVERIFY(!target.BootloaderDisabled());
    QVERIFY(target.SessionEnded());
    // After the run the option is live again, and the focus is still not on it.
    QVERIFY(form.CheckBox2->isEnabled());
    QVERIFY(QApplication::focusWidget() != form.CheckBox2);
    QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Space);
    QVERIFY(!form.CheckBox2->isChecked());
}

void TWindowStatesTest::FlagIsTheOneSetWhenFlashWasPressed() {
    for (const bool ticked : {false, true}) {
        m_rig.reset(); // the old window stores its setup before the next rig starts
        m_rig = std::make_unique<TGuiRig>();
        std::string image;
        TVirtualTarget& target = ConnectWithImage(image);
        TBootloaderForm& form = m_rig->Form();
        form.CheckBox2->setChecked(ticked);
        form.UpdateTimerEvent();
        THostHooks hooks = HostHooks();
        auto windowPos = hooks.setProgressPos;
        hooks.setProgressPos = [&](int64_t pos) {
            windowPos(pos);
            // A click on the option in the middle of the run does not count, nor a change of the
            // stored flag.
            QTest::mouseClick(form.CheckBox2, Qt::LeftButton);
            LoaderSetup.disableFlag = ticked ? 0 : 1;
        };
        SetHostHooks(hooks);
        m_rig->AnswerQuestions(QMessageBox::Yes); // the disable option is confirmed on each run
        QTest::mouseClick(form.FlashBut, Qt::LeftButton);
        QCOMPARE(m_rig->questions.size(), size_t(ticked ? 1 : 0));
        QCOMPARE(form.LastFlashResult(), TFlashResult::Flashed);
        QCOMPARE(form.FlashDisableFlag(), ticked);
        QCOMPARE(target.BootloaderDisabled(), ticked);
        QCOMPARE(m_rig->LogContains("Disabling boot loader..."), ticked);
        QCOMPARE(form.CheckBox2->isChecked(), ticked);
    }
}

void TWindowStatesTest::FailedRunShowsOnTheIndicatorUntilTheNextFlash() {
    QFETCH(int, dropAnswerAfter);
    QFETCH(int, corruptAfter);
    QFETCH(int, result);
    QFETCH(QString, line);
    std::string image;
    TVirtualTarget& target = ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    // Each run is checked against what the virtual board holds afterwards, as the demo and the CLI do.
    TVirtualTargetCheck check(m_rig->Backend());
    SetFlashCheck(&check);
    form.UpdateTimerEvent();
    if (dropAnswerAfter) target.Faults().dropAnswerAt = target.ReportsReceived() + dropAnswerAfter;
    if (corruptAfter) target.Faults().corruptAt = target.ReportsReceived() + corruptAfter;
    QTest::mouseClick(form.FlashBut, Qt::LeftButton);
    SetFlashCheck(nullptr);
    QCOMPARE(int(form.LastFlashResult()), result);
    QVERIFY2(!m_rig->LogLines().filter(line).isEmpty(), qPrintable(m_rig->LogLines().join('\n')));
    QVERIFY(!m_rig->LogContains("Flashing complete."));
    target.Faults() = TSimFaults{};
    // The board goes away (its reset) before the window looks for it again.
    target.Unplug();
    m_rig->Settle();

    const auto expectFailed = [&](const char* after) {
        form.UpdateTimerEvent();
        QVERIFY2(form.ConnectIndicator->text() == QString(" Flashing failed "), after);
        QVERIFY2(Background(form.ConnectIndicator) == QColor(255, 0, 0), after);
        QVERIFY2(form.FlashFailedShown(), after);
    };
    expectFailed("the run");
    form.UpdateTimerEvent();
    expectFailed("another tick");
    QTest::mouseClick(form.ResetButton, Qt::LeftButton);
    expectFailed("Reset");
    form.ShowMessageBox("An activation.");
    expectFailed("an activation");

    // The next connection shows the board, and the outcome stays on the bar.
    m_rig->Plug(target);
    QVERIFY(BootloaderActive);
    form.UpdateTimerEvent();
    QCOMPARE(form.ConnectIndicator->text(), QString(" Target connected "));
    QVERIFY(form.FlashFailedShown());
    QCOMPARE(form.ResultLine(), QString("Flashing failed: blink.hex"));

    // The next FLASH ends it; a run that succeeds shows its own green state.
    QTest::mouseClick(form.FlashBut, Qt::LeftButton);
    QCOMPARE(form.LastFlashResult(), TFlashResult::Flashed);
    QVERIFY(!form.FlashFailedShown());
    form.UpdateTimerEvent();
    QCOMPARE(form.ConnectIndicator->text(), QString(TBootloaderForm::FlashedCaption));
    QCOMPARE(Background(form.ConnectIndicator), QColor(0, 190, 60));
}

void TWindowStatesTest::FailedRunShowsOnTheIndicatorUntilTheNextFlash_data() {
    QTest::addColumn<int>("dropAnswerAfter");
    QTest::addColumn<int>("corruptAfter");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("line");
    // The answer to an erase command never comes.
    QTest::newRow("no answer") << 3 << 0 << int(TFlashResult::CommFailed)
                               << "Flashing failed: no answer from target!";
    // A data report is stored wrong without a word: the run's check finds it (exit 5 on the CLI).
    QTest::newRow("check fails") << 0 << 962 << int(TFlashResult::TargetDiffers)
                                 << "Virtual target: flash differs";
}

void TWindowStatesTest::KeepOnScreenMovesAWindowOntoAnArea() {
    const QList<QRect> one = {QRect(0, 0, 1920, 1050)};
    const QList<QRect> two = {QRect(0, 0, 1920, 1050), QRect(1920, 0, 1280, 1024)};
    const QSize window(447, 471);
    const struct {
        QList<QRect> areas;
        QPoint stored;
        QPoint expected;
    } cases[] = {
        {one, {40, 30}, {40, 30}},                         // on the screen: stays
        {one, {0, 0}, {0, 0}},                             // a maximised close
        {one, {-1, -20}, {0, 0}},                          // its frame above and left of the screen
        {one, {-5000, 300}, {0, 300}},                     // a screen that is gone, at the left
        {one, {5000, 4000}, {1920 - 447, 1050 - 471}},     // ... at the right and below
        {one, {1800, 1000}, {1920 - 447, 1050 - 471}},     // partly off
        {two, {3000, 100}, {3200 - 447, 100}},             // mostly on the second screen
        {two, {1800, 100}, {1920, 100}},                   // more on the second than the first
        {two, {1600, 100}, {1920 - 447, 100}},             // more on the first
        {{QRect(0, 0, 400, 300)}, {50, 50}, {0, 0}},       // larger than the screen: top-left on it
        {{QRect(0, 30, 1920, 1020)}, {100, 0}, {100, 30}}, // below a panel at the top
        {{}, {-7, -9}, {-7, -9}},                          // no screen known: as stored
    };
    for (const auto& c : cases)
        QCOMPARE(TBootloaderForm::KeepOnScreen(QRect(c.stored, window), c.areas), c.expected);
}

void TWindowStatesTest::RestoredPositionStaysOnTheScreen() {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint farRight(area.right() + 1, area.bottom() + 1); // less the frame's size, below
    const struct {
        QPoint stored;
        QPoint expected;
    } cases[] = {
        {{-1, -20}, area.topLeft()},
        {{40, 30}, {40, 30}},
        {{30000, 30000}, farRight},
    };
    for (const auto& c : cases) {
        m_rig.reset(); // the old window stores its setup before the next rig starts
        m_rig = std::make_unique<TGuiRig>();
        m_rig->WriteFile("Quarnel.dat", SetupRecord(c.stored.x(), c.stored.y()));
        {
            // The settings file's position is kept on the screen as well, before the activation.
            TSimpleIniFile ini(m_rig->PathIn("quarnel-flash.ini"));
            ini.WriteInteger("Sizes", "MainLeft", c.stored.x());
            ini.WriteInteger("Sizes", "MainTop", c.stored.y());
            std::string error;
            QVERIFY(ini.UpdateFile(error));
        }
        m_rig->Start(false);
        QVERIFY(area.contains(m_rig->Form().geometry()));
        m_rig->Form().show();
        m_rig->Settle();
        const QSize frame = m_rig->Form().frameGeometry().size();
        const QPoint expected =
            c.expected == farRight ? farRight - QPoint(frame.width(), frame.height()) : c.expected;
        QCOMPARE(m_rig->Form().pos(), expected);
        QVERIFY(area.contains(m_rig->Form().frameGeometry()));
    }
}

void TWindowStatesTest::LabelTurnsWhiteWhateverTheOrder() {
    // The stored path is a folder: the dialog opens at the connection. While it is open the timer
    // marks the blank label red; the choice then arrives before the next tick.
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    const std::string image = m_rig->CopyTestHex("chosen.hex");
    m_rig->OnFileDialog([&](QFileDialog& dialog) {
        form.UpdateTimerEvent();
        form.SL->repaint();
        TGuiRig::ChooseFile(dialog, image);
    });
    m_rig->Plug(target);
    QCOMPARE(m_rig->FileDialogsSeen(), 1);
    QCOMPARE(form.SL->Caption().toStdString(), image);
    form.SL->repaint(); // the new caption is drawn before the timer has looked at it
    form.UpdateTimerEvent();
    form.SL->repaint();
    QVERIFY(form.FlashBut->isEnabled());
    QCOMPARE(form.SL->FontColor(), QColor(Qt::white));
    QCOMPARE(CountPixels(form.SL->Image(), IsRed), 0);
    QVERIFY(CountPixels(form.SL->Image(), IsWhite) > 0);

    // And back to red when the file goes away, to white when it returns.
    QVERIFY(QFile::remove(QString::fromStdString(image)));
    form.UpdateTimerEvent();
    QVERIFY(CountPixels(form.SL->Image(), IsRed) > 0);
    QCOMPARE(CountPixels(form.SL->Image(), IsWhite), 0);
    m_rig->CopyTestHex("chosen.hex");
    form.UpdateTimerEvent();
    QCOMPARE(CountPixels(form.SL->Image(), IsRed), 0);
    QVERIFY(CountPixels(form.SL->Image(), IsWhite) > 0);
}

void TWindowStatesTest::DisabledFlashLooksDisabled() {
    std::string image;
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    form.UpdateTimerEvent();
    QVERIFY(!form.FlashBut->isEnabled());
    const QImage disabled = form.FlashBut->grab().toImage();
    const QColor disabledCaption = form.FlashBut->palette().color(QPalette::Disabled, QPalette::ButtonText);
    QVERIFY(!IsRed(disabledCaption));
    QCOMPARE(CountPixels(disabled, IsRed), 0);
    QVERIFY(CountPixels(disabled, [&](QColor c) { return c == disabledCaption; }) > 0);

    image = m_rig->CopyTestHex("blink.hex");
    *PathForFamily(FamPic18) = image;
    m_rig->Plug(target);
    form.UpdateTimerEvent();
    QVERIFY(form.FlashBut->isEnabled());
    const QImage enabled = form.FlashBut->grab().toImage();
    QVERIFY(CountPixels(enabled, IsRed) > 0);
    QVERIFY(enabled != disabled);
}

void TWindowStatesTest::IdsAreReachedAndChangedFromTheKeyboard() {
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // At the start the focus is on the log, not on a field that a key would open.
    QCOMPARE(QApplication::focusWidget(), form.InputWindow);
    QVERIFY(!form.VIDlabel->autoFillBackground());
    const struct {
        QLabel* label;
        Qt::Key open;
        const char* typed;
        const char* shown;
    } cases[] = {{form.VIDlabel, Qt::Key_Space, "beef", "BEEF"},
                 {form.PIDlabel, Qt::Key_Return, "12", "0012"}};
    for (const auto& c : cases) {
        // Tab walks the window until it reaches the field.
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.ResetButton->setFocus();
        for (int i = 0; i < 20 && QApplication::focusWidget() != c.label; ++i)
            QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), c.label);
        QVERIFY(c.label->autoFillBackground()); // the focus shows
        TEditHexL::SetShownHook([&c](TEditHexL& keypad) {
            QTest::keyClicks(&keypad, c.typed);
            QTest::keyClick(&keypad, Qt::Key_Return);
        });
        QTest::keyClick(static_cast<QWidget*>(nullptr), c.open);
        TEditHexL::SetShownHook(nullptr);
        QCOMPARE(c.label->text(), QString(c.shown));
    }
    QCOMPARE(LoaderSetup.vid, uint16_t(0xBEEF));
    QCOMPARE(LoaderSetup.pid, uint16_t(0x0012));
}

void TWindowStatesTest::CompletionPopupIsClosedWithTheDialog() {
    std::string image;
    ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    m_rig->CopyTestHex("blink-two.hex");
    bool popupShown = false;
    m_rig->OnFileDialog([&](QFileDialog& dialog) {
        auto* nameEdit = dialog.findChild<QLineEdit*>("fileNameEdit");
        QVERIFY(nameEdit != nullptr);
        // Typing a path brings up the completion list.
        nameEdit->setText(QString::fromStdString(m_rig->PathIn("bl")));
        QCompleter* completer = nameEdit->completer();
        QVERIFY(completer != nullptr);
        completer->setCompletionPrefix(nameEdit->text());
        completer->complete();
        QTRY_VERIFY(completer->popup()->isVisible());
        popupShown = true;
        TGuiRig::ChooseFile(dialog, image);
    });
    form.GetFileButClick();
    QVERIFY(popupShown);
    QVERIFY(QApplication::activePopupWidget() == nullptr);
    // The next click reaches the window.
    m_rig->WriteFile("History_P18.txt", image + "\r\n");
    QTest::mouseClick(form.HistoryBut, Qt::LeftButton);
    QVERIFY(form.ListBox1->isVisible());
}

void TWindowStatesTest::AutoFlashesWhenABoardConnects() {
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    const std::string image = m_rig->CopyTestHex("auto.hex");
    *PathForFamily(FamPic18) = image;
    // Auto and the disable option exclude each other.
    QTest::mouseClick(form.AutoBox, Qt::LeftButton);
    QVERIFY(form.AutoBox->isChecked());
    QVERIFY(!form.CheckBox2->isEnabled());
    QTest::mouseClick(form.CheckBox2, Qt::LeftButton);
    QVERIFY(!form.CheckBox2->isChecked());

    // The board connects: FLASH runs by itself.
    m_rig->Plug(target);
    QTRY_COMPARE(form.LastFlashResult(), TFlashResult::Flashed);
    QVERIFY(m_rig->LogContains(QString::fromStdString("Auto: flashing " + image)));
    QVERIFY(!target.BootloaderDisabled());

    // The file is read anew at each connection: an edited file is what the next run writes.
    target.Unplug(); // the board's reset
    m_rig->Settle();
    m_rig->WriteFile("auto.hex", ":02002000AA55DF\r\n:00000001FF\r\n");
    m_rig->Plug(target);
    QTRY_VERIFY(std::as_const(target).Flash()[0x20] == 0xAA && std::as_const(target).Flash()[0x21] == 0x55);
    // A board still in its bootloader after the run connects again, but is not flashed again.
    QTRY_VERIFY(BootloaderActive);
    m_rig->Settle(100);
    QCOMPARE(m_rig->LogLines().count(QString::fromStdString("Auto: flashing " + image)), 2);
    QTRY_COMPARE(form.LastFlashResult(), TFlashResult::Flashed);
    QTest::mouseClick(form.AutoBox, Qt::LeftButton);
    QVERIFY(!form.AutoBox->isChecked());
    QVERIFY(form.CheckBox2->isEnabled());

    // Ticking the disable option turns Auto off and keeps it off.
    QTest::mouseClick(form.AutoBox, Qt::LeftButton);
    QVERIFY(form.AutoBox->isChecked());
    QTRY_VERIFY(form.CheckBox2->isEnabled() == false);
    QTest::mouseClick(form.AutoBox, Qt::LeftButton);
    QTRY_VERIFY(form.CheckBox2->isEnabled()); // once a run Auto may have started is over
    QTest::mouseClick(form.CheckBox2, Qt::LeftButton);
    QVERIFY(form.CheckBox2->isChecked());
    QVERIFY(!form.AutoBox->isChecked());
    QVERIFY(!form.AutoBox->isEnabled());
    QTest::mouseClick(form.CheckBox2, Qt::LeftButton);
    QTest::mouseClick(form.AutoBox, Qt::LeftButton);
    QVERIFY(form.AutoBox->isChecked());

    // Kept in the settings file.
    m_rig->Stop();
    TSimpleIniFile ini(m_rig->PathIn("quarnel-flash.ini"));
    QVERIFY(ini.ReadBool("Options", "Auto", false));
}

void TWindowStatesTest::DroppedFileIsChosenAndUnusableFilesAreRefused() {
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    TBootloaderForm& form = m_rig->Form();
    const auto drop = [&form](const std::string& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
        const QPoint at = form.InputWindow->geometry().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&form, &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&form, &dropped);
        return dropped.isAccepted();
    };
    // Before a board is connected: the file becomes the connecting board's image, no dialog opens.
    const std::string image = m_rig->CopyTestHex("dropped.hex");
    QVERIFY(drop(image));
    QCOMPARE(form.SL->Caption().toStdString(), image);
    m_rig->Plug(target);
    QVERIFY(BootloaderActive);
    QCOMPARE(m_rig->FileDialogsSeen(), 0);
    QCOMPARE(LoaderSetup.pic18Path, image);
    form.UpdateTimerEvent();
    QVERIFY(form.FlashBut->isEnabled());

    // Unusable files are refused with the reason; the image stays.
    const std::string fifo = m_rig->PathIn("pipe.hex");
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string zero = m_rig->PathIn("zero.hex");
    QCOMPARE(::symlink("/dev/zero", zero.c_str()), 0);
    const struct {
        std::string path;
        std::string reason;
    } refused[] = {{fifo, "it is not a regular file"},
                   {zero, "it is not a regular file"},
                   {m_rig->Dir(), "it is a folder"},
                   {m_rig->PathIn("gone.hex"), "it does not exist"}};
    for (const auto& r : refused) {
        QVERIFY(drop(r.path));
        QVERIFY2(m_rig->LogContains(QString::fromStdString("Cannot use " + r.path + ": " + r.reason + ".")),
                 r.path.c_str());
        QCOMPARE(LoaderSetup.pic18Path, image);
        QCOMPARE(form.SL->Caption().toStdString(), image);
    }
    // Two files at once are no choice.
    QMimeData two;
    two.setUrls({QUrl::fromLocalFile("/a.hex"), QUrl::fromLocalFile("/b.hex")});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &two, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    QVERIFY(!enter.isAccepted());
    // Nothing refused or chosen went into the history.
    QVERIFY(!FileExists(m_rig->PathIn("History_P18.txt")));
}

void TWindowStatesTest::DisableIsConfirmedOnEachFlashAndShownBesideIt() {
    std::string image;
    TVirtualTarget& target = ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    QVERIFY(form.FlashBut->Glyph().isNull());
    QTest::mouseClick(form.CheckBox2, Qt::LeftButton);
    QVERIFY(form.CheckBox2->isChecked());
    QVERIFY(!form.FlashBut->Glyph().isNull());
    QVERIFY(!form.FlashBut->accessibleDescription().isEmpty());
    form.UpdateTimerEvent();

    // No: nothing is sent, the session stays.
    m_rig->AnswerQuestions(QMessageBox::No);
    const int reports = target.ReportsReceived();
    QTest::mouseClick(form.FlashBut, Qt::LeftButton);
    QCOMPARE(m_rig->questions.size(), size_t(1));
    QVERIFY(m_rig->questions[0].contains("boot loader will be disabled"));
    QCOMPARE(target.ReportsReceived(), reports);
    QCOMPARE(form.LastFlashResult(), TFlashResult::None);
    QVERIFY(m_rig->LogContains("Not flashed: disabling the boot loader was not confirmed."));
    QVERIFY(BootloaderActive);
    QVERIFY(form.CheckBox2->isEnabled());
    form.UpdateTimerEvent();
    QVERIFY(form.FlashBut->isEnabled());

    // Yes: flashed and disabled; asked again on the next run.
    m_rig->AnswerQuestions(QMessageBox::Yes);
    QTest::mouseClick(form.FlashBut, Qt::LeftButton);
    QCOMPARE(m_rig->questions.size(), size_t(2));
    QCOMPARE(form.LastFlashResult(), TFlashResult::Flashed);
    QVERIFY(target.BootloaderDisabled());

    QTest::mouseClick(form.CheckBox2, Qt::LeftButton);
    QVERIFY(form.FlashBut->Glyph().isNull());
}

void TWindowStatesTest::CloseDuringARunClosesWhenItEnds() {
    std::string image;
    ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    form.UpdateTimerEvent();
    bool visibleAfterClose = false;
    THostHooks hooks = HostHooks();
    auto windowPos = hooks.setProgressPos;
    hooks.setProgressPos = [&](int64_t pos) {
        windowPos(pos);
        if (pos <= 0 || form.CloseAfterRun()) return;
        form.close(); // as the title bar's close button does
        visibleAfterClose = form.isVisible();
    };
    SetHostHooks(hooks);
    QTest::mouseClick(form.FlashBut, Qt::LeftButton);
    QVERIFY(visibleAfterClose);
    QVERIFY(m_rig->LogContains("The window closes when the run ends."));
    QCOMPARE(form.LastFlashResult(), TFlashResult::Flashed);
    QVERIFY(!form.isVisible());
    // Closed as any close: the setup is stored, the vendor device opener installed.
    QCOMPARE(DeviceChangeHandlerKind(), THandlerKind::OpenVendorDevice);
}

void TWindowStatesTest::ControlsHaveNamesTabOrderAndShortcuts() {
    std::string image;
    TVirtualTarget& target = ConnectWithImage(image);
    TBootloaderForm& form = m_rig->Form();
    form.UpdateTimerEvent();
    // Every control a user reaches, and those a screen reader reads, has a name.
    QList<QWidget*> named = {form.SL, form.InputWindow, form.ProgressBar, form.ConnectIndicator,
                             form.ListBox1};
    for (QWidget* w : form.findChildren<QWidget*>())
        if (w->window() == &form && w->focusPolicy() != Qt::NoFocus && w->isVisibleTo(&form)) named.append(w);
    QVERIFY(named.size() > 12);
    for (QWidget* w : named) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        QVERIFY2(a != nullptr, qPrintable(w->objectName()));
        QVERIFY2(!a->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(w->objectName()));
    }
    QCOMPARE(QAccessible::queryAccessibleInterface(form.VIDlabel)->text(QAccessible::Name),
             QString("VID 3930"));
    QCOMPARE(QAccessible::queryAccessibleInterface(form.SL)->text(QAccessible::Name),
             QString::fromStdString("Image file: " + image));

    // Tab follows the visual order.
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.VIDlabel->setFocus();
    const QList<QWidget*> order = {form.VIDlabel,   form.PIDlabel,   form.AutoBox,
                                   form.CheckBox2,  form.FlashBut,   form.ResetButton,
                                   form.GetFileBut, form.HistoryBut, form.VIDlabel};
    for (int i = 1; i < order.size(); ++i) {
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), order[i]);
    }

    // The indicator's state is its description, and changes with it (an alert is sent to a running
    // screen reader; without one, as here, Qt delivers no events).
    QAccessibleInterface* indicator = QAccessible::queryAccessibleInterface(form.ConnectIndicator);
    QCOMPARE(indicator->text(QAccessible::Name), QString("Connection"));
    QCOMPARE(indicator->text(QAccessible::Description), QString("Target connected"));
    target.Unplug();
    m_rig->Settle();
    QTest::mouseClick(form.ResetButton, Qt::LeftButton);
    form.UpdateTimerEvent();
    QCOMPARE(indicator->text(QAccessible::Description), QString("------"));

    // Ctrl+O chooses a file, Ctrl+Return flashes.
    m_rig->OnFileDialog([](QFileDialog& dialog) { dialog.reject(); });
    QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(m_rig->FileDialogsSeen(), 1);
    m_rig->Plug(target);
    QVERIFY(BootloaderActive);
    form.UpdateTimerEvent();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(form.LastFlashResult(), TFlashResult::Flashed);
}

GUI_TEST_CLASS(TWindowStatesTest)
#include "WindowStatesTest.moc"
