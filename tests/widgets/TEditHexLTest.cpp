#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <memory>

#include "widgets/TEditHexL.h"

namespace {

// Keys go to the focused OK button, as a user's would; the dialog sees them first.
void Type(TEditHexL& dialog, const char* keys) { QTest::keyClicks(dialog.OkButton(), keys); }
void Key(TEditHexL& dialog, Qt::Key key) { QTest::keyClick(dialog.OkButton(), key); }

// Drives the keypad through its test seams: the actions run once the dialog is up, beeps and
// range messages are recorded instead of sounding and blocking.
class TEditHexLTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<QWidget>();
        window->resize(300, 200);
        target = new QLabel(window.get());
        target->setObjectName("VIDlabel");
        target->setGeometry(33, 15, 43, 17);
        target->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        TEditHexL::SetBeepHook([this] { ++beeps; });
        TEditHexL::SetMessageHook([this](QWidget*, const QString& text) { messages.push_back(text); });
    }
    void TearDown() override {
        TEditHexL::SetShownHook(nullptr);
        TEditHexL::SetBeepHook(nullptr);
        TEditHexL::SetMessageHook(nullptr);
    }

    // Runs EditHexValue on w; actions get the open dialog.
    std::string Run(QWidget* w, int64_t minimum, int64_t maximum, std::function<void(TEditHexL&)> actions,
                    bool showRangeError = true) {
        shown = 0;
        TEditHexL::SetShownHook([&, actions](TEditHexL& dialog) {
            ++shown;
            display = dialog.Display()->text();
            tintedWhileOpen = w->autoFillBackground() && w->palette().color(QPalette::Window) == Qt::yellow;
            if (actions) actions(dialog);
        });
        return EditHexValue(w, showRangeError, minimum, maximum);
    }

    std::unique_ptr<QWidget> window;
    QLabel* target = nullptr;
    int beeps = 0;
    std::vector<QString> messages;
    int shown = 0;
    QString display;
    bool tintedWhileOpen = false;
};

// Keys as a user types them: \r is Enter, \x1b Esc, \b Backspace.
void Script(TEditHexL& dialog, const std::string& keys) {
    for (char c : keys) {
        if (c == '\r')
            Key(dialog, Qt::Key_Return);
        else if (c == '\x1b')
            Key(dialog, Qt::Key_Escape);
        else if (c == '\b')
            Key(dialog, Qt::Key_Backspace);
        else
            QTest::keyClick(dialog.OkButton(), c);
    }
}

