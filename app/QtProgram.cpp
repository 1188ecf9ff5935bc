#include "app/QtProgram.h"

#include <unistd.h>

#include "app/QtHostHooks.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "session/TSimpleIniFile.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

TQtProgram::TQtProgram(const std::string& programPath, const TDataFolderNames& names)
    : m_listener(std::make_unique<TUSBhandler>()) {
    CurrentDevice.Clear();
    ExeDir = ComputeExeDir(programPath, names);
    m_exeDirCurrent = ::chdir(ExeDir.c_str()) == 0;
    MonitorStartup();
    TSimpleIniFile::SetDefaultFileName(TSimpleIniFile::DefaultFileNameFor(ExeDir, programPath));
}

TQtProgram::~TQtProgram() {
    MonitorShutdown();
    RemoveQtDeviceChangeWakeup();
    m_listener.reset();
}
