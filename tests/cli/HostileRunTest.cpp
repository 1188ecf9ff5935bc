// The built quarnel program against what a careless or hostile user hands it: output paths that name
// the input, full disks, closed pipes, interruptions, forty boards, device text with control characters.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <thread>

#include "RunQuarnel.h"

namespace {

const std::string Blink18 = ExamplePath("pic18/blink18.hex");
const std::string Blink32 = ExamplePath("pic32/blink32.hex");

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The child of parent whose command line (arguments joined by blanks) contains pattern, or 0.
pid_t ChildWith(pid_t parent, const std::string& pattern) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const pid_t pid = pid_t(std::atoi(e.path().filename().c_str()));
        if (pid <= 0) continue;
        const std::string stat = ReadText(e.path() / "stat");
        std::string cmd = ReadText(e.path() / "cmdline");
        std::replace(cmd.begin(), cmd.end(), '\0', ' ');
        const size_t close = stat.rfind(')');
        int ppid = 0;
        if (close != std::string::npos && std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 &&
            ppid == parent && Has(cmd, pattern))
            return pid;
    }
    return 0;
}

template <typename Done>
bool WaitFor(Done done, int seconds = 20) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace

TEST(QuarnelOutputs, NeverWriteOverTheHexFile) {
    TScratchDir dir;
    const std::string hex = dir.File("image.hex");
    const std::string hex32 = dir.File("p-boot.bin");
    std::filesystem::copy_file(Blink18, hex);
    std::filesystem::copy_file(Blink32, hex32);
    std::filesystem::create_hard_link(hex, dir.File("hard.txt"));
    std::filesystem::create_symlink(hex, dir.File("soft.txt"));
    std::filesystem::copy_file(Blink18, dir.File("d-flash.bin"));
    // The arguments, and the file on standard input (its name as the input for "-").
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"flash", hex, "--simulate", "pic18", "--trace", hex}, "/dev/null"},
        {{"flash", hex, "--simulate", "pic18", "--trace", dir.File("hard.txt")}, "/dev/null"},
        {{"flash", hex, "--simulate", "pic18", "--trace", dir.File("soft.txt")}, "/dev/null"},
        {{"flash", "-", "--simulate", "pic18", "--trace", dir.File("hard.txt")}, hex},
        {{"flash", dir.File("d-flash.bin"), "--simulate", "pic18", "--sim-dump", dir.File("d")}, "/dev/null"},
        {{"flash", hex32, "--simulate", "pic32", "--sim-dump", dir.File("p")}, "/dev/null"},
    };
    for (const auto& [args, stdinPath] : cases) {
        const bool piped = args[1] == "-";
        const std::string input = piped ? stdinPath : args[1];
        const std::string before = ReadText(input);
        ASSERT_FALSE(before.empty());
        const TRunResult r = RunQuarnel(args, 120, stdinPath);
        EXPECT_EQ(r.exitCode, 1) << args.back() << r.err;
        EXPECT_TRUE(Has(r.err, "would write over the HEX file " + (piped ? "on standard input" : input))) << r.err;
        EXPECT_EQ(r.out, "") << args.back(); // refused before anything ran
        EXPECT_EQ(ReadText(input), before) << args.back();
    }
}

// The trace is in its file line by line: an interrupted run leaves whole lines and no torn one.
TEST(QuarnelOutputs, InterruptedTraceKeepsWholeLines) {
    for (const int sig : {SIGINT, SIGTERM}) {
        TScratchDir dir;
        const std::string trace = dir.File("trace.txt");
        TRunOptions run;
        size_t seen = 0;
        run.whileRunning = [&](pid_t pid) {
            // On the real clock the erase alone takes 10 s; stop the run once the trace has begun.
            EXPECT_TRUE(WaitFor([&] {
                std::error_code ec;
                seen = std::filesystem::exists(trace, ec) ? std::filesystem::file_size(trace, ec) : 0;
                return seen > 0;
            }));
            ::kill(pid, sig);
        };
        const TRunResult r = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--real-time", "--trace", trace}, run);
        EXPECT_EQ(r.signal, sig);
        const std::string text = ReadText(trace);
        ASSERT_GE(text.size(), seen);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n') << "a torn last line after signal " << sig;
        for (const auto& l : SplitLines(text))
            EXPECT_TRUE(std::regex_match(l, std::regex("[0-9]+\\.[0-9]{3} (OUT|IN) [0-9a-f]{128}"))) << l;
    }
}

