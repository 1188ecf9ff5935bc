#include "widgets/TBitBtnWC.h"

#include <QApplication>
#include <QBitmap>
#include <QDialog>
#include <QEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>

namespace {

// Shrinks r by one pixel on every side.
QRect Inner(const QRect& r, int by = 1) {
    return r.adjusted(by, by, -by, -by);
}

// A 1-pixel frame in pen colour around r, optionally filled.
void FrameRect(QPainter& painter, const QRect& r, const QColor& pen, const QColor* fill) {
    if (r.width() <= 0 || r.height() <= 0) return;
    if (fill) painter.fillRect(r, *fill);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(r.adjusted(0, 0, -1, -1));
}

// Two-pixel raised edge: light above and left, dark below and right.
void RaisedEdge(QPainter& painter, const QRect& r, const QPalette& pal) {
    const struct {
        QColor topLeft, bottomRight;
    } rings[2] = {{pal.color(QPalette::Midlight), pal.color(QPalette::Shadow)},
                  {pal.color(QPalette::Light), pal.color(QPalette::Dark)}};
    QRect ring = r;
    for (const auto& colours : rings) {
        if (ring.width() <= 0 || ring.height() <= 0) return;
        painter.setPen(colours.topLeft);
        painter.drawLine(ring.topLeft(), ring.topRight());
        painter.drawLine(ring.topLeft(), ring.bottomLeft());
        painter.setPen(colours.bottomRight);
        painter.drawLine(ring.bottomLeft(), ring.bottomRight());
        painter.drawLine(ring.topRight(), ring.bottomRight());
        ring = Inner(ring);
    }
}

} // namespace

TBitBtnWC::TBitBtnWC(QWidget* parent) : QPushButton(parent) {
    m_color = palette().color(QPalette::Button);
    connect(this, &QPushButton::clicked, this, &TBitBtnWC::OnClicked);
}

TBitBtnWC::TBitBtnWC(const QString& text, QWidget* parent) : TBitBtnWC(parent) {
    setText(text);
}

void TBitBtnWC::SetColor(const QColor& color) {
    if (color == m_color) return;
    m_color = color;
    DropGlyphCache();
    update();
}

void TBitBtnWC::SetGlyph(const QPixmap& glyph, int numGlyphs) {
    m_glyph = glyph;
    if (numGlyphs <= 0) {
        numGlyphs = 1;
        if (!glyph.isNull() && glyph.height() > 0 && glyph.width() % glyph.height() == 0) {
            const int count = glyph.width() / glyph.height();
            if (count >= 1 && count <= 4) numGlyphs = count;
        }
    }
    m_numGlyphs = std::clamp(numGlyphs, 1, 4);
    DropGlyphCache();
    updateGeometry();
    update();
}

void TBitBtnWC::SetLayout(TLayout layout) {
    m_layout = layout;
    update();
}

void TBitBtnWC::SetSpacing(int spacing) {
    m_spacing = spacing;
    update();
}

void TBitBtnWC::SetMargin(int margin) {
    m_margin = margin;
    update();
}

void TBitBtnWC::SetKind(TKind kind) {
    m_kind = kind;
    QStyle::StandardPixmap pixmap = QStyle::SP_CustomBase;
    QString caption;
    switch (kind) {
    case TKind::Custom:
        return;
    case TKind::Ok:
        pixmap = QStyle::SP_DialogOkButton;
        caption = "OK";
        break;
    case TKind::Cancel:
        pixmap = QStyle::SP_DialogCancelButton;
        caption = "Cancel";
        break;
    case TKind::Yes:
        pixmap = QStyle::SP_DialogYesButton;
        caption = "&Yes";
        break;
    case TKind::No:
        pixmap = QStyle::SP_DialogNoButton;
        caption = "&No";
        break;
    case TKind::Close:
        pixmap = QStyle::SP_DialogCloseButton;
        caption = "&Close";
        break;
    case TKind::Help:
        pixmap = QStyle::SP_DialogHelpButton;
        caption = "&Help";
        break;
    }
    const int size = style()->pixelMetric(QStyle::PM_ButtonIconSize, nullptr, this);
    SetGlyph(style()->standardIcon(pixmap, nullptr, this).pixmap(QSize(size, size)), 1);
    setText(caption);
}

