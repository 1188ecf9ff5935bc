#include "cli/FlashSession.h"
#include "session/ProgramState.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "boot/BL_Flash.h"
#include "boot/BL_HexParser.h"
#include "boot/BL_Vars.h"
#include "boot/Clock.h"
#include "boot/HostHooks.h"
#include "cli/CliPlatform.h"
#include "cli/ProductionChecks.h"
#include "cli/RecordFile.h"
#include "cli/TSha256.h"
#include "cli/TCliOutput.h"
#include "cli/TDeviceWaiter.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "sim/TFlashCheck.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

bool TBackendChain::Build(const TCliOptions& o, uint64_t startUs, bool withExtras, std::string& error) {
    if (o.simulate.empty()) {
        m_real = std::make_unique<THidApiBackend>();
        std::string reason;
        if (!m_real->Start(reason)) {
            m_hidStartFailed = true;
            error = "the HID layer could not start: " + reason;
            return false;
        }
        m_top = m_real.get();
    } else {
        m_sim = std::make_unique<TSimSetup>();
        if (!m_sim->Build(o, startUs, error)) return false;
        m_top = &m_sim->Backend();
    }
    if (!withExtras) return true;
    if (!o.path.empty() || !o.serial.empty()) {
        m_select = std::make_unique<TSelectBackend>(*m_top, o.vid, o.pid, o.path, o.serial);
        m_top = m_select.get();
    }
    if (!o.trace.empty()) {
        m_traceFile = std::make_unique<TTraceFile>();
        if (!m_traceFile->Open(o.trace, o.command == TCommand::Flash ? o.file : std::string(), error))
            return false;
        // Outermost, so it records exactly what the transport sends and receives.
        m_trace = std::make_unique<TTraceBackend>(*m_top, *m_traceFile, startUs);
        m_top = m_trace.get();
    }
    return true;
}

TRunScope::TRunScope(IClock* clock) {
    SetClock(clock);
}

TRunScope::~TRunScope() {
    SetFlashCheck(nullptr);
    SetHostHooks(THostHooks{});
    SetHidBackend(nullptr);
    SetClock(nullptr);
}

namespace {

std::string Seconds(double s, int decimals) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f s", decimals, s);
    return buf;
}

std::string IdPair(const TCliOptions& o) {
    return HexId(o.vid) + ":" + HexId(o.pid);
}

// The bootloaders the selection still leaves when there is more than one.
bool FindAmbiguous(const TCliOptions& o, std::vector<THidDevice>& found) {
    found = HidListDevices(o.vid, o.pid);
    return found.size() >= 2;
}

std::string PassFailure(TPassResult r, const TCliOptions& o) {
    switch (r) {
    case TPassResult::None:
    case TPassResult::NoDevice: {
        std::string text = "no bootloader with " + IdPair(o);
        if (!o.path.empty()) text += " at " + EscapeControls(o.path);
        if (o.serial == NoSerialText) {
            text += " without a serial number";
        } else if (!o.serial.empty()) {
            text += " with serial " + EscapeControls(o.serial);
        }
        text += " found";
        if (o.waitSeconds) text += " within " + Seconds(*o.waitSeconds, 1);
        return text;
    }
    case TPassResult::OpenFailed:
        return "the bootloader could not be opened";
    case TPassResult::NotFound:
        return "the device did not describe a supported target";
    case TPassResult::NoAnswer:
        return "the board did not answer; check the cable and reset the board into its bootloader";
    case TPassResult::Unplugged:
        return "the board was unplugged while it was being connected";
    case TPassResult::BadBootInfo:
        return "the target's boot information cannot be used";
    case TPassResult::BootModeFailed:
        return "the target did not enter boot load mode";
    case TPassResult::Connected:
        break;
    }
    return "connection failed";
}

const char* ResultName(int code, TCommand command) {
    switch (code) {
    case ExitOk:
        return command == TCommand::Flash ? "flashed" : command == TCommand::Erase ? "erased" : "connected";
    case ExitNoBootloader:
        return "no-bootloader";
    case ExitFileRefused:
        return "file-refused";
    case ExitCommFailed:
        return "comm-failed";
    case ExitTargetDiffers:
        return "target-differs";
    default:
        return "error";
    }
}

// errno of a failure, or 0. Written to a temporary file beside it and renamed: a write that fails
// (a full disk, an error from closing) leaves no file behind, and an earlier dump stays whole.
int WriteBinary(const std::string& path, const std::vector<uint8_t>& data) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return errno;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);  // as a file created the usual way
    std::FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr) {
        const int error = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return error;
    }
    // An empty flash has no buffer to hand over.
    int error = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size() ? 0 : errno;
    if (std::fflush(f) != 0 && error == 0) error = errno;
    if (std::fclose(f) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temp.c_str());
    return error;
}

