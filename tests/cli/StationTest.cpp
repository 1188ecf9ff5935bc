// A production bench: the station command, the records, the checks of file and board, on virtual
// targets end to end, and its pieces in-process.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include <signal.h>

#include <nlohmann/json.hpp>

#include "RunQuarnel.h"
#include "cli/RecordFile.h"
#include "cli/Station.h"
#include "cli/TSha256.h"
#include "cli/TStationBoards.h"
#include "sim/TSimProfile.h"
#include "sim/TVirtualTarget.h"

namespace {

const std::string Blink18 = ExamplePath("pic18/blink18.hex");
const std::string Blink18Sha = "820ce74f526daf1e0a0bffa91899893d5ee93576498d8fbd492fe1fac76a6012";

std::vector<nlohmann::json> Json(const std::string& text) {
    std::vector<nlohmann::json> out;
    for (const auto& l : SplitLines(text)) {
        nlohmann::json e = nlohmann::json::parse(l, nullptr, false);
        EXPECT_TRUE(e.is_object()) << "not a JSON object: " << l;
        if (e.is_object()) out.push_back(e);
    }
    return out;
}

std::vector<nlohmann::json> Records(const std::string& path) {
    return Json(ReadText(path));
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

THidDevice Device(const std::string& path) {
    THidDevice d;
    d.path = path;
    return d;
}

std::vector<std::string> Paths(const std::vector<THidDevice>& devices) {
    std::vector<std::string> out;
    for (const auto& d : devices)
        out.push_back(d.path);
    return out;
}

} // namespace

TEST(Sha256, KnownDigests) {
    const std::string million(1000000, 'a');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [text, digest] : cases) {
        TSha256 sha;
        // Pieces of an odd size, so that the buffering between blocks is exercised.
        for (size_t at = 0; at < text.size(); at += 997)
            sha.Update(text.data() + at, std::min<size_t>(997, text.size() - at));
        EXPECT_EQ(sha.FinalHex(), digest) << text.size() << " bytes";
    }
    std::string hex;
    std::string error;
    ASSERT_TRUE(Sha256OfFile(Blink18, hex, error)) << error;
    EXPECT_EQ(hex, Blink18Sha);
    EXPECT_FALSE(Sha256OfFile("/nonexistent/x.hex", hex, error));
    EXPECT_FALSE(error.empty());
}

TEST(StationBoards, EachBoardOncePerStayOnTheBus) {
    TStationBoards boards;
    EXPECT_EQ(Paths(boards.Update({Device("a"), Device("b")})), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(boards.Take().path, "a");
    // Still there after its run: not a new arrival.
    EXPECT_TRUE(boards.Update({Device("a"), Device("b")}).empty());
    EXPECT_EQ(boards.Take().path, "b");
    EXPECT_FALSE(boards.Waiting());
    EXPECT_TRUE(boards.Update({Device("a"), Device("b")}).empty());
    // a leaves and comes back: flashed again; c arrives and leaves before its turn: not flashed.
    boards.Update({Device("b")});
    EXPECT_EQ(Paths(boards.Update({Device("b"), Device("a"), Device("c")})), (std::vector<std::string>{"a", "c"}));
    boards.Update({Device("b"), Device("a")});
    EXPECT_EQ(boards.Take().path, "a");
    EXPECT_FALSE(boards.Waiting());
}

TEST(StationRecords, UtcTimeText) {
    using namespace std::chrono;
    const std::vector<std::pair<int64_t, std::string>> cases = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1700000000123, "2023-11-14T22:13:20.123Z"},
        {1709251199999, "2024-02-29T23:59:59.999Z"},
    };
    for (const auto& [ms, text] : cases)
        EXPECT_EQ(UtcTimeText(system_clock::time_point(milliseconds(ms))), text);
}