void TBitBtnWC::OnClicked() {
    QDialog* dialog = qobject_cast<QDialog*>(window());
    switch (m_kind) {
    case TKind::Ok:
    case TKind::Yes:
        if (dialog) dialog->accept();
        break;
    case TKind::Cancel:
    case TKind::No:
        if (dialog) dialog->reject();
        break;
    case TKind::Close:
        window()->close();
        break;
    case TKind::Custom:
    case TKind::Help:
        break;
    }
}

void TBitBtnWC::DropGlyphCache() {
    for (QPixmap& p : m_stateGlyphs)
        p = QPixmap();
}

TBitBtnWC::TState TBitBtnWC::State() const {
    if (!isEnabled()) return TState::Disabled;
    if (isDown()) return TState::Down;
    if (isCheckable() && isChecked()) return TState::Held;
    return TState::Up;
}

QSize TBitBtnWC::GlyphSize() const {
    if (!m_glyph.isNull())
        return QSize(m_glyph.width() / m_numGlyphs, m_glyph.height()) / m_glyph.devicePixelRatio();
    return icon().isNull() ? QSize() : iconSize();
}

QSize TBitBtnWC::TextSize() const {
    if (text().isEmpty()) return QSize();
    return QFontMetrics(font()).size(Qt::TextShowMnemonic, text());
}

QPixmap TBitBtnWC::StateGlyph(TState state) {
    const int index = static_cast<int>(state);
    if (!m_stateGlyphs[index].isNull()) return m_stateGlyphs[index];

    QPixmap source;
    bool makeDisabled = false;
    if (!m_glyph.isNull()) {
        // Missing images: the up image stands in, greyed for the disabled state.
        int pick = index < m_numGlyphs ? index : 0;
        if (state == TState::Held && m_numGlyphs < 4) pick = m_numGlyphs > 2 ? 2 : 0;
        makeDisabled = state == TState::Disabled && pick == 0;
        const int w = m_glyph.width() / m_numGlyphs;
        source = m_glyph.copy(pick * w, 0, w, m_glyph.height());
        if (!source.hasAlphaChannel()) {
            const QColor transparent = source.toImage().pixelColor(0, source.height() - 1);
            source.setMask(source.createMaskFromColor(transparent, Qt::MaskInColor));
        }
    } else if (!icon().isNull()) {
        source = icon().pixmap(iconSize(), devicePixelRatioF(),
                               state == TState::Disabled ? QIcon::Disabled : QIcon::Normal);
    } else {
        return QPixmap();
    }
    if (makeDisabled) {
        QStyleOption option;
        option.initFrom(this);
        source = style()->generatedIconPixmap(QIcon::Disabled, source, &option);
    }

    // The image is composed on the face colour, which is why a colour change rebuilds it.
    QPixmap composed(source.size());
    composed.setDevicePixelRatio(source.devicePixelRatio());
    composed.fill(m_color);
    QPainter painter(&composed);
    painter.drawPixmap(0, 0, source);
    painter.end();
    m_stateGlyphs[index] = composed;
    return composed;
}