bool BoardSelected(const TSimProfile& p, const TCliOptions& o) {
    // "---" selects the boards without a serial number, and only those.
    const bool serialOk = o.serial.empty() || (o.serial == NoSerialText ? p.serial.empty() : p.serial == o.serial);
    return (o.path.empty() || p.path == o.path) && serialOk;
}

// A serial number as JSON: null for a device that gives none.
nlohmann::json SerialJson(const THidDevice& d) {
    return d.hasSerial ? nlohmann::json(d.serialNumber) : nlohmann::json();
}

// The connected target, as the boot information describes it: sizes in bytes of the image, the boot
// start in the family's address units, as the bootloader gives it.
nlohmann::json TargetEvent(const THidDevice& d) {
    return {{"event", "target"},
            {"family", FamilyText(McuFamily)},
            {"family_code", McuFamily},
            {"flash_size", BootInfo.McuSize},
            {"erase_block", BootInfo.EraseBlock},
            {"write_block", BootInfo.WriteBlock},
            {"boot_start", BootInfo.BootStart},
            {"revision", BootInfo.BootRevision},
            {"descriptor", BootInfo.Descriptor},
            {"path", d.path},
            {"serial", SerialJson(d)}};
}

// Writes the flash of the board the run talked to (or the only one the selection leaves); a file that
// cannot be written adds a line to failures.
void DumpBoard(TSimSetup& sim, const TCliOptions& o, const std::string& connectedPath, TCliOutput& out,
               std::vector<std::string>& failures) {
    TVirtualTarget* board = nullptr;
    int candidates = 0;
    for (size_t i = 0; i < sim.BoardCount(); ++i) {
        const TSimProfile& p = sim.Board(i).Profile();
        if (!connectedPath.empty() ? p.path == connectedPath : BoardSelected(p, o)) {
            board = &sim.Board(i);
            ++candidates;
        }
    }
    if (candidates != 1) {
        out.Summary("warning: no single virtual board to dump; --sim-dump skipped");
        return;
    }
    std::vector<std::pair<std::string, const std::vector<uint8_t>*>> files = {
        {o.simDump + "-flash.bin", &board->Flash()}};
    if (board->Profile().family == FamPic32) files.emplace_back(o.simDump + "-boot.bin", &board->BootFlash());
    for (const auto& [file, data] : files)
        if (const int error = WriteBinary(file, *data)) failures.push_back(WriteFailure(file, error));
}

} // namespace

int RunList(const TCliOptions& o) {
    TVirtualClock virtualClock;
    TRunScope scope(o.simulate.empty() ? nullptr : &virtualClock);
    ResetProgramState();
    TBackendChain chain;
    std::string error;
    if (!chain.Build(o, NowUs(), false, error)) {
        std::fprintf(stderr, "quarnel: %s\n", error.c_str());
        return chain.HidStartFailed() ? ExitNoBootloader : ExitUsage;
    }
    SetHidBackend(&chain.Top());
    const std::vector<THidDevice> devices =
        o.bootloadersOnly ? HidListDevices(o.vid, o.pid) : HidListDevices(0, 0);
    TCliOutput::TConfig config;
    config.json = o.json;
    TCliOutput out(config);
    for (const THidDevice& d : devices) {
        // Try an open, so that a device the user may not use is marked with the reason.
        THidDevice probe = d;
        const bool openable = HidOpen(probe);
        const std::string why = openable ? std::string() : HidOpenErrorText(HidLastOpenError(), probe);
        HidClose(probe);
        const std::string mark = openable ? std::string() : "\t(cannot open: " + EscapeControls(why) + ")";
        if (o.json) {
            out.Event({{"event", "device"},
                       {"path", d.path},
                       {"vid", HexId(d.vendorId)},
                       {"pid", HexId(d.productId)},
                       {"version", HexId(d.version)},
                       {"manufacturer", d.manufacturer},
                       {"product", d.product},
                       {"serial", SerialJson(d)},
                       {"openable", openable},
                       {"open_error", openable ? nlohmann::json() : nlohmann::json(why)}});
        } else if (o.bootloadersOnly) {
            std::printf("%s\t%s\t%s%s\n", EscapeControls(d.path).c_str(), EscapeControls(d.serialNumber).c_str(),
                        EscapeControls(d.product).c_str(), mark.c_str());
        } else {
            std::printf("%s\t%s:%s\t%s\t%s\t%s\t%s%s\n", EscapeControls(d.path).c_str(), HexId(d.vendorId).c_str(),
                        HexId(d.productId).c_str(), HexId(d.version).c_str(), EscapeControls(d.manufacturer).c_str(),
                        EscapeControls(d.product).c_str(), EscapeControls(d.serialNumber).c_str(), mark.c_str());
        }
    }
    int outError = out.OutError();
    FlushOutput(stdout, outError);
    if (devices.empty())
        out.Summary(o.bootloadersOnly ? "no bootloader with " + IdPair(o) + " found"
                                      : "no HID devices found");
    return FailedWrite(ExitOk, "standard output", outError);
}

