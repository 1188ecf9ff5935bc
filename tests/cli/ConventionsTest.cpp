// The conventions command-line flashers share, on the built programs: --version, output levels, short
// options and help, typed JSON of the target and the devices, serial and character widths, the bash
// completion and device strings beyond ASCII.

#include <gtest/gtest.h>

#include <hidapi.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include <nlohmann/json.hpp>

#include "RunQuarnel.h"

namespace {

const std::string Blink18 = ExamplePath("pic18/blink18.hex");

std::vector<nlohmann::json> Events(const std::string& out, const std::string& kind) {
    std::vector<nlohmann::json> events;
    for (const auto& l : SplitLines(out)) {
        nlohmann::json e = nlohmann::json::parse(l, nullptr, false);
        if (!e.is_discarded() && e.value("event", "") == kind) events.push_back(e);
    }
    return events;
}

long Count(const std::vector<std::string>& lines, const std::regex& re) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, re); });
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

} // namespace

TEST(QuarnelConventions, VersionNamesTheProgramHidapiAndQt) {
    struct TCase {
        std::string program;
        std::vector<std::string> args;
        std::string first;
        std::string qtPattern;
    };
    std::vector<TCase> cases = {
        {QUARNEL_CLI_BINARY, {"--version"}, "quarnel " QUARNEL_TEST_VERSION, "Qt not used \\(no window\\)"},
        {QUARNEL_CLI_BINARY, {"-V"}, "quarnel " QUARNEL_TEST_VERSION, "Qt not used \\(no window\\)"},
        // After a subcommand's options too: the version flag belongs to the program.
        {QUARNEL_CLI_BINARY, {"--version", "list"}, "quarnel " QUARNEL_TEST_VERSION, "Qt not used \\(no window\\)"},
    };
#ifdef QUARNEL_GUI_BINARY
    cases.push_back({QUARNEL_GUI_BINARY, {"--version"}, "quarnel-flash " QUARNEL_TEST_VERSION, "Qt [0-9]+\\.[0-9]+\\.[0-9]+"});
    cases.push_back({QUARNEL_DEMO_BINARY, {"pic24", "--version"}, "quarnel-flash-demo " QUARNEL_TEST_VERSION,
                     "Qt [0-9]+\\.[0-9]+\\.[0-9]+"});
#endif
    for (const auto& c : cases) {
        // No display: --version must not need one.
        const TRunResult r = RunProgram(c.program, c.args, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
        const std::vector<std::string> lines = SplitLines(r.out);
        EXPECT_EQ(r.exitCode, 0) << c.first << r.err;
        ASSERT_EQ(lines.size(), 3u) << r.out;
        EXPECT_EQ(lines[0], c.first);
        EXPECT_EQ(lines[1], std::string("hidapi ") + hid_version_str());
        EXPECT_TRUE(std::regex_match(lines[2], std::regex(c.qtPattern))) << lines[2];
    }
}

TEST(QuarnelConventions, OutputLevels) {
    const std::regex erase("erase 0x[0-9A-F]{8} 64 bytes");
    const std::regex write("write 0x[0-9A-F]{8} [0-9]+ bytes");
    const std::regex plainErase("Erasing flash memory\\.( [1-9]0%)+");
    struct TCase {
        std::string what;
        std::vector<std::string> args;
        std::vector<std::string> env;
        int exitCode;
        std::function<void(const TRunResult&)> check;
    };
    const std::vector<TCase> cases = {
        {"default: the log, and a plain progress line on a pipe", {}, {"NO_COLOR"}, 0,
         [&](const TRunResult& r) {
             EXPECT_EQ(r.OutLines().back(), "Completed.");
             const auto err = SplitLines(r.err);
             EXPECT_EQ(Count(err, plainErase), 1) << r.err;
             // The image and its vector block: one step, one line.
             EXPECT_EQ(Count(err, std::regex("Flashing program image\\..*")), 1) << r.err;
             EXPECT_EQ(r.err.find_first_of("\r\033"), std::string::npos);
             EXPECT_EQ(Count(err, erase), 0);
         }},
        {"NO_COLOR: the same plain line", {}, {"NO_COLOR=1"}, 0,
         [&](const TRunResult& r) {
             EXPECT_EQ(Count(SplitLines(r.err), plainErase), 1) << r.err;
             EXPECT_EQ(r.err.find_first_of("\r\033"), std::string::npos);
         }},
        {"quiet, flashed: the summary only", {"-q"}, {}, 0,
         [&](const TRunResult& r) {
             EXPECT_EQ(r.out, "");
             EXPECT_TRUE(std::regex_match(r.err, std::regex("quarnel: PIC18 flashed in [^\n]*\n"))) << r.err;
         }},
        {"quiet, no answer: the failure line and the summary", {"--quiet", "--sim", "drop-answer=100"}, {}, 4,
         [&](const TRunResult& r) {
             EXPECT_EQ(r.OutLines(), std::vector<std::string>{"Flashing failed: no answer from target!"});
             EXPECT_EQ(SplitLines(r.err).size(), 1u) << r.err;
         }},
        {"quiet, file refused: the image check's lines", {"-q", "--sim", "boot-start=0x40"}, {}, 3,
         [&](const TRunResult& r) {
             const auto lines = r.OutLines();
             ASSERT_FALSE(lines.empty());
             EXPECT_EQ(lines.front(), " Image is too big for this PIC and");
             EXPECT_EQ(std::find(lines.begin(), lines.end(), "Erasing flash memory."), lines.end());
             EXPECT_EQ(SplitLines(r.err).size(), 1u) << r.err;
         }},
        {"verbose: one line per erase and write command", {"-v"}, {}, 0,
         [&](const TRunResult& r) {
             const auto err = SplitLines(r.err);
             EXPECT_EQ(Count(err, erase), 960);
             EXPECT_EQ(Count(err, write), 2);
             ASSERT_GE(err.size(), 2u);
             EXPECT_EQ(err[0], "erase 0x00000000 64 bytes");
             EXPECT_EQ(err[1], "erase 0x00000040 64 bytes");
             EXPECT_EQ(r.OutLines().back(), "Completed."); // the log as before
         }},
        {"quiet and verbose together", {"-q", "-v"}, {}, 1,
         [](const TRunResult& r) {
             EXPECT_EQ(r.out, "");
             EXPECT_NE(r.err.find("--quiet and --verbose cannot be combined"), std::string::npos);
         }},
        {"quiet, every board: only the failing board's lines", {"-q", "--all", "--boards", "3", "--board-sim", "2:drop-answer=100"}, {}, 4,
         [](const TRunResult& r) {
             EXPECT_NE(r.out.find("=== sim:2 ===\nFlashing failed: no answer from target!"), std::string::npos) << r.out;
             EXPECT_EQ(r.out.find("=== sim:1 ==="), std::string::npos);
             EXPECT_EQ(r.out.find("Completed."), std::string::npos);
         }},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"flash", Blink18, "--simulate", "pic18"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const TRunResult r = RunProgram(QUARNEL_CLI_BINARY, args, c.env);
        SCOPED_TRACE(c.what);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        c.check(r);
    }
}

TEST(QuarnelConventions, ShortOptionsAndHelp) {
    struct TCase {
        std::vector<std::string> shortForm;
        std::vector<std::string> longForm;
    };
    const std::vector<TCase> cases = {
        {{"info", "--simulate", "pic18", "-w", "3", "--sim", "plug-after-ms=1500"},
         {"info", "--simulate", "pic18", "--wait", "3", "--sim", "plug-after-ms=1500"}},
        {{"info", "--simulate", "pic18", "--boards", "3", "-s", "SIM0002"},
         {"info", "--simulate", "pic18", "--boards", "3", "--serial", "SIM0002"}},
        {{"info", "--simulate", "pic18", "--boards", "3", "-p", "sim:3"},
         {"info", "--simulate", "pic18", "--boards", "3", "--path", "sim:3"}},
        {{"list", "--simulate", "pic24", "-j"}, {"list", "--simulate", "pic24", "--json"}},
        {{"flash", Blink18, "--simulate", "pic18", "-d"}, {"flash", Blink18, "--simulate", "pic18", "--disable-bootloader"}},
    };
    for (const auto& c : cases) {
        const TRunResult s = RunQuarnel(c.shortForm);
        const TRunResult l = RunQuarnel(c.longForm);
        EXPECT_EQ(s.exitCode, 0) << s.err;
        EXPECT_EQ(s.exitCode, l.exitCode);
        EXPECT_EQ(s.out, l.out);
        // The summary, without the wall-clock time of the run.
        const std::regex time("[0-9]+\\.[0-9]+ s");
        EXPECT_EQ(std::regex_replace(s.err, time, "T"), std::regex_replace(l.err, time, "T"));
    }
    const TRunResult flashHelp = RunQuarnel({"flash", "--help"});
    for (const char* shown : {"-w,--wait", "-s,--serial", "-p,--path", "-j,--json", "-d,--disable-bootloader",
                              "-q,--quiet", "-v,--verbose"})
        EXPECT_NE(flashHelp.out.find(shown), std::string::npos) << shown;
    EXPECT_EQ(flashHelp.out.find("FILE:FILE"), std::string::npos);
    EXPECT_NE(flashHelp.out.find("file FILE REQUIRED"), std::string::npos);
    EXPECT_NE(RunQuarnel({"list", "--help"}).out.find("-j,--json"), std::string::npos);
    EXPECT_NE(RunQuarnel({"--help"}).out.find("-V,--version"), std::string::npos);
    EXPECT_EQ(RunQuarnel({"--help"}).out.find("completion"), std::string::npos); // hidden
    const TRunResult none = RunQuarnel({});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("SUBCOMMAND\nSubcommands: list, info, flash, udev-rule\n\nA subcommand is required\n"),
              std::string::npos)
        << none.err;
}

