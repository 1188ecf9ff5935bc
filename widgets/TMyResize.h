#pragma once
// Proportional layout scaler: records a window's design layout (every control's position, size and
// font) once, and on every resize recomputes each control from those records and the ratio of the
// window's current to its recorded client size. Working from the records, never from the current
// geometry, keeps repeated resizing free of rounding drift.
//
// Controls are found again by objectName (the first record of a name wins); a control without a
// name or without a record is left alone together with its children.

#include <QHash>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class TMyResize {
public:
    // Given the control and its recorded left, width, extra 2, extra 1, font size, top and height
    // and both ratios; true means the hook has placed the control itself (its children are still
    // visited).
    using THook = std::function<bool(QWidget* control, int left, int width, int extra2, int extra1,
                                     int fontSize, int top, int height, double ratioX, double ratioY)>;

    struct TLayoutRecord {
        QString name;
        int32_t fontSize = 0; // points, or pixels when fontInPixels
        int32_t width = 0;    // client width; outer width for a multi-line text box
        int32_t height = 0;
        int32_t top = 0;
        int32_t left = 0;
        int32_t extra1 = 0; // grids: default column width
        int32_t extra2 = 0; // grids: default row height
        bool fontInPixels = false;
        // The control's whole size with frame and title. A control placed by its bounds is scaled
        // from it: its children are placed in those bounds, and a group box whose inner size were
        // applied as its outer one would lose its title's height and cut off its lower children.
        int32_t outerWidth = 0;
        int32_t outerHeight = 0;
        // A size in points with a fraction (a face sized to a width), kept whole; 0 otherwise.
        double fontPointsF = 0;
    };

    // A QLabel with this dynamic property set to true is sized like any other control instead of
    // following its text (for static texts that are drawn without frame or background).
    static constexpr const char* StaticTextProperty = "quarnelStaticText";

    TMyResize(QWidget* window, bool fontScaling, THook hook = nullptr);

    // Applies the window's current client size to every recorded control.
    void Rescale();
    void Rescale(QWidget* window);

    const std::vector<TLayoutRecord>& Items() const { return m_items; }
    int32_t LastIndex() const { return static_cast<int32_t>(m_items.size()) - 1; }
    double RatioX() const { return m_ratioX; }
    double RatioY() const { return m_ratioY; }
    bool FontScaling() const { return m_fontScaling; }
    // 0 means no bound.
    int32_t MaxFontSize() const { return m_maxFontSize; }
    void SetMaxFontSize(int32_t size) { m_maxFontSize = size; }
    int32_t MinFontSize() const { return m_minFontSize; }
    void SetMinFontSize(int32_t size) { m_minFontSize = size; }
    // In a window shorter than its design, these controls (children of the window, one above the
    // other's area or sharing it) give way: they lose the missing height, down to minHeight, the
    // controls below them move up, and the rest keeps its design height and font.
    void SetGivingWay(const QList<QWidget*>& controls, int minHeight);
    // The height the window's client area needs at least with the giving way.
    int MinimumHeight() const;

    // The kinds the scaler tells apart.
    static bool IsAutoSizedLabel(const QWidget* control);
    static bool IsEdit(const QWidget* control);
    static bool IsMemo(const QWidget* control);
    static bool CanContainControls(const QWidget* control);

private:
    void Record(QWidget* control);
    void Visit(QWidget* control);
    void ScaleFont(QWidget* control, const TLayoutRecord& record) const;
    const TLayoutRecord* Find(const QString& name) const;

    std::vector<TLayoutRecord> m_items;
    QHash<QString, int> m_firstByName;
    QPointer<QWidget> m_window;
    double m_ratioX = 1.0;
    double m_ratioY = 1.0;
    bool m_fontScaling = false;
    THook m_hook;
    int32_t m_maxFontSize = 0;
    int32_t m_minFontSize = 0;
    QList<QPointer<QWidget>> m_givingWay;
    int m_givingWayMin = 0;
    int m_deficit = 0;         // the height the giving-way controls lose in this rescale
    int m_givingWayBottom = 0; // design bottom of the giving-way area
};
