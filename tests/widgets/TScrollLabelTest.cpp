#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QTest>

#include <functional>
#include <memory>

#include "widgets/TScrollLabel.h"

namespace {

const QString LongCaption = "/home/user/firmware/projects/board-rev-c/build/release/application_image.hex";

int TextWidth(const TScrollLabel& label, const QString& text) {
    return QFontMetrics(label.font()).horizontalAdvance(text);
}

// A label narrower than LongCaption by 50 pixels: its image is 55 pixels wider than the label.
std::unique_ptr<TScrollLabel> NarrowLabel(int waitOnEnd) {
    auto label = std::make_unique<TScrollLabel>();
    const int w = TextWidth(*label, LongCaption);
    label->resize(w - 50, 18);
    label->SetWaitOnEnd(waitOnEnd);
    label->SetCaption(LongCaption);
    // A paint takes the new caption and restarts from the left end.
    label->grab();
    return label;
}

// The offset at which the right end is reached: the first multiple of step for which the rest of
// the image is not wider than the label.
int ExpectedTurn(int imageWidth, int labelWidth, int step) {
    int offset = 0;
    do {
        offset += step;
    } while (imageWidth - offset > labelWidth);
    return offset;
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
    return c.red() > 150 && c.green() > 150 && c.blue() > 150;
}

TEST(TScrollLabel, StartsActiveWithItsDefaults) {
    TScrollLabel label;
    EXPECT_TRUE(label.Active());
    EXPECT_EQ(label.Interval(), 100u);
    EXPECT_EQ(label.ScrollBy(), 2);
    EXPECT_EQ(label.WaitOnEnd(), 1000);
    EXPECT_EQ(label.size(), QSize(100, 20));
    EXPECT_TRUE(label.Timer().isActive());
    EXPECT_EQ(label.CurrentTimerInterval(), 100);
    EXPECT_EQ(label.ImageWidth(), 100) << "an empty caption fits: the image is as wide as the label";
}

TEST(TScrollLabel, RunsToTheRightEndPausesAndComesBack) {
    auto label = NarrowLabel(500);
    const int w = TextWidth(*label, LongCaption);
    ASSERT_GT(w, 120);
    EXPECT_EQ(label->ScrollOffset(), 0);
    EXPECT_EQ(label->ImageWidth(), w + 5);
    const int turn = ExpectedTurn(label->ImageWidth(), label->width(), 2);
    EXPECT_EQ(turn, 56); // image 55 pixels wider than the label: 2, 4, ... 56

    for (int offset = 2; offset < turn; offset += 2) {
        label->Tick();
        ASSERT_EQ(label->ScrollOffset(), offset);
        ASSERT_EQ(label->CurrentTimerInterval(), 100) << offset;
        ASSERT_FALSE(label->Waiting());
    }
    label->Tick();
    EXPECT_EQ(label->ScrollOffset(), turn);
    EXPECT_EQ(label->ScrollBy(), -2);
    EXPECT_TRUE(label->Waiting());
    EXPECT_EQ(label->CurrentTimerInterval(), 500);

    // The tick that ends the pause is already a step back.
    for (int offset = turn - 2; offset > 0; offset -= 2) {
        label->Tick();
        ASSERT_EQ(label->ScrollOffset(), offset);
        ASSERT_EQ(label->CurrentTimerInterval(), 100) << offset;
    }
    label->Tick();
    EXPECT_EQ(label->ScrollOffset(), 0);
    EXPECT_EQ(label->ScrollBy(), 2);
    EXPECT_EQ(label->CurrentTimerInterval(), 500);
    label->Tick();
    EXPECT_EQ(label->ScrollOffset(), 2);
    EXPECT_EQ(label->CurrentTimerInterval(), 100);
    EXPECT_FALSE(label->Waiting());
}

TEST(TScrollLabel, NoPauseTurnsAtOnce) {
    auto label = NarrowLabel(0);
    const int turn = ExpectedTurn(label->ImageWidth(), label->width(), 2);
    for (int i = 0; i < turn / 2; ++i) {
        label->Tick();
        ASSERT_EQ(label->CurrentTimerInterval(), 100);
    }
    EXPECT_EQ(label->ScrollOffset(), turn);
    EXPECT_FALSE(label->Waiting());
    label->Tick();
    EXPECT_EQ(label->ScrollOffset(), turn - 2);
    EXPECT_EQ(label->CurrentTimerInterval(), 100);
}

TEST(TScrollLabel, TurnsWhenTheRightEndIsReachedExactlyOrPassed) {
    // Image 55 pixels wider than the label: steps of 5 land on the end at 55, steps of 7 pass it
    // and turn at 56.
    for (const auto& [step, turn] : {std::pair{5, 55}, std::pair{7, 56}}) {
        auto label = NarrowLabel(0);
        label->SetScrollBy(step);
        ASSERT_EQ(ExpectedTurn(label->ImageWidth(), label->width(), step), turn);
        for (int i = 1; i < turn / step; ++i) {
            label->Tick();
            ASSERT_EQ(label->ScrollBy(), step) << step;
        }
        label->Tick();
        EXPECT_EQ(label->ScrollOffset(), turn);
        EXPECT_EQ(label->ScrollBy(), -step);
        EXPECT_LE(label->ImageWidth() - turn, label->width());
    }
}

TEST(TScrollLabel, FittingCaptionNeverMoves) {
    const QString caption = "short.hex";
    for (int extra : {0, 40}) {
        TScrollLabel label;
        const int w = TextWidth(label, caption);
        label.resize(w + extra, 18);
        label.SetCaption(caption);
        for (int i = 0; i < 100; ++i)
            label.Tick();
        EXPECT_EQ(label.ScrollOffset(), 0) << extra;
        EXPECT_EQ(label.CurrentTimerInterval(), 100);
        EXPECT_FALSE(label.Waiting());
        // Exactly as wide as the label: the image is still the caption's width + 5.
        EXPECT_EQ(label.ImageWidth(), extra == 0 ? w + 5 : w + extra);
    }
}

TEST(TScrollLabel, SameCaptionAgainDoesNotRestart) {
    auto label = NarrowLabel(500);
    for (int i = 0; i < 5; ++i)
        label->Tick();
    ASSERT_EQ(label->ScrollOffset(), 10);
    label->SetCaption(LongCaption);
    label->Tick();
    EXPECT_EQ(label->ScrollOffset(), 12);

    const QString other = LongCaption + "/more";
    label->SetCaption(other);
    label->Tick();
    EXPECT_EQ(label->ScrollOffset(), 0) << "a new caption starts again from the left end";
    EXPECT_EQ(label->ImageWidth(), TextWidth(*label, other) + 5);
}

TEST(TScrollLabel, NewCaptionIsTakenByAPaintWithoutATick) {
    QWidget panel;
    panel.resize(300, 40);
    auto* label = new TScrollLabel(&panel);
    label->SetInterval(100000); // no tick of its own may interfere
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    label->resize(TextWidth(*label, LongCaption) - 50, 18);
    const int before = label->ImageWidth();
    label->SetCaption(LongCaption);
    // SetCaption asks for the paint that notices the change.
    QApplication::processEvents();
    EXPECT_NE(label->ImageWidth(), before);
    EXPECT_EQ(label->ImageWidth(), TextWidth(*label, LongCaption) + 5);
}

TEST(TScrollLabel, PaintShowsTheWindowAtTheOffset) {
    auto label = NarrowLabel(0);
    QPalette pal = label->palette();
    pal.setColor(QPalette::Window, Qt::black);
    label->setPalette(pal);
    label->SetFontColor(Qt::white);
    label->SetActive(false);
    label->SetActive(true); // renders white on black
    for (int i = 0; i < 9; ++i)
        label->Tick();
    ASSERT_EQ(label->ScrollOffset(), 18);
    const QImage shown = label->grab().toImage();
    ASSERT_EQ(shown.size(), label->size());
    const QImage expected = label->Image().copy(18, 0, label->width(), label->height());
    int different = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            different += shown.pixelColor(x, y) != expected.pixelColor(x, y) ? 1 : 0;
    EXPECT_EQ(different, 0);
    EXPECT_GT(CountPixels(shown, IsWhite), 20) << "some of the caption must be visible";
}

TEST(TScrollLabel, ColourAloneChangesNothingUntilRestart) {
    auto label = NarrowLabel(0);
    QPalette pal = label->palette();
    pal.setColor(QPalette::Window, Qt::black);
    label->setPalette(pal);
    label->SetFontColor(Qt::white);
    label->SetActive(false);
    EXPECT_FALSE(label->Timer().isActive());
    EXPECT_EQ(label->ImageWidth(), 0) << "an inactive label holds no image";
    label->SetActive(true);
    ASSERT_GT(CountPixels(label->Image(), IsWhite), 0);

    label->SetFontColor(Qt::red);
    label->Tick();
    EXPECT_EQ(CountPixels(label->Image(), IsRed), 0);
    EXPECT_GT(CountPixels(label->Image(), IsWhite), 0);

    label->SetActive(false);
    label->SetActive(true);
    EXPECT_GT(CountPixels(label->Image(), IsRed), 0);
    EXPECT_EQ(CountPixels(label->Image(), IsWhite), 0);
    EXPECT_EQ(label->ScrollOffset(), 0);
}

TEST(TScrollLabel, IntervalGoesToTheTimerAtOnce) {
    TScrollLabel label;
    label.SetInterval(40);
    EXPECT_EQ(label.CurrentTimerInterval(), 40);
    label.SetActive(false);
    label.SetInterval(60);
    label.SetActive(true);
    EXPECT_EQ(label.CurrentTimerInterval(), 60);
    EXPECT_TRUE(label.Timer().isActive());
}

TEST(TScrollLabel, RealTimerMovesTheCaption) {
    auto label = NarrowLabel(0);
    label->SetInterval(5);
    QTest::qWait(200);
    EXPECT_GT(label->ScrollOffset(), 0);
}

} // namespace
