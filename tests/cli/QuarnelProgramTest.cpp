// The built quarnel program, end to end against virtual targets: output, exit codes, trace, flash
// dumps, selection of one board and flashing of several.

#include <gtest/gtest.h>

#include <glob.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>

#include "RunQuarnel.h"

namespace {

const std::string Blink18 = ExamplePath("pic18/blink18.hex");

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Index of a line, or -1.
long IndexOf(const std::vector<std::string>& lines, const std::string& line) {
    const auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : long(it - lines.begin());
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> events;
    for (const auto& l : SplitLines(out)) {
        nlohmann::json e = nlohmann::json::parse(l, nullptr, false);
        EXPECT_FALSE(e.is_discarded()) << "not JSON: " << l;
        EXPECT_TRUE(e.is_object() && e.contains("event")) << l;
        if (!e.is_discarded()) events.push_back(e);
    }
    return events;
}

std::vector<nlohmann::json> EventsOf(const std::vector<nlohmann::json>& events, const std::string& kind) {
    std::vector<nlohmann::json> out;
    for (const auto& e : events)
        if (e.value("event", "") == kind) out.push_back(e);
    return out;
}

std::string Hex(const std::vector<unsigned char>& data, size_t offset, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = offset; i < offset + n && i < data.size(); ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

bool HidrawPresent() {
    glob_t g{};
    const bool any = ::glob("/dev/hidraw*", 0, nullptr, &g) == 0 && g.gl_pathc > 0;
    globfree(&g);
    return any;
}

} // namespace

TEST(QuarnelCommandLine, HelpForEveryCommand) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--help"}, "flash"},
        {{"list", "--help"}, "--bootloaders"},
        {{"info", "--help"}, "--wait"},
        {{"flash", "--help"}, "--sim-dump"}};
    for (const auto& [args, mention] : cases) {
        const TRunResult r = RunQuarnel(args);
        EXPECT_EQ(r.exitCode, 0) << args[0];
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << args[0];
        EXPECT_NE(r.out.find(mention), std::string::npos) << args[0];
    }
}

TEST(QuarnelCommandLine, UsageErrorsExitWithOne) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"flash"},
        {"flash", "/nonexistent/x.hex"},
        {"frobnicate"},
        {"flash", Blink18, "--simulate", "pic19"},
        {"flash", Blink18, "--simulate", "pic18", "--sim", "bogus=1"},
        {"flash", Blink18, "--simulate", "pic18", "--sim", "drop-answer=0"},
        {"flash", Blink18, "--simulate", "pic18", "--board-sim", "2:serial=X"},
        {"flash", Blink18, "--sim", "drop-answer=3"},
        {"flash", Blink18, "--simulate", "pic18", "--all", "--path", "sim:1"},
        {"info", "--vid", "10000"},
        {"info", "--vid", "0", "--pid", "0"},
        {"info", "--wait", "-2"},
    };
    for (const auto& args : cases) {
        const TRunResult r = RunQuarnel(args);
        const std::string what = args.empty() ? "(none)" : args.back();
        EXPECT_EQ(r.exitCode, 1) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_FALSE(r.err.empty()) << what;
    }
}

TEST(QuarnelList, NoHidDevicesOnThisMachine) {
    if (HidrawPresent()) GTEST_SKIP() << "this machine has HID devices";
    const TRunResult r = RunQuarnel({"list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no HID devices found"), std::string::npos);
}

TEST(QuarnelList, VirtualDevicesOneLinePerDevice) {
    const TRunResult r = RunQuarnel({"list", "--simulate", "pic18", "--boards", "2"});
    EXPECT_EQ(r.exitCode, 0);
    const std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "sim:1\t3930:2021\t0100\tQuarnel\tVirtual PIC18 bootloader\tSIM0001");
    EXPECT_EQ(lines[1], "sim:2\t3930:2021\t0100\tQuarnel\tVirtual PIC18 bootloader\tSIM0002");
}

