#pragma once
// What keeps the command line's output honest and harmless: an output file never replaces an input,
// the trace reaches its file line by line, a failed write is noticed, a closed pipe ends the run
// quietly, and text from devices or file names cannot drive the terminal.

#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>

#include "cli/CliOptions.h"
#include "cli/CliPlatform.h"

// True when output exists and is the same file (same device and inode, or volume and file index) as input, the flash command's
// FILE ("-": standard input): links and symbolic links to a file count as that file.
bool SameFile(const std::string& output, const std::string& input);

// The files a flash run writes (the trace, the flash dumps) must not be the HEX file it reads; false
// with error naming the option otherwise.
bool OutputsSpareTheInput(const TCliOptions& options, std::string& error);

// Control characters as \xNN (C0, DEL, and C1 as U+0080..U+009F or as a stray byte), so that a
// device's serial or a file name cannot start a line of its own or send escape sequences.
std::string EscapeControls(const std::string& text);

// The reason for a failed write (an errno value), e.g. "No space left on device".
std::string WriteErrorText(int error);

// Flushes f. A closed pipe ends the run (EndOnClosedPipe); another failure is kept in error (the
// first one only) and the run goes on, so that a board is never left half flashed for want of a log.
void FlushOutput(std::FILE* f, int& error);
// "cannot write <what>: <reason>", or "" when error is 0.
std::string WriteFailure(const std::string& what, int error);
// A run whose output could not be written fails with exit 1, unless it failed with a code of its own.
int CodeAfterWriteFailure(int code);
// When error is set: "quarnel: cannot write <what>: <reason> (exit <code>)" on stderr, with the code
// from CodeAfterWriteFailure, which is returned.
int FailedWrite(int code, const std::string& what, int error);

// The trace file: every line goes to the file when it is complete (one write), with SIGINT and
// SIGTERM held off meanwhile, so an interrupted run leaves every report it traced and no torn line.
class TTraceFile final : private std::streambuf, public std::ostream {
public:
    TTraceFile();
    ~TTraceFile() override;
    TTraceFile(const TTraceFile&) = delete;
    TTraceFile& operator=(const TTraceFile&) = delete;

    // Opens (creating or emptying) path, refusing to empty the file that avoid names (as SameFile).
    bool Open(const std::string& path, const std::string& avoid, std::string& error);
    // errno of the first failed write, 0 while none failed.
    int Error() const { return m_error; }

private:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

    int m_fd = -1;
    int m_error = 0;
    std::string m_pending;
};