TEST(QuarnelConventions, TargetAndDeviceEventsAreTyped) {
    struct TCase {
        std::vector<std::string> args;
        nlohmann::json expected;
    };
    const std::vector<TCase> cases = {
        {{"info", "--simulate", "pic18", "--json"},
         {{"event", "target"}, {"family", "PIC18"}, {"family_code", 2}, {"flash_size", 65536}, {"erase_block", 64},
          {"write_block", 64}, {"boot_start", 0xF000}, {"revision", 0x110}, {"descriptor", "Virtual PIC18"},
          {"path", "sim:1"}, {"serial", "SIM0001"}}},
        {{"info", "--simulate", "pic32", "--json", "--sim", "serial=,descriptor=Board A,revision=0x0203"},
         {{"event", "target"}, {"family", "PIC32"}, {"family_code", 20}, {"flash_size", 0x80000},
          {"erase_block", 4096}, {"write_block", 512}, {"boot_start", 0x9D07C000u}, {"revision", 0x203},
          {"descriptor", "Board A"}, {"path", "sim:1"}, {"serial", nullptr}}},
        // flash reports the target too, before the run.
        {{"flash", Blink18, "--simulate", "pic18", "-j", "--boards", "2", "-p", "sim:2"},
         {{"event", "target"}, {"family", "PIC18"}, {"family_code", 2}, {"flash_size", 65536}, {"erase_block", 64},
          {"write_block", 64}, {"boot_start", 0xF000}, {"revision", 0x110}, {"descriptor", "Virtual PIC18"},
          {"path", "sim:2"}, {"serial", "SIM0002"}}},
    };
    for (const auto& c : cases) {
        const TRunResult r = RunQuarnel(c.args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const auto targets = Events(r.out, "target");
        ASSERT_EQ(targets.size(), 1u) << r.out;
        // Compared as parsed JSON: numbers must be numbers, a missing serial null.
        EXPECT_EQ(targets[0], c.expected) << targets[0].dump();
    }
    const TRunResult list =
        RunQuarnel({"list", "--simulate", "pic18", "--boards", "2", "--board-sim", "2:serial=", "--json"});
    const auto devices = Events(list.out, "device");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]["serial"], "SIM0001");
    EXPECT_TRUE(devices[1]["serial"].is_null());
    for (const auto& d : devices) {
        EXPECT_TRUE(d["openable"].is_boolean());
        EXPECT_TRUE(d["open_error"].is_null());
        EXPECT_EQ(d["vid"], "3930");
    }
}

