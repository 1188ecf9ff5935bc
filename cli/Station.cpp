#include "cli/Station.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "boot/Clock.h"
#include "cli/BoardFarm.h"
#include "cli/ChildProcess.h"
#include "cli/CliPlatform.h"
#include "cli/FlashSession.h"
#include "cli/OutputGuard.h"
#include "cli/ProductionChecks.h"
#include "cli/RecordFile.h"
#include "cli/TCliOutput.h"
#include "cli/TDeviceWaiter.h"
#include "cli/TStationBoards.h"
#include "session/ProgramState.h"
#include "sim/TSimSettings.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

namespace {

constexpr const char* ArrivalKey = "plug-after-ms";
constexpr uint64_t ReapGraceUs = 5000000;
// A board's run is given this long before it is killed; every child bounds its own waits.
constexpr uint64_t ChildTimeLimitUs = 3600ull * 1000000;
constexpr int ReadSliceMs = 100;
constexpr uint64_t IdleSliceUs = 1000000;

// "KEY=VALUE,..." without the arrival time; empty when nothing else is left.
std::string WithoutArrival(const std::string& list) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string error;
    if (!SplitSettings(list, pairs, error)) return list; // refused later, as given
    std::string out;
    for (const auto& [key, value] : pairs)
        if (key != ArrivalKey) out += (out.empty() ? "" : ",") + key + "=" + value;
    return out;
}

bool NamesArrival(const std::string& list) {
    return list.find(ArrivalKey) != std::string::npos;
}

struct TBoardRun {
    int index = 0;
    THidDevice device;
    std::vector<std::string> warnings; // for its record
    std::unique_ptr<TChildProcess> process = std::make_unique<TChildProcess>();
    std::string outBuf;
    std::string errText;
    std::vector<std::string> log;
    nlohmann::json target;
    nlohmann::json result;
    uint64_t startWall = 0;
};

class TStation {
public:
    TStation(const TCliOptions& o, const std::string& self) : m_o(o), m_self(self), m_child(StationChildOptions(o)) {}
    int Run();

private:
    bool Refresh();
    void Start(const THidDevice& d);
    void HandleLine(TBoardRun& r, const std::string& line);
    void Finish(TBoardRun& r);
    void ReadRunning(int timeoutMs);
    void Emit(const nlohmann::json& event);
    bool MayStart() const;

    const TCliOptions& m_o;
    std::string m_self;
    TCliOptions m_child;
    TBackendChain m_chain;
    TStationBoards m_boards;
    std::map<std::string, std::vector<std::string>> m_arrivalWarnings;
    std::vector<std::unique_ptr<TBoardRun>> m_running;
    TStationTotals m_totals;
    int m_started = 0;
    int m_code = ExitOk;
    std::string m_stop; // why the station takes no more boards; empty while it does
    std::string m_recordError;
    int m_outError = 0;
};

void TStation::Emit(const nlohmann::json& event) {
    const std::string text = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    FlushOutput(stdout, m_outError);
}

// Looks at the bus: forgets the boards that left, queues those that arrived. True when a board waits.
bool TStation::Refresh() {
    const std::vector<THidDevice> present = HidListDevices(m_o.vid, m_o.pid);
    for (const THidDevice& d : m_boards.Update(present)) {
        if (!d.hasSerial || d.serialNumber.empty()) continue;
        std::vector<THidDevice> same = {d};
        for (const THidDevice& other : present)
            if (other.path != d.path && other.hasSerial && other.serialNumber == d.serialNumber) same.push_back(other);
        if (same.size() < 2) continue;
        for (const auto& w : DuplicateSerialWarnings(same))
            std::fprintf(stderr, "quarnel: warning: %s\n", w.c_str());
        std::string others;
        for (size_t i = 1; i < same.size(); ++i)
            others += (i == 1 ? "" : ", ") + same[i].path;
        m_arrivalWarnings[d.path].push_back("serial number also reported by " + others);
    }
    return m_boards.Waiting();
}

bool TStation::MayStart() const {
    return m_stop.empty() && int(m_running.size()) < m_o.parallel && (m_o.count == 0 || m_started < m_o.count);
}

void TStation::Start(const THidDevice& d) {
    auto r = std::make_unique<TBoardRun>();
    r->index = ++m_started;
    r->device = d;
    r->warnings = std::move(m_arrivalWarnings[d.path]);
    m_arrivalWarnings.erase(d.path);
    std::string error;
    r->startWall = WallUs();
    if (!r->process->Start(m_self, ChildArguments(m_child, d.path, r->index), error)) {
        r->errText = "quarnel: cannot start " + m_self + ": " + error + "\n";
        Finish(*r);
        return;
    }
    m_running.push_back(std::move(r));
    if (m_o.json)
        Emit({{"event", "start"},
              {"board", d.path},
              {"serial", d.hasSerial ? nlohmann::json(d.serialNumber) : nlohmann::json()},
              {"running", int(m_running.size())}});
}

