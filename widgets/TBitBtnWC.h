#pragma once
// A push button with an optional glyph whose face is painted in a colour of its own. It always
// draws itself, so the face colour holds under every platform style (the FLASH button is black).

#include <QColor>
#include <QPixmap>
#include <QPushButton>
#include <QRect>
#include <QSize>

#include <array>

class TBitBtnWC : public QPushButton {
    Q_OBJECT

public:
    enum class TLayout { GlyphLeft, GlyphRight, GlyphTop, GlyphBottom };
    // A standard kind brings its own glyph and caption; in a dialog, OK and Yes accept, Cancel and
    // No reject, Close closes the window.
    enum class TKind { Custom, Ok, Cancel, Yes, No, Close, Help };
    // Which of the glyph's images is shown.
    enum class TState { Up = 0, Disabled = 1, Down = 2, Held = 3 };

    explicit TBitBtnWC(QWidget* parent = nullptr);
    explicit TBitBtnWC(const QString& text, QWidget* parent = nullptr);

    QColor Color() const { return m_color; }
    void SetColor(const QColor& color);
    // Up to four images side by side: up, disabled, down, held. numGlyphs 0 takes the count from
    // the picture (width / height when that is a whole number from 1 to 4, else 1). A picture
    // without an alpha channel takes its bottom-left pixel's colour as the transparent one.
    void SetGlyph(const QPixmap& glyph, int numGlyphs = 0);
    QPixmap Glyph() const { return m_glyph; }
    int NumGlyphs() const { return m_numGlyphs; }
    TLayout Layout() const { return m_layout; }
    void SetLayout(TLayout layout);
    int Spacing() const { return m_spacing; }
    // -1: the caption is centred in the space the glyph leaves.
    void SetSpacing(int spacing);
    int Margin() const { return m_margin; }
    // -1: glyph and caption are centred together.
    void SetMargin(int margin);
    TKind Kind() const { return m_kind; }
    void SetKind(TKind kind);

    // On while the button is the default one or has the focus: extra frame and focus rectangle.
    bool FocusedLook() const { return isDefault() || hasFocus(); }
    TState State() const;
    // The image drawn for a state, on the face colour; built on first use and kept until the
    // colour or the glyph changes.
    QPixmap StateGlyph(TState state);
    // Where glyph and caption go inside the rectangle r.
    void LayoutContents(const QRect& r, QRect& glyphRect, QRect& textRect) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void OnClicked();
    void DropGlyphCache();
    QSize GlyphSize() const;
    QSize TextSize() const;

    QColor m_color;
    QPixmap m_glyph;
    int m_numGlyphs = 1;
    TLayout m_layout = TLayout::GlyphLeft;
    int m_spacing = 4;
    int m_margin = -1;
    TKind m_kind = TKind::Custom;
    std::array<QPixmap, 4> m_stateGlyphs;
};
