#include <gtest/gtest.h>

#include <iostream>
#include <map>

#include "boot/BL_Flash.h"
#include "session/ProgramState.h"
#include "support/HexWriter.h"
#include "support/SimSession.h"

namespace {

// Every report of a whole run, each fault in turn: the run must end, close the session, never
// touch the bootloader and never call a failed run complete.
class FaultMatrixTest : public TProgramTest {
protected:
    enum class TFault { None, NoAnswer, WrongEcho, StopWrites, Unplug };

    struct TRun {
        bool complete = false;
        bool closed = false;
        uint64_t clockUs = 0;
        int reports = 0;  // reports of the flash run itself
        std::vector<uint8_t> flash;
        std::vector<uint8_t> boot;
        std::vector<std::string> violations;
        bool bootAreaIntact = true;
    };

    TRun Run(const TSimProfile& profile, const std::string& hexPath, TFault fault, int k) {
        ResetProgramState();
        SetClock(&clock);
        clock.Set(0);
        SetHostHooks(rec.Hooks());
        rec = TRecorder{};
        SetHostHooks(rec.Hooks());
        TSimBackend backend;
        SetHidBackend(&backend);
        TVirtualTarget& t = backend.AddTarget(profile);
        const auto flashBefore = t.Flash();
        InstallOnDeviceChange();
        OnDeviceChange();
        EXPECT_EQ(LastPassResult, TPassResult::Connected);
        const int base = t.ReportsReceived();
        switch (fault) {
        case TFault::None: break;
        case TFault::NoAnswer: t.Faults().dropAnswerAt = base + k; break;
        case TFault::WrongEcho: t.Faults().wrongEchoAt = base + k; break;
        case TFault::StopWrites: t.Faults().stopWritesAt = base + k; break;
        case TFault::Unplug: t.Faults().unplugAt = base + k; break;
        }
        const uint64_t start = clock.NowUs();
        *PathForFamily(McuFamily) = hexPath;
        FlashTarget(hexPath, LoaderSetup.disableFlag != 0);
        CloseFlashSession();
        TRun r;
        r.clockUs = clock.NowUs() - start;
        r.reports = t.ReportsReceived() - base;
        r.complete = rec.Contains("Flashing complete.");
        r.closed = FlashPhase == 0 && !BootloaderActive && !rec.lines.empty() &&
                   TrimRight(rec.lines.back()) == "Completed.";
        r.flash = t.Flash();
        r.boot = t.BootFlash();
        r.violations = t.Violations();
        for (size_t o = t.BootStartImageOffset(); o < r.flash.size(); ++o)
            if (r.flash[o] != flashBefore[o]) r.bootAreaIntact = false;
        SetHidBackend(nullptr);
        return r;
    }

    void Matrix(const char* name, const TSimProfile& profile, const std::vector<THexChunk>& chunks) {
        const std::string hex = WriteTempFile("matrix.hex", MakeHex(chunks));
        const TRun good = Run(profile, hex, TFault::None, 0);
        ASSERT_TRUE(good.complete);
        ASSERT_TRUE(good.violations.empty());
        std::map<std::string, int> outcomes;
        int cases = 0;
        const std::pair<TFault, const char*> faults[] = {{TFault::NoAnswer, "no answer"},
                                                         {TFault::WrongEcho, "wrong echo"},
                                                         {TFault::StopWrites, "writes not taken"},
                                                         {TFault::Unplug, "unplug"}};
        for (const auto& [fault, fname] : faults) {
            for (int k = 1; k <= good.reports; ++k) {
                ++cases;
                const TRun r = Run(profile, hex, fault, k);
                SCOPED_TRACE(std::string(name) + " " + fname + " at report " + std::to_string(k));
                EXPECT_LT(r.clockUs, 20'000'000u);  // one write wait and one full poll at most
                EXPECT_TRUE(r.closed);
                EXPECT_TRUE(r.violations.empty()) << r.violations.front();
                EXPECT_TRUE(r.bootAreaIntact);
                const bool same = r.flash == good.flash && r.boot == good.boot;
                if (r.complete) {
                    EXPECT_TRUE(same) << "a failed run was reported as complete";
                }
                ++outcomes[std::string(fname) + (r.complete ? ": complete" : ": failed")];
                if (HasFailure()) return;
            }
        }
        std::cout << "[ matrix ] " << name << ": " << good.reports << " reports x 4 faults = " << cases
                  << " cases\n";
        for (const auto& [what, n] : outcomes) std::cout << "[ matrix ]   " << what << ": " << n << "\n";
    }
};

TEST_F(FaultMatrixTest, Pic18) {
    TSimProfile p = DefaultSimProfile(FamPic18);
    p.bootStart = 0x800;
    p.flashSize = 0x1000;
    std::vector<uint8_t> code(300);
    for (size_t i = 0; i < code.size(); ++i) code[i] = uint8_t(i * 3 + 7);
    Matrix("PIC18", p, {{0, code}});
}

TEST_F(FaultMatrixTest, Pic32) {
    TSimProfile p = DefaultSimProfile(FamPic32);
    p.bootStart = 0x9D004000;
    p.flashSize = 0x8000;
    p.eraseBlock = 1024;
    p.writeBlock = 256;
    std::vector<uint8_t> code(700), boot(0x900);
    for (size_t i = 0; i < code.size(); ++i) code[i] = uint8_t(i * 5 + 1);
    for (size_t i = 0; i < boot.size(); ++i) boot[i] = uint8_t(i * 11 + 2);
    Matrix("PIC32", p, {{0x1D000000, code}, {0x1FC00000, boot}});
}

}  // namespace