void TStation::HandleLine(TBoardRun& r, const std::string& line) {
    nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    if (e.is_discarded() || !e.is_object()) e = {{"event", "log"}, {"line", line}};
    const std::string kind = e.value("event", "");
    if (!e.contains("board") || e["board"].is_null()) e["board"] = r.device.path;
    if (kind == "log" && e.contains("line") && e["line"].is_string()) r.log.push_back(e["line"].get<std::string>());
    if (kind == "target") r.target = e;
    if (kind == "result") r.result = e;
    if (m_o.json && kind != "progress") Emit(e);
}

void TStation::Finish(TBoardRun& r) {
    int code = ExitUsage; // a child that could not be started
    if (r.process->Started()) {
        std::string why;
        const int status = r.process->Reap(ReapGraceUs, why);
        code = status >= 0 ? status : ExitCommFailed;
        if (status < 0 && !why.empty()) r.errText += "quarnel: " + why + "\n";
    }
    const double seconds = double(WallUs() - r.startWall) / 1e6;
    const nlohmann::json record = ChildRecord(r.device.path, r.target, r.result, code, seconds, r.warnings);
    const std::string result = record.value("result", "");
    m_totals.Add(code, result);
    m_code = std::max(m_code, code);
    if (!m_o.record.empty()) {
        std::string why;
        if (!AppendRecord(m_o.record, record, why) && m_recordError.empty()) {
            m_recordError = "cannot write the record file " + EscapeControls(m_o.record) + ": " + why;
            m_stop = "records cannot be written";
        }
    }
    const std::string serial = r.device.hasSerial ? r.device.serialNumber : std::string(NoSerialText);
    if (m_o.json) {
        Emit({{"event", "board"},
              {"board", r.device.path},
              {"serial", r.device.hasSerial ? nlohmann::json(serial) : nlohmann::json()},
              {"exit_code", code},
              {"result", result},
              {"flashed", m_totals.flashed},
              {"failed", m_totals.failed},
              {"refused", m_totals.refused}});
    } else if (code != ExitOk || !m_o.quiet) {
        std::printf("%s  %s  exit %d  %s  (%s)\n", EscapeControls(r.device.path).c_str(), EscapeControls(serial).c_str(),
                    code, EscapeControls(ChildSummary(r.errText)).c_str(), m_totals.Text().c_str());
        // What went wrong, from the board's log.
        TFailureFilter failures;
        if (code != ExitOk)
            for (const auto& l : r.log)
                if (failures.Keep(l)) std::printf("    %s\n", EscapeControls(l.substr(0, l.find_last_not_of(' ') + 1)).c_str());
        FlushOutput(stdout, m_outError);
    }
    const int failures = m_totals.failed + m_totals.refused;
    if (m_stop.empty() && m_o.stopAfterFailures > 0 && failures >= m_o.stopAfterFailures)
        m_stop = std::to_string(failures) + (failures == 1 ? " failure" : " failures");
}

void TStation::ReadRunning(int timeoutMs) {
    std::vector<TChildProcess*> processes;
    for (auto& r : m_running)
        processes.push_back(r->process.get());
    ReadChildren(processes, timeoutMs, [this](size_t index, bool isOut, const std::string& data) {
        TBoardRun& r = *m_running[index];
        if (!isOut) {
            r.errText += data;
            return;
        }
        TakeLines(r.outBuf, data, [&](const std::string& line) { HandleLine(r, line); });
    });
    for (auto& r : m_running) {
        if (r->process->OutOpen() || r->process->ErrOpen()) {
            if (WallUs() - r->startWall > ChildTimeLimitUs) r->process->Kill();
            continue;
        }
        Finish(*r);
        r.reset();
    }
    std::erase(m_running, nullptr);
}

