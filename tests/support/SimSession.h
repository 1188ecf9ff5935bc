#pragma once
// A fixture with a virtual target on the virtual clock, connected through the real connection pass.

#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "sim/TSimBackend.h"
#include "support/TestSupport.h"

class TSimSessionTest : public TProgramTest {
protected:
    void SetUp() override {
        TProgramTest::SetUp();
        SetHidBackend(&backend);
    }
    TVirtualTarget& Add(const TSimProfile& p) { return backend.AddTarget(p); }
    // Runs the connection pass as a device-change notification would.
    bool Connect() {
        InstallOnDeviceChange();
        OnDeviceChange();
        return LastPassResult == TPassResult::Connected;
    }
    TSimBackend backend;
};
