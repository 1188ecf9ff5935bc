#include "app/LoaderSetup.h"
#include "app/Log.h"
#include "app/Monitor.h"
#include "boot/BL_FreeFlash.h"
#include "boot/BL_Vars.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

void ResetProgramState() {
    ResetHidState();
    ResetDeviceChangeState();
    ResetBootState();
    ResetFreeFlashState();
    ResetLogState();
    ResetMonitorState();
    ResetLoaderSetupState();
}