TEST(QuarnelList, BootloadersOnlyWithPathAndSerial) {
    const TRunResult r = RunQuarnel(
        {"list", "--bootloaders", "--simulate", "pic24", "--boards", "3", "--board-sim", "2:pid=0x1234"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(SplitLines(r.out), (std::vector<std::string>{"sim:1\tSIM0001\tVirtual PIC24 bootloader",
                                                           "sim:3\tSIM0003\tVirtual PIC24 bootloader"}));
    const TRunResult other = RunQuarnel({"list", "--bootloaders", "--pid", "1234", "--simulate", "pic24",
                                         "--boards", "3", "--board-sim", "2:pid=0x1234", "--json"});
    const std::vector<nlohmann::json> devices = JsonLines(other.out);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["path"], "sim:2");
    EXPECT_EQ(devices[0]["pid"], "1234");
}

TEST(QuarnelInfo, ConnectionPassOnly) {
    const TRunResult r = RunQuarnel({"info", "--simulate", "pic32"});
    EXPECT_EQ(r.exitCode, 0);
    const std::vector<std::string> lines = r.OutLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "HID Target device found");
    EXPECT_TRUE(Contains(lines, "Target MCU found."));
    EXPECT_TRUE(Contains(lines, "  MCUtype      : PIC32"));
    EXPECT_TRUE(Contains(lines, "Target device in boot load mode."));
    EXPECT_EQ(lines.back(), ""); // the spacer after "Press FLASH button..."
    EXPECT_EQ(r.out.find("Press PIC RESET"), std::string::npos);
    EXPECT_EQ(r.out.find("Erasing"), std::string::npos);
    EXPECT_NE(r.err.find("PIC32 bootloader ready at sim:1 (serial SIM0001)"), std::string::npos);
}

TEST(QuarnelInfo, NoBootloaderExitsWithTwo) {
    const TRunResult other = RunQuarnel({"info", "--simulate", "pic18", "--vid", "04D8"});
    EXPECT_EQ(other.exitCode, 2);
    EXPECT_EQ(other.out, "");
    EXPECT_NE(other.err.find("no bootloader with 04D8:2021 found"), std::string::npos);
    if (!HidrawPresent()) {
        const TRunResult real = RunQuarnel({"info"});
        EXPECT_EQ(real.exitCode, 2);
        EXPECT_EQ(real.out, "");
    }
}

TEST(QuarnelInfo, WaitsForABoardThatArrivesLater) {
    const std::vector<std::string> late = {"info",  "--simulate",         "pic18",
                                           "--sim", "plug-after-ms=1500", "--json"};
    EXPECT_EQ(RunQuarnel(late).exitCode, 2); // one pass at the start only
    std::vector<std::string> shortWait = late;
    shortWait.insert(shortWait.end(), {"--wait", "1"});
    const TRunResult tooShort = RunQuarnel(shortWait);
    EXPECT_EQ(tooShort.exitCode, 2);
    EXPECT_NE(tooShort.err.find("within 1.0 s"), std::string::npos);
    std::vector<std::string> longWait = late;
    longWait.insert(longWait.end(), {"--wait", "3"});
    const TRunResult r = RunQuarnel(longWait);
    EXPECT_EQ(r.exitCode, 0);
    const std::vector<nlohmann::json> results = EventsOf(JsonLines(r.out), "result");
    ASSERT_EQ(results.size(), 1u);
    // Plugged in at 1.5 s, then the pass: 200 ms after opening, two commands of 10 ms each.
    EXPECT_NEAR(results[0]["target_s"].get<double>(), 1.72, 1e-9);
}

