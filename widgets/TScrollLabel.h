#pragma once
// A one-line label that slides a caption wider than itself back and forth, pausing at each end.
// The caption is rendered once into an off-screen image when scrolling starts; every tick copies
// the visible window of it at the current offset. So a change of font or colour alone shows only
// after the caption changes or Active is switched off and on.

#include <QColor>
#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstdint>

class TScrollLabel : public QWidget {
    Q_OBJECT

public:
    explicit TScrollLabel(QWidget* parent = nullptr);
    ~TScrollLabel() override;

    bool Active() const { return m_active; }
    void SetActive(bool value);
    // Pixels per tick; the sign is the current direction.
    int32_t ScrollBy() const { return m_scrollBy; }
    void SetScrollBy(int32_t value) { m_scrollBy = value; }
    uint32_t Interval() const { return m_interval; }
    void SetInterval(uint32_t value);
    // Pause at each end in milliseconds; 0 turns without a pause.
    int32_t WaitOnEnd() const { return m_waitOnEnd; }
    void SetWaitOnEnd(int32_t value) { m_waitOnEnd = value; }

    QString Caption() const { return m_caption; }
    // The new caption is picked up at the next paint, which restarts from the left end.
    void SetCaption(const QString& caption);
    QColor FontColor() const;
    void SetFontColor(const QColor& color);

    // One timer period's work; public so that tests can drive the label without real time.
    void Tick();

    int32_t ScrollOffset() const { return m_scrollOffset; }
    int ImageWidth() const { return qRound(m_image.deviceIndependentSize().width()); }
    const QImage& Image() const { return m_image; }
    bool Waiting() const { return m_waiting; }
    int CurrentTimerInterval() const { return m_timer.interval(); }
    const QTimer& Timer() const { return m_timer; }

signals:
    void Clicked();
    void DoubleClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void Start();
    void Stop(bool repaint = true);
    void Render();
    void Step();
    // The caption check of a paint: a new caption restarts the label with a fresh image.
    bool TakeNewCaption();
    int TextWidth() const;
    QColor Background() const;
    static int TimerInterval(int64_t ms);

    QImage m_image;
    QTimer m_timer;
    uint32_t m_interval = 100;
    bool m_active = false;
    int32_t m_scrollBy = 2;
    int32_t m_scrollOffset = 0;
    int32_t m_waitOnEnd = 1000;
    bool m_waiting = false;
    QString m_lastText;
    QString m_caption;
    int m_textWidth = 0;  // of the caption last rendered
};
