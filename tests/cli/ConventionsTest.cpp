// The conventions command-line flashers share, on the built programs: --version, output levels, short
// options and help, typed JSON, serial and character widths, bash completion, non-ASCII device strings.

#include <gtest/gtest.h>

#include <hidapi.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "RunQuarnel.h"
#include "cli/BashCompletion.h"

namespace {

const std::string Blink18 = ExamplePath("pic18/blink18.hex");
const std::string Cli = QUARNEL_CLI_BINARY;

std::vector<nlohmann::json> Events(const std::string& out, const std::string& kind) {
    std::vector<nlohmann::json> events;
    for (const auto& l : SplitLines(out)) {
        nlohmann::json e = nlohmann::json::parse(l, nullptr, false);
        if (!e.is_discarded() && e.value("event", "") == kind) events.push_back(e);
    }
    return events;
}

bool Has(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

// "flash FILE -q" as arguments, FILE standing for the PIC18 example.
std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w == "FILE" ? Blink18 : w);
    return words;
}

} // namespace

TEST(QuarnelConventions, VersionNamesTheProgramHidapiAndQt) {
    std::vector<std::vector<std::string>> cases = {
        {Cli, "--version", "quarnel", "Qt not used \\(no window\\)"},
        {Cli, "-V", "quarnel", "Qt not used \\(no window\\)"}};
#ifdef QUARNEL_GUI_BINARY
    cases.push_back({QUARNEL_GUI_BINARY, "--version", "quarnel-flash", "Qt [0-9]+\\.[0-9]+\\.[0-9]+"});
    cases.push_back({QUARNEL_DEMO_BINARY, "--version", "quarnel-flash-demo", "Qt [0-9]+\\.[0-9]+\\.[0-9]+"});
#endif
    for (const auto& c : cases) {
        // Without a display: --version must not need one.
        const TRunResult r = RunProgram(c[0], {c[1]}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
        EXPECT_EQ(r.exitCode, 0) << c[2];
        const std::string expected = c[2] + " " QUARNEL_TEST_VERSION "\nhidapi " + hid_version_str() + "\n";
        EXPECT_TRUE(std::regex_match(r.out, std::regex(expected + c[3] + "\n"))) << r.out;
    }
}

TEST(QuarnelConventions, OutputLevels) {
    const std::string failed = "Flashing failed: no answer from target! *\n";
    const std::vector<std::vector<std::string>> cases = {
        // options, exit code, what stdout and stderr hold. A pipe: one plain progress line per step;
        // the image and its vector block are one step.
        {"", "0", "Completed\\. *\n$",
         "\nErasing flash memory\\.( [1-9]0%)+\nFlashing program image\\.( [1-5]0%)+\nquarnel: PIC18 "
         "flashed"},
        {"-q", "0", "^$", "^quarnel: PIC18 flashed in [^\n]*\n$"},
        {"--quiet --sim drop-answer=100", "4", "^" + failed + "$", "^quarnel: [^\n]*\n$"},
        {"-q --sim boot-start=0x40", "3",
         "^ Image is too big for this PIC and\n would overwrite \\(part of\\) bootloader!\n Programming will "
         "be "
         "aborted\\.\nError parsing hex file\\. *\n$",
         "^quarnel: HEX file refused[^\n]*\n$"},
        {"-q --sim corrupt-at=964", "5", "^Virtual target: flash differs[^\n]*\n$", "^quarnel: [^\n]*\n$"},
        {"-v", "0", "Completed\\. *\n$", "^erase 0x00000000 64 bytes\nerase 0x00000040 64 bytes\n"},
        {"-v --sim duplicate-answer=3", "0", "Completed\\. *\n$",
         "^erase 0x00000000 64 bytes\nerase 0x00000040 64 bytes\ndropped 1 stale report\nerase 0x00000080"},
        {"-q -v", "1", "^$", "--quiet and --verbose cannot be combined"},
        {"-q --all --boards 3 --board-sim 2:drop-answer=100", "4", "^=== sim:2 ===\n" + failed + "board ",
         ""},
    };
    for (const auto& c : cases) {
        const TRunResult r = RunProgram(Cli, Words("flash FILE --simulate pic18 " + c[0]), {"NO_COLOR=1"});
        EXPECT_EQ(r.exitCode, std::stoi(c[1])) << c[0];
        EXPECT_TRUE(Has(r.out, c[2]) && Has(r.err, c[3]) && !Has(r.err, "[\r\033]")) << c[0] << "\n" << r.out;
        const auto err = SplitLines(r.err);
        const long erases =
            std::count_if(err.begin(), err.end(), [](auto& l) { return Has(l, "^erase .* 64 bytes$"); });
        const bool verbose = c[0].rfind("-v", 0) == 0 && c[1] == "0";
        EXPECT_EQ(erases, verbose ? 960 : 0);
        EXPECT_EQ(std::count_if(err.begin(), err.end(), [](auto& l) { return Has(l, "^write "); }),
                  verbose ? 2 : 0);
    }
}

TEST(QuarnelConventions, ShortOptionsAndHelp) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"info -w 3 --sim plug-after-ms=1500", "info --wait 3 --sim plug-after-ms=1500"},
        {"info --boards 3 -s SIM0002", "info --boards 3 --serial SIM0002"},
        {"info --boards 3 -p sim:3", "info --boards 3 --path sim:3"},
        {"list -j", "list --json"},
        {"flash FILE -d", "flash FILE --disable-bootloader"},
    };
    for (const auto& [shortForm, longForm] : cases) {
        const TRunResult s = RunQuarnel(Words(shortForm + " --simulate pic18"));
        EXPECT_EQ(s.exitCode, 0) << s.err;
        EXPECT_EQ(s.out, RunQuarnel(Words(longForm + " --simulate pic18")).out);
    }
    const std::string help = RunQuarnel({"flash", "--help"}).out;
    EXPECT_TRUE(Has(help, "-w,--wait.*\n *-p,--path.*\n *-s,--serial")) << help;
    EXPECT_TRUE(Has(help, "-j,--json.*\n *-q,--quiet.*\n *-v,--verbose.*\n *-d,--disable-bootloader"));
    EXPECT_TRUE(Has(help, "file FILE REQUIRED") && !Has(help, "FILE:FILE|Excludes"));
    const std::string top = RunQuarnel({"--help"}).out;
    EXPECT_TRUE(Has(top, "-V,--version") && !Has(top, "completion"));
    EXPECT_TRUE(Has(RunQuarnel({}).err, "SUBCOMMAND\nSubcommands: [^\n]*\n\nA subcommand is required\n"));
}