TEST(StationOptions, VirtualBoardsArriveOneAfterAnotherAndChildrenFindThemPresent) {
    TCliOptions o;
    o.command = TCommand::Station;
    o.simulate = "pic18";
    o.boards = 3;
    o.boardSim = {"3:plug-after-ms=700,drop-answer=9", "2:plug-after-ms=100"};
    const TCliOptions bench = StationBenchOptions(o);
    EXPECT_EQ(bench.boardSim, (std::vector<std::string>{"2:plug-after-ms=5000", "3:plug-after-ms=10000",
                                                        "3:plug-after-ms=700,drop-answer=9", "2:plug-after-ms=100"}));
    o.sim = {"latency-ms=2,plug-after-ms=50"};
    EXPECT_EQ(StationBenchOptions(o).boardSim, o.boardSim); // the user's own arrival times
    const TCliOptions child = StationChildOptions(o);
    EXPECT_EQ(child.command, TCommand::Flash);
    EXPECT_EQ(child.sim, (std::vector<std::string>{"latency-ms=2"}));
    EXPECT_EQ(child.boardSim, (std::vector<std::string>{"3:drop-answer=9"}));
}

TEST(StationOptions, TotalsTellFailedFromRefused) {
    TStationTotals t;
    t.Add(0, "flashed");
    t.Add(4, "comm-failed");
    t.Add(2, "no-bootloader");
    t.Add(2, "unexpected-target");
    t.Add(3, "file-refused");
    t.Add(5, "target-differs");
    EXPECT_EQ(t.Text(), "1 flashed, 3 failed, 2 refused");
    EXPECT_EQ(t.Boards(), 6);
}

