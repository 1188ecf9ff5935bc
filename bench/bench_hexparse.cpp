// HEX parse of a full-size image through the command-line flasher's host hooks (log to a sink,
// progress bar redrawn at most every 100 ms, device changes delivered once per line), against
// srec_cat converting the same file to binary. Both run in the same program, interleaved.
//
//   bench_hexparse FILE [google benchmark flags]
//
// FILE must hold PIC18 data below 0x7FFFC (all of it is accepted with a boot start of 0x80000).

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "boot/BL_HexParser.h"
#include "boot/BL_Vars.h"
#include "boot/HostHooks.h"
#include "boot/Log.h"
#include "cli/TCliOutput.h"

namespace {

std::string HexFile;
std::string BinFile;
constexpr uint32_t BootStart = 0x80000;

bool ParseOnce() {
    SetParserTarget(FamPic18, BootStart);
    return ParseHexFile(HexFile) && EoFlash == 0x7FFFB;
}

void BM_ParseHex_CliHooks(benchmark::State& state) {
    std::FILE* sink = std::fopen("/dev/null", "w");
    TCliOutput::TConfig config;
    config.out = sink;
    config.err = sink;
    config.progressBar = true;  // as on a terminal: the throttled bar is drawn
    TCliOutput out(config);
    SetHostHooks(out.Hooks());
    for (auto _ : state) {
        if (!ParseOnce()) state.SkipWithError("the parse failed or placed the wrong amount of data");
    }
    SetHostHooks(THostHooks{});
    std::fclose(sink);
    state.counters["lines"] = double(LastHexParseStats().lines);
    state.counters["bytes"] = double(LastHexParseStats().dataBytes);
}

// The parser alone, without any hooks installed (device changes are still delivered per line).
void BM_ParseHex_NoHooks(benchmark::State& state) {
    SetHostHooks(THostHooks{});
    for (auto _ : state) {
        if (!ParseOnce()) state.SkipWithError("the parse failed");
    }
}

void BM_SrecCat(benchmark::State& state) {
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            execlp("srec_cat", "srec_cat", HexFile.c_str(), "-intel", "-o", BinFile.c_str(), "-binary",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("srec_cat failed");
    }
}

// Prints as the console reporter does and keeps the medians for the ratio.
class TMedianReporter : public benchmark::ConsoleReporter {
public:
    TMedianReporter() : ConsoleReporter(OO_Tabular) {}  // no colour codes in the log
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.aggregate_name == "median" && !r.error_occurred) {
                medianMs[r.run_name.function_name] = r.GetAdjustedRealTime();
                repetitions = r.repetitions;
            }
            if (r.error_occurred) failed = true;
        }
    }
    std::map<std::string, double> medianMs;
    int64_t repetitions = 0;
    bool failed = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: bench_hexparse FILE [benchmark flags]\n");
        return 1;
    }
    HexFile = argv[1];
    BinFile = HexFile + ".srec_cat.bin";
    // 15 runs of each, interleaved so that a change in machine load falls on both alike.
    std::vector<char*> args{argv[0]};
    std::string reps = "--benchmark_repetitions=15";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    args.push_back(reps.data());
    args.push_back(interleave.data());
    args.push_back(aggregates.data());
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());

    benchmark::RegisterBenchmark("BM_ParseHex_CliHooks", BM_ParseHex_CliHooks)
        ->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_ParseHex_NoHooks", BM_ParseHex_NoHooks)
        ->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_SrecCat", BM_SrecCat)
        ->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

    TMedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // The image must be the one srec_cat made of the same file, byte for byte.
    std::ifstream reference(BinFile, std::ios::binary);
    const std::vector<char> expected((std::istreambuf_iterator<char>(reference)), std::istreambuf_iterator<char>());
    const bool parsed = ParseOnce();
    const bool same = parsed && !expected.empty() && expected.size() <= FlashImage.size() &&
                      std::memcmp(expected.data(), FlashImage.data(), expected.size()) == 0;

    const auto ours = reporter.medianMs.find("BM_ParseHex_CliHooks");
    const auto theirs = reporter.medianMs.find("BM_SrecCat");
    if (ours == reporter.medianMs.end() || theirs == reporter.medianMs.end() || theirs->second <= 0) {
        PrintResult("HEX parse, CLI hooks / srec_cat", "(no figure: a run failed)", "<= 0.50", "no");
        return 0;
    }
    const double ratio = ours->second / theirs->second;
    std::printf("median ParseHexFile (CLI hooks) %.2f ms, srec_cat %.2f ms, ratio %.3f\n", ours->second,
                theirs->second, ratio);
    const std::string runs = "median of " + std::to_string(reporter.repetitions);
    const std::string size = Fixed(double(std::filesystem::file_size(HexFile)) / 1e6, 2) + " MB, " +
                             std::to_string(LastHexParseStats().lines) + " lines";
    PrintResult("1. HEX parse (" + size + "), CLI hooks vs srec_cat, " + runs,
                Fixed(ours->second, 1) + " ms vs " + Fixed(theirs->second, 1) + " ms = " + Fixed(ratio, 3),
                "<= 0.50", ratio <= 0.5 ? "yes" : "no");
    const auto bare = reporter.medianMs.find("BM_ParseHex_NoHooks");
    if (bare != reporter.medianMs.end())
        PrintResult("   HEX parse, no hooks installed, " + runs, Fixed(bare->second, 1) + " ms", "(report)", "-");
    std::printf("FlashImage against srec_cat's binary (%zu bytes): %s\n", expected.size(), same ? "identical" : "DIFFERENT");
    PrintResult("   HEX parse result against srec_cat's binary output", same ? "identical" : "different",
                "identical", same ? "yes" : "no");
    return 0;
}
