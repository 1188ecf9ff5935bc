#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <algorithm>
#include <map>
#include <memory>

#include "widgets/TBitBtnWC.h"
#include "widgets/TMyResize.h"
#include "widgets/TScrollLabel.h"

namespace {

template <typename T> T* Make(QWidget* parent, const char* name, const QRect& bounds) {
    auto* widget = new T(parent);
    widget->setObjectName(name);
    widget->setGeometry(bounds);
    return widget;
}

// A window laid out like the main one: 400 x 300 client, 8 pt font, one control of each kind.
class TMyResizeTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<QWidget>();
        window->setObjectName("Form");
        window->setFont(QFont("DejaVu Sans", 8));
        window->resize(400, 300);

        label = Make<QLabel>(window.get(), "Label1", QRect(10, 10, 60, 14));
        label->setText("Select Image");
        button = Make<QPushButton>(window.get(), "Button1", QRect(100, 10, 80, 25));
        flash = Make<TBitBtnWC>(window.get(), "FlashBut", QRect(290, 5, 92, 56));
        QFont flashFont("DejaVu Sans", 14);
        flashFont.setBold(true);
        flash->setFont(flashFont);
        list = Make<QListWidget>(window.get(), "ListBox1", QRect(10, 70, 200, 80));
        memo = Make<QPlainTextEdit>(window.get(), "InputWindow", QRect(220, 70, 160, 80));
        panel = Make<QFrame>(window.get(), "Panel1", QRect(10, 160, 257, 18));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        scroll = Make<TScrollLabel>(panel, "SL", QRect(1, 1, 255, 16));
        group = Make<QGroupBox>(window.get(), "GroupBox1", QRect(10, 190, 200, 60));
        check = Make<QCheckBox>(group, "CheckBox2", QRect(5, 20, 120, 17));
        idLabel = Make<QLabel>(group, "VIDlabel", QRect(130, 20, 43, 17));
        idLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        idLabel->setText("1234");
        edit = Make<QLineEdit>(window.get(), "Edit1", QRect(220, 160, 100, 21));
        progress = Make<QProgressBar>(window.get(), "ProgressBar", QRect(10, 270, 380, 20));
    }

    void Resize(int w, int h) {
        window->resize(w, h);
        scaler->Rescale();
    }

    // Every named control's geometry.
    std::map<QString, QRect> Geometries() const {
        std::map<QString, QRect> result;
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (!w->objectName().isEmpty() && !w->objectName().startsWith("qt_"))
                result[w->objectName()] = w->geometry();
        }
        return result;
    }

    std::unique_ptr<QWidget> window;
    std::unique_ptr<TMyResize> scaler;
    QLabel* label = nullptr;
    QPushButton* button = nullptr;
    TBitBtnWC* flash = nullptr;
    QListWidget* list = nullptr;
    QPlainTextEdit* memo = nullptr;
    QFrame* panel = nullptr;
    TScrollLabel* scroll = nullptr;
    QGroupBox* group = nullptr;
    QCheckBox* check = nullptr;
    QLabel* idLabel = nullptr;
    QLineEdit* edit = nullptr;
    QProgressBar* progress = nullptr;
};