TEST_F(TEditHexLTest, TypingEditsTheTargetText) {
    const struct {
        const char* start;
        int64_t maximum;
        std::string keys;
        const char* display;  // when the dialog opens
        const char* result;
        const char* text;  // the target's afterwards
    } cases[] = {
        {"3930", 0xFFFF, "12\r", "3930", "12", "12"},
        {" 7 ", 0xFFFF, "\r", "0007", "0007", "0007"},    // padded to the digit count
        {"0x1a", 0xFF, "\r", "1a", "1a", "1a"},           // prefix dropped, case kept
        {"0000", 0xFFFF, "12345\r", "0000", "05", "5"},   // the fifth digit starts over
        {"0012", 0xFFFF, "\b5\r", "0012", "05", "5"},    // Backspace deletes nothing...
        {"0012", 0xFFFF, "5\r", "0012", "05", "5"},       // ...the same as without it
        {"7", 0xFFFF, "AB\x1b", "0007", "0007", "0007"},  // Esc: the normalised start
        {"0000", 0xFFFF, "ab\r", "0000", "AB", "AB"},     // lower case accepted
        {"12", 0xFFFF, "\b\b\r", "0012", "0012", "0012"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " / " + c.keys);
        target->setText(c.start);
        const std::string result = Run(target, 0, c.maximum, [&](TEditHexL& d) { Script(d, c.keys); });
        EXPECT_EQ(shown, 1);
        EXPECT_EQ(display, c.display);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(target->text(), c.text);
    }
    EXPECT_EQ(beeps, 0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(TEditHexLTest, TargetIsYellowOnlyWhileTheDialogIsOpen) {
    target->setText("1");
    const QColor before = target->palette().color(QPalette::Window);
    Run(target, 0, 0xFFFF, [](TEditHexL& d) { Key(d, Qt::Key_Return); });
    EXPECT_TRUE(tintedWhileOpen);
    EXPECT_FALSE(target->autoFillBackground());
    EXPECT_EQ(target->palette().color(QPalette::Window), before);
    EXPECT_FALSE(target->testAttribute(Qt::WA_SetPalette)) << "the palette is inherited again";
}

TEST_F(TEditHexLTest, OutOfRangeBeepsReportsAndRestores) {
    target->setText("20");
    const std::string result = Run(target, 0x10, 0xFF, [](TEditHexL& d) {
        Type(d, "0F");
        Key(d, Qt::Key_Return);
    });
    EXPECT_EQ(beeps, 1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Value is out of range !\r\nAllowed range: 10..FF");
    EXPECT_EQ(target->text(), "20");
    EXPECT_EQ(result, "20");
    EXPECT_FALSE(target->autoFillBackground());
}

TEST_F(TEditHexLTest, LongStartingValueIsNotShortenedAndCanBeOutOfRange) {
    target->setText("12345");
    const std::string result = Run(target, 0, 0xFFFF, [](TEditHexL& d) { Key(d, Qt::Key_Return); });
    EXPECT_EQ(display, "12345");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].endsWith("Allowed range: 0..FFFF"));
    EXPECT_EQ(result, "12345");
}

TEST_F(TEditHexLTest, WithoutRangeErrorNothingIsShownOrWritten) {
    target->setText("20");
    const std::string result = Run(
        target, 0x10, 0xFF,
        [](TEditHexL& d) {
            Type(d, "0F");
            Key(d, Qt::Key_Return);
        },
        false);
    EXPECT_EQ(beeps, 0);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(target->text(), "20");
    EXPECT_EQ(result, "0F");
}

TEST_F(TEditHexLTest, NonHexCharacterAsFirstKeyEmptiesTheBuffer) {
    target->setText("1234");
    const std::string result = Run(target, 0, 0xFFFF, [](TEditHexL& d) {
        Type(d, "G");
        EXPECT_EQ(d.EditBuffer(), "");
        Key(d, Qt::Key_Return);
    });
    // Nothing to parse: refused like a value out of range.
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(result, "1234");
    EXPECT_EQ(target->text(), "1234");
}

TEST_F(TEditHexLTest, ButtonClicks) {
    target->setText("0000");
    std::string result = Run(target, 0, 0xFFFF, [](TEditHexL& d) {
        d.DigitButton(0xC)->click();
        d.DigitButton(0x3)->click();
        EXPECT_EQ(d.EditBuffer(), "C3") << "a click is a first key too";
        d.OkButton()->click();
    });
    EXPECT_EQ(result, "C3");
    result = Run(target, 0, 0xFFFF, [](TEditHexL& d) {
        d.DigitButton(0xF)->click();
        d.CancelButton()->click();
    });
    EXPECT_EQ(result, "00C3");
}

TEST_F(TEditHexLTest, ClosingOtherwiseKeepsTheStartingValue) {
    target->setText("7");
    const std::string result = Run(target, 0, 0xFFFF, [](TEditHexL& d) {
        Type(d, "12");
        d.close();
    });
    EXPECT_EQ(result, "0007");
}

TEST_F(TEditHexLTest, DigitCountCarriesOverForHugeMaximum) {
    target->setText("7");
    Run(target, 0, 0xFF, [](TEditHexL& d) { Key(d, Qt::Key_Return); });
    EXPECT_EQ(TEditHexL::DigitCount(), 2);
    target->setText("7");
    Run(target, 0, 0x1FFFFFFFFFFll, [](TEditHexL& d) { Key(d, Qt::Key_Return); });
    EXPECT_EQ(TEditHexL::DigitCount(), 2);
    EXPECT_EQ(display, "07");
    for (const auto& [maximum, count] : {std::pair<int64_t, int>{0xFFFFFF, 6},
                                         {0x1000000, 8},
                                         {0xFFFFFFFFll, 8},
                                         {0xFFFFFFFFFFll, 10},
                                         {0x100, 4}}) {
        target->setText("7");
        Run(target, 0, maximum, [](TEditHexL& d) { Key(d, Qt::Key_Return); });
        EXPECT_EQ(TEditHexL::DigitCount(), count) << maximum;
        EXPECT_EQ(display.size(), count);
    }
}

TEST_F(TEditHexLTest, UnsupportedTargetGetsNoDialog) {
    QPushButton button(window.get());
    button.setText("1234");
    EXPECT_EQ(Run(&button, 0, 0xFFFF, nullptr), "");
    EXPECT_EQ(Run(nullptr, 0, 0xFFFF, nullptr), "");
    EXPECT_EQ(shown, 0);
    EXPECT_EQ(button.text(), "1234");
}

TEST_F(TEditHexLTest, EditAndSpinBoxTargets) {
    auto* edit = new QLineEdit(window.get());
    edit->setText("00FF");
    EXPECT_EQ(Run(edit, 0, 0xFFFF,
                  [](TEditHexL& d) {
                      Type(d, "1C");
                      Key(d, Qt::Key_Return);
                  }),
              "1C");
    EXPECT_EQ(edit->text(), "1C");
    EXPECT_TRUE(tintedWhileOpen) << "an edit shows yellow through its base colour too";

    auto* spin = new QSpinBox(window.get());
    spin->setDisplayIntegerBase(16);
    spin->setRange(0, 0xFFFF);
    spin->setValue(0x1234);
    EXPECT_EQ(Run(spin, 0, 0xFFFF,
                  [](TEditHexL& d) {
                      EXPECT_EQ(d.Display()->text(), "1234");
                      Type(d, "AB");
                      Key(d, Qt::Key_Return);
                  }),
              "AB");
    EXPECT_EQ(spin->value(), 0xAB);
}

TEST_F(TEditHexLTest, LayoutOfTheKeypad) {
    target->setText("1");
    Run(target, 0, 0xFFFF, [](TEditHexL& d) {
        EXPECT_EQ(d.windowTitle(), "EditHex");
        EXPECT_EQ(d.size(), QSize(120, 149));
        EXPECT_TRUE(d.isModal());
        EXPECT_EQ(d.Display()->geometry(), QRect(0, -1, 60, 30));
        EXPECT_EQ(d.Display()->palette().color(QPalette::Window), QColor(Qt::blue));
        EXPECT_EQ(d.Display()->palette().color(QPalette::WindowText), QColor(Qt::yellow));
        EXPECT_TRUE(d.Display()->font().bold());
        EXPECT_EQ(d.Display()->font().pixelSize(), 13);
        EXPECT_EQ(d.CancelButton()->geometry(), QRect(60, -1, 30, 30));
        EXPECT_EQ(d.OkButton()->geometry(), QRect(90, -1, 30, 30));
        EXPECT_TRUE(d.OkButton()->text().isEmpty());
        EXPECT_TRUE(d.CancelButton()->text().isEmpty());
        EXPECT_FALSE(d.OkButton()->icon().isNull());
        EXPECT_FALSE(d.CancelButton()->icon().isNull());
        EXPECT_EQ(d.DigitButton(0xC)->geometry(), QRect(0, 29, 30, 30));
        EXPECT_EQ(d.DigitButton(0xF)->geometry(), QRect(90, 29, 30, 30));
        EXPECT_EQ(d.DigitButton(0x9)->geometry(), QRect(30, 59, 30, 30));
        EXPECT_EQ(d.DigitButton(0x6)->geometry(), QRect(60, 89, 30, 30));
        EXPECT_EQ(d.DigitButton(0x0)->geometry(), QRect(0, 119, 30, 30));
        EXPECT_EQ(d.DigitButton(0x3)->geometry(), QRect(90, 119, 30, 30));
        for (int digit = 0; digit < 16; ++digit) {
            EXPECT_EQ(d.DigitButton(digit)->text(), QString::number(digit, 16).toUpper());
            EXPECT_EQ(d.DigitButton(digit)->font().pixelSize(), 13);
        }
        Key(d, Qt::Key_Escape);
    });
}

TEST_F(TEditHexLTest, OpensAtTheTargetButStaysAwayFromTheScreenEdges) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    window->move(screen.topLeft() + QPoint(100, 80));
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QPoint at;
    Run(target, 0, 0xFFFF, [&](TEditHexL& d) {
        at = d.pos();
        Key(d, Qt::Key_Escape);
    });
    EXPECT_EQ(at, target->mapToGlobal(QPoint(0, 0)));

    window->move(screen.right() - 80, screen.bottom() - 60);
    QApplication::processEvents();
    Run(target, 0, 0xFFFF, [&](TEditHexL& d) {
        at = d.pos();
        Key(d, Qt::Key_Escape);
    });
    EXPECT_EQ(at, QPoint(screen.right() + 1 - 120 - 50, screen.bottom() + 1 - 149 - 50));
}

TEST_F(TEditHexLTest, RealMessageBoxHasOnlyOk) {
    TEditHexL::SetMessageHook(nullptr);
    QString boxText;
    int boxButtons = 0;
    // The box is modal: answer it from a timer, as a user would click OK.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box && box->isVisible()) {
                boxText = box->text();
                boxButtons = static_cast<int>(box->buttons().size());
                box->button(QMessageBox::Ok)->click();
            }
        }
    });
    poll.start(10);
    target->setText("20");
    const std::string result = Run(target, 0x10, 0xFF, [](TEditHexL& d) {
        Type(d, "0F");
        Key(d, Qt::Key_Return);
    });
    poll.stop();
    EXPECT_EQ(boxText, "Value is out of range !\nAllowed range: 10..FF");
    EXPECT_EQ(boxButtons, 1);
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(result, "20");
}

} // namespace
