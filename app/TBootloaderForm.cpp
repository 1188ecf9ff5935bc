#include "app/TBootloaderForm.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCompleter>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <vector>

#include "app/QtHostHooks.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Vars.h"
#include "boot/HostHooks.h"
#include "boot/Log.h"
#include "session/History.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "session/TSimpleIniFile.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"
#include "widgets/TBitBtnWC.h"
#include "widgets/TEditHexL.h"
#include "widgets/TMyResize.h"
#include "widgets/TScrollLabel.h"

namespace {
constexpr const char* NoFileCaption = "HexFile?";

const QColor IndicatorRed(255, 0, 0);
const QColor IndicatorOrange(255, 127, 0);
const QColor IndicatorGreen(0, 255, 0);
// A run that ended well: a deeper green than the running flash's.
const QColor IndicatorFlashed(0, 190, 60);
constexpr int ListItemHeight = 13;
// The log's height when the window is as short as it may be.
constexpr int LogMinimumHeight = 80;
// The IDs the installed udev rule gives the user at the seat access to.
constexpr uint16_t RuleVid = 0x3930;
constexpr uint16_t RulePid = 0x2021;

// Consolas' advance width in ems: a fixed-pitch face standing in for it is sized to the same
// character width, so the log's columns fit the memo as they were designed to.
constexpr double ConsolasAdvance = 0.5498;

// The design face when the system has it, else the nearest the system offers: the default
// fixed-pitch face at Consolas' width, or the default sans face narrowed towards Tahoma's width.
QFont DesignFont(const QString& family, int points, bool fixedPitch = false, bool bold = false) {
    QFont font;
    if (QFontDatabase::hasFamily(family)) {
        font = QFont(family);
        font.setPointSize(points);
    } else if (fixedPitch) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setStyleHint(QFont::TypeWriter);
        font.setFixedPitch(true);
        font.setPixelSize(100);
        const double advance = QFontMetricsF(font).horizontalAdvance(QChar('0')) / 100.0; // in ems
        font.setPointSizeF(advance > ConsolasAdvance ? points * ConsolasAdvance / advance : points);
    } else {
        font = QApplication::font();
        font.setStretch(QFont::SemiCondensed);
        font.setPointSize(points);
    }
    font.setBold(bold);
    return font;
}

void SetBackground(QWidget* widget, const QColor& color) {
    QPalette pal = widget->palette();
    if (pal.color(QPalette::Window) == color && widget->autoFillBackground()) return;
    pal.setColor(QPalette::Window, color);
    widget->setPalette(pal);
    widget->setAutoFillBackground(true);
}

void SetTextColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
    QPalette pal = widget->palette();
    pal.setColor(role, color);
    widget->setPalette(pal);
}

// Only for the enabled look: a disabled control keeps the toolkit's disabled caption colour, so that
// it looks as unavailable as it is.
void SetEnabledTextColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Active, role, color);
    pal.setColor(QPalette::Inactive, role, color);
    widget->setPalette(pal);
}

// The width of a caption in the control's font.
int CaptionWidth(const QWidget* control, const QString& caption) {
    return QFontMetrics(control->font()).horizontalAdvance(caption);
}

QString ToQt(const std::string& text) {
    return QString::fromStdString(text);
}

QString BaseName(const std::string& path) {
    return QFileInfo(ToQt(path)).fileName();
}

// Why a file cannot be flashed, or "" when it can: it must be a regular file (a link to one is
// fine) that this user can read.
std::string UnusableReason(const std::string& path) {
    const QFileInfo info(ToQt(path));
    if (!info.exists()) return "it does not exist";
    if (!info.isFile()) return info.isDir() ? "it is a folder" : "it is not a regular file";
    // Non-blocking, although only a regular file gets here.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string("it cannot be read (") + std::strerror(errno) + ")";
    ::close(fd);
    return "";
}

QList<QRect> AvailableScreenAreas() {
    QList<QRect> areas;
    for (const QScreen* screen : QGuiApplication::screens())
        areas.append(screen->availableGeometry());
    return areas;
}

QRect PrimaryScreenRect() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry()
                  : QRect(0, 0, TBootloaderForm::DesignWidth, TBootloaderForm::DesignHeight);
}

// Window geometry from the settings file is held in 16 bits.
int WordRange(int32_t value) {
    return std::clamp<int32_t>(value, 0, 0xFFFF);
}

void FillList(QListWidget* list, const std::vector<std::string>& entries) {
    list->clear();
    for (const std::string& entry : entries) {
        auto* item = new QListWidgetItem(ToQt(entry), list);
        item->setSizeHint(QSize(item->sizeHint().width(), ListItemHeight));
    }
}

std::vector<std::string> ListEntries(const QListWidget* list) {
    std::vector<std::string> entries;
    for (int i = 0; i < list->count(); ++i)
        entries.push_back(list->item(i)->text().toStdString());
    return entries;
}

} // namespace

TBootloaderForm::TBootloaderForm(QWidget* parent) : QWidget(parent) {
    CreateControls();
    InstallHooks();
    FormCreate();
    m_created = true;
    // Started last, so the indicator keeps its design look until the window is up.
    UpdateTimer->start();
}

TBootloaderForm::~TBootloaderForm() {
    UpdateTimer->stop();
    FormDestroy();
    SetHostHooks(THostHooks{});
    RemoveQtDeviceChangeWakeup();
}

QString TBootloaderForm::HexWord(unsigned value) {
    return QString("%1").arg(value & 0xFFFF, 4, 16, QChar('0')).toUpper();
}

