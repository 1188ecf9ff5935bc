#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

#include <functional>

#include "widgets/TBitBtnWC.h"

namespace {

bool IsRed(QColor c) {
    return c.red() > 120 && c.green() < 80 && c.blue() < 80;
}

QRect BoundingBox(const QImage& image, const std::function<bool(QColor)>& match) {
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (match(image.pixelColor(x, y))) box |= QRect(x, y, 1, 1);
    return box;
}

// A palette colour as it comes out on an 8-bit image (palette colours carry 16 bits per channel).
QColor Drawn(const QColor& colour) {
    QImage image(1, 1, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setPen(colour);
    painter.drawPoint(0, 0);
    painter.end();
    return image.pixelColor(0, 0);
}

// The main window's FLASH button: black face, red bold caption.
void MakeFlashButton(TBitBtnWC& button) {
    button.setText("FLASH");
    button.resize(92, 56);
    QFont font("Tahoma", 14);
    font.setBold(true);
    button.setFont(font);
    QPalette pal = button.palette();
    pal.setColor(QPalette::ButtonText, Qt::red);
    button.setPalette(pal);
    button.SetColor(Qt::black);
}

// A 16 x 16 glyph without alpha: magenta (the bottom-left colour, so transparent) around a green
// square.
QPixmap TestGlyph() {
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    painter.fillRect(4, 4, 8, 8, Qt::green);
    painter.end();
    return QPixmap::fromImage(image);
}

TEST(TBitBtnWC, Defaults) {
    TBitBtnWC button;
    EXPECT_EQ(button.Color(), button.palette().color(QPalette::Button));
    EXPECT_EQ(button.Spacing(), 4);
    EXPECT_EQ(button.Margin(), -1);
    EXPECT_EQ(button.Layout(), TBitBtnWC::TLayout::GlyphLeft);
    EXPECT_EQ(button.Kind(), TBitBtnWC::TKind::Custom);
    EXPECT_TRUE(button.Glyph().isNull());
    EXPECT_FALSE(button.FocusedLook());
}

TEST(TBitBtnWC, BlackFaceWithRaisedEdgeAndCentredCaption) {
    TBitBtnWC button;
    MakeFlashButton(button);
    const QImage image = button.grab().toImage();
    ASSERT_EQ(image.size(), QSize(92, 56));
    const QPalette& pal = button.palette();

    // Two-pixel raised edge, then the 1-pixel frame in the face colour.
    EXPECT_EQ(image.pixelColor(0, 0), Drawn(pal.color(QPalette::Midlight)));
    EXPECT_EQ(image.pixelColor(1, 1), Drawn(pal.color(QPalette::Light)));
    EXPECT_EQ(image.pixelColor(91, 55), Drawn(pal.color(QPalette::Shadow)));
    EXPECT_EQ(image.pixelColor(90, 54), Drawn(pal.color(QPalette::Dark)));
    EXPECT_NE(image.pixelColor(0, 0), image.pixelColor(91, 55));
    EXPECT_EQ(image.pixelColor(2, 2), QColor(Qt::black));

    const QRect caption = BoundingBox(image, IsRed);
    ASSERT_FALSE(caption.isEmpty());
    // Centred in the face inside the 3-pixel frame, to within a pixel of rounding.
    EXPECT_LE(std::abs((caption.left() - 3) - (88 - caption.right())), 2)
        << caption.left() << " " << caption.right();
    EXPECT_LE(std::abs((caption.top() - 3) - (52 - caption.bottom())), 6)
        << caption.top() << " " << caption.bottom();

    // Everywhere inside the frame away from the caption the face is black.
    const QRect clear = caption.adjusted(-2, -2, 2, 2);
    int wrong = 0;
    for (int y = 3; y < 53; ++y)
        for (int x = 3; x < 89; ++x)
            if (!clear.contains(x, y) && image.pixelColor(x, y) != QColor(Qt::black)) ++wrong;
    EXPECT_EQ(wrong, 0);
}

TEST(TBitBtnWC, PressedMovesTheCaptionAndShowsAShadowFrame) {
    TBitBtnWC button;
    MakeFlashButton(button);
    const QImage up = button.grab().toImage();
    button.setDown(true);
    const QImage down = button.grab().toImage();
    const QRect upBox = BoundingBox(up, IsRed);
    const QRect downBox = BoundingBox(down, IsRed);
    ASSERT_FALSE(upBox.isEmpty());
    EXPECT_EQ(downBox, upBox.translated(1, 1));
    // The caption itself is the same, only shifted.
    int different = 0;
    for (int y = upBox.top(); y <= upBox.bottom(); ++y)
        for (int x = upBox.left(); x <= upBox.right(); ++x)
            different += up.pixelColor(x, y) != down.pixelColor(x + 1, y + 1) ? 1 : 0;
    EXPECT_EQ(different, 0);

    const QColor shadow = Drawn(button.palette().color(QPalette::Dark));
    EXPECT_EQ(down.pixelColor(0, 0), shadow);
    EXPECT_EQ(down.pixelColor(91, 55), shadow);
    EXPECT_EQ(down.pixelColor(1, 1), QColor(Qt::black));
    EXPECT_EQ(down.pixelColor(90, 54), QColor(Qt::black));
}

TEST(TBitBtnWC, FocusedLookAddsFrameAndFocusRectangle) {
    TBitBtnWC button;
    MakeFlashButton(button);
    button.setDefault(true);
    ASSERT_TRUE(button.FocusedLook());
    const QImage image = button.grab().toImage();
    const QPalette& pal = button.palette();
    EXPECT_EQ(image.pixelColor(0, 0), Drawn(pal.color(QPalette::Shadow)));
    EXPECT_EQ(image.pixelColor(91, 0), Drawn(pal.color(QPalette::Shadow)));
    // The raised edge moves one pixel in.
    EXPECT_EQ(image.pixelColor(1, 1), Drawn(pal.color(QPalette::Midlight)));
    // Dotted rectangle 4 pixels in, visible on the black face.
    int dots = 0;
    for (int x = 4; x < 88; ++x)
        dots += image.pixelColor(x, 4) == QColor(Qt::white) ? 1 : 0;
    EXPECT_GT(dots, 20);
    EXPECT_LT(dots, 84) << "dotted, not solid";
}

TEST(TBitBtnWC, GlyphTransparentPartsTakeTheFaceColour) {
    TBitBtnWC button;
    button.resize(60, 30);
    button.SetGlyph(TestGlyph());
    EXPECT_EQ(button.NumGlyphs(), 1);
    button.SetColor(Qt::blue);
    QImage image = button.grab().toImage();
    const QRect green = BoundingBox(image, [](QColor c) { return c == QColor(Qt::green); });
    EXPECT_EQ(green.size(), QSize(8, 8));
    EXPECT_TRUE(BoundingBox(image, [](QColor c) { return c == QColor(Qt::magenta); }).isEmpty());
    // Around the square, inside the glyph: the face colour.
    EXPECT_EQ(image.pixelColor(green.left() - 2, green.top() - 2), QColor(Qt::blue));

    button.SetColor(Qt::yellow);
    image = button.grab().toImage();
    EXPECT_EQ(image.pixelColor(green.left() - 2, green.top() - 2), QColor(Qt::yellow));
    EXPECT_EQ(image.pixelColor(green.left() + 1, green.top() + 1), QColor(Qt::green));
}

TEST(TBitBtnWC, GlyphImagePerState) {
    // Up image red, disabled image grey: the count comes from the picture's shape.
    QImage strip(32, 16, QImage::Format_ARGB32);
    strip.fill(Qt::transparent);
    QPainter painter(&strip);
    painter.fillRect(2, 2, 12, 12, Qt::red);
    painter.fillRect(18, 2, 12, 12, Qt::darkGray);
    painter.end();
    TBitBtnWC button;
    button.resize(40, 30);
    button.SetGlyph(QPixmap::fromImage(strip));
    ASSERT_EQ(button.NumGlyphs(), 2);

    const auto count = [](const QImage& image, QColor colour) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                n += image.pixelColor(x, y) == colour ? 1 : 0;
        return n;
    };
    QImage image = button.grab().toImage();
    EXPECT_EQ(count(image, Qt::red), 144);
    EXPECT_EQ(count(image, Qt::darkGray), 0);
    button.setDown(true);
    EXPECT_EQ(count(button.grab().toImage(), Qt::red), 144) << "no down image: the up image stands in";
    button.setDown(false);
    button.setEnabled(false);
    image = button.grab().toImage();
    EXPECT_EQ(count(image, Qt::red), 0);
    EXPECT_EQ(count(image, Qt::darkGray), 144);
}

TEST(TBitBtnWC, LayoutPlacesGlyphAgainstCaption) {
    TBitBtnWC button("Go");
    button.resize(120, 60);
    button.SetGlyph(TestGlyph());
    const QRect r(0, 0, 120, 60);
    QRect glyph;
    QRect text;

    button.LayoutContents(r, glyph, text);
    EXPECT_EQ(glyph.size(), QSize(16, 16));
    EXPECT_EQ(text.left() - glyph.right() - 1, 4) << "Spacing 4 between glyph and caption";
    // Margin -1: the pair is centred.
    EXPECT_LE(std::abs(glyph.left() - (119 - text.right())), 1);

    button.SetLayout(TBitBtnWC::TLayout::GlyphRight);
    button.LayoutContents(r, glyph, text);
    EXPECT_EQ(glyph.left() - text.right() - 1, 4);

    button.SetLayout(TBitBtnWC::TLayout::GlyphTop);
    button.LayoutContents(r, glyph, text);
    EXPECT_EQ(text.top() - glyph.bottom() - 1, 4);
    EXPECT_LE(std::abs(glyph.center().x() - text.center().x()), 1);

    button.SetLayout(TBitBtnWC::TLayout::GlyphLeft);
    button.SetMargin(3);
    button.LayoutContents(r, glyph, text);
    EXPECT_EQ(glyph.left(), 3);
    button.SetSpacing(-1);
    button.LayoutContents(r, glyph, text);
    // Spacing -1: the caption is centred in what the glyph leaves.
    EXPECT_LE(std::abs((text.left() - glyph.right() - 1) - (119 - text.right())), 1);
}

TEST(TBitBtnWC, StandardKindsBringCaptionGlyphAndResult) {
    QDialog dialog;
    auto* ok = new TBitBtnWC(&dialog);
    auto* cancel = new TBitBtnWC(&dialog);
    ok->SetKind(TBitBtnWC::TKind::Ok);
    cancel->SetKind(TBitBtnWC::TKind::Cancel);
    EXPECT_EQ(ok->text(), "OK");
    EXPECT_EQ(cancel->text(), "Cancel");
    EXPECT_FALSE(ok->Glyph().isNull());

    dialog.show();
    ok->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
    dialog.show();
    cancel->click();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

TEST(TBitBtnWC, DoubleClickCountsAsASecondClick) {
    TBitBtnWC button("x");
    button.resize(60, 30);
    button.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
    QSignalSpy clicks(&button, &QPushButton::clicked);
    // What a real double click delivers: press, release, double-click press, release.
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseDClick(&button, Qt::LeftButton);
    QTest::mouseRelease(&button, Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 2);
}

} // namespace
