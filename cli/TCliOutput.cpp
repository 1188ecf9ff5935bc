#include "cli/TCliOutput.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "boot/BL_Vars.h"
#include "boot/Log.h"
#include "cli/CliPlatform.h"
#include "cli/OutputGuard.h"
#include "usb/HIDinterface.h"

namespace {

// Below this much elapsed time or progress an estimate is noise.
constexpr uint64_t MinEstimateUs = 500000;

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string FormatSeconds(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    }
    return buf;
}

} // namespace

uint64_t WallUs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void TProgressThrottle::Start(int64_t max, uint64_t nowUs) {
    m_max = max;
    m_startUs = nowUs;
    m_drawn = false;
}

bool TProgressThrottle::Due(int64_t pos, uint64_t nowUs) {
    (void)pos;
    if (m_drawn && nowUs - m_lastDrawUs < m_intervalUs) return false;
    m_drawn = true;
    m_lastDrawUs = nowUs;
    return true;
}

int TProgressThrottle::Percent(int64_t pos) const {
    if (m_max <= 0 || pos <= 0) return 0;
    if (pos >= m_max) return 100;
    return static_cast<int>(pos * 100 / m_max);
}

double TProgressThrottle::SecondsLeft(int64_t pos, uint64_t nowUs) const {
    if (m_max <= 0 || pos <= 0 || nowUs < m_startUs) return -1;
    const uint64_t elapsed = nowUs - m_startUs;
    if (elapsed < MinEstimateUs) return -1;
    if (pos >= m_max) return 0;
    return double(elapsed) / 1e6 * double(m_max - pos) / double(pos);
}

std::string ProgressBarText(const std::string& label, int percent, double secondsLeft, int width) {
    percent = std::clamp(percent, 0, 100);
    char tail[48];
    if (secondsLeft >= 0) {
        std::snprintf(tail, sizeof tail, " %3d%%  %s left", percent, FormatSeconds(secondsLeft).c_str());
    } else {
        std::snprintf(tail, sizeof tail, " %3d%%", percent);
    }
    std::string name = Utf8Prefix(label, 28);
    const int nameColumns = int(std::max<size_t>(Utf8Length(name), 24));
    if (Utf8Length(name) < 24) name.append(24 - Utf8Length(name), ' ');
    // What is left of the width goes to the bar, within sensible bounds.
    const int room = width - nameColumns - int(std::string(tail).size()) - 4;
    const int barWidth = std::clamp(room, 10, 40);
    const int filled = barWidth * percent / 100;
    std::string text = name + " [" + std::string(size_t(filled), '#') +
                       std::string(size_t(barWidth - filled), '-') + "]" + tail;
    if (width > 0 && int(Utf8Length(text)) > width - 1)
        text = Utf8Prefix(text, size_t(std::max(width - 1, 0)));
    return text;
}

bool TPercentGate::Due(int percent) {
    if (percent == m_last) return false;
    m_last = percent;
    return true;
}

TCliOutput::TCliOutput(const TConfig& config) : m_config(config) {
    const int columns = m_config.progressBar ? TerminalColumns(m_config.err) : 0;
    if (columns > 20) m_columns = columns;
}

THostHooks TCliOutput::Hooks() {
    THostHooks h;
    h.appendLogLine = [this](const std::string& line) { LogLine(line); };
    h.setProgressMax = [this](int64_t max) { ProgressMax(max); };
    h.setProgressPos = [this](int64_t pos) { ProgressPos(pos); };
    // Without a window, handling pending messages means delivering queued device changes.
    h.processMessages = [] { DispatchDeviceChanges(); };
    if (m_config.verbose)
        h.flashCommand = [this](uint8_t command, uint64_t address, uint32_t length) {
            FlashCommand(command, address, length);
        };
    if (m_config.verbose)
        h.staleReports = [this](int count) {
            ClearBar();
            EndPlainLine();
            std::fprintf(m_config.err, "dropped %d stale report%s\n", count, count == 1 ? "" : "s");
            std::fflush(m_config.err);
        };
    return h;
}

bool IsStatusLine(const std::string& line) {
    return Utf8Length(line) == LogStatusWidth;
}

bool IsFailureLine(const std::string& line) {
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) return false;
    const std::string text = TrimRight(line.substr(first));
    if (!text.empty() && text.back() == '!') return true;
    static const char* const failureStarts[] = {
        "Error parsing hex file", "Unable to open file ",      "Read error in file ",
        "Programming aborted",    "Image is too big for this", "Programming will be aborted",
        "Virtual target: ",
    };
    for (const char* start : failureStarts)
        if (text.rfind(start, 0) == 0) return true;
    return false;
}

