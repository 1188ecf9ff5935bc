#pragma once
// One main window on virtual targets and the virtual clock, in a scratch ExeDir of its own, built
// the way the program builds it at start-up and taken apart the way it ends.

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/TBootloaderForm.h"
#include "boot/Clock.h"
#include "sim/TSimBackend.h"

class QFileDialog;
class TUSBhandler;

class TGuiRig {
public:
    TGuiRig();
    ~TGuiRig();

    // Virtual targets and plain devices must be added before Start(); targets start unplugged.
    TVirtualTarget& AddTarget(uint8_t family = 2);
    void AddPlainDevice(uint16_t vid, uint16_t pid);
    // Program start-up up to the shown window (first activation), or up to the created window.
    void Start(bool show = true);
    // FormClose, FormDestroy, the monitor's shut-down step, and the program-wide state put back.
    void Stop();

    TBootloaderForm& Form() { return *m_form; }
    TSimBackend& Backend() { return m_backend; }
    TVirtualClock& VirtualClock() { return m_clock; }
    const std::string& Dir() const { return m_exeDir; } // with a trailing "/"
    std::string PathIn(const std::string& name) const { return m_exeDir + name; }
    bool WriteFile(const std::string& name, const std::string& bytes) const;
    std::string ReadFile(const std::string& name) const;
    // A copy of the test HEX file in ExeDir under the given name.
    std::string CopyTestHex(const std::string& name);

    // Plugs the target in and lets the notification reach the window through the event loop.
    void Plug(TVirtualTarget& target);
    // Lets queued notifications and timer events be handled for a moment.
    void Settle(int ms = 20);

    // The log as shown, status lines without their padding.
    QStringList LogLines() const;
    bool LogContains(const QString& line) const { return LogLines().contains(line); }

    // Runs action on the file dialog as soon as the window shows it (once).
    void OnFileDialog(std::function<void(QFileDialog&)> action);
    int FileDialogsSeen() const { return m_dialogsSeen; }
    int UnwantedDialogs() const { return m_unwantedDialogs; }
    // Picks a file in the open dialog as a user would, and confirms it.
    static void ChooseFile(QFileDialog& dialog, const std::string& path);

    // Answers every Yes/No box the window asks with the button given (NoButton: none is answered,
    // and a box left open fails the test after two seconds); the questions are noted.
    void AnswerQuestions(QMessageBox::StandardButton button) { m_answer = button; }
    std::vector<QString> questions;

    std::vector<QString> messages; // message boxes the window showed

private:
    void WatchForDialog();

    QTemporaryDir m_dir;
    std::string m_exeDir;
    TVirtualClock m_clock;
    TSimBackend m_backend;
    std::unique_ptr<TUSBhandler> m_listener;
    std::unique_ptr<TBootloaderForm> m_form;
    std::function<void(QFileDialog&)> m_dialogAction;
    QTimer m_dialogWatch;
    int m_dialogsSeen = 0;
    int m_unwantedTicks = 0;
    int m_unwantedDialogs = 0;
    QMessageBox::StandardButton m_answer = QMessageBox::NoButton;
    int m_unansweredTicks = 0;
    bool m_started = false;
};

// Path of a file in tests/gui/data.
std::string GuiTestData(const std::string& name);
