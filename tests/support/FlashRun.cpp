#include "support/FlashRun.h"

#include <algorithm>

#include "boot/BL_Vars.h"
#include "boot/Clock.h"
#include "boot/HostHooks.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "session/ProgramState.h"
#include "sim/TFlashCheck.h"
#include "sim/TSimBackend.h"
#include "usb/HIDinterface.h"

bool TFlashRun::Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
}

TFlashRun RunOnVirtualTarget(const TSimProfile& profile, const std::string& hexPath,
                             const TFlashRunOptions& options) {
    TFlashRun run;
    TVirtualClock clock;
    ResetProgramState();
    SetClock(&clock);
    THostHooks hooks;
    hooks.appendLogLine = [&run](const std::string& line) {
        std::string l = line;
        while (!l.empty() && l.back() == ' ') l.pop_back();
        run.log.push_back(l);
    };
    hooks.processMessages = [] { DispatchDeviceChanges(); };
    SetHostHooks(hooks);
    TSimBackend backend;
    SetHidBackend(&backend);
    TVirtualTargetCheck check(backend);
    TVirtualTarget& t = backend.AddTarget(profile);
    run.flashBefore = t.Flash();
    run.bootBefore = t.BootFlash();
    InstallOnDeviceChange();
    OnDeviceChange();
    run.connected = LastPassResult == TPassResult::Connected;
    if (run.connected) {
        const int base = t.ReportsReceived();
        if (options.arm) options.arm(t, base);
        if (options.check) SetFlashCheck(&check);
        *PathForFamily(McuFamily) = hexPath;
        run.result = FlashTarget(hexPath, options.disableBootloader);
        CloseFlashSession();
        SetFlashCheck(nullptr);
        run.reports = t.ReportsReceived() - base;
    }
    run.flash = t.Flash();
    run.boot = t.BootFlash();
    run.violations = t.Violations();
    run.commands = t.Commands();
    SetHostHooks(THostHooks{});
    SetHidBackend(nullptr);
    SetClock(nullptr);
    ResetProgramState();
    return run;
}

std::vector<uint8_t> EncodedBootJump(uint8_t family, uint32_t bootStart) {
    switch (family) {
    case FamPic16: {
        const uint32_t word = bootStart < 0x800 ? 0b10'1000'0000'0000u | bootStart
                                                : ((bootStart >> 8) | 0x2C) << 8 | (bootStart & 0xFF);
        return {uint8_t(word), uint8_t(word >> 8)};
    }
    case FamPic18:
    case FamPic18FJ: {
        const uint32_t k = bootStart / 2;
        const uint32_t first = 0xEF00 | (k & 0xFF);
        const uint32_t second = 0xF000 | ((k >> 8) & 0xFFF);
        return {uint8_t(first), uint8_t(first >> 8), uint8_t(second), uint8_t(second >> 8)};
    }
    case FamPic24:
    case FamDsPic: {
        const uint32_t first = 0x040000 | (bootStart & 0xFFFE);
        const uint32_t second = (bootStart >> 16) & 0x7F;
        return {uint8_t(first), uint8_t(first >> 8), uint8_t(first >> 16),
                uint8_t(second), uint8_t(second >> 8), uint8_t(second >> 16)};
    }
    default: return {};
    }
}