// An output that cannot be written fails the run with exit 1; a reader that has gone ends it quietly
// by SIGPIPE, also when whoever started it ignored SIGPIPE.
TEST(QuarnelOutputs, UnwritableOutputFailsTheRun) {
    TScratchDir dir;
    const std::vector<std::string> json = {"flash", Blink18, "--simulate", "pic18", "--json"};
    const std::vector<std::string> all = {"flash", Blink18, "--all", "--simulate", "pic18", "--boards", "2"};
    const std::string full = "cannot write standard output: No space left on device";
    struct TCase {
        std::vector<std::string> args;
        std::string stdoutFile; // "": a pipe whose reader has gone
        bool ignoreSigpipe;
        std::string message;    // "": ended by SIGPIPE with nothing on stderr
    };
    const std::vector<TCase> cases = {
        {json, "/dev/full", false, full},
        {{"flash", Blink18, "--simulate", "pic18"}, "/dev/full", false, full},
        {{"list", "--simulate", "pic18"}, "/dev/full", false, full},
        {all, "/dev/full", false, full},
        {{"flash", Blink18, "--simulate", "pic18", "--trace", "/dev/full"}, "/dev/null", false,
         "cannot write the trace file /dev/full: No space left on device"},
        {{"flash", Blink18, "--simulate", "pic18", "--sim-dump", dir.File("none/p")}, "/dev/null", false,
         "cannot write " + dir.File("none/p") + "-flash.bin: No such file or directory"},
        {json, "", false, ""}, {json, "", true, ""}, {all, "", false, ""}, {all, "", true, ""},
    };
    for (const auto& c : cases) {
        TRunOptions run;
        run.stdoutFile = c.stdoutFile;
        run.stdoutReaderGone = c.stdoutFile.empty();
        run.ignoreSigpipe = c.ignoreSigpipe;
        const TRunResult r = RunQuarnel(c.args, run);
        const std::string what = c.args[2] + " " + c.stdoutFile + (c.ignoreSigpipe ? " SIGPIPE ignored" : "");
        EXPECT_EQ(r.exitCode, c.message.empty() ? -1 : 1) << what << "\n" << r.err;
        EXPECT_EQ(r.signal, c.message.empty() ? SIGPIPE : 0) << what;
        EXPECT_EQ(r.err.empty(), c.message.empty()) << what << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.message)) << r.err;
    }
}

