#pragma once
// Where the command-line flasher's output goes: the log lines on stdout (or JSON Lines with --json),
// the progress bar and the summary on stderr.

#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "boot/HostHooks.h"

// Decides when a progress display is redrawn: at the start of a step and then at most once per
// interval, so that a step reporting every HEX line is not slowed down by the terminal.
class TProgressThrottle {
public:
    explicit TProgressThrottle(uint64_t intervalUs = 100000) : m_intervalUs(intervalUs) {}

    void Start(int64_t max, uint64_t nowUs);
    // True when a redraw is due for this position now; the caller then draws.
    bool Due(int64_t pos, uint64_t nowUs);
    int64_t Max() const { return m_max; }
    // 0..100; 0 while the maximum is not above 0.
    int Percent(int64_t pos) const;
    // Seconds left at the step's pace so far; negative while there is too little to go by.
    double SecondsLeft(int64_t pos, uint64_t nowUs) const;

private:
    uint64_t m_intervalUs;
    int64_t m_max = 0;
    uint64_t m_startUs = 0;
    uint64_t m_lastDrawUs = 0;
    bool m_drawn = false;
};

// "Erasing flash memory.  [########------------]  40%  0:07 left", fitted to width columns.
std::string ProgressBarText(const std::string& label, int percent, double secondsLeft, int width);

// A JSON progress event is written when the whole percentage changes: at most 101 per step.
class TPercentGate {
public:
    void Start() { m_last = -1; }
    bool Due(int percent);

private:
    int m_last = -1;
};

// -q: passes a failure line (IsFailureLine) and the detail lines that follow it up to the next
// status line.
class TFailureFilter {
public:
    bool Keep(const std::string& line);

private:
    bool m_inFailure = false;
};

class TCliOutput {
public:
    struct TConfig {
        bool json = false;
        bool progressBar = false; // draw the bar (stderr is a terminal)
        // Without the bar: one plain line per step on stderr, percentages appended, no control
        // characters (stderr is no terminal, or NO_COLOR is set). A step that runs its progress
        // more than once (program image, then its vector block) adds only percentages not shown yet.
        bool plainProgress = false;
        bool quiet = false;   // log lines only when they report a failure
        bool verbose = false; // one line per erase and write command on stderr
        std::FILE* out = stdout;
        std::FILE* err = stderr;
    };

    explicit TCliOutput(const TConfig& config);

    // Hooks for the core: log lines, progress, and delivery of queued device-change notifications.
    THostHooks Hooks();

    void LogLine(const std::string& line);
    void ProgressMax(int64_t max);
    void ProgressPos(int64_t pos);
    // A JSON event (only written with --json).
    void Event(const nlohmann::json& event);
    // Removes the bar from the terminal.
    void EndProgress();
    // "quarnel: <text>" on stderr.
    void Summary(const std::string& text);
    // -v: "erase 0x00000040 64 bytes", "write 0x00000000 256 bytes" on stderr.
    void FlashCommand(uint8_t command, uint64_t address, uint32_t length);
    bool Json() const { return m_config.json; }
    // errno of the first failed write of the log or the events, 0 while none failed. A closed pipe
    // is no failure: it ends the run.
    int OutError() const { return m_outError; }

private:
    void DrawBar(int64_t pos, uint64_t nowUs);
    void ClearBar();
    void PlainProgress(int64_t pos);
    void EndPlainLine();

    TConfig m_config;
    TProgressThrottle m_throttle;
    TPercentGate m_gate;
    std::string m_label; // the last status line, as the step's name
    bool m_barShown = false;
    int m_columns = 80;
    int m_plainShown = -1;      // the last tens of percent on the open plain line; -1: no line open
    TFailureFilter m_failures;  // -q
    int m_outError = 0;
};

// -q keeps a log line when it reports a failure: a line ending in "!", the HEX file's and the
// image check's error lines, the virtual target's findings. Detail lines right after such a line are kept too (see TCliOutput).
bool IsFailureLine(const std::string& line);
// True for a line in the log's status form, exactly LogStatusWidth characters.
bool IsStatusLine(const std::string& line);
// The plain progress line's use of the environment: NO_COLOR set (to anything but "") means no
// control characters on stderr.
bool NoColorRequested();

// Real (wall-clock) time in microseconds, for the display only; the protocol uses the installed clock.
uint64_t WallUs();