void TBootloaderForm::CreateControls() {
    setObjectName("BootloaderForm");
    resize(DesignWidth, DesignHeight);
    setMinimumSize(DesignWidth, DesignHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    // Every text drawn straight on the black window is white.
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);
    setFont(DesignFont("Tahoma", 8));

    GroupBox1 = new QGroupBox(" Bootloader ID's ", this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(5, 1, 270, 59);

    auto makeStaticText = [this](const char* name, const QString& caption, const QRect& bounds) {
        auto* label = new QLabel(caption, GroupBox1);
        label->setObjectName(name);
        label->setGeometry(bounds);
        // A static text keeps its design size when the window is scaled.
        label->setProperty(TMyResize::StaticTextProperty, true);
        return label;
    };
    StaticText1 = makeStaticText("StaticText1", "VID", QRect(9, 16, 21, 17));
    StaticText2 = makeStaticText("StaticText2", "PID", QRect(9, 35, 21, 17));
    VIDlabel = makeStaticText("VIDlabel", "1234", QRect(33, 15, 43, 17));
    PIDlabel = makeStaticText("PIDlabel", "0001", QRect(33, 34, 43, 17));
    for (QLabel* id : {VIDlabel, PIDlabel}) {
        id->setAlignment(Qt::AlignCenter);
        id->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        id->setCursor(Qt::PointingHandCursor);
        // Reached with Tab and opened with Space or Enter, as well as by a click.
        id->setFocusPolicy(Qt::StrongFocus);
        id->installEventFilter(this);
    }
    VIDlabel->setAccessibleDescription("Bootloader vendor ID; Space changes it");
    PIDlabel->setAccessibleDescription("Bootloader product ID; Space changes it");

    AutoBox = new QCheckBox("Auto", GroupBox1);
    AutoBox->setObjectName("AutoBox");
    AutoBox->setGeometry(84, 16, 60, 17);
    AutoBox->setCursor(Qt::PointingHandCursor);
    AutoBox->setToolTip("FLASH runs by itself whenever a board connects");
    AutoBox->setAccessibleDescription("Flash automatically when a board connects");
    connect(AutoBox, &QCheckBox::toggled, this, [this] { AutoBoxClick(); });

    CheckBox2 = new QCheckBox("Disable boot loader after flashing", GroupBox1);
    CheckBox2->setObjectName("CheckBox2");
    CheckBox2->setGeometry(84, 35, 182, 17);
    CheckBox2->setCursor(Qt::PointingHandCursor);
    connect(CheckBox2, &QCheckBox::toggled, this, [this] { CheckBox2Click(); });

    FlashBut = new TBitBtnWC("FLASH", this);
    FlashBut->setObjectName("FlashBut");
    FlashBut->setGeometry(289, 5, 92, 56);
    FlashBut->SetColor(Qt::black);
    FlashBut->setFont(DesignFont("Tahoma", 14, false, true));
    SetEnabledTextColor(FlashBut, QPalette::ButtonText, Qt::red);
    FlashBut->setCursor(Qt::PointingHandCursor);
    FlashBut->setEnabled(false);
    FlashBut->setAccessibleName("FLASH");
    FlashBut->setToolTip("Flash the image file (Ctrl+Return)");
    connect(FlashBut, &QPushButton::clicked, this, [this] { FlashButClick(); });

    ResetButton = new QPushButton("Reset", this);
    ResetButton->setObjectName("ResetButton");
    ResetButton->setGeometry(393, 7, 40, 20);
    ResetButton->setAccessibleName("Reset");
    ResetButton->setAccessibleDescription("End the session and wait for the board again");
    connect(ResetButton, &QPushButton::clicked, this, [this] { ResetButtonClick(); });

    Label1 = new QLabel("Select Image", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(397, 33, 32, 26);
    Label1->setWordWrap(true);

    ConnectIndicator = new QLabel("- - - - - - -", this);
    ConnectIndicator->setObjectName("ConnectIndicator");
    ConnectIndicator->setGeometry(7, 64, 113, 18);
    ConnectIndicator->setAlignment(Qt::AlignCenter);
    ConnectIndicator->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    ConnectIndicator->setProperty(TMyResize::StaticTextProperty, true);
    SetTextColor(ConnectIndicator, QPalette::WindowText, Qt::black);
    SetBackground(ConnectIndicator, IndicatorRed);
    ConnectIndicator->setAccessibleName("Connection");

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(125, 64, 257, 18);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    SetBackground(Panel1, Qt::black);

    SL = new TScrollLabel(Panel1);
    SL->setObjectName("SL");
    SL->setGeometry(Panel1->contentsRect());
    SL->setFont(DesignFont("Tahoma", 8, false, true));
    SL->SetFontColor(Qt::white);
    SL->SetScrollBy(2);
    SL->SetInterval(100);
    SL->SetWaitOnEnd(500);
    SL->SetActive(true);

    GetFileBut = new QPushButton(". . .", this);
    GetFileBut->setObjectName("GetFileBut");
    GetFileBut->setGeometry(389, 62, 31, 25);
    GetFileBut->setToolTip("Load image file (Ctrl+O)");
    GetFileBut->setAccessibleName("Choose HEX file");
    GetFileBut->setFont(DesignFont("Tahoma", 12));
    GetFileBut->setCursor(Qt::PointingHandCursor);
    connect(GetFileBut, &QPushButton::clicked, this, [this] { GetFileButClick(); });

    HistoryBut = new QPushButton("^", this);
    HistoryBut->setObjectName("HistoryBut");
    HistoryBut->setGeometry(424, 62, 15, 25);
    HistoryBut->setToolTip("Image Files History");
    HistoryBut->setAccessibleName("Image file history");
    connect(HistoryBut, &QPushButton::clicked, this, [this] { HistoryButClick(); });

    InputWindow = new QPlainTextEdit(this);
    InputWindow->setObjectName("InputWindow");
    InputWindow->setGeometry(6, 90, 435, 350);
    InputWindow->setReadOnly(true);
    InputWindow->setFont(DesignFont("Consolas", 8, true));
    InputWindow->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    InputWindow->setFocusPolicy(Qt::ClickFocus); // Tab passes it by
    InputWindow->setAccessibleName("Log");
    // Files dropped on the log go to the window.
    InputWindow->setAcceptDrops(false);
    {
        QPalette memo = InputWindow->palette();
        memo.setColor(QPalette::Base, Qt::yellow);
        memo.setColor(QPalette::Text, Qt::black);
        InputWindow->setPalette(memo);
    }

    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName("ListBox1");
    ListBox1->setGeometry(6, 88, 433, 353);
    ListBox1->hide();
    ListBox1->installEventFilter(this);
    ListBox1->setAccessibleName("Image file history");
    connect(ListBox1, &QListWidget::itemDoubleClicked, this, [this] { ListBox1DblClick(); });

    Panel2 = new QFrame(this);
    Panel2->setObjectName("Panel2");
    Panel2->setGeometry(6, 445, 435, 20);
    SetBackground(Panel2, Qt::yellow);

    ProgressBar = new QProgressBar(Panel2);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setGeometry(Panel2->contentsRect());
    ProgressBar->setRange(0, 200);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    ProgressBar->setAccessibleName("Progress");

    setAcceptDrops(true);
    // The visual order: the IDs and options, FLASH and Reset, then the file buttons.
    setTabOrder(VIDlabel, PIDlabel);
    setTabOrder(PIDlabel, AutoBox);
    setTabOrder(AutoBox, CheckBox2);
    setTabOrder(CheckBox2, FlashBut);
    setTabOrder(FlashBut, ResetButton);
    setTabOrder(ResetButton, GetFileBut);
    setTabOrder(GetFileBut, HistoryBut);
    auto* chooseKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this);
    connect(chooseKey, &QShortcut::activated, this, [this] {
        if (GetFileBut->isEnabled()) GetFileButClick();
    });
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* flashKey = new QShortcut(QKeySequence(Qt::CTRL | key), this);
        connect(flashKey, &QShortcut::activated, this, [this] {
            if (FlashBut->isEnabled()) FlashBut->click();
        });
    }

    FitCaptions();

    UpdateTimer = new QTimer(this);
    UpdateTimer->setObjectName("UpdateTimer");
    UpdateTimer->setInterval(50);
    connect(UpdateTimer, &QTimer::timeout, this, [this] { UpdateTimerEvent(); });

    m_waitAgain = new QTimer(this);
    m_waitAgain->setSingleShot(true);
    m_waitAgain->setInterval(WaitAgainDelayMs);
    connect(m_waitAgain, &QTimer::timeout, this, [this] { RunWaitingPass(); });

    // Our own dialog rather than the platform's: it behaves the same everywhere and tests can drive it.
    OD = new QFileDialog(this);
    OD->setObjectName("OD");
    OD->setOption(QFileDialog::DontUseNativeDialog);
    OD->setAcceptMode(QFileDialog::AcceptOpen);
    OD->setFileMode(QFileDialog::ExistingFile);
}

