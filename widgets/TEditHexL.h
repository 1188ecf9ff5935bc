#pragma once
// A small modal hexadecimal keypad that edits the text of a control in place (the VID and PID
// labels of the main window). EditHexValue() opens it over the control, tints the control yellow
// while it is open, checks the entered value against a range and writes it back.

#include <QDialog>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class QLabel;
class QPushButton;

class TEditHexL : public QDialog {
    Q_OBJECT

public:
    explicit TEditHexL(QWidget* parent = nullptr);

    // Seams for tests, which have no user to press keys and must not block in a modal box. The
    // shown hook runs once the dialog is up (a dialog it leaves open is then cancelled); the beep
    // and message hooks replace the system beep and the range error box.
    using TShownHook = std::function<void(TEditHexL&)>;
    using TBeepHook = std::function<void()>;
    using TMessageHook = std::function<void(QWidget* parent, const QString& text)>;
    static void SetShownHook(TShownHook hook);
    static void SetBeepHook(TBeepHook hook);
    static void SetMessageHook(TMessageHook hook);

    // The most hex digits the buffer takes; kept from one call to the next.
    static int DigitCount() { return s_digitCount; }

    QString Value() const { return m_value; }
    QString SavedValue() const { return m_savedValue; }
    QString EditBuffer() const { return m_editBuffer; }
    bool FirstKeyPending() const { return m_firstKeyPending; }
    QLabel* Display() const { return m_display; }
    QPushButton* OkButton() const { return m_okButton; }
    QPushButton* CancelButton() const { return m_cancelButton; }
    QPushButton* DigitButton(int digit) const { return m_digitButtons.at(static_cast<size_t>(digit)); }

    // One typed or clicked character: the first one replaces the buffer, a digit past the limit
    // starts over, anything but 0-9 and A-F changes nothing.
    void HandleChar(QChar c);

    static constexpr int ClientWidth = 120;
    static constexpr int ClientHeight = 149;
    static constexpr int MaxValueLength = 20;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Every key goes to the dialog first, whichever of its buttons has the focus.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend std::string EditHexValue(QWidget* target, bool showRangeError, int64_t minimum, int64_t maximum);

    bool FormKeyPress(QKeyEvent* event);
    void Button1Click();
    void OKbuttonClick();
    void CancelButtonClick();
    void ShowBuffer();

    QLabel* m_display = nullptr;
    QPushButton* m_okButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    std::array<QPushButton*, 16> m_digitButtons{};

    QString m_value;
    QString m_savedValue;
    QString m_editBuffer;
    bool m_firstKeyPending = true;
    QPoint m_dialogPos;

    static int s_digitCount;
    static TShownHook s_shownHook;
    static TBeepHook s_beepHook;
    static TMessageHook s_messageHook;
};

// Edits the text of target (a QLabel, QLineEdit or QSpinBox) as a hex number between minimum and
// maximum and returns the new text ("" for any other kind of target, without a dialog). A value
// outside the range is refused with a message when showRangeError is set, and the starting value
// comes back. A one-digit result is returned with a "0" in front.
std::string EditHexValue(QWidget* target, bool showRangeError, int64_t minimum, int64_t maximum);
