#pragma once
// Starts the built quarnel program and collects what it wrote and how it ended.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct TRunResult {
    int exitCode = -1; // -1: did not exit normally
    int signal = 0;    // the signal that ended it, if one did
    std::string out;
    std::string err;
    std::vector<std::string> OutLines() const; // stdout split at newlines, trailing blanks removed
};

// Runs quarnel with the arguments and standard input read from stdinPath; it is killed after
// timeoutS seconds.
TRunResult RunQuarnel(const std::vector<std::string>& args, int timeoutS = 120,
                      const std::string& stdinPath = "/dev/null");
// Runs a program with the arguments and this environment's variables changed: "NAME=VALUE" sets
// one, "NAME" removes it; standard input from stdinPath.
TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}, int timeoutS = 120,
                      const std::string& stdinPath = "/dev/null");

// Where quarnel's standard streams go, and what happens while it runs.
struct TRunOptions {
    std::string stdinPath = "/dev/null";
    std::string stdoutFile;         // opened for writing in place of the pipe (e.g. /dev/full)
    bool stdoutReaderGone = false;  // a pipe whose reading end is closed before the start
    bool ignoreSigpipe = false;     // started with SIGPIPE ignored, as some launchers do
    std::function<void(pid_t)> whileRunning; // called once, right after the start
    int timeoutS = 120;
};
TRunResult RunQuarnel(const std::vector<std::string>& args, const TRunOptions& options);

std::string ExamplePath(const std::string& relative);
std::string CliDataPath(const std::string& name);
std::vector<unsigned char> ReadBinary(const std::string& path);
std::string ReadText(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text);

// A scratch directory removed with its contents at the end.
class TScratchDir {
public:
    TScratchDir();
    ~TScratchDir();
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};