TEST(QuarnelConventions, TargetAndDeviceEventsAreTyped) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"info", "--simulate", "pic18", "-j"},
         R"({"boot_start":61440,"descriptor":"Virtual PIC18","erase_block":64,"event":"target","family":"PIC18","family_code":2,"flash_size":65536,"path":"sim:1","revision":272,"serial":"SIM0001","write_block":64})"},
        {{"info", "--simulate", "pic32", "-j", "--sim", "serial=,descriptor=Board A,revision=0x0203"},
         R"({"boot_start":2634530816,"descriptor":"Board A","erase_block":4096,"event":"target","family":"PIC32","family_code":20,"flash_size":524288,"path":"sim:1","revision":515,"serial":null,"write_block":512})"},
        {{"flash", Blink18, "--simulate", "pic24", "-j", "--boards", "2", "-p", "sim:2"},
         R"({"boot_start":57344,"descriptor":"Virtual PIC24","erase_block":1536,"event":"target","family":"PIC24","family_code":4,"flash_size":98304,"path":"sim:2","revision":513,"serial":"SIM0002","write_block":192})"},
        {{"list", "--simulate", "pic18", "-j", "--sim", "serial=---"},
         R"({"event":"device","manufacturer":"Quarnel","open_error":null,"openable":true,"path":"sim:1","pid":"2021","product":"Virtual PIC18 bootloader","serial":"---","version":"0100","vid":"3930"})"},
        {{"list", "--simulate", "pic18", "-j", "--sim", "serial="},
         R"({"event":"device","manufacturer":"Quarnel","open_error":null,"openable":true,"path":"sim:1","pid":"2021","product":"Virtual PIC18 bootloader","serial":null,"version":"0100","vid":"3930"})"},
    };
    for (const auto& [args, expected] : cases) {
        const TRunResult r = RunQuarnel(args);
        const auto events = Events(r.out, args[0] == "list" ? "device" : "target");
        ASSERT_EQ(events.size(), 1u) << r.out << r.err;
        EXPECT_EQ(events[0].dump(), expected); // numbers as numbers, a missing serial as null
    }
}

TEST(QuarnelConventions, SerialDashesAndCharacterWidths) {
    TScratchDir dir;
    std::string sharpS; // a, then 30 x U+00DF: a cut by bytes would split a character
    for (int i = 0; i < 30; ++i)
        sharpS += "\xC3\x9F";
    std::filesystem::copy_file(Blink18, dir.File("a" + sharpS + ".hex"));
    std::filesystem::copy_file(Blink18, dir.File("\xC3\xA9.hex"));
    const std::vector<std::vector<std::string>> cases = {
        // options, exit code, what stderr holds, a line stdout holds
        {"info --boards 2 --board-sim 2:serial= --serial ---", "0", "ready at sim:2 \\(serial ---\\)", ""},
        {"info --boards 2 -s ---", "2", "3930:2021 without a serial number found", ""},
        // A serial that is the text "---" is a serial: "---" selects only boards without one.
        {"info --boards 2 --board-sim 2:serial=--- -s ---", "2", "3930:2021 without a serial number found", ""},
        {"flash " + dir.File("a" + sharpS + ".hex") + " --sim serial= -s ---", "0", "flashed",
         "Parsing HEX file: a" + sharpS.substr(0, 50) + "..."},
        {"flash " + dir.File("\xC3\xA9.hex"), "0", "flashed",
         "Parsing HEX file: \xC3\xA9.hex" + std::string(24, ' ')},
    };
    for (const auto& c : cases) {
        const TRunResult r = RunQuarnel(Words(c[0] + " --simulate pic18"));
        EXPECT_EQ(r.exitCode, std::stoi(c[1]));
        EXPECT_TRUE(Has(r.err, c[2])) << r.err;
        if (c[3].empty()) continue;
        EXPECT_NE(r.out.find("\n" + c[3] + "\n"), std::string::npos) << r.out;
        const std::string json = RunQuarnel(Words(c[0] + " --simulate pic18 -j")).out;
        EXPECT_NE(json.find(nlohmann::json(c[3]).dump()), std::string::npos);
        EXPECT_EQ(json.find("\xEF\xBF\xBD"), std::string::npos); // no U+FFFD
    }
}

