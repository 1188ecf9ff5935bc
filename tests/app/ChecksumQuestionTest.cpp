// The window asks before it flashes records with a wrong checksum: a Yes/No box with No as the
// default, No refusing the file with nothing erased, Yes flashing it as before.

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <utility>
#include <vector>

#include "GuiRig.h"
#include "GuiTests.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Vars.h"
#include "session/LoaderSetup.h"
#include "widgets/TBitBtnWC.h"

class TChecksumQuestionTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_rig = std::make_unique<TGuiRig>(); }
    void cleanup() { m_rig.reset(); }

    void NoIsTheDefaultAndRefusesTheFile();
    void YesFlashesTheFileAsBefore();

private:
    // Connects a PIC18 target whose image has one record with a wrong checksum, clicks FLASH and
    // lets answer act on the question box; returns the target.
    TVirtualTarget& FlashWithQuestion(const std::function<void(QMessageBox&)>& answer);

    std::unique_ptr<TGuiRig> m_rig;
    QString m_question;
    bool m_noIsDefault = false;
    bool m_escapeIsNo = false;
    QString m_indicator;
    QString m_resultLine;
    std::vector<uint8_t> m_before;  // the target's flash before FLASH was clicked
};

TVirtualTarget& TChecksumQuestionTest::FlashWithQuestion(const std::function<void(QMessageBox&)>& answer) {
    TVirtualTarget& target = m_rig->AddTarget(FamPic18);
    m_rig->Start();
    m_rig->WriteFile("sum.hex", ":0400000001020304F3\r\n:00000001FF\r\n");
    *PathForFamily(FamPic18) = m_rig->PathIn("sum.hex");
    m_rig->Plug(target);
    TBootloaderForm& form = m_rig->Form();
    form.UpdateTimerEvent();
    m_before = target.Flash();

    QTimer watch;
    watch.setInterval(10);
    connect(&watch, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) return;
        watch.stop();
        m_question = box->text();
        m_noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        m_escapeIsNo = box->escapeButton() == box->button(QMessageBox::No);
        // The window says that it checks the file, not that it flashes, while the box is open.
        m_rig->Form().UpdateTimerEvent();
        m_indicator = m_rig->Form().ConnectIndicator->text();
        m_resultLine = m_rig->Form().ResultLine();
        answer(*box);
    });
    watch.start();
    QTest::mouseClick(form.FlashBut, Qt::LeftButton);
    return target;
}

void TChecksumQuestionTest::NoIsTheDefaultAndRefusesTheFile() {
    // Enter takes the default button.
    TVirtualTarget& target = FlashWithQuestion([](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); });
    QCOMPARE(m_question, QString("1 record of sum.hex has a wrong checksum. Flash anyway?"));
    QVERIFY(m_noIsDefault);
    QVERIFY(m_escapeIsNo);
    QCOMPARE(m_indicator, QString(TBootloaderForm::CheckingCaption));
    QCOMPARE(m_resultLine, QString("Checking sum.hex"));
    QCOMPARE(m_rig->Form().LastFlashResult(), TFlashResult::FileRefused);
    const QStringList log = m_rig->LogLines();
    const int error = int(log.indexOf("Error parsing hex file."));
    QVERIFY(error > 0);
    QCOMPARE(log.mid(error), QStringList({"Error parsing hex file.", " Line 1: wrong checksum",
                                          "1 checksum errors found!", "Completed."}));
    // Nothing erased or written.
    QVERIFY(!log.contains("Erasing flash memory."));
    QVERIFY(std::as_const(target).Flash() == m_before);
}

void TChecksumQuestionTest::YesFlashesTheFileAsBefore() {
    TVirtualTarget& target = FlashWithQuestion([](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });
    QCOMPARE(m_question, QString("1 record of sum.hex has a wrong checksum. Flash anyway?"));
    QCOMPARE(m_rig->Form().LastFlashResult(), TFlashResult::Flashed);
    const QStringList log = m_rig->LogLines();
    QVERIFY(!log.contains("Error parsing hex file."));
    QVERIFY(log.contains("1 checksum errors found!"));
    QVERIFY(log.contains("Flashing complete."));
    // The record's reset instruction moved to the slot below the bootloader at 0xF000.
    const std::vector<uint8_t>& flash = std::as_const(target).Flash();
    const uint32_t slot = target.BootStartImageOffset() - 4;
    QCOMPARE(std::vector<uint8_t>(flash.begin() + slot, flash.begin() + slot + 4),
             std::vector<uint8_t>({0x01, 0x02, 0x03, 0x04}));

    // Two records with a wrong checksum: the plural.
    m_rig->WriteFile("sum.hex", ":0400000001020304F3\r\n:0400040001020304F3\r\n:00000001FF\r\n");
    m_rig->AnswerQuestions(QMessageBox::No);
    QTRY_VERIFY(BootloaderActive); // connected again after the run
    m_rig->Form().UpdateTimerEvent();
    QTest::mouseClick(m_rig->Form().FlashBut, Qt::LeftButton);
    QCOMPARE(m_rig->questions,
             std::vector<QString>({"2 records of sum.hex have a wrong checksum. Flash anyway?"}));
}

GUI_TEST_CLASS(TChecksumQuestionTest)

#include "ChecksumQuestionTest.moc"