void TBootloaderForm::FitCaptions() {
    // The design measures its captions in Tahoma. Where another face stands in, measure: if the
    // option's caption does not fit its box, narrow the window's face (and the label's, drawn in
    // the same face) until it does, so that no caption is cut off.
    const QString caption = CheckBox2->text();
    const int extra = CheckBox2->sizeHint().width() - CaptionWidth(CheckBox2, caption);
    const int room = CheckBox2->width() - extra - 1;
    for (int attempt = 0; attempt < 8 && CaptionWidth(CheckBox2, caption) > room; ++attempt) {
        const int stretch = font().stretch() > 0 ? font().stretch() : 100;
        const int narrower = std::max(50, stretch * room / CaptionWidth(CheckBox2, caption) - 1);
        if (narrower >= stretch) break;
        QFont f = font();
        f.setStretch(narrower);
        setFont(f);
        QFont label = SL->font();
        label.setStretch(narrower);
        SL->setFont(label);
    }
    // Its two lines end above the file buttons: a face with taller lines (Noto Sans, for one) is
    // set a point smaller until they do.
    const int roomBelow = GetFileBut->y() - Label1->y() - 1;
    for (int attempt = 0; attempt < 4 && Label1->heightForWidth(Label1->width()) > roomBelow; ++attempt) {
        QFont smaller = Label1->font();
        if (smaller.pointSize() <= 5) break;
        smaller.setPointSize(smaller.pointSize() - 1);
        Label1->setFont(smaller);
    }
    // A word-wrapped label cannot break a word: it is at least as wide as its widest word.
    int widest = Label1->width();
    for (const QString& word : Label1->text().split(' ', Qt::SkipEmptyParts))
        widest = std::max(widest, CaptionWidth(Label1, word) + 2);
    Label1->resize(widest, Label1->height());
}