TEST(QuarnelFlash, Pic18LogOnStdout) {
    const TRunResult r = RunQuarnel({"flash", Blink18, "--simulate", "pic18"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = r.OutLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "HID Target device found");
    EXPECT_EQ(lines.back(), "Completed.");
    const long parse = IndexOf(lines, "Parsing HEX file: blink18.hex");
    const long erase = IndexOf(lines, "Erasing flash memory.");
    const long write = IndexOf(lines, "Flashing program image.");
    const long done = IndexOf(lines, "Flashing complete.");
    EXPECT_GT(parse, IndexOf(lines, "Target device in boot load mode."));
    EXPECT_GT(erase, parse);
    EXPECT_GT(write, erase);
    EXPECT_GT(done, write);
    EXPECT_FALSE(Contains(lines, "Disabling boot loader..."));
    EXPECT_EQ(r.out.find("Press PIC RESET"), std::string::npos);
    // Status lines are padded to the log's 47 columns, exactly as the window shows them.
    EXPECT_NE(r.out.find("\nCompleted." + std::string(37, ' ') + "\n"), std::string::npos);
    // 200 + 2 x 10 ms to connect, 960 erase blocks x 10 ms + 100 ms, two written blocks x 10 ms.
    EXPECT_TRUE(std::regex_search(r.err, std::regex("quarnel: PIC18 flashed in [0-9]+\\.[0-9]{2} s "
                                                    "\\(on a real target: 9\\.9 s\\)\n$")))
        << r.err;
}

TEST(QuarnelFlash, TraceOneLinePerReport) {
    TScratchDir dir;
    const std::string trace = dir.File("trace.txt");
    const TRunResult r = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--trace", trace});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = SplitLines(ReadText(trace));
    const std::regex shape("([0-9]+\\.[0-9]{3}) (OUT|IN) ([0-9a-f]{128})");
    int outs = 0;
    int ins = 0;
    double last = 0;
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, shape)) << l;
        const double ms = std::stod(m[1]);
        EXPECT_GE(ms, last);
        last = ms;
        (m[2] == "OUT" ? outs : ins)++;
    }
    // OUT: boot info, boot mode, 960 erases, two blocks of header + data, end of session.
    // IN: an answer to each but the write headers, their data-less halves, and the closing command.
    EXPECT_EQ(outs, 967);
    EXPECT_EQ(ins, 964);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 16), "200.000 OUT 0f02");
    EXPECT_EQ(lines[1].substr(0, 15), "210.000 IN 2501"); // answer length 0x25, family tag 1
    EXPECT_NE(lines.back().find(" OUT 0f04"), std::string::npos);
}

TEST(QuarnelFlash, DisableBootloaderIsTheLastCommand) {
    TScratchDir dir;
    const std::string trace = dir.File("trace.txt");
    const TRunResult r =
        RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--disable-bootloader", "--trace", trace});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = r.OutLines();
    const long disabling = IndexOf(lines, "Disabling boot loader...");
    EXPECT_GT(disabling, IndexOf(lines, "Flashing complete."));
    EXPECT_EQ(disabling + 1, IndexOf(lines, "Completed."));
    const std::vector<std::string> traced = SplitLines(ReadText(trace));
    ASSERT_FALSE(traced.empty());
    EXPECT_NE(traced.back().find(" OUT 0f17"), std::string::npos);
}

