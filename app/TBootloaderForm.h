#pragma once
// The main window: the log, the connection indicator, the image file selection, the bootloader IDs
// and options, and the FLASH and Reset buttons. Everything runs on the GUI thread; the flash
// procedure runs inside FlashButClick and lets window messages through once per block.

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
    static constexpr int DesignWidth = 461;
    static constexpr int DesignHeight = 506;

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
    void AddToHistory(const std::string& path);
    void HistoryButClick();
    void ListBox1DblClick();
    void ListBox1KeyDown();

    // IDs, options, flash and reset.
    void VIDlabelMouseDown();
    void PIDlabelMouseDown();
    void CheckBox2Click();
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
    bool FirstActivationDone() const { return !m_firstActivation; }

    static QString HexWord(unsigned value); // 4 upper-case hex digits

signals:
    // Reset has run: the session is over and the monitor waits for the target again.
    void SessionReset();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void InstallHooks();
    // The text of SL as an 8-bit path.
    std::string SLText() const;
    void SetSLText(const std::string& text);
    void ShowPathForFamily();
    void EditId(QLabel* label, uint16_t& field);
    void RescaleIfResized();
    void ApplyIndicator(const QColor& color, const QString& caption);

    std::unique_ptr<TMyResize> m_resize;
    TMessageBoxProc m_messageBoxProc;
    QString m_odFileName;
    QSize m_scaledSize; // the size the controls were last laid out for
    bool m_firstActivation = true;
    bool m_shown = false;
    bool m_inFlashClick = false;
    TFlashResult m_lastFlashResult = TFlashResult::None;
    bool m_created = false;
    int m_activationCount = 0;
};