void TBootloaderForm::InstallHooks() {
    THostHooks hooks;
    hooks.appendLogLine = [this](const std::string& line) { InputWindow->appendPlainText(ToQt(line)); };
    hooks.clearLog = [this] { InputWindow->clear(); };
    hooks.setProgressMax = [this](int64_t max) {
        // A maximum of 0 would turn the bar into a busy indicator.
        ProgressBar->setMaximum(int(std::clamp<int64_t>(max, 1, INT_MAX)));
    };
    hooks.setProgressPos = [this](int64_t pos) {
        // Out-of-range values are ignored by the bar; show them at its ends instead.
        ProgressBar->setValue(int(std::clamp<int64_t>(pos, ProgressBar->minimum(), ProgressBar->maximum())));
    };
    hooks.processMessages = [] { QtProcessMessages(); };
    hooks.showMessage = [this](const std::string& text) { ShowMessageBox(ToQt(text)); };
    hooks.askYesNo = [this](const std::string& text) {
        // Asked while the file is parsed: the window shows that it checks the file, not that it flashes.
        m_checkingFile = true;
        ApplyIndicator(IndicatorOrange, CheckingCaption);
        SetResultLine("Checking " + BaseName(m_lastRunFile));
        const bool yes = QtAskYesNo(this, ToQt(text));
        m_checkingFile = false;
        SetResultLine("");
        return yes;
    };
    hooks.sessionConnected = [this] { SessionConnected(); };
    SetHostHooks(std::move(hooks));
    InstallQtDeviceChangeWakeup();
}

std::string TBootloaderForm::SLText() const {
    return SL->Caption().toStdString();
}

void TBootloaderForm::SetSLText(const std::string& text) {
    SL->SetCaption(ToQt(text));
    SL->setAccessibleName("Image file: " + ToQt(text).trimmed());
}

void TBootloaderForm::ShowId(QLabel* label, uint16_t value) {
    label->setText(HexWord(value));
    label->setAccessibleName(QString(label == VIDlabel ? "VID " : "PID ") + HexWord(value));
}

// ---------------------------------------------------------------------------------------------------
// Lifecycle

void TBootloaderForm::FormCreate() {
    // The hook declines every control, so the scaler's own rules place them all.
    m_resize = std::make_unique<TMyResize>(
        this, true, [](QWidget*, int, int, int, int, int, int, int, double, double) { return false; });
    // In a window shorter than the design (a large scale on a small screen) the log gives way.
    m_resize->SetGivingWay({InputWindow, ListBox1}, LogMinimumHeight);
    setMinimumSize(DesignWidth, m_resize->MinimumHeight());
    m_scaledSize = size();
    TSimpleIniFile ini;
    if (ini.Cut())
        m_settingsNotice = " Settings file " + ini.FileName() + ": only its first " +
                           std::to_string(TSimpleIniFile::ReadLimit >> 10) + " KiB were read; it is not rewritten.";
    const QRect screenRect = PrimaryScreenRect();
    const int w = WordRange(ini.ReadInteger("Sizes", "MainWidth", DesignWidth));
    const int h = WordRange(ini.ReadInteger("Sizes", "MainHeight", DesignHeight));
    const int left = WordRange(ini.ReadInteger("Sizes", "MainLeft", (screenRect.width() - DesignWidth) / 2));
    const int top = WordRange(ini.ReadInteger("Sizes", "MainTop", (screenRect.height() - DesignHeight) / 2));
    resize(w, h);
    MoveOnScreen(left, top);
    // A hidden window gets its resize event only when shown; scale now, as the size is set.
    RescaleIfResized();
    QtProcessMessages();
    setWindowState(ini.ReadBool("Sizes", "MainMaxiMised", false) ? Qt::WindowMaximized : Qt::WindowNoState);
    const int32_t points = ini.ReadInteger("Font", "Main", 8);
    QFont f = font();
    f.setPointSize(points > 0 && points <= 200 ? points : 8);
    setFont(f);
    // Auto never runs together with the disable option; that one, loaded at the first activation,
    // wins when both were stored.
    AutoBox->setChecked(ini.ReadBool("Options", "Auto", false));
}

void TBootloaderForm::FormActivate() {
    // Ending the session now would leave the flash procedure talking to no device.
    if (FlashPhase == 100) return;
    ++m_activationCount;
    SetDeviceChangeHandler(nullptr);
    if (m_firstActivation) {
        setWindowTitle(" Quarnel Flash utility:  V" QUARNEL_VERSION);
        const QRect screenRect = PrimaryScreenRect();
        LoadLoaderSetup(screenRect.width() / 2 - width() / 2, screenRect.height() / 2 - height() / 2);
        OD->setDirectory(ToQt(ExeDir));
        OD->setWindowTitle("Load Flash image file");
        OD->setNameFilter("Image files (*.hex)");
        OD->setDefaultSuffix("hex");
        SetSLText(" ");
        // A position stored while the window was maximised, or on a screen no longer there, would
        // put the title bar and Reset out of reach.
        FitScreenHeight();
        MoveOnScreen(LoaderSetup.left, LoaderSetup.top);
        ShowId(VIDlabel, LoaderSetup.vid);
        ShowId(PIDlabel, LoaderSetup.pid);
        ShowResetPrompt();
        // The log holds the focus at the start, as during a run: the first control in the Tab
        // order is the VID field, and a key pressed at the start should not open its keypad.
        InputWindow->setFocus(Qt::OtherFocusReason);
        m_firstActivation = false;
        // A change runs CheckBox2Click, which also writes the flag back as 0 or 1.
        CheckBox2->setChecked(LoaderSetup.disableFlag != 0);
    }
    ResetSession();
    ShowResetPrompt();
    ShowWaitingFor();
    if (!m_settingsNotice.empty()) {
        LogMessage(m_settingsNotice);
        m_settingsNotice.clear();
    }
    StartWaiting();
}