void TBitBtnWC::LayoutContents(const QRect& r, QRect& glyphRect, QRect& textRect) const {
    const QSize glyph = GlyphSize();
    const QSize caption = TextSize();
    const bool hasGlyph = !glyph.isEmpty();
    const bool hasText = !caption.isEmpty();
    const bool horizontal = m_layout == TLayout::GlyphLeft || m_layout == TLayout::GlyphRight;

    // Work along the layout axis; the other axis is centred.
    const int room = horizontal ? r.width() : r.height();
    const int glyphLen = hasGlyph ? (horizontal ? glyph.width() : glyph.height()) : 0;
    const int textLen = hasText ? (horizontal ? caption.width() : caption.height()) : 0;
    int margin = m_margin;
    int spacing = (hasGlyph && hasText) ? m_spacing : 0;
    if (margin < 0) {
        if (spacing < 0) {
            spacing = (room - glyphLen - textLen) / 3;
            margin = spacing;
        } else {
            margin = (room - glyphLen - textLen - spacing) / 2;
        }
    } else if (spacing < 0) {
        spacing = (room - margin - glyphLen - textLen) / 2;
    }

    int glyphPos = 0;
    int textPos = 0;
    const bool glyphFirst = m_layout == TLayout::GlyphLeft || m_layout == TLayout::GlyphTop;
    if (glyphFirst) {
        glyphPos = margin;
        textPos = margin + glyphLen + spacing;
    } else {
        glyphPos = room - margin - glyphLen;
        textPos = glyphPos - spacing - textLen;
    }

    const auto centred = [](int length, int space) { return (space - length) / 2; };
    if (horizontal) {
        glyphRect = QRect(r.left() + glyphPos, r.top() + centred(glyph.height(), r.height()), glyphLen,
                          hasGlyph ? glyph.height() : 0);
        textRect = QRect(r.left() + textPos, r.top() + centred(caption.height(), r.height()), textLen,
                         caption.height());
    } else {
        glyphRect = QRect(r.left() + centred(glyph.width(), r.width()), r.top() + glyphPos,
                          hasGlyph ? glyph.width() : 0, glyphLen);
        textRect = QRect(r.left() + centred(caption.width(), r.width()), r.top() + textPos, caption.width(),
                         textLen);
    }
}

void TBitBtnWC::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& pal = palette();
    const QRect client = rect();
    const bool focusedLook = FocusedLook();
    const bool pressed = isDown() || (isCheckable() && isChecked());
    const TState state = State();

    QRect r = client;
    if (focusedLook || hasFocus()) {
        FrameRect(painter, r, pal.color(QPalette::Shadow), nullptr);
        r = Inner(r);
    }
    if (pressed) {
        FrameRect(painter, r, pal.color(QPalette::Dark), &m_color);
        r = Inner(r);
    } else {
        RaisedEdge(painter, r, pal);
        r = Inner(r, 2);
        FrameRect(painter, r, m_color, &m_color);
        r = Inner(r);
    }
    if (focusedLook) r = Inner(client);
    painter.setFont(font());
    if (pressed) r.translate(1, 1);

    QRect glyphRect;
    QRect textRect;
    LayoutContents(r, glyphRect, textRect);
    const QPixmap glyph = StateGlyph(state);
    if (!glyph.isNull()) painter.drawPixmap(glyphRect.topLeft(), glyph);
    if (!text().isEmpty()) {
        painter.setPen(pal.color(QPalette::ButtonText));
        painter.drawText(textRect, Qt::AlignCenter | Qt::TextShowMnemonic, text());
    }

    if (focusedLook) {
        // Dots in the face's opposite colour stay visible on any face, as an inverted line would.
        const QRect focus = Inner(client, 4);
        QPen pen(QColor(255 - m_color.red(), 255 - m_color.green(), 255 - m_color.blue()));
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        if (focus.width() > 0 && focus.height() > 0) painter.drawRect(focus.adjusted(0, 0, -1, -1));
    }
}

void TBitBtnWC::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::FontChange ||
        event->type() == QEvent::PaletteChange)
        update();
    if (event->type() == QEvent::StyleChange) DropGlyphCache();
    QPushButton::changeEvent(event);
}

QSize TBitBtnWC::sizeHint() const {
    // Caption and glyph with their spacing, plus the frames drawn around them.
    const QSize glyph = GlyphSize();
    const QSize caption = TextSize();
    const bool horizontal = m_layout == TLayout::GlyphLeft || m_layout == TLayout::GlyphRight;
    const int gap = (!glyph.isEmpty() && !caption.isEmpty()) ? std::max(m_spacing, 0) : 0;
    QSize content =
        horizontal ? QSize(glyph.width() + gap + caption.width(), std::max(glyph.height(), caption.height()))
                   : QSize(std::max(glyph.width(), caption.width()), glyph.height() + gap + caption.height());
    const int margin = std::max(m_margin, 0);
    content += QSize(2 * margin + 16, 2 * margin + 10);
    return content.expandedTo(QSize(75, 23));
}
