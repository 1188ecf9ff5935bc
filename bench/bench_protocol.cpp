// Protocol overhead: the whole connection pass and FlashTarget against a virtual target that answers
// at once, first on the virtual clock (the protocol's own pauses: the floor), then on the real clock.
// The ratio of the real run's wall time to the floor is what the host adds on top of the pauses.
//
//   bench_protocol FAMILY FILE REAL_RUNS
//
// FAMILY is a name as for --simulate (pic18, pic32...). The host hooks are the command-line
// flasher's (log and throttled progress bar into /dev/null).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Vars.h"
#include "boot/Clock.h"
#include "boot/HostHooks.h"
#include "cli/TCliOutput.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "session/ProgramState.h"
#include "sim/TSimBackend.h"
#include "sim/TSimProfile.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

namespace {

struct TRun {
    bool ok = false;
    double wallS = 0;   // real time the run took
    double clockS = 0;  // time on the installed clock
    int reports = 0;    // reports the target received
    int64_t imageBytes = 0;
};

TRun RunOnce(const TSimProfile& profile, const std::string& file, bool realClock) {
    ResetProgramState();
    TVirtualClock virtualClock;
    SetClock(realClock ? nullptr : &virtualClock);
    TSimBackend backend;
    TVirtualTarget& target = backend.AddTarget(profile);
    SetHidBackend(&backend);
    std::FILE* sink = std::fopen("/dev/null", "w");
    TCliOutput::TConfig config;
    config.out = sink;
    config.err = sink;
    config.progressBar = true;
    TCliOutput out(config);
    SetHostHooks(out.Hooks());
    LoaderSetup.vid = DefaultVid;
    LoaderSetup.pid = DefaultPid;
    LoaderSetup.disableFlag = 0;

    TRun run;
    TFlashResult flashResult = TFlashResult::None;
    {
        TUSBhandler handler;
        MonitorStartup();
        InstallOnDeviceChange();
        const uint64_t c0 = NowUs();
        const double w0 = WallSeconds();
        OnDeviceChange();
        if (LastPassResult == TPassResult::Connected) {
            if (std::string* path = PathForFamily(McuFamily)) *path = file;
            flashResult = FlashTarget(file, LoaderSetup.disableFlag != 0);
            CloseFlashSession();
        }
        run.wallS = WallSeconds() - w0;
        run.clockS = double(NowUs() - c0) / 1e6;
        run.ok = LastPassResult == TPassResult::Connected && flashResult == TFlashResult::Flashed &&
                 target.Violations().empty() && target.SessionEnded();
        run.reports = target.ReportsReceived();
        run.imageBytes = EoFlash + 1;
        MonitorShutdown();
    }
    SetHostHooks(THostHooks{});
    SetHidBackend(nullptr);
    SetClock(nullptr);
    std::fclose(sink);
    ResetProgramState();
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_protocol FAMILY FILE REAL_RUNS\n");
        return 1;
    }
    const std::string family = argv[1];
    const std::string file = argv[2];
    const int realRuns = std::max(1, std::atoi(argv[3]));
    TSimProfile profile;
    if (!SimProfileByName(family, profile)) {
        std::fprintf(stderr, "bench_protocol: unknown family %s\n", family.c_str());
        return 1;
    }
    profile.latencyUs = 0;

    // How much longer than asked one pause of the real clock takes on this machine right now: the
    // part of the overhead that comes from sleeping rather than from the host's own work.
    {
        TRealClock clock;
        constexpr int n = 250;
        double total = 0;
        for (int i = 0; i < n; ++i) {
            const double t0 = WallSeconds();
            clock.Pause(12);
            total += WallSeconds() - t0 - 0.012;
        }
        std::fprintf(stderr, "real clock Pause(12): %.1f us longer than asked on average (%d pauses)\n",
                     total / n * 1e6, n);
        PrintResult("   (" + family + " run) real-clock Pause(12 ms) overshoot, mean of " + std::to_string(n),
                    Fixed(total / n * 1e6, 0) + " us", "(report)", "-");
    }
    const TRun floor = RunOnce(profile, file, false);
    std::fprintf(stderr, "%s virtual clock: %s, %d reports, image %lld bytes, floor %.3f s (took %.3f s of CPU/wall)\n",
                 family.c_str(), floor.ok ? "flashed" : "FAILED", floor.reports, (long long)floor.imageBytes,
                 floor.clockS, floor.wallS);
    std::vector<double> walls;
    bool ok = floor.ok;
    for (int i = 0; i < realRuns; ++i) {
        const TRun real = RunOnce(profile, file, true);
        std::fprintf(stderr, "%s real clock run %d: %s, %d reports, wall %.3f s, ratio %.4f, %.0f us per report over the floor\n",
                     family.c_str(), i + 1, real.ok ? "flashed" : "FAILED", real.reports, real.wallS,
                     real.wallS / floor.clockS, (real.wallS - floor.clockS) * 1e6 / std::max(1, real.reports));
        ok = ok && real.ok && real.reports == floor.reports;
        walls.push_back(real.wallS);
    }
    const double wall = Median(walls);
    const double ratio = wall / floor.clockS;
    std::string name = "3. Protocol overhead " + family + ", " + Fixed(double(floor.imageBytes) / 1024.0, 1) +
                       " KiB image (" + std::to_string(realRuns) + (realRuns == 1 ? " real run" : " real runs") + ")";
    std::string figure = Fixed(wall, 2) + " s / " + Fixed(floor.clockS, 2) + " s = " + Fixed(ratio, 4);
    if (!ok) figure += " (a run failed)";
    PrintResult(name, figure, "<= 1.02", ok && ratio <= 1.02 ? "yes" : "no");
    return 0;
}
