#include "widgets/TEditHexL.h"

#include <QApplication>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>

int TEditHexL::s_digitCount = 10;
TEditHexL::TShownHook TEditHexL::s_shownHook;
TEditHexL::TBeepHook TEditHexL::s_beepHook;
TEditHexL::TMessageHook TEditHexL::s_messageHook;

namespace {

QFont KeypadFont() {
    QFont font("Arial");
    font.setPixelSize(13);
    font.setBold(true);
    return font;
}

bool IsHexDigit(QChar c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// "$" + text as a 64-bit number; hex spells all 64 bits, so 16 F's are -1.
bool ParseHex64(const QString& text, int64_t& result) {
    if (text.isEmpty()) return false;
    uint64_t value = 0;
    for (QChar c : text) {
        const QChar upper = c.toUpper();
        if (!IsHexDigit(upper)) return false;
        const int digit = upper <= '9' ? upper.unicode() - '0' : upper.unicode() - 'A' + 10;
        if (value > (UINT64_MAX >> 4)) return false;
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    result = static_cast<int64_t>(value);
    return true;
}

int DigitCountFor(int64_t maximum, int previous) {
    if (maximum <= 0xFF) return 2;
    if (maximum <= 0xFFFF) return 4;
    if (maximum <= 0xFFFFFF) return 6;
    if (maximum <= 0xFFFFFFFFll) return 8;
    if (maximum <= 0xFFFFFFFFFFll) return 10;
    return previous;
}

QString Hex(int64_t value) {
    return QString::number(value, 16).toUpper();
}

// The kinds of control whose text the keypad edits.
bool ReadTargetText(QWidget* target, QString& text) {
    if (auto* label = qobject_cast<QLabel*>(target))
        text = label->text();
    else if (auto* edit = qobject_cast<QLineEdit*>(target))
        text = edit->text();
    else if (auto* spin = qobject_cast<QSpinBox*>(target))
        text = spin->text();
    else
        return false;
    return true;
}

void WriteTargetText(QWidget* target, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(target)) {
        label->setText(text);
    } else if (auto* edit = qobject_cast<QLineEdit*>(target)) {
        edit->setText(text);
    } else if (auto* spin = qobject_cast<QSpinBox*>(target)) {
        // A spin box holds a number: the text is taken when it reads in the box's own base.
        bool ok = false;
        const int value = text.toInt(&ok, spin->displayIntegerBase());
        if (ok) spin->setValue(value);
    }
}

// The target's own colour, put back whatever the outcome.
class TTargetTint {
public:
    explicit TTargetTint(QWidget* target)
        : m_target(target), m_ownPalette(target->testAttribute(Qt::WA_SetPalette)),
          m_palette(target->palette()), m_autoFill(target->autoFillBackground()) {
        QPalette yellow = target->palette();
        yellow.setColor(QPalette::Window, Qt::yellow);
        yellow.setColor(QPalette::Base, Qt::yellow);
        target->setPalette(yellow);
        target->setAutoFillBackground(true);
    }
    ~TTargetTint() {
        // An inherited palette goes back to being inherited, so later changes of the parent show.
        m_target->setPalette(m_ownPalette ? m_palette : QPalette());
        m_target->setAutoFillBackground(m_autoFill);
    }
    TTargetTint(const TTargetTint&) = delete;
    TTargetTint& operator=(const TTargetTint&) = delete;

private:
    QWidget* m_target;
    bool m_ownPalette;
    QPalette m_palette;
    bool m_autoFill;
};

} // namespace

TEditHexL::TEditHexL(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setObjectName("EditHexL");
    setWindowTitle("EditHex");
    setModal(true);
    setFixedSize(ClientWidth, ClientHeight);
    const QFont font = KeypadFont();

    m_display = new QLabel(this);
    m_display->setObjectName("label3");
    m_display->setGeometry(0, -1, 60, 30);
    m_display->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_display->setAlignment(Qt::AlignCenter);
    m_display->setFont(font);
    m_display->setAutoFillBackground(true);
    QPalette displayPalette = m_display->palette();
    displayPalette.setColor(QPalette::Window, Qt::blue);
    displayPalette.setColor(QPalette::WindowText, Qt::yellow);
    m_display->setPalette(displayPalette);

    m_cancelButton = new QPushButton(this);
    m_cancelButton->setObjectName("CancelButton");
    m_cancelButton->setGeometry(60, -1, 30, 30);
    m_cancelButton->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton, nullptr, this));
    m_okButton = new QPushButton(this);
    m_okButton->setObjectName("OKbutton");
    m_okButton->setGeometry(90, -1, 30, 30);
    m_okButton->setIcon(style()->standardIcon(QStyle::SP_DialogOkButton, nullptr, this));
    // Only the glyphs show; Enter is the dialog's own key, not a default button's.
    m_okButton->setText(QString());
    m_cancelButton->setText(QString());
    for (QPushButton* button : {m_okButton, m_cancelButton})
        button->setAutoDefault(false);
    connect(m_okButton, &QPushButton::clicked, this, &TEditHexL::OKbuttonClick);
    connect(m_cancelButton, &QPushButton::clicked, this, &TEditHexL::CancelButtonClick);

    for (int digit = 0; digit < 16; ++digit) {
        auto* button = new QPushButton(QString(QChar("0123456789ABCDEF"[digit])), this);
        button->setObjectName(QString("Button%1").arg(digit + 1));
        // Rows from the top: C-F, 8-B, 4-7, 0-3.
        button->setGeometry(30 * (digit % 4), 29 + 30 * (3 - digit / 4), 30, 30);
        button->setFont(font);
        QPalette pal = button->palette();
        pal.setColor(QPalette::ButtonText, Qt::black);
        button->setPalette(pal);
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, &TEditHexL::Button1Click);
        m_digitButtons[static_cast<size_t>(digit)] = button;
    }
    for (QObject* child : children()) {
        if (child->isWidgetType()) child->installEventFilter(this);
    }
}