TEST(QuarnelFlash, Pic18DumpHoldsTheImageAndTheJump) {
    TScratchDir dir;
    ASSERT_EQ(RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--sim-dump", dir.File("ok")}).exitCode,
              0);
    const std::vector<unsigned char> flash = ReadBinary(dir.File("ok-flash.bin"));
    ASSERT_EQ(flash.size(), 65536u);
    EXPECT_FALSE(std::filesystem::exists(dir.File("ok-boot.bin")));
    // goto 0xF000 (word 0x7800) at the reset vector; the image's own goto moved below the bootloader.
    EXPECT_EQ(Hex(flash, 0, 4), "00ef78f0");
    EXPECT_EQ(Hex(flash, 0xEFFC, 4), "10ef00f0");
    EXPECT_EQ(Hex(flash, 0x08, 2), "1100");
    EXPECT_EQ(Hex(flash, 0x20, 8), "8c6a95908c7001d8");
    EXPECT_TRUE(
        std::all_of(flash.begin() + 0x40, flash.begin() + 0xEFFC, [](unsigned char b) { return b == 0xFF; }));

    // A refused file erases and writes nothing: the dump is the flash as it was.
    const TRunResult refused = RunQuarnel(
        {"flash", CliDataPath("overlap18.hex"), "--simulate", "pic18", "--sim-dump", dir.File("refused")});
    EXPECT_EQ(refused.exitCode, 3);
    const std::vector<unsigned char> before = ReadBinary(dir.File("refused-flash.bin"));
    ASSERT_EQ(before.size(), 65536u);
    EXPECT_NE(Hex(before, 0, 4), "00ef78f0");
    EXPECT_NE(before[0x100], 0xFF);
    // The bootloader's own area is never touched.
    EXPECT_TRUE(std::equal(flash.begin() + 0xF000, flash.end(), before.begin() + 0xF000));
}

TEST(QuarnelFlash, Pic32DumpsProgramAndBootFlash) {
    TScratchDir dir;
    const TRunResult r = RunQuarnel(
        {"flash", ExamplePath("pic32/blink32.hex"), "--simulate", "pic32", "--sim-dump", dir.File("p")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<unsigned char> flash = ReadBinary(dir.File("p-flash.bin"));
    const std::vector<unsigned char> boot = ReadBinary(dir.File("p-boot.bin"));
    ASSERT_EQ(flash.size(), 0x80000u);
    EXPECT_EQ(boot.size(), 12288u);
    EXPECT_EQ(Hex(flash, 0, 8), "02a01d3c0800400f"); // lui sp / jal main of crt0.S
    // The jump to the boot image's start-up, below the bootloader at 0x9D07C000.
    EXPECT_EQ(Hex(flash, 0x7BFF0, 16), "c0bf1e3c5000de370800c00300000070");
}

TEST(QuarnelFlash, ExitCodesForRefusedFilesAndBrokenCommunication) {
    struct TCase {
        std::vector<std::string> args;
        int code;
        std::string said;  // "": anything; else found in stdout or stderr
    };
    const std::vector<TCase> cases = {
        {{"flash", CliDataPath("overlap18.hex"), "--simulate", "pic18"}, 3, ""},
        {{"flash", CliDataPath("malformed.hex"), "--simulate", "pic18"}, 3, ""},
        {{"flash", Blink18, "--simulate", "pic18", "--sim", "drop-answer=100"}, 4, ""},
        {{"flash", Blink18, "--simulate", "pic18", "--sim", "wrong-echo=500"}, 4, ""},
        {{"flash", Blink18, "--simulate", "pic18", "--sim", "unplug-at=966"}, 4, ""},
        {{"flash", Blink18, "--simulate", "pic18", "--sim", "drop-answer=2"}, 2, ""}, // boot mode never confirmed
        {{"flash", Blink18, "--simulate", "pic18", "--sim", "boot-start=0x40"}, 3, ""},
        // Report 967 is the run's last, the final command: not taken, with and without disabling.
        {{"flash", Blink18, "--simulate", "pic18", "--disable-bootloader", "--sim", "stop-writes=967"}, 4, ""},
        {{"flash", Blink18, "--simulate", "pic18", "--sim", "stop-writes=967"}, 4, ""},
        // Report 964 is the first data report: the board silently holds another byte at address 0.
        {{"flash", Blink18, "--simulate", "pic18", "--sim", "corrupt-at=964"}, 5, ""},
        // The connection pass: a silent board, an unplugged one, boot load mode answered wrongly.
        {{"info", "--simulate", "pic18", "--sim", "drop-answer=1"}, 2,
         "the board did not answer; check the cable and reset the board into its bootloader"},
        {{"info", "--simulate", "pic18", "--sim", "unplug-at=1"}, 2, "the board was unplugged while it was being connected"},
        {{"info", "--simulate", "pic18", "--sim", "wrong-echo=2"}, 2, "the target did not enter boot load mode"},
        {{"flash", Blink18, "--simulate", "pic18", "--boards", "2"}, 2, R"("result":"ambiguous")"},
        // The first erase answered twice: the copy is dropped, not taken for the next erase's answer.
        {{"flash", Blink18, "--simulate", "pic18", "--sim", "duplicate-answer=3"}, 0, ""},
    };
    for (auto [args, code, said] : cases) {
        args.push_back("--json");
        const TRunResult r = RunQuarnel(args);
        const std::string what = args[1] + " " + args[args.size() - 2];
        EXPECT_EQ(r.exitCode, code) << what;
        const std::vector<nlohmann::json> results = EventsOf(JsonLines(r.out), "result");
        ASSERT_EQ(results.size(), 1u) << what;
        EXPECT_EQ(results[0]["exit_code"], code) << what;
        if (code != 0) {
            EXPECT_NE(r.err.find("(exit " + std::to_string(code) + ")"), std::string::npos) << what;
        }
        EXPECT_NE((r.out + r.err).find(said), std::string::npos) << what << "\n" << r.err;
    }
}

TEST(QuarnelFlash, EveryExampleFitsItsFamily) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"pic16/blink16.hex", "pic16"}, {"pic18/blink18.hex", "pic18"}, {"pic18/blink18.hex", "pic18fj"},
        {"pic24/blink24.hex", "pic24"}, {"pic24/blink24.hex", "dspic"}, {"pic32/blink32.hex", "pic32"}};
    for (const auto& [file, family] : cases) {
        const TRunResult r = RunQuarnel({"flash", ExamplePath(file), "--simulate", family});
        EXPECT_EQ(r.exitCode, 0) << file << " on " << family << ": " << r.err;
        const std::vector<std::string> lines = r.OutLines();
        EXPECT_TRUE(Contains(lines, "Flashing complete.")) << file;
        EXPECT_EQ(r.out.find("unsupported entries"), std::string::npos) << file;
        EXPECT_EQ(r.out.find("Error parsing"), std::string::npos) << file;
    }
}

