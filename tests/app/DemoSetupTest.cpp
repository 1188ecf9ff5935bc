// The demo's start: its options and the virtual board's settings and faults, and the example image
// it starts with.

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "GuiTests.h"
#include "app/DemoSetup.h"
#include "boot/BL_Vars.h"
#include "session/History.h"

class TDemoSetupTest : public QObject {
    Q_OBJECT

private slots:
    void OptionsAreRead();
    void TitleSaysDemo();
    void BadOptionsAreRefused();
    void SimKeysSetTheBoardAndItsFaults();
    void EveryFamilyHasAnExampleThatExists();
    void InstalledExamplesAreFoundBesideTheProgram();
};

void TDemoSetupTest::TitleSaysDemo() {
    QCOMPARE(DemoWindowTitle(" Quarnel Flash utility:  V1.2.3"),
             QString(" Quarnel Flash utility DEMO:  V1.2.3"));
    QCOMPARE(DemoWindowTitle("Quarnel Flash"), QString("Quarnel Flash DEMO"));
}

void TDemoSetupTest::OptionsAreRead() {
    const struct {
        QStringList args;
        std::string family;
        QString image;
        QString shots;
        std::vector<std::string> sim;
    } cases[] = {
        {{"demo"}, "pic18", "", "", {}},
        {{"demo", "pic32"}, "pic32", "", "", {}},
        {{"demo", "dspic", "--image", "a.hex"}, "dspic", "a.hex", "", {}},
        {{"demo", "--sim", "drop-answer=40", "--sim=vid=0x1234,pid=1"},
         "pic18",
         "",
         "",
         {"drop-answer=40", "vid=0x1234,pid=1"}},
        {{"demo", "--screenshots=out", "pic16"}, "pic16", "", "out", {}},
    };
    for (const auto& c : cases) {
        TDemoOptions o;
        QString error;
        QVERIFY2(ParseDemoOptions(c.args, o, error), qPrintable(c.args.join(' ') + ": " + error));
        QCOMPARE(o.family, c.family);
        QCOMPARE(o.image, c.image);
        QCOMPARE(o.screenshotDir, c.shots);
        QCOMPARE(o.sim, c.sim);
    }
}

void TDemoSetupTest::BadOptionsAreRefused() {
    const QStringList bad[] = {{"demo", "--sim"},
                               {"demo", "--image"},
                               {"demo", "pic18", "pic24"},
                               {"demo", "--bogus"},
                               {"demo", "--family=pic18"}};
    for (const QStringList& args : bad) {
        TDemoOptions o;
        QString error;
        QVERIFY2(!ParseDemoOptions(args, o, error), qPrintable(args.join(' ')));
        QVERIFY(!error.isEmpty());
    }
    for (const std::vector<std::string>& sim :
         std::vector<std::vector<std::string>>{{"drop-answer=0"}, {"bogus=1"}, {"vid"}, {"flash-size=x"}}) {
        TDemoOptions o;
        o.sim = sim;
        TSimBoardSetup board;
        std::string error;
        QVERIFY2(!BuildDemoBoard(o, board, error), sim[0].c_str());
        QVERIFY(!error.empty());
    }
    TDemoOptions o;
    o.family = "pic19";
    TSimBoardSetup board;
    std::string error;
    QVERIFY(!BuildDemoBoard(o, board, error));
}

void TDemoSetupTest::SimKeysSetTheBoardAndItsFaults() {
    TDemoOptions o;
    o.family = "pic24";
    o.sim = {"drop-answer=40,wrong-echo=7", "stop-writes=90,unplug-at=120,plug-after-ms=2500,corrupt-at=33",
             "vid=0x1234,descriptor=Board"};
    TSimBoardSetup board;
    std::string error;
    QVERIFY2(BuildDemoBoard(o, board, error), error.c_str());
    QCOMPARE(board.profile.family, FamPic24);
    QCOMPARE(board.faults.dropAnswerAt, 40);
    QCOMPARE(board.faults.wrongEchoAt, 7);
    QCOMPARE(board.faults.stopWritesAt, 90);
    QCOMPARE(board.faults.unplugAt, 120);
    QCOMPARE(board.faults.corruptAt, 33);
    QVERIFY(board.plugAfterMs.has_value());
    QCOMPARE(*board.plugAfterMs, uint64_t(2500));
    QCOMPARE(board.profile.vendorId, uint16_t(0x1234));
    QCOMPARE(board.profile.descriptor, std::string("Board"));
}

void TDemoSetupTest::EveryFamilyHasAnExampleThatExists() {
    // Run from this build: the source tree's examples.
    const std::string folder = DemoExamplesFolder(std::string(QUARNEL_BUILD_DIR) + "/app/quarnel-flash-demo");
    QCOMPARE(folder, std::string(QUARNEL_SOURCE_EXAMPLES));
    const struct {
        uint8_t family;
        const char* file;
    } cases[] = {{FamPic16, "pic16/blink16.hex"},   {FamPic18, "pic18/blink18.hex"},
                 {FamPic18FJ, "pic18/blink18.hex"}, {FamPic24, "pic24/blink24.hex"},
                 {FamDsPic, "pic24/blink24.hex"},   {FamPic32, "pic32/blink32.hex"}};
    for (const auto& c : cases) {
        const std::string example = DemoExampleFor(c.family, folder);
        QCOMPARE(example, folder + "/" + c.file);
        QVERIFY2(FileExists(example), example.c_str());
    }
    QCOMPARE(DemoExampleFor(5, folder), std::string());
    QCOMPARE(DemoExampleFor(FamPic18, ""), std::string());
}

void TDemoSetupTest::InstalledExamplesAreFoundBesideTheProgram() {
    QTemporaryDir prefix;
    const std::string root = prefix.path().toStdString();
    QVERIFY(QDir().mkpath(prefix.filePath("share/quarnel-flash/examples/pic18")));
    QCOMPARE(DemoExamplesFolder(root + "/bin/quarnel-flash-demo"), root + "/share/quarnel-flash/examples");
}

GUI_TEST_CLASS(TDemoSetupTest)
#include "DemoSetupTest.moc"
