#pragma once
// The program-wide steps around the main window, shared by the real program and the demo: before
// the window exists, the device-change listener, ExeDir as the working directory, the connection
// monitor's start-up step and the settings file's name; after it is gone, the monitor's shut-down
// step and the release of the listener. The HID back end must be installed before construction.

#include <memory>
#include <string>

class TUSBhandler;

class TQtProgram {
public:
    explicit TQtProgram(const std::string& programPath);
    ~TQtProgram();
    TQtProgram(const TQtProgram&) = delete;
    TQtProgram& operator=(const TQtProgram&) = delete;

    // False when the working directory could not be changed to ExeDir (files still go to ExeDir).
    bool ExeDirCurrent() const { return m_exeDirCurrent; }

private:
    std::unique_ptr<TUSBhandler> m_listener;
    bool m_exeDirCurrent = false;
};