TEST(QuarnelConventions, SerialDashesAndCharacterWidths) {
    TScratchDir dir;
    const std::string longName = dir.File("a" + Repeat("\xC3\x9F", 30) + ".hex"); // a, 30 x sharp s
    const std::string shortName = dir.File("\xC3\xA9.hex");                        // e acute
    std::filesystem::copy_file(Blink18, longName);
    std::filesystem::copy_file(Blink18, shortName);
    struct TCase {
        std::vector<std::string> args;
        int exitCode;
        std::string errHas;
        std::string outLine; // a whole line stdout must hold (status lines keep their padding)
    };
    const std::vector<TCase> cases = {
        {{"info", "--simulate", "pic18", "--boards", "2", "--board-sim", "2:serial=", "--serial", "---"}, 0,
         "ready at sim:2 (serial ---)", ""},
        {{"info", "--simulate", "pic18", "--boards", "2", "-s", "---"}, 2,
         "no bootloader with 3930:2021 without a serial number found", ""},
        {{"flash", longName, "--simulate", "pic18", "--sim", "serial=", "-s", "---"}, 0, "PIC18 flashed",
         "Parsing HEX file: a" + Repeat("\xC3\x9F", 25) + "..."},
        {{"flash", shortName, "--simulate", "pic18"}, 0, "PIC18 flashed",
         "Parsing HEX file: \xC3\xA9.hex" + std::string(47 - 23, ' ')},
    };
    for (const auto& c : cases) {
        const TRunResult r = RunQuarnel(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
        if (c.outLine.empty()) continue;
        const auto lines = SplitLines(r.out);
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.outLine), lines.end()) << r.out;
        // The same line in JSON: valid UTF-8, no replacement character.
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const TRunResult j = RunQuarnel(args);
        bool found = false;
        for (const auto& e : Events(j.out, "log"))
            found = found || e["line"] == c.outLine;
        EXPECT_TRUE(found) << c.outLine;
        EXPECT_EQ(j.out.find("\xEF\xBF\xBD"), std::string::npos);
    }
}