// Every attached bootloader, not only as many as the window's table holds.
TEST(QuarnelAll, FortyBoardsAreAllTried) {
    const TRunResult r = RunQuarnel({"flash", Blink18, "--all", "--simulate", "pic18", "--boards", "40",
                                     "--board-sim", "40:drop-answer=100"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_TRUE(Has(r.err, "quarnel: 39 of 40 boards flashed (exit 4)\n")) << r.err;
    int rows = 0;
    for (const auto& l : SplitLines(r.out))
        rows += std::regex_match(l, std::regex("sim:[0-9]+ +[0-9] +.*")) ? 1 : 0;
    EXPECT_EQ(rows, 40);
    EXPECT_TRUE(Has(r.out, "\nsim:40  4     flashing failed")) << r.out;

    const TRunResult list = RunQuarnel({"list", "--bootloaders", "--simulate", "pic18", "--boards", "40"});
    EXPECT_EQ(SplitLines(list.out).size(), 40u);
    const TRunResult many = RunQuarnel({"info", "--simulate", "pic18", "--boards", "40"});
    EXPECT_TRUE(Has(many.err, "40 bootloaders with 3930:2021 match")) << many.err;
}

TEST(QuarnelAll, BoardWhoseProcessIsKilledHasFailed) {
    TRunOptions run;
    run.whileRunning = [](pid_t parent) {
        pid_t victim = 0;
        // On the real clock each board takes 0.7 s, so the process is still there to be killed.
        EXPECT_TRUE(WaitFor([&] { return (victim = ChildWith(parent, "--path sim:2 ")) != 0; }));
        if (victim != 0) ::kill(victim, SIGKILL);
    };
    const TRunResult r =
        RunQuarnel({"flash", Blink18, "--all", "--simulate", "pic18", "--boards", "3", "--real-time", "--sim",
                    "boot-start=0x800"},
                   run);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_TRUE(Has(r.out, "\nsim:2  4     terminated by signal 9\n")) << r.out;
    EXPECT_TRUE(Has(r.err, "quarnel: 2 of 3 boards flashed (exit 4)")) << r.err;
}

// Serials and file names are shown with their control characters escaped, never sent raw.
TEST(QuarnelOutputs, ControlCharactersAreEscaped) {
    TScratchDir dir;
    const std::string oddHex = dir.File("odd\x1b[2J.hex");
    std::filesystem::copy_file(Blink18, oddHex);
    const std::string evil = "2:serial=EVIL\nsim:9\tFAKE\x1b[31m\xc2\x9b";
    const std::string shown = "EVIL\\x0asim:9\\x09FAKE\\x1b[31m\\u009b";
    struct TCase {
        std::vector<std::string> args;
        bool onStdout;
        std::string expected;
    };
    const std::vector<TCase> cases = {
        {{"list", "--bootloaders", "--simulate", "pic18", "--boards", "2", "--board-sim", evil}, true,
         "sim:2\t" + shown + "\tVirtual PIC18 bootloader\n"},
        {{"list", "--simulate", "pic18", "--boards", "2", "--board-sim", evil}, true, "\t" + shown + "\n"},
        {{"info", "--simulate", "pic18", "--boards", "2", "--board-sim", evil, "--path", "sim:2"}, false,
         "ready at sim:2 (serial " + shown + ")\n"},
        {{"info", "--simulate", "pic18", "--boards", "2", "--board-sim", evil}, false,
         "quarnel:   sim:2  serial " + shown + "  Virtual"},
        {{"flash", oddHex, "--simulate", "pic18"}, true, "Parsing HEX file: odd\\x1b[2J.hex"},
        {{"flash", oddHex, "--all", "--simulate", "pic18", "--boards", "2"}, true, "Parsing HEX file: odd\\x1b[2J.hex"},
    };
    for (const auto& c : cases) {
        const TRunResult r = RunQuarnel(c.args);
        const std::string& text = c.onStdout ? r.out : r.err;
        EXPECT_TRUE(Has(text, c.expected)) << c.expected << "\n---\n" << text;
        EXPECT_FALSE(Has(r.out + r.err, "\x1b")) << c.args[0];
        EXPECT_FALSE(Has(r.out + r.err, "\nsim:9")) << c.args[0];
    }
}

// A flash of size 0 dumps as an empty file.
TEST(QuarnelFlash, EmptyFlashDumpsAnEmptyFile) {
    TScratchDir dir;
    const TRunResult r =
        RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--sim", "flash-size=0", "--sim-dump", dir.File("z")});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_FALSE(Has(r.err, "runtime error")) << r.err;
    ASSERT_TRUE(std::filesystem::exists(dir.File("z-flash.bin")));
    EXPECT_EQ(std::filesystem::file_size(dir.File("z-flash.bin")), 0u);
}

// Through a shell, for what only a shell sets up: closed descriptors and a file-size limit.
static TRunResult RunInShell(const std::string& script) {
    return RunProgram("/bin/sh", {"-c", script, QUARNEL_CLI_BINARY});
}

// Closed standard streams are opened on /dev/null first: the trace cannot become standard output.
// A dump that cannot be written whole leaves no file behind.
TEST(QuarnelStreams, ClosedStreamsAndFailedDumps) {
    TScratchDir dir;
    const std::string trace = dir.File("t.trace");
    TRunResult r = RunInShell("\"$0\" flash " + Blink18 + " --simulate pic18 --trace " + trace + " >&- 2>&-");
    EXPECT_EQ(r.exitCode, 0);
    const std::vector<std::string> lines = SplitLines(ReadText(trace));
    EXPECT_GT(lines.size(), 900u);
    for (const std::string& line : lines)
        ASSERT_TRUE(std::regex_match(line, std::regex("[0-9.]+ (OUT|IN) [0-9a-f]{128}"))) << line;
    r = RunInShell("\"$0\" flash - --simulate pic18 <&-");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "standard input is closed")) << r.err;
    // 64 KiB of flash against a limit of a few KiB: the write fails (not a signal, it is ignored).
    r = RunInShell("trap '' XFSZ; ulimit -f 8; \"$0\" flash " + Blink18 + " --simulate pic18 --sim-dump " +
                   dir.File("d"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "cannot write " + dir.File("d") + "-flash.bin: File too large")) << r.err;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("")), {}), 1) << "only the trace is left";
}