void TEditHexL::SetShownHook(TShownHook hook) {
    s_shownHook = std::move(hook);
}
void TEditHexL::SetBeepHook(TBeepHook hook) {
    s_beepHook = std::move(hook);
}
void TEditHexL::SetMessageHook(TMessageHook hook) {
    s_messageHook = std::move(hook);
}

void TEditHexL::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    m_firstKeyPending = true;
    m_editBuffer = m_value;
    ShowBuffer();
    move(m_dialogPos);
    m_okButton->setFocus();
}

void TEditHexL::ShowBuffer() {
    m_display->setText(m_editBuffer);
}

bool TEditHexL::FormKeyPress(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        m_value = m_editBuffer;
        accept();
        return true;
    case Qt::Key_Escape:
        m_firstKeyPending = false;
        m_value = m_savedValue;
        reject();
        return true;
    case Qt::Key_Backspace:
        // Deletes nothing: it only stops the next digit from being the "first" one.
        m_firstKeyPending = false;
        HandleChar(QChar('\b'));
        return true;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return false; // focus moves as in any dialog
    default:
        break;
    }
    if (event->text().isEmpty()) return false;
    HandleChar(event->text().at(0).toUpper());
    return true;
}

void TEditHexL::keyPressEvent(QKeyEvent* event) {
    if (!FormKeyPress(event)) QDialog::keyPressEvent(event);
}

bool TEditHexL::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && FormKeyPress(static_cast<QKeyEvent*>(event))) return true;
    return QDialog::eventFilter(watched, event);
}

void TEditHexL::HandleChar(QChar c) {
    if (m_firstKeyPending) {
        m_firstKeyPending = false;
        m_editBuffer.clear();
    }
    if (IsHexDigit(c)) {
        if (m_editBuffer.size() < s_digitCount)
            m_editBuffer += c;
        else
            m_editBuffer = QString(c);
    }
    ShowBuffer();
    m_okButton->setFocus();
}

void TEditHexL::Button1Click() {
    auto* button = qobject_cast<QPushButton*>(sender());
    if (button && !button->text().isEmpty()) HandleChar(button->text().at(0));
}

void TEditHexL::OKbuttonClick() {
    m_value = m_editBuffer;
    accept();
}

void TEditHexL::CancelButtonClick() {
    m_value = m_savedValue;
    reject();
}

std::string EditHexValue(QWidget* target, bool showRangeError, int64_t minimum, int64_t maximum) {
    TEditHexL::s_digitCount = DigitCountFor(maximum, TEditHexL::s_digitCount);
    QString text;
    if (!target || !ReadTargetText(target, text)) return std::string();

    TEditHexL dialog(target->window());
    const QPoint corner = target->mapToGlobal(QPoint(0, 0));
    const QScreen* screen = target->screen() ? target->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    // Keep the whole keypad at least 50 pixels inside the right and bottom screen edges.
    int left = corner.x();
    if (area.right() + 1 - 50 < dialog.width() + left) left = area.right() + 1 - dialog.width() - 50;
    int top = corner.y();
    if (area.bottom() + 1 - 50 < dialog.height() + top) top = area.bottom() + 1 - dialog.height() - 50;
    dialog.m_dialogPos = QPoint(left, top);
    dialog.move(dialog.m_dialogPos);

    QString value = text.left(TEditHexL::MaxValueLength);
    TTargetTint tint(target);
    value = value.trimmed();
    if (value.startsWith("0x")) value.remove(0, 2);
    while (value.size() < TEditHexL::s_digitCount)
        value.prepend('0');
    dialog.m_value = value;
    dialog.m_savedValue = value;

    if (TEditHexL::s_shownHook) {
        QTimer::singleShot(0, &dialog, [&dialog] {
            TEditHexL::s_shownHook(dialog);
            if (dialog.isVisible()) dialog.reject();
        });
    }
    dialog.exec();
    value = dialog.m_value;

    int64_t n = 0;
    // A value that is not hex at all can only be out of range.
    if (ParseHex64(value, n) && minimum <= n && n <= maximum) {
        WriteTargetText(target, value);
    } else if (showRangeError) {
        const QString message =
            "Value is out of range !\r\nAllowed range: " + Hex(minimum) + ".." + Hex(maximum);
        if (TEditHexL::s_beepHook)
            TEditHexL::s_beepHook();
        else
            QApplication::beep();
        if (TEditHexL::s_messageHook) {
            TEditHexL::s_messageHook(target->window(), message);
        } else {
            QMessageBox box(QMessageBox::Critical, "Error", QString(message).replace("\r\n", "\n"),
                            QMessageBox::Ok, target->window());
            box.exec();
        }
        value = dialog.m_savedValue;
        WriteTargetText(target, value);
    }
    if (value.size() == 1) value.prepend('0');
    return value.toStdString();
}