TEST(QuarnelFlash, JsonLinesCarryTheLogProgressAndResult) {
    const TRunResult plain = RunQuarnel({"flash", Blink18, "--simulate", "pic18"});
    const TRunResult r = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--json"});
    ASSERT_EQ(r.exitCode, 0);
    const std::vector<nlohmann::json> events = JsonLines(r.out);
    std::vector<std::string> logged;
    for (const auto& e : EventsOf(events, "log"))
        logged.push_back(e["line"].get<std::string>());
    EXPECT_EQ(logged, SplitLines(plain.out));
    const std::vector<nlohmann::json> progress = EventsOf(events, "progress");
    EXPECT_GE(progress.size(), 100u); // the erase alone passes through every percent
    for (const auto& p : progress) {
        EXPECT_GE(p["pos"].get<int64_t>(), 0);
        EXPECT_LE(p["pos"].get<int64_t>(), p["max"].get<int64_t>());
    }
    ASSERT_FALSE(events.empty());
    const nlohmann::json& result = events.back();
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["board"], "sim:1");
    EXPECT_EQ(result["file"], Blink18);
    EXPECT_EQ(result["exit_code"], 0);
    EXPECT_GE(result["duration_s"].get<double>(), 0.0);
    EXPECT_NEAR(result["target_s"].get<double>(), 9.94, 1e-9);
    EXPECT_EQ(EventsOf(events, "result").size(), 1u);
}