// 20 boards arrive at random moments, one after another; three fail through faults, two report the
// same serial number. Each is flashed once and recorded once, in the order of arrival.
TEST(QuarnelStation, TwentyBoardsArrivingAtRandomMoments) {
    TScratchDir dir;
    std::mt19937 random(32);
    std::vector<int> slot(20);
    std::iota(slot.begin(), slot.end(), 0);
    std::shuffle(slot.begin(), slot.end(), random);
    std::vector<std::string> args = {"station", Blink18, "--simulate", "pic18", "--boards", "20",
                                     "--record", dir.File("r.jsonl")};
    std::vector<std::pair<uint64_t, std::string>> arrivals;
    for (int k = 1; k <= 20; ++k) {
        const uint64_t ms = uint64_t(slot[size_t(k - 1)]) * 4000 + random() % 3000;
        arrivals.emplace_back(ms, "sim:" + std::to_string(k));
        args.insert(args.end(), {"--board-sim", std::to_string(k) + ":plug-after-ms=" + std::to_string(ms)});
    }
    const std::set<std::string> faulty = {"sim:4", "sim:11", "sim:17"};
    args.insert(args.end(), {"--board-sim", "4:drop-answer=100", "--board-sim", "11:wrong-echo=300", "--board-sim",
                             "17:drop-answer=40", "--board-sim", "6:serial=TWIN", "--board-sim", "13:serial=TWIN"});
    std::sort(arrivals.begin(), arrivals.end());
    const TRunResult r = RunQuarnel(args);
    EXPECT_EQ(r.exitCode, 4) << r.err;

    const std::vector<nlohmann::json> records = Records(dir.File("r.jsonl"));
    ASSERT_EQ(records.size(), 20u);
    const std::string later = std::find_if(arrivals.begin(), arrivals.end(), [](const auto& a) {
                                  return a.second == "sim:6" || a.second == "sim:13";
                              })->second == "sim:6" ? "sim:13" : "sim:6";
    for (size_t i = 0; i < 20; ++i) {
        const nlohmann::json& rec = records[i];
        const std::string board = arrivals[i].second;
        EXPECT_EQ(rec["board"], board) << "record " << i;
        const bool fails = faulty.count(board) != 0;
        EXPECT_EQ(rec["exit_code"], fails ? 4 : 0) << board;
        EXPECT_EQ(rec["result"], fails ? "comm-failed" : "flashed") << board;
        EXPECT_EQ(rec["sha256"], Blink18Sha);
        EXPECT_EQ(rec["family"], "PIC18");
        const bool twin = board == "sim:6" || board == "sim:13";
        char own[16];
        std::snprintf(own, sizeof own, "SIM%04d", std::stoi(board.substr(4)));
        EXPECT_EQ(rec["serial"], twin ? "TWIN" : own);
        const std::string other = board == "sim:6" ? "sim:13" : "sim:6";
        EXPECT_EQ(rec["warnings"], board == later ? nlohmann::json{"serial number also reported by " + other}
                                                  : nlohmann::json::array())
            << board;
    }
    const std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_GE(lines.size(), 20u);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("sim:", 0) == 0; }),
              20);
    EXPECT_TRUE(Has(r.out, "(17 flashed, 3 failed, 0 refused)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "sim:11  SIM0011  exit 4  flashing failed"));
    EXPECT_TRUE(Has(r.err, "station stopped (no more virtual boards arrive): 17 flashed, 3 failed, 0 refused (exit 4)\n"));
    const std::regex twinWarning("warning: serial number TWIN is reported by sim:(6|13) and sim:(6|13);");
    EXPECT_EQ(std::distance(std::sregex_iterator(r.err.begin(), r.err.end(), twinWarning), std::sregex_iterator()), 1);
}

TEST(QuarnelStation, ParallelBoardsAtMost) {
    for (const int parallel : {1, 4}) {
        const TRunResult r = RunQuarnel({"station", Blink18, "--simulate", "pic18", "--boards", "8", "--parallel",
                                         std::to_string(parallel), "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        int most = 0;
        std::map<std::string, int> finished;
        for (const auto& e : Json(r.out)) {
            if (e["event"] == "start") most = std::max(most, e["running"].get<int>());
            if (e["event"] == "board") ++finished[e["board"].get<std::string>()];
            if (e["event"] == "summary") {
                EXPECT_EQ(e["flashed"], 8);
            }
        }
        EXPECT_EQ(most, parallel);
        EXPECT_EQ(finished.size(), 8u);
        for (const auto& [board, n] : finished)
            EXPECT_EQ(n, 1) << board;
    }
}

// --count N and --stop-after-failures N stop at the Nth board, not one before or after.
TEST(QuarnelStation, StopsAtCountOrFailures) {
    struct TCase {
        std::vector<std::string> args;
        size_t boards;
        int exitCode;
        std::string stopped;
    };
    const std::vector<TCase> cases = {
        // All six on the bench at once, four places: only two are taken.
        {{"--count", "2", "--parallel", "4", "--sim", "plug-after-ms=0"},
         2, 0, "station stopped (2 boards (--count)): 2 flashed, 0 failed, 0 refused\n"},
        {{"--stop-after-failures", "2", "--board-sim", "2:drop-answer=100", "--board-sim", "4:drop-answer=100"},
         4, 4, "station stopped (2 failures): 2 flashed, 2 failed, 0 refused (exit 4)\n"},
    };
    for (const auto& c : cases) {
        TScratchDir dir;
        std::vector<std::string> args = {"station", Blink18, "--simulate", "pic18", "--boards", "6", "--record",
                                         dir.File("r")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const TRunResult r = RunQuarnel(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(Has(r.err, c.stopped)) << r.err;
        const std::vector<nlohmann::json> records = Records(dir.File("r"));
        std::set<std::string> boards, expected;
        for (size_t i = 0; i < records.size(); ++i) {
            boards.insert(records[i]["board"].get<std::string>());
            expected.insert("sim:" + std::to_string(i + 1));
        }
        EXPECT_EQ(records.size(), c.boards);
        EXPECT_EQ(boards, expected); // the first ones to arrive, each once
    }
}

// A file whose hash is not the expected one is refused before anything is opened: no trace, no record.
TEST(QuarnelStation, WrongHashRefusedBeforeAnyBoard) {
    const std::string wrong(64, '0');
    const std::vector<std::pair<std::string, int>> cases = {
        {wrong, 3}, {"820CE74F526DAF1E0A0BFFA91899893D5EE93576498D8FBD492FE1FAC76A6012", 0}};
    for (const char* command : {"flash", "station"}) {
        for (const auto& [hash, code] : cases) {
            TScratchDir dir;
            std::vector<std::string> args = {command, Blink18, "--simulate", "pic18", "--sha256", hash, "--record",
                                             dir.File("r")};
            if (std::string(command) == "flash") args.insert(args.end(), {"--trace", dir.File("t")});
            const TRunResult r = RunQuarnel(args);
            EXPECT_EQ(r.exitCode, code) << command << " " << r.err;
            EXPECT_EQ(std::filesystem::exists(dir.File("r")), code == 0) << command;
            if (code == 0) continue;
            EXPECT_EQ(r.out, "");
            EXPECT_TRUE(Has(r.err, "has SHA-256 " + Blink18Sha + ", not the expected " + wrong +
                                       "; no board was touched (exit 3)\n"))
                << r.err;
            EXPECT_FALSE(std::filesystem::exists(dir.File("t")));
        }
    }
    EXPECT_EQ(RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--sha256", "12ab"}).exitCode, 1);
}

// A board that describes itself otherwise than the line expects is left as it came.
TEST(QuarnelStation, UnexpectedBoardRefusedUntouched) {
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {"--expect-family", "pic24", 2},
        {"--expect-family", "PIC18", 0},
        {"--expect-descriptor", "Virtual PIC24", 2},
        {"--expect-descriptor", "Virtual PIC18", 0},
    };
    for (const auto& [option, value, code] : cases) {
        TScratchDir dir;
        const TRunResult r = RunQuarnel({"flash", Blink18, "--simulate", "pic18", option, value, "--record",
                                         dir.File("r"), "--sim-dump", dir.File("d")});
        EXPECT_EQ(r.exitCode, code) << option << " " << value << ": " << r.err;
        const std::vector<nlohmann::json> records = Records(dir.File("r"));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0]["result"], code == 0 ? "flashed" : "unexpected-target");
        EXPECT_EQ(records[0]["family"], "PIC18");
        // Untouched: the board holds what a virtual board holds before anyone talks to it.
        TSimProfile profile;
        ASSERT_TRUE(SimProfileByName("pic18", profile));
        const TVirtualTarget fresh(profile);
        const std::vector<unsigned char> flash = ReadBinary(dir.File("d-flash.bin"));
        EXPECT_EQ(flash == fresh.Flash(), code != 0) << option << " " << value;
        if (code != 0) {
            EXPECT_TRUE(Has(r.err, "; the board was not flashed (exit 2)")) << r.err;
        }
    }
    TScratchDir dir;
    const TRunResult s = RunQuarnel({"station", Blink18, "--simulate", "pic18", "--boards", "2", "--expect-family",
                                     "pic24", "--record", dir.File("r")});
    EXPECT_EQ(s.exitCode, 2);
    EXPECT_TRUE(Has(s.out, "sim:2  SIM0002  exit 2  the board is a PIC18 target, not the expected pic24; the board "
                           "was not flashed (exit 2)  (0 flashed, 0 failed, 2 refused)\n"))
        << s.out;
    EXPECT_EQ(Records(dir.File("r")).size(), 2u);
}

// One line per board for flash and flash --all too; the serial number's warnings; the result event's hash.
TEST(QuarnelRecord, OneLinePerBoard) {
    const std::vector<std::pair<std::string, nlohmann::json>> serials = {
        {"serial=SIM9", nlohmann::json::array()},
        {"serial=0000", {"serial number all zeros"}},
        {"serial=", {"serial number missing"}},
    };
    for (const auto& [setting, warnings] : serials) {
        TScratchDir dir;
        const TRunResult r = RunQuarnel(
            {"flash", Blink18, "--simulate", "pic18", "--sim", setting, "--record", dir.File("r"), "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::vector<nlohmann::json> records = Records(dir.File("r"));
        ASSERT_EQ(records.size(), 1u);
        const nlohmann::json& rec = records[0];
        EXPECT_EQ(rec["warnings"], warnings) << setting;
        EXPECT_TRUE(std::regex_match(rec["time"].get<std::string>(),
                                     std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}Z")));
        EXPECT_EQ(rec["board"], "sim:1");
        EXPECT_EQ(rec["descriptor"], "Virtual PIC18");
        EXPECT_EQ(rec["boot_start"], 0xF000);
        EXPECT_EQ(rec["file"], Blink18);
        EXPECT_EQ(rec["sha256"], Blink18Sha);
        EXPECT_EQ(rec["exit_code"], 0);
        EXPECT_TRUE(rec["duration_s"].is_number());
        EXPECT_TRUE(rec["not_written"].is_array());
        const std::vector<nlohmann::json> events = Json(r.out);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back()["event"], "result");
        EXPECT_EQ(events.back()["sha256"], Blink18Sha);
    }
    TScratchDir dir;
    const TRunResult all = RunQuarnel({"flash", Blink18, "--all", "--simulate", "pic18", "--boards", "3",
                                       "--board-sim", "2:drop-answer=100", "--record", dir.File("r")});
    EXPECT_EQ(all.exitCode, 4);
    std::map<std::string, int> codes;
    for (const auto& rec : Records(dir.File("r")))
        codes[rec["board"].get<std::string>()] = rec["exit_code"];
    EXPECT_EQ(codes, (std::map<std::string, int>{{"sim:1", 0}, {"sim:2", 4}, {"sim:3", 0}}));
}

// A record is in the file whole or not at all; the run that could not write it fails.
TEST(QuarnelRecord, WholeOrNotAtAll) {
    TScratchDir dir;
    const TRunResult full = RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--record", "/dev/full"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_TRUE(Has(full.err, "PIC18 flashed in")) << full.err;
    EXPECT_TRUE(Has(full.err, "cannot write the record file /dev/full: No space left on device")) << full.err;

    // The file may grow by 1024 bytes only: the line goes in part, and is taken back.
    const std::string before = std::string(999, 'x') + "\n";
    std::ofstream(dir.File("short")) << before;
    const TRunResult cut = RunProgram("/bin/bash", {"-c", "ulimit -f 1; exec \"$0\" \"$@\"", QUARNEL_CLI_BINARY,
                                                    "flash", Blink18, "--simulate", "pic18", "--record", dir.File("short")});
    EXPECT_EQ(cut.exitCode, 1) << cut.err;
    EXPECT_TRUE(Has(cut.err, "cannot write the record file")) << cut.err;
    EXPECT_EQ(ReadText(dir.File("short")), before);

    // A line cut short by a crash stays apart from the next one.
    std::ofstream(dir.File("torn")) << "{\"board\":\"sim:1\",\"tim";
    EXPECT_EQ(RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--record", dir.File("torn")}).exitCode, 0);
    const std::vector<std::string> lines = SplitLines(ReadText(dir.File("torn")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "{\"board\":\"sim:1\",\"tim");
    EXPECT_EQ(nlohmann::json::parse(lines[1])["result"], "flashed");
    // Never appended to the HEX file itself.
    EXPECT_EQ(RunQuarnel({"flash", Blink18, "--simulate", "pic18", "--record", Blink18}).exitCode, 1);
}

// An interrupt sent to the station stops it at a safe point, with its total, not by the signal.
TEST(QuarnelStation, InterruptStopsTheWait) {
    TRunOptions options;
    options.whileRunning = [](pid_t pid) {
        // Time to start up and reach its wait; the boards arrive only after ten minutes.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ::kill(pid, SIGINT);
    };
    const TRunResult r = RunQuarnel({"station", Blink18, "--simulate", "pic18", "--real-time", "--sim",
                                     "plug-after-ms=600000"},
                                    options);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "station stopped (interrupted): 0 flashed, 0 failed, 0 refused\n")) << r.err;
}
