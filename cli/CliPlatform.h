#pragma once
// What the command line needs from the system, one small function each: CliPlatformLinux.cpp serves
// Linux, CliPlatformWindows.cpp Windows. Everything else in cli/ is the same on both.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Standard error is a terminal (a console on Windows) that can take the progress bar.
bool StderrIsTerminal();
// Columns of the terminal behind f, or 0 when unknown.
int TerminalColumns(std::FILE* f);
// The program after the system's entry point (MainLinux.cpp, MainWindows.cpp): argv in UTF-8.
int QuarnelMain(int argc, char** argv);

// This program's own file, to start it again for flash --all.
std::string SelfPath(const char* argv0);

// What tells one file from another: device and inode on Linux, volume serial number and file index
// on Windows (msvcrt's st_ino means nothing there).
struct TFileId {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool regular = false; // only a regular file is emptied by writing it
    bool operator==(const TFileId& o) const { return volume == o.volume && index == o.index; }
};
bool FileIdOfPath(const std::string& path, TFileId& id);
bool FileIdOfFd(int fd, TFileId& id);

// Holds the interrupt (SIGINT and SIGTERM; Ctrl-C and Ctrl-Break) off for its lifetime; one that
// arrives meanwhile takes effect after.
class TSignalHold {
public:
    TSignalHold();
    ~TSignalHold();
    TSignalHold(const TSignalHold&) = delete;
    TSignalHold& operator=(const TSignalHold&) = delete;

private:
    struct TSaved;
    std::unique_ptr<TSaved> m_saved;
};

// A closed pipe on standard output: the reader has gone, so the run ends at once and quietly.
[[noreturn]] void EndOnClosedPipe();

// Wakes a waiting thread: Notify() may be called from any thread, Wait() on the owner's.
class TWakeSignal {
public:
    TWakeSignal();
    ~TWakeSignal();
    TWakeSignal(const TWakeSignal&) = delete;
    TWakeSignal& operator=(const TWakeSignal&) = delete;

    bool Ok() const;
    void Notify();
    // Waits up to timeoutMs for a Notify(), then forgets every one that came. False on an error.
    bool Wait(int timeoutMs);

private:
    struct TState;
    std::unique_ptr<TState> m_state;
};

// The program's version as this system keeps it: on Linux the build's, on Windows the file version of
// the program's version resource (FileVersionText), empty when it has none.
std::string ProgramVersion();
// Whether the system has udev; the udev-rule command is offered only where it has.
bool SystemHasUdev();

// Appends text to the file (created when missing) in one write at its end, so that lines appended by
// several processes never mix, then syncs it to the disk. A write that falls short (a full disk) is
// taken back: the file keeps either the whole text or none of it. A file whose last line was cut
// short (a crash) gets a line end first. False with error when the text is not in the file.
bool AppendWhole(const std::string& path, const std::string& text, std::string& error);

// While it lives, Ctrl-C (SIGINT, SIGTERM; Ctrl-C and Ctrl-Break on Windows) does not end the program
// but is counted, so that a loop can stop at a safe point.
class TInterruptWatch {
public:
    TInterruptWatch();
    ~TInterruptWatch();
    TInterruptWatch(const TInterruptWatch&) = delete;
    TInterruptWatch& operator=(const TInterruptWatch&) = delete;
    int Count() const;

private:
    struct TSaved;
    std::unique_ptr<TSaved> m_saved;
};
