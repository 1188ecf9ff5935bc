#pragma once
// The main window: the log, the connection indicator, the image file selection, the bootloader IDs
// and options, and the FLASH and Reset buttons. Everything runs on the GUI thread; the flash
// procedure runs inside FlashButClick and lets window messages through once per block.

#include <QList>
#include <QPoint>
#include <QRect>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "boot/BL_Flash.h"

class QCheckBox;
class QFileDialog;
class QFrame;
class QGroupBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class TBitBtnWC;
class TMyResize;
class TScrollLabel;

class TBootloaderForm : public QWidget {
    Q_OBJECT

public:
    // The window's client area at the design size: the controls' bounds with a margin of 6 at the
    // right and the bottom. (The window's design size of 461 x 506 counted a frame and a title
    // bar; taken as the client size it left empty bands at the right and the bottom, which the
    // scaler then stretched along.)
    static constexpr int DesignWidth = 447;
    static constexpr int DesignHeight = 471;
    static constexpr const char* FailedCaption = " Flashing failed ";
    static constexpr const char* FlashedCaption = " Flashed ";
    static constexpr const char* RefusedCaption = " File refused ";
    static constexpr const char* CheckingCaption = " Checking file ";
    // The pass that looks for the board again after a run waits this long, so that a board that
    // leaves its bootloader at the end of the session is gone before it is looked for.
    static constexpr int WaitAgainDelayMs = 300;

    // Builds the design layout, installs the host hooks and runs FormCreate.
    explicit TBootloaderForm(QWidget* parent = nullptr);
    // Runs FormDestroy and takes the host hooks away again.
    ~TBootloaderForm() override;

    // Controls, named as in the design layout.
    QGroupBox* GroupBox1 = nullptr;
    QLabel* StaticText1 = nullptr;
    QLabel* StaticText2 = nullptr;
    QLabel* VIDlabel = nullptr;
    QLabel* PIDlabel = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    // "Auto": FLASH runs by itself when a board connects; never together with CheckBox2.
    QCheckBox* AutoBox = nullptr;
    TBitBtnWC* FlashBut = nullptr;
    QPushButton* ResetButton = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* ConnectIndicator = nullptr;
    QFrame* Panel1 = nullptr;
    TScrollLabel* SL = nullptr;
    QPushButton* GetFileBut = nullptr;
    QPushButton* HistoryBut = nullptr;
    QPlainTextEdit* InputWindow = nullptr;
    QListWidget* ListBox1 = nullptr;
    QFrame* Panel2 = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QTimer* UpdateTimer = nullptr;
    QFileDialog* OD = nullptr;

    // How the last FLASH ended in this window (None before the first).
    TFlashResult LastFlashResult() const { return m_lastFlashResult; }

    // Lifecycle.
    void FormCreate();
    // Run at the first showing and after each of our own modal windows has closed; never after the
    // file dialog, which the connection pass opens in the middle of a session.
    void FormActivate();
    void FormClose();
    void FormDestroy();
    void FormResize();

    // Connection monitor.
    void UpdateTimerEvent();
    // The window's part of a successful connection pass: file buttons, the family's image.
    void SessionConnected();

    // Image file selection and history.
    void GetFileButClick();
    // Takes a file chosen by the dialog, the history or a drop: an unusable one (missing, not a
    // regular file, unreadable) is refused with a log line that says why.
    bool ChooseImageFile(const std::string& path);
    void AddToHistory(const std::string& path);
    void HistoryButClick();
    void ListBox1DblClick();
    void ListBox1KeyDown();

    // IDs, options, flash and reset.
    void VIDlabelMouseDown();
    void PIDlabelMouseDown();
    void CheckBox2Click();
    void AutoBoxClick();
    void FlashButClick();
    void ResetButtonClick();

