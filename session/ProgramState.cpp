#include "session/ProgramState.h"

#include "boot/BL_Flash.h"
#include "boot/BL_FreeFlash.h"
#include "boot/BL_Vars.h"
#include "boot/Log.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

void ResetProgramState() {
    ResetHidState();
    ResetDeviceChangeState();
    ResetBootState();
    SetFlashCheck(nullptr);
    ResetFreeFlashState();
    ResetLogState();
    ResetMonitorState();
    ResetLoaderSetupState();
}