TEST(QuarnelConventions, BashCompletionFromTheOptionTable) {
    const std::string script = RunQuarnel({"completion", "bash"}).out;
    EXPECT_EQ(ReadText(QUARNEL_BASH_COMPLETION_FILE), script); // what the build writes for the package
    TScratchDir dir;
    std::ofstream(dir.File("quarnel.bash")) << script;
    std::ofstream(dir.File("app.hex")) << ":00000001FF\n";
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        // words typed, the last one completed; completions expected; a completion that must not come
        {"quarnel ", "flash info list station udev-rule --version -V", "completion"},
        {"quarnel station x.hex --", "--parallel --count --stop-after-failures --record --sha256 --expect-family "
                                     "--expect-descriptor --simulate --boards --board-sim --json", "--wait"},
        {"quarnel flash x.hex --", "--record --sha256 --expect-family --expect-descriptor --all", "--parallel"},
        {"quarnel flash -", "-w -p -s -j -q -v -d --disable-bootloader --trace --sim-dump", "--bootloaders"},
        {"quarnel list --", "--bootloaders --json", "--wait"},
        {"quarnel info --simulate ", SimFamilyNames, "--json"},
        {"quarnel flash " + dir.File("a"), dir.File("app.hex"), dir.File("quarnel.bash")},
        {"quarnel flash x.hex --trace " + dir.File("q"), dir.File("quarnel.bash"), dir.File("app.hex")},
        {"quarnel info --wait ", "", "--json"},
    };
    for (const auto& [line, has, hasNot] : cases) {
        const std::string shell = "source \"$1\"; read -r -a COMP_WORDS <<< \"$2\"; [[ $2 == *' ' ]] && "
                                  "COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _quarnel; "
                                  "printf ' %s' \"${COMPREPLY[@]}\"; echo ' '";
        const std::string words =
            RunProgram("/bin/bash", {"-c", shell, "bash", dir.File("quarnel.bash"), line}).out;
        std::istringstream expected(has);
        for (std::string w; expected >> w;)
            EXPECT_NE(words.find(" " + w + " "), std::string::npos) << line << " -> " << words;
        EXPECT_EQ(words.find(" " + hasNot + " "), std::string::npos) << line << " -> " << words;
    }
    std::istringstream families(SimFamilyNames); // each one that --simulate takes
    for (std::string f; families >> f;)
        EXPECT_EQ(RunQuarnel({"list", "--simulate", f}).exitCode, 0) << f;
}

TEST(QuarnelConventions, DeviceStringsBeyondAscii) {
    // The virtual board converts its strings with the C library, as hidapi does: in the "C" locale
    // every one of these would come out empty.
    const std::string product = "Carte d\xC3\xA9mo \xE2\x9C\x93", serial = "S\xC3\xA9r-1";
    const std::vector<std::string> environments = {"LC_ALL LC_CTYPE LANG", "LC_ALL=C", "LC_ALL=POSIX",
                                                   "LC_ALL LC_CTYPE=C.UTF-8", "LC_ALL=xx_YY.UTF-8"};
    for (const auto& line : environments) {
        const std::vector<std::string> env = Words(line); // NAME=VALUE sets, NAME removes
        const std::string sim = "product=" + product + ",manufacturer=" + product + ",serial=" + serial;
        const TRunResult list = RunProgram(Cli, {"list", "--simulate", "pic18", "--sim", sim}, env);
        EXPECT_EQ(list.out, "sim:1\t3930:2021\t0100\t" + product + "\t" + product + "\t" + serial + "\n")
            << line;
        const TRunResult flash =
            RunProgram(Cli, {"flash", Blink18, "--simulate", "pic18", "--sim", sim}, env);
        // Only the character type follows the environment: numbers keep their point.
        EXPECT_TRUE(Has(flash.err, "flashed in [0-9]+\\.[0-9]{2} s \\(on a real target: 9\\.9 s\\)"))
            << flash.err;
        EXPECT_TRUE(Has(RunProgram(Cli, {"info", "--simulate", "pic18", "--sim", sim}, env).err,
                        "\\(serial " + serial + "\\)"));
    }
}