    // Our modal message box with an OK button; activation follows when activate is set.
    void ShowMessageBox(const QString& text, bool activate = true);
    // Tests replace the message box, which would block them.
    using TMessageBoxProc = std::function<void(const QString& text)>;
    void SetMessageBoxProc(TMessageBoxProc proc) { m_messageBoxProc = std::move(proc); }

    // The file dialog's current file name: the last file chosen, or the name preset for next time.
    QString FileDialogFileName() const { return m_odFileName; }
    int ActivationCount() const { return m_activationCount; }
    // A run ended with "Flashing failed: ...": the indicator says so until the next FLASH.
    bool FlashFailedShown() const { return m_flashFailed; }
    // The outcome of the last run with its file name, shown on the progress bar until the next FLASH.
    QString ResultLine() const;
    // A close asked for during a run: the window closes when the run ends.
    bool CloseAfterRun() const { return m_closeAfterRun; }
    // The disable flag the last FLASH took, read once when it was pressed.
    bool FlashDisableFlag() const { return m_flashDisable; }

    // Where a window with the frame bounds given is placed so that it lies on one of the available
    // screen areas: on the one it overlaps most (or the first), moved in as far as needed; a
    // window larger than the area keeps its left and top edges (title bar, Reset) on it.
    static QPoint KeepOnScreen(const QRect& frame, const QList<QRect>& available);
    bool FirstActivationDone() const { return !m_firstActivation; }

    static QString HexWord(unsigned value); // 4 upper-case hex digits

signals:
    // Reset has run: the session is over and the monitor waits for the target again.
    void SessionReset();
    // FLASH has run the flash procedure to its end; the session with the target is over.
    void FlashFinished();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    // Narrows the stand-in face until the captions fit their design boxes.
    void FitCaptions();
    void InstallHooks();
    // The text of SL as an 8-bit path.
    std::string SLText() const;
    void SetSLText(const std::string& text);
    void ShowPathForFamily();
    void EditId(QLabel* label, uint16_t& field);
    void RescaleIfResized();
    void ApplyIndicator(const QColor& color, const QString& caption);
    // Moves the window to the point given, or as near to it as keeps the window on a screen.
    void MoveOnScreen(int left, int top);
    // A window taller than its screen's available area is made to fit (the log gives way).
    void FitScreenHeight();
    // The options (IDs, check box) take no input while a run uses them.
    void SetOptionsEnabled(bool enabled);
    void CloseLeftoverPopups();
    // The window waits for a board: the connection pass is installed, and runs once at once, so a
    // board already in its bootloader connects without a device change.
    void StartWaiting();
    // The connection pass in the device-change slot, followed by the window's advice on its failures.
    void InstallPass();
    void AdviseAfterPass();
    // The IDs the window waits for, below the prompt.
    void ShowWaitingFor();
    void RunWaitingPass();
    // FLASH run by itself in Auto mode, outside the timer's slot.
    void AutoFlash();
    void SetResultLine(const QString& text);
    void ShowId(QLabel* label, uint16_t value);
    void ShowDisableMark();
    bool ConfirmDisable();

    std::unique_ptr<TMyResize> m_resize;
    TMessageBoxProc m_messageBoxProc;
    QString m_odFileName;
    QSize m_scaledSize; // the size the controls were last laid out for
    bool m_firstActivation = true;
    std::string m_settingsNotice; // shown in the log once it is first cleared
    bool m_shown = false;
    bool m_inFlashClick = false;
    TFlashResult m_lastFlashResult = TFlashResult::None;
    bool m_created = false;
    bool m_flashFailed = false;
    bool m_flashDisable = false;
    int m_activationCount = 0;
    bool m_checkingFile = false; // the checksum question is open
    bool m_closeAfterRun = false;
    bool m_inTimerTick = false;
    bool m_autoArmed = true;   // the next connection may be flashed by Auto
    std::string m_pendingFile; // chosen before the board's family was known
    std::string m_lastRunFile;
    QTimer* m_waitAgain = nullptr;
};