TEST_F(TMyResizeTest, RecordsTheWindowFirstThenItsControlsDepthFirst) {
    scaler = std::make_unique<TMyResize>(window.get(), true);
    std::vector<QString> names;
    for (const auto& item : scaler->Items())
        names.push_back(item.name);
    const std::vector<QString> expected = {"Form",        "Label1", "Button1",    "FlashBut",  "ListBox1",
                                           "InputWindow", "Panel1", "SL",         "GroupBox1", "CheckBox2",
                                           "VIDlabel",    "Edit1",  "ProgressBar"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(scaler->LastIndex(), 12);
    EXPECT_EQ(scaler->MaxFontSize(), 0);
    EXPECT_EQ(scaler->MinFontSize(), 0);

    const auto& items = scaler->Items();
    EXPECT_EQ(items[0].width, 400);
    EXPECT_EQ(items[0].height, 300);
    EXPECT_EQ(items[0].fontSize, 8);
    EXPECT_EQ(items[3].fontSize, 14);
    // A list box records its client size, a memo its outer size.
    EXPECT_EQ(items[4].width, list->contentsRect().width());
    EXPECT_LT(items[4].width, 200);
    EXPECT_EQ(items[5].width, 160);
    EXPECT_EQ(items[5].height, 80);
    EXPECT_EQ(items[9].left, 5);
    EXPECT_EQ(items[9].top, 20);
}

TEST_F(TMyResizeTest, LabelsFollowTheirTextAndStaticTextsKeepTheirBox) {
    scaler = std::make_unique<TMyResize>(window.get(), true);
    EXPECT_EQ(label->size(), label->sizeHint()) << "a plain label is sized to its text";
    EXPECT_EQ(label->pos(), QPoint(10, 10));
    EXPECT_EQ(idLabel->geometry(), QRect(130, 20, 43, 17)) << "a framed label is a static text box";
    EXPECT_EQ(edit->height(), edit->sizeHint().height()) << "an edit's height follows its font";
}

TEST_F(TMyResizeTest, DesignSizeGivesDesignPositions) {
    const auto design = Geometries();
    scaler = std::make_unique<TMyResize>(window.get(), true);
    const auto recorded = Geometries(); // labels and edits auto-sized by the scaler
    Resize(400, 300);
    const auto after = Geometries();

    for (const auto& [name, rect] : design)
        EXPECT_EQ(after.at(name).topLeft(), rect.topLeft()) << name.toStdString();
    for (const char* name : {"Button1", "FlashBut", "InputWindow", "SL", "CheckBox2", "ProgressBar"})
        EXPECT_EQ(after.at(name), design.at(name)) << name;
    EXPECT_EQ(after.at("Label1"), recorded.at("Label1"));
    EXPECT_EQ(after.at("Edit1"), recorded.at("Edit1"));
    // Framed controls keep their whole design bounds, frame and title included.
    for (const char* name : {"ListBox1", "Panel1", "GroupBox1", "VIDlabel"})
        EXPECT_EQ(after.at(name), design.at(name)) << name;
    EXPECT_GT(list->frameWidth(), 0);
    EXPECT_LT(group->contentsRect().height(), 60) << "the group box has a title above its client area";
    EXPECT_EQ(window->font().pointSize(), 8);
    EXPECT_EQ(flash->font().pointSize(), 14);
}

TEST_F(TMyResizeTest, DoubleWidthDoublesHorizontallyAndKeepsFonts) {
    scaler = std::make_unique<TMyResize>(window.get(), true);
    Resize(800, 300);
    EXPECT_DOUBLE_EQ(scaler->RatioX(), 2.0);
    EXPECT_DOUBLE_EQ(scaler->RatioY(), 1.0);
    EXPECT_EQ(button->geometry(), QRect(200, 10, 160, 25));
    EXPECT_EQ(flash->geometry(), QRect(580, 5, 184, 56));
    EXPECT_EQ(progress->geometry(), QRect(20, 270, 760, 20));
    EXPECT_EQ(memo->geometry(), QRect(440, 70, 320, 80));
    EXPECT_EQ(check->geometry(), QRect(10, 20, 240, 17)) << "children of a group box scale in it";
    EXPECT_EQ(label->pos(), QPoint(20, 10));
    EXPECT_EQ(edit->pos(), QPoint(440, 160));
    EXPECT_EQ(edit->width(), 200);
    EXPECT_EQ(window->font().pointSize(), 8);
    EXPECT_EQ(button->font().pointSize(), 8);
    EXPECT_EQ(flash->font().pointSize(), 14);
}

// Each control is scaled from its whole bounds, so a child that lies inside its parent at the
// design size lies inside it at any size.
TEST_F(TMyResizeTest, FramedControlsScaleFromTheirWholeBounds) {
    scaler = std::make_unique<TMyResize>(window.get(), true);
    const struct { int w, h; } sizes[] = {{800, 300}, {400, 600}, {600, 450}, {1000, 700}, {401, 301}};
    for (const auto& size : sizes) {
        Resize(size.w, size.h);
        const double rx = size.w / 400.0;
        const double ry = size.h / 300.0;
        const QString at = QString("%1x%2").arg(size.w).arg(size.h);
        EXPECT_EQ(group->geometry(), QRect(int(10 * rx), int(190 * ry), int(200 * rx), int(60 * ry)))
            << at.toStdString();
        EXPECT_EQ(list->geometry(), QRect(int(10 * rx), int(70 * ry), int(200 * rx), int(80 * ry)))
            << at.toStdString();
        EXPECT_EQ(panel->size(), QSize(int(257 * rx), int(18 * ry))) << at.toStdString();
        for (QWidget* child : {static_cast<QWidget*>(check), static_cast<QWidget*>(idLabel)})
            EXPECT_TRUE(group->rect().contains(child->geometry()))
                << child->objectName().toStdString() << " at " << at.toStdString();
        EXPECT_TRUE(panel->rect().contains(scroll->geometry())) << at.toStdString();
    }
}

TEST_F(TMyResizeTest, WordWrappedLabelWidensWithTheWindow) {
    label->setWordWrap(true);
    label->resize(32, 26);
    scaler = std::make_unique<TMyResize>(window.get(), true);
    EXPECT_EQ(label->width(), 32);
    Resize(800, 600);
    EXPECT_EQ(label->width(), 64);
    EXPECT_EQ(label->height(), std::max(label->heightForWidth(64), 1));
    Resize(400, 300);
    EXPECT_EQ(label->width(), 32);
}

TEST_F(TMyResizeTest, FontSizeIsTruncated) {
    scaler = std::make_unique<TMyResize>(window.get(), true);
    Resize(440, 390);                         // ratios 1.1 and 1.3
    EXPECT_EQ(window->font().pointSize(), 8); // 8 x 1.1 = 8.8
    EXPECT_EQ(button->font().pointSize(), 8);
    EXPECT_EQ(flash->font().pointSize(), 15);              // 14 x 1.1 = 15.4
    EXPECT_EQ(button->geometry(), QRect(110, 13, 88, 32)); // 100x1.1, 10x1.3, 80x1.1, 25x1.3
}

TEST_F(TMyResizeTest, OneAndAHalfTimesBothWays) {
    scaler = std::make_unique<TMyResize>(window.get(), true);
    const QSize labelBefore = label->size();
    Resize(600, 450);
    EXPECT_EQ(window->font().pointSize(), 12);
    EXPECT_EQ(button->font().pointSize(), 12);
    EXPECT_EQ(label->font().pointSize(), 12);
    EXPECT_EQ(flash->font().pointSize(), 21);
    EXPECT_EQ(button->geometry(), QRect(150, 15, 120, 37));
    EXPECT_EQ(label->pos(), QPoint(15, 15));
    EXPECT_GT(label->width(), labelBefore.width()) << "the label grows with its font";
    EXPECT_EQ(label->size(), label->sizeHint());

    // Back to the design size: nothing has drifted.
    Resize(400, 300);
    EXPECT_EQ(button->geometry(), QRect(100, 10, 80, 25));
    EXPECT_EQ(flash->font().pointSize(), 14);
    EXPECT_EQ(label->size(), labelBefore);
}

TEST_F(TMyResizeTest, FontScalingOffLeavesFonts) {
    scaler = std::make_unique<TMyResize>(window.get(), false);
    Resize(800, 600);
    EXPECT_EQ(window->font().pointSize(), 8);
    EXPECT_EQ(flash->font().pointSize(), 14);
    EXPECT_EQ(button->geometry(), QRect(200, 20, 160, 50));
}

TEST_F(TMyResizeTest, FontBounds) {
    scaler = std::make_unique<TMyResize>(window.get(), true);
    scaler->SetMaxFontSize(10);
    Resize(800, 600);
    EXPECT_EQ(window->font().pointSize(), 10);
    EXPECT_EQ(flash->font().pointSize(), 10);
    scaler->SetMaxFontSize(0);
    scaler->SetMinFontSize(9);
    Resize(200, 150);
    EXPECT_EQ(window->font().pointSize(), 9); // 8 x 0.5 = 4
    EXPECT_EQ(flash->font().pointSize(), 9);  // 14 x 0.5 = 7
}

TEST_F(TMyResizeTest, ControlCreatedLaterIsLeftAloneWithItsChildren) {
    // Recorded, but without a name there is nothing to find it by.
    auto* unnamed = Make<QPushButton>(window.get(), "", QRect(300, 100, 40, 20));
    scaler = std::make_unique<TMyResize>(window.get(), true);
    auto* late = Make<QFrame>(window.get(), "LateFrame", QRect(300, 200, 90, 60));
    // Even a child carrying a recorded name stays as it is when its parent is unknown.
    auto* lateChild = Make<QPushButton>(late, "Button1", QRect(5, 5, 50, 20));
    late->show();
    Resize(800, 600);
    EXPECT_EQ(late->geometry(), QRect(300, 200, 90, 60));
    EXPECT_EQ(lateChild->geometry(), QRect(5, 5, 50, 20));
    EXPECT_EQ(lateChild->font().pointSize(), 16) << "its font is only inherited from the window";
    EXPECT_EQ(unnamed->geometry(), QRect(300, 100, 40, 20));
    EXPECT_EQ(button->geometry(), QRect(200, 20, 160, 50));
}

TEST_F(TMyResizeTest, ControlsSharingANameUseTheFirstRecord) {
    auto* first = Make<QPushButton>(window.get(), "Twin", QRect(10, 200, 40, 20));
    auto* second = Make<QPushButton>(window.get(), "Twin", QRect(100, 230, 60, 30));
    scaler = std::make_unique<TMyResize>(window.get(), true);
    Resize(800, 600);
    EXPECT_EQ(first->geometry(), QRect(20, 400, 80, 40));
    EXPECT_EQ(second->geometry(), QRect(20, 400, 80, 40));
}

TEST_F(TMyResizeTest, HookThatTakesAControlKeepsTheScalerOffIt) {
    std::vector<QString> seen;
    double seenRatioX = 0;
    int seenWidth = 0;
    int seenFont = 0;
    auto hook = [&](QWidget* control, int, int width, int, int, int fontSize, int, int, double ratioX,
                    double) {
        seen.push_back(control->objectName());
        if (control == group) {
            seenRatioX = ratioX;
            seenWidth = width;
            seenFont = fontSize;
            return true;
        }
        return false;
    };
    scaler = std::make_unique<TMyResize>(window.get(), true, hook);
    Resize(800, 600);
    EXPECT_EQ(group->geometry(), QRect(10, 190, 200, 60));
    EXPECT_DOUBLE_EQ(seenRatioX, 2.0);
    EXPECT_EQ(seenWidth, scaler->Items()[8].width);
    EXPECT_EQ(seenFont, 8);
    // The group's children are still scaled.
    EXPECT_EQ(check->geometry(), QRect(10, 40, 240, 34));
    EXPECT_EQ(seen.size(), 12u) << "every recorded control but the window goes through the hook";
}

TEST_F(TMyResizeTest, ScrollLabelIsRenderedAgainInWhite) {
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, Qt::black);
    panel->setPalette(pal);
    panel->setAutoFillBackground(true);
    QFont font = scroll->font();
    font.setBold(true);
    scroll->setFont(font);
    scroll->SetFontColor(Qt::red);
    scroll->SetCaption("/a/firmware/file.hex");
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QApplication::processEvents();
    const auto countColour = [](const QImage& image, bool (*match)(QColor)) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                n += match(image.pixelColor(x, y)) ? 1 : 0;
        return n;
    };
    const auto red = [](QColor c) { return c.red() > 150 && c.green() < 90 && c.blue() < 90; };
    const auto white = [](QColor c) { return c.red() > 150 && c.green() > 150 && c.blue() > 150; };
    ASSERT_GT(countColour(scroll->Image(), red), 0);

    scaler = std::make_unique<TMyResize>(window.get(), true);
    Resize(800, 600);
    EXPECT_EQ(scroll->geometry(), QRect(2, 2, 510, 32));
    EXPECT_EQ(scroll->Caption(), "/a/firmware/file.hex");
    EXPECT_EQ(scroll->FontColor(), QColor(Qt::white));
    EXPECT_EQ(scroll->Image().height(), 32) << "rendered again at the new size";
    EXPECT_EQ(countColour(scroll->Image(), red), 0);
    EXPECT_GT(countColour(scroll->Image(), white), 0);
}

