#pragma once
// The program-wide steps around the main window, shared by the real program and the demo: before
// the window exists, the device-change listener, ExeDir as the working directory, the connection
// monitor's start-up step and the settings file's name; after it is gone, the monitor's shut-down
// step and the release of the listener. The HID back end must be installed before construction.

#include <memory>
#include <string>

#include "session/LoaderSetup.h"

class TUSBhandler;

class TQtProgram {
public:
    // names: the data folder of the program being started (the demo has one of its own).
    explicit TQtProgram(const std::string& programPath, const TDataFolderNames& names = ProgramDataFolder);
    ~TQtProgram();
    TQtProgram(const TQtProgram&) = delete;
    TQtProgram& operator=(const TQtProgram&) = delete;

    // False when the working directory could not be changed to ExeDir (files still go to ExeDir).
    bool ExeDirCurrent() const { return m_exeDirCurrent; }

private:
    std::unique_ptr<TUSBhandler> m_listener;
    bool m_exeDirCurrent = false;
};