int RunSession(const TCliOptions& o) {
    const bool simulated = !o.simulate.empty();
    const bool virtualTime = simulated && !o.realTime;
    const bool flash = o.command == TCommand::Flash;
    const bool erase = o.command == TCommand::Erase;
    TVirtualClock virtualClock;
    TRunScope scope(virtualTime ? &virtualClock : nullptr);
    ResetProgramState();
    const uint64_t startUs = NowUs();
    const uint64_t wallStart = WallUs();

    TCliOutput::TConfig config;
    config.json = o.json;
    const bool terminal = StderrIsTerminal();
    config.progressBar = terminal && !NoColorRequested() && !o.quiet;
    config.plainProgress = !config.progressBar;
    config.quiet = o.quiet;
    config.verbose = o.verbose;
    TCliOutput out(config);

    // The file's hash goes into the result and the record; standard input is read only once, by the run.
    std::string fileSha256;
    std::string hashError; // a file that cannot be read is refused by the run itself
    if (flash && o.file != StdinPath && !Sha256OfFile(o.file, fileSha256, hashError)) fileSha256.clear();
    TBackendChain chain;
    std::string error;
    if (!OutputsSpareTheInput(o, error) || !chain.Build(o, startUs, true, error)) {
        out.Summary(error);
        return chain.HidStartFailed() ? ExitNoBootloader : ExitUsage;
    }
    SetHidBackend(&chain.Top());
    THostHooks hooks = out.Hooks();
    // The one question a run asks: flash records with a wrong checksum? Only when told so.
    hooks.askYesNo = [&o](const std::string&) { return o.ignoreChecksums; };
    SetHostHooks(hooks);
    SetStrictHexIntake(o.strict);
    // On virtual boards every run is checked against what the board holds afterwards.
    std::unique_ptr<TVirtualTargetCheck> simCheck;
    if (chain.Sim() != nullptr) {
        simCheck = std::make_unique<TVirtualTargetCheck>(chain.Sim()->Backend());
        SetFlashCheck(simCheck.get());
    }
    LoaderSetup.vid = o.vid;
    LoaderSetup.pid = o.pid;

    TUSBhandler handler;
    TDeviceWaiter waiter(chain.Sim(), virtualTime);
    MonitorStartup();
    InstallOnDeviceChange();
    OnDeviceChange();

    std::vector<THidDevice> ambiguous;
    // Several boards that the selection cannot tell apart: the pass never connects, so stop at once.
    const auto settled = [&] { return LastPassResult == TPassResult::Connected || FindAmbiguous(o, ambiguous); };
    if (!settled() && o.waitSeconds) {
        if (!waiter.Ok()) {
            out.Summary("warning: " + waiter.Error() + "; not waiting");
        } else {
            const uint64_t deadline = startUs + uint64_t(*o.waitSeconds * 1e6);
            waiter.WaitUntil(deadline, handler, settled);
            if (!waiter.Error().empty()) out.Summary("warning: " + waiter.Error());
        }
    }

    int code = ExitNoBootloader;
    std::string summary;
    std::string candidates; // the ambiguous matches, one line each
    std::string board;
    nlohmann::json target; // the target event, for the record
    std::string unexpected;
    if (LastPassResult == TPassResult::Connected) {
        const THidDevice& d = TargetDevices[0];
        board = d.path;
        target = TargetEvent(d);
        out.Event(target);
        if (flash) unexpected = UnexpectedTarget(o, FamilyText(McuFamily), BootInfo.Descriptor);
        if (!unexpected.empty()) {
            // Nothing was erased or written: the board stays as it came.
            code = ExitNoBootloader;
            summary = unexpected + "; the board was not flashed";
        } else if (erase) {
            const TFlashResult result = EraseTarget();
            CloseFlashSession();
            code = ExitCodeForFlash(result);
            if (result == TFlashResult::Flashed) {
                summary = FamilyText(McuFamily) + " application erased in " +
                          Seconds(double(WallUs() - wallStart) / 1e6, 2) +
                          "; only the bootloader is left and starts at reset";
            } else if (result == TFlashResult::TargetRefused) {
                summary = "the target's layout cannot be erased, nothing was sent";
            } else if (result == TFlashResult::FinalCommandFailed) {
                summary = "the application was erased, but the target did not take the final command";
            } else if (result == TFlashResult::TargetDiffers) {
                summary = "the virtual target does not hold what the erase should have left";
            } else {
                summary = "erasing failed: communication with the target broke off";
            }
        } else if (!flash) {
            code = ExitOk;
            summary = FamilyText(McuFamily) + " bootloader ready at " + EscapeControls(d.path) + " (serial " +
                      EscapeControls(d.serialNumber) + ")";
        } else {
            // The family's image path, as the window keeps it; the file goes exactly as given.
            if (std::string* path = PathForFamily(McuFamily)) *path = o.file;
            const TFlashResult result = FlashTarget(o.file, o.disableBootloader);
            CloseFlashSession();
            code = ExitCodeForFlash(result);
            const double wall = double(WallUs() - wallStart) / 1e6;
            switch (result) {
            case TFlashResult::Flashed:
                summary = FamilyText(McuFamily) + " flashed in " + Seconds(wall, 2);
                if (virtualTime)
                    summary += " (on a real target: " + Seconds(double(NowUs() - startUs) / 1e6, 1) + ")";
                break;
            case TFlashResult::FileRefused:
                summary = "HEX file refused, nothing was flashed";
                if (LastHexParseStats().checksumErrors != 0 && !o.ignoreChecksums)
                    summary += "; --ignore-checksums flashes records with a wrong checksum";
                break;
            case TFlashResult::TargetRefused:
                summary = "the image does not fit the target, nothing was sent";
                break;
            case TFlashResult::FinalCommandFailed:
                summary = "the image was written, but the target did not take the final command";
                break;
            case TFlashResult::TargetDiffers:
                summary = "the virtual target does not hold what the run should have left";
                break;
            default:
                summary = "flashing failed: communication with the target broke off";
                break;
            }
        }
    } else if (ambiguous.size() >= 2) {
        summary = std::to_string(ambiguous.size()) + " bootloaders with " + IdPair(o) +
                  " match; choose one with --path or --serial, or flash all with --all";
        for (const THidDevice& d : ambiguous)
            candidates += "\nquarnel:   " + EscapeControls(d.path) + "  serial " + EscapeControls(d.serialNumber) +
                          "  " + EscapeControls(d.product);
    } else {
        summary = PassFailure(LastPassResult, o);
    }
    MonitorShutdown();
    out.EndProgress();

    // What could not be written fails the run; each is said after the summary.
    std::vector<std::string> failures;
    if (chain.Sim() != nullptr && !o.simDump.empty()) DumpBoard(*chain.Sim(), o, board, out, failures);
    if (chain.TraceError() != 0) failures.push_back(WriteFailure("the trace file " + o.trace, chain.TraceError()));
    const int boardCode = code;
    if (!failures.empty()) code = CodeAfterWriteFailure(code);
    const auto resultName = [&](int c) {
        if (!unexpected.empty() && c == ExitNoBootloader) return "unexpected-target";
        return ambiguous.size() >= 2 && c == ExitNoBootloader ? "ambiguous" : ResultName(c, o.command);
    };

    nlohmann::json result = {{"event", "result"},
                             {"command", flash ? "flash" : erase ? "erase" : "info"},
                             {"board", board.empty() ? nlohmann::json() : nlohmann::json(board)},
                             {"file", flash ? nlohmann::json(o.file) : nlohmann::json()},
                             {"duration_s", double(WallUs() - wallStart) / 1e6},
                             {"exit_code", code},
                             {"result", resultName(code)}};
    if (flash) result["sha256"] = fileSha256.empty() ? nlohmann::json() : nlohmann::json(fileSha256);
    if (virtualTime) result["target_s"] = double(NowUs() - startUs) / 1e6;
    if (flash && LastHexParseStats().opened) {
        nlohmann::json skipped = nlohmann::json::array();
        for (const THexNotWritten& n : LastHexParseStats().notWritten)
            skipped.push_back({{"from", n.from}, {"to", n.to}, {"bytes", n.bytes}, {"reason", n.reason}});
        result["not_written"] = skipped;
    }
    if (!o.record.empty()) {
        // The board's own outcome, whatever else of the run could not be written.
        nlohmann::json own = result;
        own["exit_code"] = boardCode;
        own["result"] = resultName(boardCode);
        std::string why;
        if (!AppendRecord(o.record, BoardRecord(std::chrono::system_clock::now(), target, own,
                                                SerialWarnings(target)),
                          why)) {
            failures.push_back("cannot write the record file " + EscapeControls(o.record) + ": " + why);
            code = CodeAfterWriteFailure(code);
            result["exit_code"] = code;
        }
    }
    if (code != ExitOk) summary += " (exit " + std::to_string(code) + ")";
    summary += candidates;
    out.Event(result);
    out.Summary(summary);
    for (const auto& f : failures)
        out.Summary(f);
    return FailedWrite(code, "standard output", out.OutError());
}