TEST(TMyResize, GridDefaultCellSizesScale) {
    QWidget window;
    window.resize(200, 100);
    auto* grid = new QTableWidget(3, 3, &window);
    grid->setObjectName("Grid");
    grid->setGeometry(10, 10, 150, 80);
    // Below the face's own minimum (a taller face, such as Noto Sans, needs 21) the header would
    // not take 20.
    grid->verticalHeader()->setMinimumSectionSize(5);
    grid->horizontalHeader()->setDefaultSectionSize(40);
    grid->verticalHeader()->setDefaultSectionSize(20);
    const QSize frame = grid->size() - grid->contentsRect().size();
    TMyResize scaler(&window, false);
    EXPECT_EQ(scaler.Items()[1].extra1, 40);
    EXPECT_EQ(scaler.Items()[1].extra2, 20);
    window.resize(300, 150);
    scaler.Rescale(&window);
    EXPECT_EQ(grid->horizontalHeader()->defaultSectionSize(), 60);
    EXPECT_EQ(grid->verticalHeader()->defaultSectionSize(), 30);
    EXPECT_EQ(grid->pos(), QPoint(15, 15));
    // The client area takes the scaled size; the frame comes on top.
    EXPECT_EQ(grid->size(), (QSize(150, 80) - frame) * 1.5 + frame);
}

} // namespace
