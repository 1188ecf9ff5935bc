#include "cli/BoardFarm.h"
#include "session/ProgramState.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "boot/BL_Vars.h"
#include "boot/Clock.h"
#include "cli/ChildProcess.h"
#include "cli/CliPlatform.h"
#include "cli/FlashSession.h"
#include "cli/OutputGuard.h"
#include "cli/ProductionChecks.h"
#include "cli/RecordFile.h"
#include "cli/TCliOutput.h"
#include "cli/TDeviceWaiter.h"
#include "session/Monitor.h"
#include "usb/HIDinterface.h"
#include "usb/Hid.h"

namespace {

// A child is given this long before it is killed; the largest image at the protocol's pace takes
// minutes, not hours.
constexpr uint64_t ChildTimeLimitUs = 3600ull * 1000000;
constexpr uint64_t ReapGraceUs = 5000000;
constexpr uint64_t RedrawUs = 100000;

struct TChild {
    int index = 0;
    std::string board;
    std::unique_ptr<TChildProcess> process = std::make_unique<TChildProcess>();
    std::string outBuf;
    std::string errText;
    std::vector<std::string> log;
    int64_t max = 0;
    int64_t pos = 0;
    uint64_t startWall = 0;
    bool reported = false; // its block of log lines was printed
    TBoardResult result;
    nlohmann::json target; // its events, for --record
    nlohmann::json resultEvent;
};

bool Spawn(TChild& c, const std::string& self, const std::vector<std::string>& args, std::string& error) {
    if (!c.process->Start(self, args, error)) return false;
    c.startWall = WallUs();
    return true;
}

// The bootloaders present now, or (with --wait) as soon as there is at least one; all of them, not only
// as many as the connection pass's table holds.
std::vector<std::string> FindBoards(const TCliOptions& o, std::string& error) {
    const bool virtualTime = !o.simulate.empty() && !o.realTime;
    TVirtualClock virtualClock;
    TRunScope scope(virtualTime ? &virtualClock : nullptr);
    ResetProgramState();
    const uint64_t startUs = NowUs();
    TBackendChain chain;
    std::vector<std::string> paths;
    if (!chain.Build(o, startUs, false, error)) return paths;
    SetHidBackend(&chain.Top());
    std::vector<THidDevice> found;
    TUSBhandler handler;
    TDeviceWaiter waiter(chain.Sim(), virtualTime);
    const auto present = [&] {
        found = HidListDevices(o.vid, o.pid);
        return !found.empty();
    };
    if (!present() && o.waitSeconds)
        waiter.WaitUntil(startUs + uint64_t(*o.waitSeconds * 1e6), handler, present);
    for (const auto& d : found)
        paths.push_back(d.path);
    for (const auto& w : DuplicateSerialWarnings(found))
        std::fprintf(stderr, "quarnel: warning: %s\n", w.c_str());
    return paths;
}

class TFarm {
public:
    TFarm(const TCliOptions& o)
        : m_o(o), m_progressBar(StderrIsTerminal() && !NoColorRequested() && !o.quiet) {}

    int Run(const std::string& self, const std::vector<std::string>& boards);

private:
    void HandleLine(TChild& c, const std::string& line);
    void ChildEnded(TChild& c);
    void DrawProgress(bool force);
    void ClearProgress();
    void Emit(const nlohmann::json& event);