TEST(QuarnelSelect, ByPathOrSerial) {
    TScratchDir dir;
    const TRunResult byPath = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--boards", "3", "--path",
                                          "sim:2", "--json", "--sim-dump", dir.File("b2")});
    EXPECT_EQ(byPath.exitCode, 0) << byPath.err;
    const std::vector<nlohmann::json> results = EventsOf(JsonLines(byPath.out), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["board"], "sim:2");
    EXPECT_EQ(Hex(ReadBinary(dir.File("b2-flash.bin")), 0, 4), "00ef78f0");

    const TRunResult bySerial =
        RunQuarnel({"info", "--simulate", "pic18", "--boards", "3", "--serial", "SIM0003"});
    EXPECT_EQ(bySerial.exitCode, 0);
    EXPECT_NE(bySerial.err.find("ready at sim:3"), std::string::npos);

    const TRunResult missing =
        RunQuarnel({"info", "--simulate", "pic18", "--boards", "3", "--path", "sim:9"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("at sim:9"), std::string::npos);
}

TEST(QuarnelSelect, AmbiguousMatchesAreRefused) {
    const TRunResult two = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--boards", "2"});
    EXPECT_EQ(two.exitCode, 2);
    EXPECT_EQ(two.out, "");
    EXPECT_NE(two.err.find("2 bootloaders with 3930:2021 match"), std::string::npos);
    const TRunResult r = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--boards", "3", "--board-sim",
                                     "3:serial=SIM0001", "--serial", "SIM0001", "--wait", "2"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("quarnel:   sim:1  serial SIM0001"), std::string::npos);
    EXPECT_NE(r.err.find("quarnel:   sim:3  serial SIM0001"), std::string::npos);
    EXPECT_EQ(r.err.find("sim:2"), std::string::npos);
}

TEST(QuarnelAll, FourBoardsOneFaulty) {
    const TRunResult r = RunQuarnel({"flash", Blink18, "--all", "--simulate", "pic18", "--boards", "4",
                                     "--board-sim", "3:drop-answer=100"});
    EXPECT_EQ(r.exitCode, 4);
    std::map<std::string, std::string> rows;
    for (const auto& l : SplitLines(r.out)) {
        std::smatch m;
        if (std::regex_match(l, m, std::regex("(sim:[0-9])  ([0-9])     (.*)"))) rows[m[1]] = m[2];
    }
    EXPECT_EQ(rows, (std::map<std::string, std::string>{
                        {"sim:1", "0"}, {"sim:2", "0"}, {"sim:3", "4"}, {"sim:4", "0"}}));
    EXPECT_NE(r.out.find("=== sim:3 ===\nHID Target device found"), std::string::npos);
    EXPECT_NE(r.err.find("3 of 4 boards flashed (exit 4)"), std::string::npos);
}

TEST(QuarnelAll, JsonLinesFromEveryBoard) {
    TScratchDir dir;
    const TRunResult r = RunQuarnel({"flash", Blink18, "--all", "--simulate", "pic18", "--boards", "4",
                                     "--board-sim", "2:wrong-echo=300", "--json", "--trace", dir.File("t")});
    EXPECT_EQ(r.exitCode, 4);
    const std::vector<nlohmann::json> events = JsonLines(r.out);
    std::map<std::string, int> codes;
    for (const auto& e : EventsOf(events, "result"))
        codes[e["board"].get<std::string>()] = e["exit_code"];
    EXPECT_EQ(codes, (std::map<std::string, int>{{"sim:1", 0}, {"sim:2", 4}, {"sim:3", 0}, {"sim:4", 0}}));
    std::map<std::string, int> completed;
    for (const auto& e : EventsOf(events, "log")) {
        ASSERT_TRUE(e.contains("board"));
        if (e["line"].get<std::string>().rfind("Completed.", 0) == 0)
            ++completed[e["board"].get<std::string>()];
    }
    EXPECT_EQ(completed.size(), 4u);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "summary");
    EXPECT_EQ(events.back()["flashed"], 3);
    EXPECT_EQ(events.back()["exit_code"], 4);
    for (int i = 1; i <= 4; ++i)
        EXPECT_GT(std::filesystem::file_size(dir.File("t." + std::to_string(i))), 0u);
}

