#include "widgets/TMyResize.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTabBar>
#include <QTableView>
#include <QTextEdit>
#include <QToolBar>

#include <algorithm>
#include <cstdint>

#include "widgets/TScrollLabel.h"

namespace {

QSize ClientSize(const QWidget* control) {
    return control->contentsRect().size();
}

// Child controls in creation order; other top-level windows parented here are not controls.
QList<QPointer<QWidget>> ChildControls(const QWidget* control) {
    QList<QPointer<QWidget>> result;
    for (QObject* child : control->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && !widget->isWindow()) result.append(widget);
    }
    return result;
}

// A label follows its text: word-wrapped ones take the given width (their scaled design width) and
// the height they need at it.
void AutoSizeLabel(QLabel* label, int width = -1) {
    if (label->wordWrap()) {
        const int w = width > 0 ? width : label->width();
        label->resize(w, std::max(label->heightForWidth(w), 1));
    } else {
        label->adjustSize();
    }
}

// An edit's height follows its font.
void AutoSizeEdit(QWidget* edit) {
    edit->resize(edit->width(), edit->sizeHint().height());
}

int Scaled(int32_t value, double ratio) {
    return static_cast<int>(value * ratio);
}

} // namespace

bool TMyResize::IsAutoSizedLabel(const QWidget* control) {
    const auto* label = qobject_cast<const QLabel*>(control);
    if (!label || label->property(StaticTextProperty).toBool()) return false;
    // A framed or filled label is a static text box whose size is part of the design.
    return label->frameShape() == QFrame::NoFrame && !label->autoFillBackground();
}

bool TMyResize::IsEdit(const QWidget* control) {
    return qobject_cast<const QLineEdit*>(control) || qobject_cast<const QAbstractSpinBox*>(control);
}

bool TMyResize::IsMemo(const QWidget* control) {
    return qobject_cast<const QPlainTextEdit*>(control) || qobject_cast<const QTextEdit*>(control);
}

bool TMyResize::CanContainControls(const QWidget* control) {
    // Composite widgets build themselves from private children (viewports, scroll bars, inner
    // edits); those are no part of the design and must not be moved.
    return !(qobject_cast<const QAbstractScrollArea*>(control) ||
             qobject_cast<const QAbstractSpinBox*>(control) || qobject_cast<const QComboBox*>(control) ||
             qobject_cast<const QAbstractButton*>(control) || qobject_cast<const QLineEdit*>(control) ||
             qobject_cast<const QProgressBar*>(control) || qobject_cast<const QAbstractSlider*>(control) ||
             qobject_cast<const QTabBar*>(control) || qobject_cast<const QLabel*>(control) ||
             qobject_cast<const TScrollLabel*>(control) || qobject_cast<const QToolBar*>(control) ||
             qobject_cast<const QMenuBar*>(control));
}

TMyResize::TMyResize(QWidget* window, bool fontScaling, THook hook)
    : m_window(window), m_fontScaling(fontScaling), m_hook(std::move(hook)) {
    if (window) Record(window);
    m_maxFontSize = 0;
    m_minFontSize = 0;
}

void TMyResize::Record(QWidget* control) {
    if (auto* label = qobject_cast<QLabel*>(control); label && IsAutoSizedLabel(label))
        AutoSizeLabel(label);
    else if (IsEdit(control))
        AutoSizeEdit(control);

    TLayoutRecord record;
    record.name = control->objectName();
    const QFont font = control->font();
    record.fontInPixels = font.pointSize() <= 0;
    record.fontSize = record.fontInPixels ? font.pixelSize() : font.pointSize();
    if (!record.fontInPixels && font.pointSizeF() != double(font.pointSize()))
        record.fontPointsF = font.pointSizeF();
    const QSize size = IsMemo(control) ? control->size() : ClientSize(control);
    record.width = size.width();
    record.height = size.height();
    record.outerWidth = control->width();
    record.outerHeight = control->height();
    record.top = control->y();
    record.left = control->x();
    if (auto* grid = qobject_cast<QTableView*>(control)) {
        record.extra1 = grid->horizontalHeader()->defaultSectionSize();
        record.extra2 = grid->verticalHeader()->defaultSectionSize();
    }
    if (!record.name.isEmpty() && !m_firstByName.contains(record.name))
        m_firstByName.insert(record.name, static_cast<int>(m_items.size()));
    m_items.push_back(record);

    if (control == m_window || CanContainControls(control)) {
        for (const QPointer<QWidget>& child : ChildControls(control))
            Record(child);
    }
}

const TMyResize::TLayoutRecord* TMyResize::Find(const QString& name) const {
    if (name.isEmpty()) return nullptr;
    const auto it = m_firstByName.constFind(name);
    return it == m_firstByName.constEnd() ? nullptr : &m_items[static_cast<size_t>(*it)];
}

void TMyResize::Rescale() {
    Rescale(m_window);
}

