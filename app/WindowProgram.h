#pragma once
// The window program as quarnel-flash runs it: the hidapi back end, the udev listener, the program
// steps and the main window, until the window closes. Shared by main and the kernel VM's driver, so
// that the driver runs exactly what users run.

#include <functional>

class QApplication;
class TBootloaderForm;

// shown, when given, is called once the window is shown and before the event loop starts; what it
// connects lives until the window is gone. Returns the event loop's exit code.
int RunWindowProgram(QApplication& app, const std::function<void(TBootloaderForm&)>& shown = {});