TEST(QuarnelAll, EveryBoardFlashedExitsWithZero) {
    const TRunResult r = RunQuarnel(
        {"flash", ExamplePath("pic24/blink24.hex"), "--all", "--simulate", "pic24", "--boards", "2"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("2 of 2 boards flashed\n"), std::string::npos);
    const TRunResult none = RunQuarnel({"flash", Blink18, "--all", "--simulate", "pic18", "--vid", "1111"});
    EXPECT_EQ(none.exitCode, 2);
}

// Sleeps through the protocol's pauses (about 10 s); labelled "realtime".
TEST(QuarnelRealTime, VirtualTargetOnTheRealClock) {
    const TRunResult r = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--real-time", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<nlohmann::json> results = EventsOf(JsonLines(r.out), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_GE(results[0]["duration_s"].get<double>(), 9.94);
    EXPECT_LT(results[0]["duration_s"].get<double>(), 60.0);
    EXPECT_FALSE(results[0].contains("target_s"));
    EXPECT_EQ(r.err.find("on a real target"), std::string::npos);
}

TEST(QuarnelUdevRule, PrintsTheRuleForTheGivenIds) {
    const TRunResult d = RunQuarnel({"udev-rule"});
    EXPECT_EQ(d.exitCode, 0);
    // The default rule is the one the package installs.
    const std::string packaged = ReadText(std::string(QUARNEL_SOURCE_DIR) + "/packaging/linux/70-quarnel-flash.rules");
    const auto lines = d.OutLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(packaged.find(lines.back()), std::string::npos) << lines.back();
    const TRunResult r = RunQuarnel({"udev-rule", "--vid", "1A2B", "--pid", "1"});
    EXPECT_NE(r.out.find("ATTRS{idVendor}==\"1a2b\", ATTRS{idProduct}==\"0001\", TAG+=\"uaccess\""),
              std::string::npos)
        << r.out;
    EXPECT_EQ(RunQuarnel({"udev-rule", "--vid", "12345"}).exitCode, 1);
}

TEST(QuarnelList, MarksDevicesThatCannotBeOpened) {
    const TRunResult r = RunQuarnel({"list", "--simulate", "pic18", "--sim", "report-length=100"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("(cannot open: Report length 100 not supported (65 only).)"), std::string::npos) << r.out;
    const TRunResult ok = RunQuarnel({"list", "--simulate", "pic18"});
    EXPECT_EQ(ok.out.find("cannot open"), std::string::npos) << ok.out;
}

TEST(QuarnelFlash, VirtualBoardUnpluggedDuringTheRunEndsItAtOnce) {
    struct TCase {
        const char* fault;
        const char* line;
    };
    const TCase cases[] = {{"unplug-at=40", "Flashing failed: target unplugged!"},
                           {"drop-answer=40", "Flashing failed: no answer from target!"}};
    for (const auto& c : cases) {
        const TRunResult r = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--sim", c.fault, "--json"});
        EXPECT_EQ(r.exitCode, 4) << c.fault;
        const std::vector<nlohmann::json> logs = EventsOf(JsonLines(r.out), "log");
        bool found = false;
        for (const auto& e : logs) found = found || e["line"].get<std::string>().rfind(c.line, 0) == 0;
        EXPECT_TRUE(found) << c.fault;
        const std::vector<nlohmann::json> results = EventsOf(JsonLines(r.out), "result");
        ASSERT_EQ(results.size(), 1u);
        // On the virtual clock: an unplug costs no waiting, a missing answer all 501 polls.
        const double targetS = results[0]["target_s"].get<double>();
        if (std::string(c.fault).rfind("unplug", 0) == 0) {
            EXPECT_LT(targetS, 6.0) << c.fault;
        } else {
            EXPECT_GT(targetS, 6.0) << c.fault;
        }
    }
}