bool TFailureFilter::Keep(const std::string& line) {
    // What the file holds and the run leaves out of the target's flash is said even when nothing
    // failed; data above the flash (configuration, EEPROM) is the usual case and not repeated.
    const bool aboutTheFile = line.rfind(" Not read: ", 0) == 0 ||
                              (line.rfind(" Not written: ", 0) == 0 && line.find("above the flash") == std::string::npos);
    if (aboutTheFile) return true;
    m_inFailure = IsFailureLine(line) || (m_inFailure && !IsStatusLine(line));
    return m_inFailure;
}

bool NoColorRequested() {
    const char* v = std::getenv("NO_COLOR");
    return v != nullptr && v[0] != 0;
}

void TCliOutput::LogLine(const std::string& line) {
    ClearBar();
    EndPlainLine();
    if (!line.empty() && line[0] != ' ') {
        const std::string name = TrimRight(line);
        if (!name.empty()) m_label = EscapeControls(name); // drawn on the terminal as the bar's label
    }
    if (m_config.json) {
        Event({{"event", "log"}, {"line", line}});
        return;
    }
    if (m_config.quiet && !m_failures.Keep(line)) return;
    std::fputs(EscapeControls(line).c_str(), m_config.out);
    std::fputc('\n', m_config.out);
    FlushOutput(m_config.out, m_outError);
}

void TCliOutput::ProgressMax(int64_t max) {
    const uint64_t now = WallUs();
    m_throttle.Start(max, now);
    m_gate.Start();
    if (m_config.json) {
        m_gate.Due(0);
        Event({{"event", "progress"}, {"max", max}, {"pos", 0}});
    }
}

void TCliOutput::ProgressPos(int64_t pos) {
    const int percent = m_throttle.Percent(pos);
    if (m_config.json && m_gate.Due(percent))
        Event({{"event", "progress"}, {"max", m_throttle.Max()}, {"pos", pos}});
    if (!m_config.progressBar) {
        PlainProgress(pos);
        return;
    }
    const uint64_t now = WallUs();
    if (pos == 0 && m_barShown) {
        // A step ended: the bar goes back to empty, as the window's does.
        ClearBar();
        return;
    }
    if (pos > 0 && m_throttle.Due(pos, now)) DrawBar(pos, now);
}

void TCliOutput::DrawBar(int64_t pos, uint64_t nowUs) {
    const std::string text =
        ProgressBarText(m_label, m_throttle.Percent(pos), m_throttle.SecondsLeft(pos, nowUs), m_columns);
    std::fprintf(m_config.err, "\r%s\033[K", text.c_str());
    std::fflush(m_config.err);
    m_barShown = true;
}

void TCliOutput::ClearBar() {
    if (!m_barShown) return;
    std::fputs("\r\033[K", m_config.err);
    std::fflush(m_config.err);
    m_barShown = false;
}

void TCliOutput::Event(const nlohmann::json& event) {
    if (!m_config.json) return;
    // Invalid UTF-8 from a device name must not abort the run: it is replaced.
    const std::string text = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fputs(text.c_str(), m_config.out);
    std::fputc('\n', m_config.out);
    FlushOutput(m_config.out, m_outError);
}

void TCliOutput::PlainProgress(int64_t pos) {
    if (!m_config.plainProgress || m_config.quiet || m_config.verbose || m_config.json) return;
    if (pos <= 0) {
        // A step ended: its line is complete.
        EndPlainLine();
        return;
    }
    const int tens = m_throttle.Percent(pos) / 10 * 10;
    if (m_plainShown < 0) {
        std::fputs(m_label.c_str(), m_config.err);
        m_plainShown = 0;
    }
    if (tens <= m_plainShown) return;
    for (int t = m_plainShown + 10; t <= tens; t += 10)
        std::fprintf(m_config.err, " %d%%", t);
    std::fflush(m_config.err);
    m_plainShown = tens;
}

void TCliOutput::EndPlainLine() {
    if (m_plainShown < 0) return;
    std::fputc('\n', m_config.err);
    std::fflush(m_config.err);
    m_plainShown = -1;
}

void TCliOutput::FlashCommand(uint8_t command, uint64_t address, uint32_t length) {
    ClearBar();
    EndPlainLine();
    std::fprintf(m_config.err, "%s 0x%08llX %u bytes\n", command == cmdErase ? "erase" : "write",
                 static_cast<unsigned long long>(address), static_cast<unsigned>(length));
    std::fflush(m_config.err);
}

void TCliOutput::EndProgress() {
    ClearBar();
    EndPlainLine();
}

void TCliOutput::Summary(const std::string& text) {
    ClearBar();
    EndPlainLine();
    std::fprintf(m_config.err, "quarnel: %s\n", text.c_str());
    std::fflush(m_config.err);
}