void TBootloaderForm::StartWaiting() {
    m_waitAgain->stop();
    m_autoArmed = true;
    InstallPass();
    RunWaitingPass();
}

void TBootloaderForm::InstallPass() {
    SetDeviceChangeHandler(THandlerKind::OnDeviceChange, [this] {
        // A board that arrives (its reset) is one that Auto flashes.
        m_autoArmed = true;
        OnDeviceChange();
        AdviseAfterPass();
    });
}

void TBootloaderForm::ShowWaitingFor() {
    LogMessage(" Waiting for a bootloader with VID " + HexWord(LoaderSetup.vid).toStdString() + ", PID " +
               HexWord(LoaderSetup.pid).toStdString() + ".");
}

void TBootloaderForm::AdviseAfterPass() {
    if (LastPassResult != TPassResult::OpenFailed || HidLastOpenError() != THidOpenError::Permission) return;
    // The bootloader is there, but this user may not open it: say where the rule is and what it covers.
    LogMessage(" See the NOTES of man quarnel-flash, and the rule file " QUARNEL_UDEV_RULE_FILE ".");
    if (LoaderSetup.vid != RuleVid || LoaderSetup.pid != RulePid)
        LogMessage(" The installed rule covers VID " + HexWord(RuleVid).toStdString() + ", PID " +
                   HexWord(RulePid).toStdString() + " only, not these IDs: 'quarnel udev-rule --vid " +
                   HexWord(LoaderSetup.vid).toStdString() + " --pid " +
                   HexWord(LoaderSetup.pid).toStdString() + "' prints a rule for them.");
}

void TBootloaderForm::RunWaitingPass() {
    // Only while the window waits: not during a run, nor once a session has begun.
    if (BootloaderActive || FlashPhase == 100 || m_inFlashClick) return;
    if (DeviceChangeHandlerKind() != THandlerKind::OnDeviceChange) return;
    OnDeviceChange();
    AdviseAfterPass();
}

void TBootloaderForm::FormClose() {
    InstallOpenVendorDevice();
    // Without a first activation nothing was loaded, and storing would overwrite the user's setup.
    if (m_firstActivation) return;
    LoaderSetup.left = x();
    LoaderSetup.top = y();
    StoreLoaderSetup(); // a failed write goes unreported; the old file stays as it was
}

void TBootloaderForm::FormDestroy() {
    if (!m_created) return;
    m_created = false;
    m_resize.reset();
    TSimpleIniFile ini;
    if (isMaximized()) {
        ini.WriteBool("Sizes", "MainMaxiMised", true);
    } else {
        ini.WriteBool("Sizes", "MainMaxiMised", false);
        ini.WriteInteger("Sizes", "MainWidth", width());
        ini.WriteInteger("Sizes", "MainHeight", height());
        ini.WriteInteger("Sizes", "MainLeft", x());
        ini.WriteInteger("Sizes", "MainTop", y());
    }
    ini.WriteInteger("Font", "Main", font().pointSize());
    ini.WriteBool("Options", "Auto", AutoBox->isChecked());
    std::string error;
    if (!ini.UpdateFile(error)) ShowMessageBox(ToQt(error), false);
}

void TBootloaderForm::FormResize() {
    if (m_resize) m_resize->Rescale();
}

QPoint TBootloaderForm::KeepOnScreen(const QRect& frame, const QList<QRect>& available) {
    if (available.isEmpty()) return frame.topLeft();
    int best = 0;
    qint64 bestArea = 0;
    for (int i = 0; i < available.size(); ++i) {
        const QRect common = frame.intersected(available[i]);
        const qint64 area = common.isEmpty() ? 0 : qint64(common.width()) * common.height();
        if (area > bestArea) {
            bestArea = area;
            best = i;
        }
    }
    const QRect area = available[best];
    // Right and bottom first, then left and top: a window larger than the area keeps its top-left.
    const int x = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width()));
    const int y = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height()));
    return QPoint(x, y);
}

void TBootloaderForm::FitScreenHeight() {
    if (isMaximized() || isFullScreen()) return;
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const int frame = frameGeometry().height() - height();
    const int room = screen->availableGeometry().height() - frame;
    if (height() > room) resize(width(), std::max(minimumHeight(), room));
}

void TBootloaderForm::MoveOnScreen(int left, int top) {
    move(KeepOnScreen(QRect(QPoint(left, top), frameGeometry().size()), AvailableScreenAreas()));
}

void TBootloaderForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_shown) return;
    m_shown = true;
    FormActivate();
}

void TBootloaderForm::closeEvent(QCloseEvent* event) {
    // Leaving in the middle of a flash would leave the target half written: the window closes when
    // the run ends.
    if (FlashPhase == 100 || m_inFlashClick) {
        if (!m_closeAfterRun) LogMessage(" The window closes when the run ends.");
        m_closeAfterRun = true;
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

void TBootloaderForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    RescaleIfResized();
}

namespace {
// The one local file a drag carries, or "".
QString DraggedFile(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) return {};
    const QUrl url = mime->urls().constFirst();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}
} // namespace