int TStation::Run() {
    const bool virtualTime = !m_o.simulate.empty() && !m_o.realTime;
    const uint64_t startUs = NowUs();
    std::string error;
    if (!m_chain.Build(StationBenchOptions(m_o), startUs, false, error)) {
        std::fprintf(stderr, "quarnel: %s\n", error.c_str());
        return ExitUsage;
    }
    SetHidBackend(&m_chain.Top());
    TUSBhandler handler;
    TDeviceWaiter waiter(m_chain.Sim(), virtualTime);
    if (!waiter.Ok()) std::fprintf(stderr, "quarnel: warning: %s; looking for boards every second\n", waiter.Error().c_str());
    TInterruptWatch interrupt;
    bool killed = false;
    if (!m_o.quiet)
        std::fprintf(stderr, "quarnel: station: flashing every bootloader with %s:%s that arrives; Ctrl-C stops\n",
                     HexId(m_o.vid).c_str(), HexId(m_o.pid).c_str());
    const auto waitFor = [&](uint64_t untilUs) {
        if (!waiter.Ok()) {
            Pause(uint32_t(std::min<uint64_t>(untilUs - NowUs(), IdleSliceUs) / 1000));
            return;
        }
        waiter.WaitUntil(untilUs, handler, [&] { return interrupt.Count() > 0 || (MayStart() && Refresh()); });
    };
    for (;;) {
        if (interrupt.Count() > 0 && m_stop.empty()) m_stop = "interrupted";
        if (interrupt.Count() > 1 && !killed) {
            // A second Ctrl-C does not wait for the boards being flashed.
            for (auto& r : m_running)
                r->process->Kill();
            killed = true;
        }
        Refresh();
        while (MayStart() && m_boards.Waiting())
            Start(m_boards.Take());
        if (m_o.count > 0 && m_started >= m_o.count && m_stop.empty())
            m_stop = std::to_string(m_o.count) + (m_o.count == 1 ? " board" : " boards") + " (--count)";
        TSimSetup* sim = m_chain.Sim();
        if (m_running.empty()) {
            if (!m_stop.empty()) break;
            if (sim != nullptr && !sim->NextPlugUs() && !m_boards.Waiting()) {
                // The virtual bench has no board left to bring.
                m_stop = "no more virtual boards arrive";
                break;
            }
            waitFor(NowUs() + IdleSliceUs);
            continue;
        }
        if (virtualTime && MayStart() && sim->NextPlugUs()) {
            // A free place on the virtual bench: the next board arrives now rather than after the runs.
            waitFor(std::max(*sim->NextPlugUs(), NowUs()) + 1);
            continue;
        }
        ReadRunning(ReadSliceMs);
        // Device changes that came meanwhile are taken in (and the udev monitor's queue emptied).
        if (!virtualTime) waitFor(NowUs() + 1000);
    }
    int code = m_code;
    if (m_o.json) {
        Emit({{"event", "summary"},
              {"boards", m_totals.Boards()},
              {"flashed", m_totals.flashed},
              {"failed", m_totals.failed},
              {"refused", m_totals.refused},
              {"exit_code", code}});
    }
    std::fprintf(stderr, "quarnel: station stopped (%s): %s%s\n", m_stop.c_str(), m_totals.Text().c_str(),
                 code == ExitOk ? "" : (" (exit " + std::to_string(code) + ")").c_str());
    if (!m_recordError.empty()) {
        code = CodeAfterWriteFailure(code);
        std::fprintf(stderr, "quarnel: %s (exit %d)\n", m_recordError.c_str(), code);
    }
    return FailedWrite(code, "standard output", m_outError);
}

} // namespace

TCliOptions StationBenchOptions(const TCliOptions& o) {
    TCliOptions bench = o;
    if (o.simulate.empty() || std::any_of(o.sim.begin(), o.sim.end(), NamesArrival)) return bench;
    // Before the user's own --board-sim, so that an arrival time given for a board holds.
    std::vector<std::string> arrivals;
    for (int k = 2; k <= o.boards; ++k)
        arrivals.push_back(std::to_string(k) + ":" + ArrivalKey + "=" + std::to_string(uint64_t(k - 1) * StationArrivalGapMs));
    bench.boardSim.insert(bench.boardSim.begin(), arrivals.begin(), arrivals.end());
    return bench;
}

TCliOptions StationChildOptions(const TCliOptions& o) {
    TCliOptions c = o;
    c.command = TCommand::Flash;
    c.record.clear();
    c.waitSeconds.reset();
    c.sim.clear();
    for (const auto& s : o.sim)
        if (const std::string rest = WithoutArrival(s); !rest.empty()) c.sim.push_back(rest);
    c.boardSim.clear();
    for (const auto& s : o.boardSim) {
        const size_t colon = s.find(':');
        const std::string rest = colon == std::string::npos ? s : WithoutArrival(s.substr(colon + 1));
        if (!rest.empty()) c.boardSim.push_back(colon == std::string::npos ? s : s.substr(0, colon + 1) + rest);
    }
    return c;
}

void TStationTotals::Add(int exitCode, const std::string& result) {
    if (exitCode == ExitOk) {
        ++flashed;
    } else if (result == "unexpected-target" || exitCode == ExitFileRefused) {
        ++refused;
    } else {
        ++failed;
    }
}

std::string TStationTotals::Text() const {
    return std::to_string(flashed) + " flashed, " + std::to_string(failed) + " failed, " + std::to_string(refused) +
           " refused";
}

int RunStation(const TCliOptions& o, const std::string& selfPath) {
    const bool virtualTime = !o.simulate.empty() && !o.realTime;
    TVirtualClock virtualClock;
    TRunScope scope(virtualTime ? &virtualClock : nullptr);
    ResetProgramState();
    TStation station(o, selfPath);
    return station.Run();
}