TEST(QuarnelConventions, BashCompletionFromTheOptionTable) {
    const std::string script = RunQuarnel({"completion", "bash"}).out;
    ASSERT_NE(script.find("complete -F _quarnel quarnel"), std::string::npos);
    // The build writes the same script for the package.
    EXPECT_EQ(ReadText(QUARNEL_BASH_COMPLETION_FILE), script);
    TScratchDir dir;
    const std::string scriptFile = dir.File("quarnel.bash");
    {
        std::ofstream(scriptFile) << script;
        std::ofstream(dir.File("app.hex")) << ":00000001FF\n";
    }
    struct TCase {
        std::string line; // the words typed so far; the last one is being completed
        std::vector<std::string> has;
        std::vector<std::string> hasNot;
    };
    const std::vector<TCase> cases = {
        {"quarnel ", {"list", "info", "flash", "udev-rule", "--version"}, {"completion"}},
        {"quarnel fl", {"flash"}, {"list"}},
        {"quarnel flash --d", {"--disable-bootloader"}, {"--json"}},
        {"quarnel flash -", {"-w", "--wait", "-s", "-p", "-j", "-d", "-q", "-v", "--trace", "--sim-dump"}, {"--bootloaders"}},
        {"quarnel list --", {"--bootloaders", "--json"}, {"--wait", "--trace"}},
        {"quarnel info --simulate pic1", {"pic16", "pic18", "pic18fj"}, {"pic24", "--json"}},
        {"quarnel flash " + dir.File("ap"), {dir.File("app.hex")}, {}},
        {"quarnel flash x.hex --trace " + dir.File("q"), {dir.File("quarnel.bash")}, {}},
        {"quarnel info --wait ", {}, {"--json", "pic18"}},
    };
    for (const auto& c : cases) {
        const std::string shell = "source \"$1\"; read -r -a COMP_WORDS <<< \"$2\"; "
                                  "[[ $2 == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                  "_quarnel; printf '%s\\n' \"${COMPREPLY[@]}\"";
        const TRunResult r = RunProgram("/bin/bash", {"-c", shell, "bash", scriptFile, c.line});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::vector<std::string> words = SplitLines(r.out);
        for (const auto& w : c.has)
            EXPECT_NE(std::find(words.begin(), words.end(), w), words.end()) << c.line << " -> " << w;
        for (const auto& w : c.hasNot)
            EXPECT_EQ(std::find(words.begin(), words.end(), w), words.end()) << c.line << " -> " << w;
    }
    // Every family the completion offers is one --simulate takes.
    const TRunResult families =
        RunProgram("/bin/bash", {"-c", "source \"$1\"; COMP_WORDS=(quarnel list --simulate ''); COMP_CWORD=3; "
                                       "_quarnel; printf '%s\\n' \"${COMPREPLY[@]}\"",
                                 "bash", scriptFile});
    const auto offered = SplitLines(families.out);
    EXPECT_EQ(offered.size(), 6u);
    for (const auto& f : offered)
        EXPECT_EQ(RunQuarnel({"list", "--simulate", f}).exitCode, 0) << f;
}