void TBootloaderForm::dragEnterEvent(QDragEnterEvent* event) {
    if (!m_inFlashClick && FlashPhase != 100 && !DraggedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void TBootloaderForm::dropEvent(QDropEvent* event) {
    const QString file = DraggedFile(event->mimeData());
    if (m_inFlashClick || FlashPhase == 100 || file.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    ChooseImageFile(file.toStdString());
}

void TBootloaderForm::RescaleIfResized() {
    // Showing the window delivers a resize event without a change of size; only real changes
    // rescale, so the font read in FormCreate holds until the size changes.
    if (!m_resize || size() == m_scaledSize) return;
    m_scaledSize = size();
    FormResize();
}

bool TBootloaderForm::eventFilter(QObject* watched, QEvent* event) {
    const bool idLabel = watched == VIDlabel || watched == PIDlabel;
    bool openKeypad = idLabel && event->type() == QEvent::MouseButtonPress;
    if (idLabel && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        openKeypad = key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter;
    }
    if (openKeypad) {
        if (watched == VIDlabel)
            VIDlabelMouseDown();
        else
            PIDlabelMouseDown();
        return true;
    }
    if (idLabel && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)) {
        // The focus shows as the selection colour behind the value.
        auto* label = static_cast<QLabel*>(watched);
        if (event->type() == QEvent::FocusIn)
            SetBackground(label, palette().color(QPalette::Active, QPalette::Highlight));
        else
            label->setAutoFillBackground(false);
    }
    if (watched == ListBox1 && event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End:
            return false; // the list moves its current entry
        case Qt::Key_Return:
        case Qt::Key_Enter:
            ListBox1DblClick();
            return true;
        default:
            ListBox1KeyDown();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TBootloaderForm::ShowMessageBox(const QString& text, bool activate) {
    if (m_messageBoxProc) {
        m_messageBoxProc(text);
    } else {
        QMessageBox box(QMessageBox::NoIcon, "Quarnel Flash", text, QMessageBox::Ok, this);
        box.exec();
    }
    if (activate) FormActivate();
}

// ---------------------------------------------------------------------------------------------------
// Connection monitor

void TBootloaderForm::ApplyIndicator(const QColor& color, const QString& caption) {
    SetBackground(ConnectIndicator, color);
    if (ConnectIndicator->text() == caption) return;
    ConnectIndicator->setText(caption);
    // Told to a screen reader as it changes.
    ConnectIndicator->setAccessibleDescription(caption.trimmed());
    QAccessibleEvent changed(ConnectIndicator, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&changed);
    QAccessibleEvent alert(ConnectIndicator, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

QString TBootloaderForm::ResultLine() const {
    return ProgressBar->isTextVisible() ? ProgressBar->format().replace("%%", "%") : QString();
}

void TBootloaderForm::SetResultLine(const QString& text) {
    // The bar reads '%' as the start of a placeholder.
    ProgressBar->setFormat(QString(text).replace('%', "%%"));
    ProgressBar->setTextVisible(!text.isEmpty());
    ProgressBar->setAccessibleDescription(text);
}

void TBootloaderForm::UpdateTimerEvent() {
    m_inTimerTick = true;
    if (m_checkingFile) {
        ApplyIndicator(IndicatorOrange, CheckingCaption);
        ResetButton->setEnabled(false);
        FlashBut->setEnabled(false);
    } else if (BootloaderActive && FlashPhase == 100) {
        ApplyIndicator(IndicatorGreen, "Flashing");
        ResetButton->setEnabled(false);
        FlashBut->setEnabled(false);
    } else if (BootloaderActive) {
        ApplyIndicator(IndicatorOrange, " Target connected ");
        ResetButton->setEnabled(true);
        const std::string text = SLText();
        const bool exists = FileExists(text);
        FlashBut->setEnabled(exists && !m_inFlashClick);
        const QColor colour = exists ? Qt::white : Qt::red;
        if (SL->FontColor() != colour) {
            SL->SetFontColor(colour);
            // The label draws from an image rendered when it starts: only a restart shows the new
            // colour, whichever came first, the caption or this tick.
            SL->SetActive(false);
            SL->SetActive(true);
        }
        if (!exists && IsBlankPath(text)) SL->SetCaption(NoFileCaption);
    } else {
        // Waiting: the last run's outcome stays until the next FLASH.
        if (m_flashFailed)
            ApplyIndicator(IndicatorRed, FailedCaption);
        else if (m_lastFlashResult == TFlashResult::Flashed)
            ApplyIndicator(IndicatorFlashed, FlashedCaption);
        else if (m_lastFlashResult == TFlashResult::FileRefused ||
                 m_lastFlashResult == TFlashResult::TargetRefused)
            ApplyIndicator(IndicatorRed, RefusedCaption);
        else
            ApplyIndicator(IndicatorRed, "------");
        ResetButton->setEnabled(!m_inFlashClick);
        FlashBut->setEnabled(false);
    }
    // User input waits for the main loop: a click on FLASH handled here would run the whole flash
    // inside this slot, and the timer cannot fire again while its own slot runs.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    DispatchDeviceChanges();
    m_inTimerTick = false;
}

void TBootloaderForm::SessionConnected() {
    // A file chosen while no board's family was known is the new board's image.
    if (!m_pendingFile.empty()) {
        if (std::string* path = PathForFamily(McuFamily)) *path = CutText(m_pendingFile, 255);
        m_pendingFile.clear();
    }
    ShowPathForFamily();
    // Auto flashes a board that arrived, or was found when the window began to wait; not one that
    // is still in its bootloader after a run (a failed run would otherwise be retried for ever).
    if (AutoBox->isChecked() && m_autoArmed) QTimer::singleShot(0, this, [this] { AutoFlash(); });
}

void TBootloaderForm::AutoFlash() {
    // Not inside the timer's slot, which would stop the indicator for the whole run.
    if (m_inTimerTick) {
        QTimer::singleShot(10, this, [this] { AutoFlash(); });
        return;
    }
    if (!AutoBox->isChecked() || !BootloaderActive || FlashPhase == 100 || m_inFlashClick) return;
    // The file is read anew by the run itself, so the edit-build-reset loop needs no click.
    if (!FileExists(SLText())) return;
    LogMessage(" Auto: flashing " + SLText());
    FlashButClick();
}

void TBootloaderForm::ShowPathForFamily() {
    if (std::string* path = PathForFamily(McuFamily)) {
        if (!FileExists(*path)) GetFileButClick();
        if (!FileExists(*path)) {
            m_odFileName = ToQt(*path);
            OD->selectFile(m_odFileName);
        }
        SetSLText(*path);
    }
    const std::string shown = SLText();
    if (FileExists(shown)) OD->setDirectory(ToQt(FolderOf(shown)));
}

// ---------------------------------------------------------------------------------------------------
// Image file selection and history

void TBootloaderForm::CloseLeftoverPopups() {
    // A completion list left open by typing a path would otherwise take the next click in the
    // window for itself, only to close.
    for (QCompleter* completer : OD->findChildren<QCompleter*>())
        if (completer->popup()) completer->popup()->hide();
    for (int i = 0; i < 8 && QApplication::activePopupWidget(); ++i)
        QApplication::activePopupWidget()->close();
}

void TBootloaderForm::GetFileButClick() {
    const int result = OD->exec();
    CloseLeftoverPopups();
    if (result == QDialog::Accepted && !OD->selectedFiles().isEmpty()) {
        m_odFileName = OD->selectedFiles().constFirst();
        ChooseImageFile(m_odFileName.toStdString());
    }
    const std::string current = m_odFileName.toStdString();
    if (FileExists(current)) OD->setDirectory(ToQt(FolderOf(current)));
}

bool TBootloaderForm::ChooseImageFile(const std::string& file) {
    const std::string why = UnusableReason(file);
    if (!why.empty()) {
        LogMessage(" Cannot use " + file + ": " + why + ".");
        return false;
    }
    // Only files that were flashed go into the history; the choice only names the image.
    if (std::string* path = PathForFamily(McuFamily)) {
        *path = CutText(file, 255);
        SetSLText(*path);
    } else {
        m_pendingFile = CutText(file, 255);
        SetSLText(m_pendingFile);
    }
    OD->setDirectory(ToQt(FolderOf(file)));
    return true;
}

void TBootloaderForm::AddToHistory(const std::string& path) {
    const std::string file = HistoryFilePath(McuFamily);
    if (file.empty()) return; // no family yet, so no history file to write
    std::vector<std::string> entries = LoadHistory(file);
    AddPathToHistory(entries, path);
    FillList(ListBox1, entries);
    SaveHistory(file, entries);
}

void TBootloaderForm::HistoryButClick() {
    const std::string file = HistoryFilePath(McuFamily);
    ListBox1->clear();
    if (file.empty()) return;
    bool exists = false;
    const std::vector<std::string> entries = LoadHistory(file, &exists);
    if (!exists) return;
    FillList(ListBox1, entries);
    // The most recent entry is current, so that Enter takes it and the arrow keys move from it.
    if (ListBox1->count() > 0) ListBox1->setCurrentRow(0);
    ListBox1->show();
    ListBox1->raise();
    ListBox1->setFocus();
}

void TBootloaderForm::ListBox1DblClick() {
    const int row = ListBox1->currentRow();
    if (row < 0 || row >= ListBox1->count()) {
        ListBox1->hide();
        return;
    }
    const std::string path = ListBox1->item(row)->text().toStdString();
    if (FileExists(path)) {
        std::vector<std::string> entries = ListEntries(ListBox1);
        std::swap(entries[0], entries[size_t(row)]);
        TrimHistory(entries);
        FillList(ListBox1, entries);
        const std::string file = HistoryFilePath(McuFamily);
        if (!file.empty()) SaveHistory(file, entries);
        if (std::string* field = PathForFamily(McuFamily)) {
            *field = CutText(path, 255);
            SetSLText(*field);
        }
        OD->setDirectory(ToQt(FolderOf(path)));
    } else {
        ShowMessageBox(ToQt("File " + path + " does not exist"));
    }
    ListBox1->hide();
}

void TBootloaderForm::ListBox1KeyDown() {
    ListBox1->hide();
}

// ---------------------------------------------------------------------------------------------------
// IDs, options, flash and reset

void TBootloaderForm::EditId(QLabel* label, uint16_t& field) {
    if (FlashPhase == 100) return;
    const std::string text = EditHexValue(label, true, 0, 0xFFFF);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    // The keypad returns hex digits in range; anything else leaves the stored value alone.
    if (ec == std::errc() && end == text.data() + text.size() && !text.empty() && value <= 0xFFFF)
        field = uint16_t(value);
    ShowId(label, field);
    FormActivate();
}

void TBootloaderForm::VIDlabelMouseDown() {
    EditId(VIDlabel, LoaderSetup.vid);
}

void TBootloaderForm::PIDlabelMouseDown() {
    EditId(PIDlabel, LoaderSetup.pid);
}

void TBootloaderForm::SetOptionsEnabled(bool enabled) {
    // Auto and the disable option exclude each other: the one not ticked is off while the other is.
    CheckBox2->setEnabled(enabled && !AutoBox->isChecked());
    AutoBox->setEnabled(enabled && !CheckBox2->isChecked());
    VIDlabel->setEnabled(enabled);
    PIDlabel->setEnabled(enabled);
    GetFileBut->setEnabled(enabled);
    HistoryBut->setEnabled(enabled);
}

void TBootloaderForm::CheckBox2Click() {
    LoaderSetup.disableFlag = CheckBox2->isChecked() ? 1 : 0;
    if (CheckBox2->isChecked()) AutoBox->setChecked(false);
    if (!m_inFlashClick) SetOptionsEnabled(true);
    ShowDisableMark();
    InstallPass();
}

void TBootloaderForm::AutoBoxClick() {
    if (AutoBox->isChecked()) CheckBox2->setChecked(false);
    if (!m_inFlashClick) SetOptionsEnabled(true);
    // Ticked while a board waits: it is flashed at once.
    if (AutoBox->isChecked() && BootloaderActive) QTimer::singleShot(0, this, [this] { AutoFlash(); });
}

void TBootloaderForm::ShowDisableMark() {
    // Beside FLASH's caption while the run would lock the bootloader away.
    if (!CheckBox2->isChecked()) {
        FlashBut->SetGlyph(QPixmap());
        FlashBut->setAccessibleDescription("");
        return;
    }
    QFont mark = font();
    mark.setBold(true);
    const QString text = "+ DISABLE";
    const QFontMetrics fm(mark);
    QPixmap pixmap(fm.horizontalAdvance(text) + 2, fm.height());
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setFont(mark);
        painter.setPen(QColor(255, 60, 60));
        painter.drawText(pixmap.rect(), Qt::AlignCenter, text);
    }
    FlashBut->SetLayout(TBitBtnWC::TLayout::GlyphBottom);
    FlashBut->SetGlyph(pixmap, 1);
    FlashBut->setAccessibleDescription("Flash, then disable the boot loader");
}

bool TBootloaderForm::ConfirmDisable() {
    const QString question =
        "After flashing, the boot loader will be disabled: the board can then no longer be "
        "flashed over USB. Flash and disable the boot loader?";
    return QtAskYesNo(this, question);
}

void TBootloaderForm::FlashButClick() {
    if (m_inFlashClick) return;
    if (!BootloaderActive) {
        ShowMessageBox("Bootloader is not active.");
        return;
    }
    m_inFlashClick = true;
    m_autoArmed = false;
    // What the run does at its end is decided now; nothing typed or clicked during the run changes it.
    m_flashDisable = CheckBox2->isChecked();
    // The focus leaves FLASH before it is disabled: Qt would hand it on to the next control, the
    // option, and a second Space meant for FLASH would tick it.
    InputWindow->setFocus(Qt::OtherFocusReason);
    // A second click or Reset taken in the message pass below would act on a session being flashed.
    FlashBut->setEnabled(false);
    ResetButton->setEnabled(false);
    SetOptionsEnabled(false);
    m_waitAgain->stop();
    // Disabling locks the user out of the bootloader: asked on every run, No the default.
    if (m_flashDisable && !ConfirmDisable()) {
        LogMessage(" Not flashed: disabling the boot loader was not confirmed.");
        SetOptionsEnabled(true);
        m_inFlashClick = false;
        UpdateTimerEvent();
        if (m_closeAfterRun) close();
        return;
    }
    // The last outcome is shown until now.
    m_flashFailed = false;
    m_lastFlashResult = TFlashResult::None;
    SetResultLine("");
    QtProcessMessages();
    bool ran = false;
    if (const std::string* path = PathForFamily(McuFamily)) {
        const std::string file = *path;
        m_lastRunFile = file;
        m_lastFlashResult = FlashTarget(file, m_flashDisable);
        CloseFlashSession();
        ran = true;
    }
    SetOptionsEnabled(true);
    // A run that sent its data and did not end well; a file refused before anything was sent is no
    // failed flash (its lines say so).
    if (ran) {
        m_flashFailed = m_lastFlashResult == TFlashResult::CommFailed ||
                        m_lastFlashResult == TFlashResult::FinalCommandFailed ||
                        m_lastFlashResult == TFlashResult::TargetDiffers;
        const QString name = BaseName(m_lastRunFile);
        if (m_lastFlashResult == TFlashResult::Flashed) {
            SetResultLine("Flashed: " + name);
            ProgressBar->setValue(ProgressBar->maximum());
            AddToHistory(m_lastRunFile);
        } else if (m_flashFailed) {
            SetResultLine("Flashing failed: " + name);
        } else {
            SetResultLine("File refused: " + name);
        }
    }
    m_inFlashClick = false;
    if (ran) emit FlashFinished();
    if (m_closeAfterRun) {
        close();
        return;
    }
    // Whatever the outcome, the window waits for the board again.
    InstallPass();
    m_waitAgain->start();
}

void TBootloaderForm::ResetButtonClick() {
    SetDeviceChangeHandler(nullptr);
    ResetSession();
    ShowResetPrompt();
    ShowWaitingFor();
    SetSLText("");
    ListBox1->hide();
    InstallPass();
    // Told first: the demo takes its board away here, as a real reset does.
    emit SessionReset();
    StartWaiting();
}