void TMyResize::Rescale(QWidget* window) {
    if (!window || m_items.empty()) return;
    const TLayoutRecord& design = m_items.front();
    const QSize client = ClientSize(window);
    // The window always had a client area when it was recorded; the guard only avoids a division
    // by zero for a window recorded while collapsed.
    m_ratioX = design.width > 0 ? static_cast<double>(client.width()) / design.width : 1.0;
    m_ratioY = design.height > 0 ? static_cast<double>(client.height()) / design.height : 1.0;
    m_deficit = 0;
    if (!m_givingWay.isEmpty() && client.height() < design.height) {
        int room = INT32_MAX;
        m_givingWayBottom = 0;
        for (const QPointer<QWidget>& c : m_givingWay) {
            if (const TLayoutRecord* r = c ? Find(c->objectName()) : nullptr) {
                room = std::min(room, r->outerHeight - m_givingWayMin);
                m_givingWayBottom = std::max(m_givingWayBottom, r->top + r->outerHeight);
            }
        }
        m_deficit = std::min(design.height - client.height(), std::max(room, 0));
        // The rest keeps its design height; only what the giving way cannot take is scaled.
        m_ratioY = static_cast<double>(client.height() + m_deficit) / design.height;
    }
    ScaleFont(window, design);
    QPointer<QWidget> guard(window);
    for (const QPointer<QWidget>& child : ChildControls(window)) {
        if (!guard) return;
        if (child) Visit(child);
    }
}

void TMyResize::SetGivingWay(const QList<QWidget*>& controls, int minHeight) {
    m_givingWay.clear();
    for (QWidget* c : controls)
        m_givingWay.append(c);
    m_givingWayMin = minHeight;
}

int TMyResize::MinimumHeight() const {
    if (m_items.empty()) return 0;
    int room = INT32_MAX;
    for (const QPointer<QWidget>& c : m_givingWay) {
        if (const TLayoutRecord* r = c ? Find(c->objectName()) : nullptr)
            room = std::min(room, r->outerHeight - m_givingWayMin);
    }
    return m_items.front().height - (room == INT32_MAX ? 0 : std::max(room, 0));
}

void TMyResize::ScaleFont(QWidget* control, const TLayoutRecord& record) const {
    if (!m_fontScaling || record.fontSize <= 0) return;
    if (record.fontPointsF > 0 && m_maxFontSize <= 0 && m_minFontSize <= 0) {
        // Kept with its fraction, so that the design size comes back whole after any resize.
        QFont font = control->font();
        font.setPointSizeF(std::max(1.0, record.fontPointsF * std::min(m_ratioX, m_ratioY)));
        if (font != control->font()) control->setFont(font);
        return;
    }
    int size = static_cast<int>(record.fontSize * std::min(m_ratioX, m_ratioY));
    if (m_maxFontSize > 0 && size > m_maxFontSize) size = m_maxFontSize;
    if (m_minFontSize > 0 && size < m_minFontSize) size = m_minFontSize;
    // Fonts cannot be smaller than one unit.
    size = std::max(size, 1);
    QFont font = control->font();
    if (record.fontInPixels)
        font.setPixelSize(size);
    else
        font.setPointSize(size);
    // Setting an unchanged font would cut the control off from its parent's font.
    if (font != control->font()) control->setFont(font);
}

void TMyResize::Visit(QWidget* control) {
    const TLayoutRecord* found = Find(control->objectName());
    if (!found) return;
    // A copy: the scroll label's pass below runs pending events, and a nested Rescale must not
    // leave us holding a reference it could invalidate.
    const TLayoutRecord record = *found;
    QPointer<QWidget> guard(control);

    const bool handled = m_hook && m_hook(control, record.left, record.width, record.extra2, record.extra1,
                                          record.fontSize, record.top, record.height, m_ratioX, m_ratioY);
    if (!handled) {
        const int newWidth = Scaled(record.width, m_ratioX);
        const int newHeight = Scaled(record.height, m_ratioY);
        const int newLeft = Scaled(record.left, m_ratioX);
        const int newTop = Scaled(record.top, m_ratioY);
        ScaleFont(control, record);

        if (auto* label = qobject_cast<QLabel*>(control); label && IsAutoSizedLabel(label)) {
            label->move(newLeft, newTop);
            // The text grows with the font: a word-wrapped label needs its width to grow as well.
            AutoSizeLabel(label, Scaled(record.outerWidth, m_ratioX));
        } else if (IsEdit(control)) {
            control->move(newLeft, newTop);
            control->resize(newWidth + control->width() - ClientSize(control).width(), control->height());
            AutoSizeEdit(control);
        } else if (auto* grid = qobject_cast<QTableView*>(control)) {
            grid->move(newLeft, newTop);
            grid->horizontalHeader()->setDefaultSectionSize(Scaled(record.extra1, m_ratioX));
            grid->verticalHeader()->setDefaultSectionSize(Scaled(record.extra2, m_ratioY));
            const QSize frame = grid->size() - ClientSize(grid);
            grid->resize(newWidth + frame.width(), newHeight + frame.height());
        } else {
            int top = newTop;
            int height = Scaled(record.outerHeight, m_ratioY);
            if (m_deficit > 0 && control->parentWidget() == m_window) {
                if (m_givingWay.contains(control))
                    height -= m_deficit;
                else if (record.top >= m_givingWayBottom)
                    top -= m_deficit;
            }
            control->setGeometry(newLeft, top, Scaled(record.outerWidth, m_ratioX), height);
            if (auto* scroll = qobject_cast<TScrollLabel*>(control)) {
                // Only a restart renders the caption again at the new size and font; the blank
                // caption in between forces it.
                const QString caption = scroll->Caption();
                scroll->SetCaption("   ");
                QCoreApplication::processEvents();
                if (!guard) return;
                scroll->SetCaption(caption);
                scroll->SetFontColor(Qt::white);
                QCoreApplication::processEvents();
                if (!guard) return;
            }
        }
    }

    if (CanContainControls(control)) {
        for (const QPointer<QWidget>& child : ChildControls(control)) {
            if (!guard) return;
            if (child) Visit(child);
        }
    }
}