    const TCliOptions& m_o;
    bool m_progressBar;
    bool m_barShown = false;
    std::string m_recordError; // the first record that could not be written
    uint64_t m_lastDraw = 0;
    int m_outError = 0;
    std::vector<TChild> m_children;
};

void TFarm::Emit(const nlohmann::json& event) {
    const std::string text = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    FlushOutput(stdout, m_outError);
}

void TFarm::HandleLine(TChild& c, const std::string& line) {
    nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    if (e.is_discarded() || !e.is_object()) e = {{"event", "log"}, {"line", line}};
    const std::string kind = e.value("event", "");
    if (!e.contains("board") || e["board"].is_null()) e["board"] = c.board;
    if (kind == "log" && e.contains("line") && e["line"].is_string()) {
        c.log.push_back(e["line"].get<std::string>());
    } else if (kind == "progress") {
        c.max = e.value("max", int64_t(0));
        c.pos = e.value("pos", int64_t(0));
    } else if (kind == "target") {
        c.target = e;
    } else if (kind == "result") {
        c.resultEvent = e;
        c.result.seconds = e.value("duration_s", 0.0);
        if (e.contains("target_s") && e["target_s"].is_number())
            c.result.targetSeconds = e["target_s"].get<double>();
    }
    if (m_o.json) Emit(e);
}

void TFarm::ChildEnded(TChild& c) {
    c.result.board = c.board;
    c.result.summary = ChildSummary(c.errText);
    if (c.result.seconds == 0) c.result.seconds = double(WallUs() - c.startWall) / 1e6;
    if (!m_o.record.empty()) {
        std::string why;
        if (!AppendRecord(m_o.record, ChildRecord(c.board, c.target, c.resultEvent, c.result.exitCode, c.result.seconds, {}),
                          why) &&
            m_recordError.empty())
            m_recordError = "cannot write the record file " + EscapeControls(m_o.record) + ": " + why;
    }
    if (m_o.json || c.reported) return;
    ClearProgress();
    TFailureFilter failures;
    std::vector<const std::string*> shown;
    for (const auto& l : c.log)
        if (!m_o.quiet || failures.Keep(l)) shown.push_back(&l);
    // -q: a board's block only when it has failure lines.
    if (!shown.empty() || !m_o.quiet) std::printf("=== %s ===\n", EscapeControls(c.board).c_str());
    for (const std::string* l : shown)
        std::printf("%s\n", EscapeControls(*l).c_str());
    FlushOutput(stdout, m_outError);
    c.reported = true;
}

void TFarm::DrawProgress(bool force) {
    if (!m_progressBar) return;
    const uint64_t now = WallUs();
    if (!force && now - m_lastDraw < RedrawUs) return;
    m_lastDraw = now;
    std::string text;
    for (const auto& c : m_children) {
        if (!text.empty()) text += " | ";
        const int pct = c.max > 0 ? int(std::clamp<int64_t>(c.pos * 100 / c.max, 0, 100)) : 0;
        char cell[64];
        if (!c.process->OutOpen() && !c.process->ErrOpen()) {
            std::snprintf(cell, sizeof cell, "%s done", EscapeControls(c.board).c_str());
        } else {
            std::snprintf(cell, sizeof cell, "%s %3d%%", EscapeControls(c.board).c_str(), pct);
        }
        text += cell;
    }
    std::fprintf(stderr, "\r%s\033[K", text.c_str());
    std::fflush(stderr);
    m_barShown = true;
}

void TFarm::ClearProgress() {
    if (!m_barShown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_barShown = false;
}

int TFarm::Run(const std::string& self, const std::vector<std::string>& boards) {
    m_children.resize(boards.size());
    for (size_t i = 0; i < boards.size(); ++i) {
        TChild& c = m_children[i];
        c.index = int(i) + 1;
        c.board = boards[i];
        std::string error;
        if (!Spawn(c, self, ChildArguments(m_o, c.board, c.index), error)) {
            c.result.exitCode = ExitUsage;
            c.errText = "quarnel: cannot start " + self + ": " + error + "\n";
        }
    }
    const uint64_t started = WallUs();
    bool killed = false;
    std::vector<TChildProcess*> processes;
    for (auto& c : m_children)
        processes.push_back(c.process.get());
    const auto onData = [this](size_t index, bool isOut, const std::string& data) {
        TChild& c = m_children[index];
        if (!isOut) {
            c.errText += data;
            return;
        }
        TakeLines(c.outBuf, data, [&](const std::string& line) { HandleLine(c, line); });
    };
    for (;;) {
        bool open = false;
        for (const auto& c : m_children)
            open = open || c.process->OutOpen() || c.process->ErrOpen();
        if (!open) break;
        if (!killed && WallUs() - started > ChildTimeLimitUs) {
            // Every child bounds its own waits; this is the last line of defence.
            for (auto& c : m_children)
                c.process->Kill();
            killed = true;
        }
        if (!ReadChildren(processes, int(RedrawUs / 1000), onData)) break;
        DrawProgress(false);
    }
    // The pipes are closed, so the children are ending; reap each, killing one that lingers.
    for (auto& c : m_children) {
        if (!c.process->Started()) {
            ChildEnded(c);
            continue;
        }
        std::string why;
        const int status = c.process->Reap(ReapGraceUs, why);
        if (status >= 0) {
            c.result.exitCode = status;
        } else {
            // A child that did not end by itself (killed, crashed) failed its board.
            c.result.exitCode = ExitCommFailed;
            if (!why.empty()) c.errText += "quarnel: " + why + "\n";
        }
        ChildEnded(c);
    }
    ClearProgress();
    std::vector<TBoardResult> results;
    for (const auto& c : m_children)
        results.push_back(c.result);
    int code = CombinedExitCode(results);
    int flashed = 0;
    for (const auto& r : results)
        flashed += r.exitCode == ExitOk ? 1 : 0;
    if (m_o.json) {
        Emit({{"event", "summary"},
              {"boards", int(results.size())},
              {"flashed", flashed},
              {"exit_code", code}});
    } else {
        std::fputs(FormatResultTable(results).c_str(), stdout);
        FlushOutput(stdout, m_outError);
    }
    std::fprintf(stderr, "quarnel: %d of %zu boards flashed%s\n", flashed, results.size(),
                 code == ExitOk ? "" : (" (exit " + std::to_string(code) + ")").c_str());
    if (!m_recordError.empty()) {
        code = CodeAfterWriteFailure(code);
        std::fprintf(stderr, "quarnel: %s (exit %d)\n", m_recordError.c_str(), code);
    }
    return FailedWrite(code, "standard output", m_outError);
}

} // namespace

std::string FormatResultTable(const std::vector<TBoardResult>& results) {
    size_t width = 5;
    for (const auto& r : results)
        width = std::max(width, EscapeControls(r.board).size());
    const auto pad = [](std::string s, size_t w) {
        if (s.size() < w) s.append(w - s.size(), ' ');
        return s;
    };
    std::string out = pad("board", width) + "  exit  result\n";
    for (const auto& r : results)
        out += pad(EscapeControls(r.board), width) + "  " + pad(std::to_string(r.exitCode), 4) + "  " +
               EscapeControls(r.summary) + "\n";
    return out;
}

int CombinedExitCode(const std::vector<TBoardResult>& results) {
    int code = ExitOk;
    for (const auto& r : results)
        code = std::max(code, r.exitCode);
    return code;
}

void TakeLines(std::string& buffer, const std::string& data, const std::function<void(const std::string&)>& onLine) {
    if (data.empty()) { // the end of the stream: what is left is its last line
        if (!buffer.empty()) onLine(buffer);
        buffer.clear();
        return;
    }
    buffer += data;
    size_t nl;
    while ((nl = buffer.find('\n')) != std::string::npos) {
        const std::string line = buffer.substr(0, nl);
        buffer.erase(0, nl + 1);
        onLine(line);
    }
}

std::string ChildSummary(const std::string& stderrText) {
    const std::string prefix = "quarnel: ";
    std::string lastQuarnel;
    std::string last;
    size_t start = 0;
    while (start < stderrText.size()) {
        size_t end = stderrText.find('\n', start);
        if (end == std::string::npos) end = stderrText.size();
        std::string line = stderrText.substr(start, end - start);
        // A progress bar never reaches a pipe, but a stray carriage return must not hide the text.
        const size_t cr = line.rfind('\r');
        if (cr != std::string::npos) line = line.substr(cr + 1);
        if (!line.empty()) {
            last = line;
            if (line.rfind(prefix, 0) == 0 && line.rfind(prefix + "warning:", 0) != 0 &&
                line.rfind(prefix + "  ", 0) != 0)
                lastQuarnel = line.substr(prefix.size());
        }
        start = end + 1;
    }
    return !lastQuarnel.empty() ? lastQuarnel : last;
}

int RunAllBoards(const TCliOptions& o, const std::string& selfPath) {
    std::string error;
    const std::vector<std::string> boards = FindBoards(o, error);
    if (!error.empty()) {
        std::fprintf(stderr, "quarnel: %s\n", error.c_str());
        return ExitUsage;
    }
    if (boards.empty()) {
        std::fprintf(stderr, "quarnel: no bootloader with %s:%s found (exit %d)\n", HexId(o.vid).c_str(),
                     HexId(o.pid).c_str(), ExitNoBootloader);
        return ExitNoBootloader;
    }
    TFarm farm(o);
    return farm.Run(selfPath, boards);
}
