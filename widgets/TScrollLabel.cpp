#include "widgets/TScrollLabel.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cstdlib>

TScrollLabel::TScrollLabel(QWidget* parent) : QWidget(parent) {
    m_interval = 100;
    m_timer.setInterval(TimerInterval(m_interval));
    connect(&m_timer, &QTimer::timeout, this, &TScrollLabel::Tick);
    resize(100, 20);
    Start();
    m_scrollBy = 2;
    m_waitOnEnd = 1000;
}

TScrollLabel::~TScrollLabel() {
    Stop(false);
}

void TScrollLabel::SetActive(bool value) {
    if (value == m_active) return;
    m_active = value;
    if (value)
        Start();
    else
        Stop();
    m_waiting = false;
}

void TScrollLabel::SetInterval(uint32_t value) {
    if (value == m_interval) return;
    m_interval = value;
    m_timer.setInterval(TimerInterval(value));
}

void TScrollLabel::SetCaption(const QString& caption) {
    m_caption = caption;
    update();
}

QColor TScrollLabel::FontColor() const {
    return palette().color(foregroundRole());
}

void TScrollLabel::SetFontColor(const QColor& color) {
    QPalette pal = palette();
    pal.setColor(foregroundRole(), color);
    setPalette(pal);
}

QColor TScrollLabel::Background() const {
    return palette().color(backgroundRole());
}

// QTimer takes an int; a negative or huge setting is kept in range rather than wrapped.
int TScrollLabel::TimerInterval(int64_t ms) {
    return static_cast<int>(std::clamp<int64_t>(ms, 0, INT32_MAX));
}

int TScrollLabel::TextWidth() const {
    return QFontMetrics(font()).horizontalAdvance(m_caption);
}

void TScrollLabel::Start() {
    m_active = true;
    m_timer.start(TimerInterval(m_interval));
    m_waiting = false;
    m_scrollOffset = 0;
    Render();
}

void TScrollLabel::Stop(bool repaint) {
    m_timer.stop();
    m_image = QImage();
    m_active = false;
    if (repaint) update();
}

void TScrollLabel::Render() {
    const int textWidth = TextWidth();
    m_textWidth = textWidth;
    const int imageWidth = width() < textWidth + 5 ? textWidth + 5 : width();
    const int imageHeight = height();
    // Rendered at the screen's pixel ratio so that the text stays sharp; all offsets stay logical.
    const qreal ratio = devicePixelRatioF();
    m_image = QImage(qRound(imageWidth * ratio), qRound(imageHeight * ratio), QImage::Format_RGB32);
    if (m_image.isNull()) return;
    m_image.setDevicePixelRatio(ratio);
    m_image.fill(Background());
    QPainter painter(&m_image);
    painter.setFont(font());
    painter.setPen(FontColor());
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.drawText(QPointF(1, QFontMetrics(font()).ascent()), m_caption);
}

void TScrollLabel::Tick() {
    if (m_waiting) {
        m_timer.setInterval(TimerInterval(m_interval));
        m_waiting = false;
    }
    // Measuring and repainting a caption that fits and stands still would cost CPU time on every
    // tick while the window waits; only a move or a new caption is drawn.
    const int32_t before = m_scrollOffset;
    Step();
    const bool newCaption = TakeNewCaption();
    if (newCaption || m_scrollOffset != before) update();
}

void TScrollLabel::Step() {
    if (m_textWidth <= width()) return;
    m_scrollOffset += m_scrollBy;
    if (m_scrollOffset <= 0) {
        m_scrollBy = std::abs(m_scrollBy);
        if (m_waitOnEnd != 0) {
            m_waiting = true;
            m_timer.setInterval(TimerInterval(m_waitOnEnd));
        }
    }
    if (ImageWidth() - m_scrollOffset <= width()) {
        m_scrollBy = -std::abs(m_scrollBy);
        if (m_waitOnEnd != 0) {
            m_waiting = true;
            m_timer.setInterval(TimerInterval(m_waitOnEnd));
        }
    }
}

bool TScrollLabel::TakeNewCaption() {
    if (!m_active || m_caption == m_lastText) return false;
    Stop(false);
    Start();
    m_lastText = m_caption;
    return true;
}

void TScrollLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!m_active) {
        painter.setPen(FontColor());
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, m_caption);
        return;
    }
    TakeNewCaption();
    // Past the image's right end (the offset may overshoot the turn) the background shows.
    painter.fillRect(rect(), Background());
    const qreal ratio = m_image.devicePixelRatio();
    painter.drawImage(QPointF(0, 0), m_image,
                      QRectF(m_scrollOffset * ratio, 0, width() * ratio, height() * ratio));
}

void TScrollLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit Clicked();
    QWidget::mouseReleaseEvent(event);
}

void TScrollLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit DoubleClicked();
    QWidget::mouseDoubleClickEvent(event);
}