TEST(QuarnelConventions, DeviceStringsBeyondAscii) {
    // The virtual boards hand their strings over as hidapi does, converted by the C library.
    const std::vector<std::vector<std::string>> environments = {
        {"LC_ALL", "LC_CTYPE", "LANG"}, // no locale at all: the C library's "C"
        {"LC_ALL=C"},
        {"LC_ALL=POSIX"},
        {"LC_ALL", "LANG", "LC_CTYPE=C.UTF-8"},
        {"LC_ALL=xx_YY.UTF-8"}, // unknown to the system
    };
    const std::string product = "Carte d\xC3\xA9mo \xE2\x9C\x93"; // e acute, check mark
    const std::string serial = "S\xC3\xA9r-1";
    for (const auto& env : environments) {
        SCOPED_TRACE(env.front());
        const TRunResult list = RunProgram(
            QUARNEL_CLI_BINARY, {"list", "--simulate", "pic18", "--sim", "product=" + product + ",serial=" + serial}, env);
        EXPECT_EQ(list.out, "sim:1\t3930:2021\t0100\tQuarnel\t" + product + "\t" + serial + "\n");
        const TRunResult json = RunProgram(
            QUARNEL_CLI_BINARY, {"list", "-j", "--simulate", "pic18", "--sim", "manufacturer=" + product}, env);
        const auto devices = Events(json.out, "device");
        ASSERT_EQ(devices.size(), 1u);
        EXPECT_EQ(devices[0]["manufacturer"], product);
        const TRunResult info =
            RunProgram(QUARNEL_CLI_BINARY, {"flash", Blink18, "--simulate", "pic18", "--sim", "serial=" + serial}, env);
        EXPECT_EQ(info.exitCode, 0);
        // Only the character type follows the environment: numbers keep their point.
        EXPECT_TRUE(std::regex_search(info.err, std::regex("flashed in [0-9]+\\.[0-9]{2} s \\(on a real target: 9\\.9 s\\)")))
            << info.err;
        const TRunResult ready =
            RunProgram(QUARNEL_CLI_BINARY, {"info", "--simulate", "pic18", "--sim", "serial=" + serial}, env);
        EXPECT_NE(ready.err.find("ready at sim:1 (serial " + serial + ")"), std::string::npos) << ready.err;
    }
}
