// Measurements of whole programs, run as child processes:
//
//   bench_process random-bin FILE SIZE SEED
//       SIZE pseudo-random bytes (fixed seed, so every run converts the same image) into FILE.
//   bench_process rss NAME TARGET_MIB -- PROGRAM ARGS...
//       peak resident size of PROGRAM (ru_maxrss from wait4), against TARGET_MIB (0: no target).
//   bench_process idle NAME WARMUP_S SECONDS -- PROGRAM ARGS...
//       CPU time PROGRAM takes over SECONDS after WARMUP_S of start-up, as a share of one core.

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_process random-bin FILE SIZE SEED\n"
                 "       bench_process rss NAME TARGET_MIB -- PROGRAM ARGS...\n"
                 "       bench_process idle NAME WARMUP_S SECONDS -- PROGRAM ARGS...\n");
    return 1;
}

pid_t Spawn(char** argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv);
        std::perror(argv[0]);
        _exit(127);
    }
    return pid;
}

// CPU time of every thread of pid, in nanoseconds (first field of each task's schedstat).
bool TaskCpuNs(pid_t pid, uint64_t& ns) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    ns = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name + "/schedstat");
        uint64_t t = 0;
        if (in >> t) ns += t;
    }
    closedir(d);
    return true;
}

// utime + stime of the whole process (exited threads included), in clock ticks.
bool StatTicks(pid_t pid, uint64_t& ticks) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    // Fields after the command name: state is field 3; utime and stime are fields 14 and 15.
    std::vector<std::string> fields;
    size_t p = close + 2;
    while (p < text.size()) {
        const size_t q = text.find(' ', p);
        fields.push_back(text.substr(p, q == std::string::npos ? std::string::npos : q - p));
        if (q == std::string::npos) break;
        p = q + 1;
    }
    if (fields.size() < 13) return false;
    ticks = std::stoull(fields[11]) + std::stoull(fields[12]);
    return true;
}

bool Alive(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

int RandomBin(const std::string& file, unsigned long size, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<char> data(size);
    for (auto& c : data) c = char(gen() & 0xFF);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
    return out ? 0 : 1;
}

int Rss(const std::string& name, double targetMiB, char** argv) {
    const double t0 = WallSeconds();
    const pid_t pid = Spawn(argv);
    int status = 0;
    rusage u{};
    if (pid < 0 || wait4(pid, &status, 0, &u) != pid) {
        std::perror("wait4");
        return 1;
    }
    const double wall = WallSeconds() - t0;
    const bool exitedOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const double mib = double(u.ru_maxrss) / 1024.0;
    std::fprintf(stderr, "%s: peak RSS %ld KiB, %.2f s, exit %s\n", name.c_str(), u.ru_maxrss, wall,
                 exitedOk ? "0" : "non-zero");
    std::string figure = Fixed(mib, 1) + " MiB";
    if (!exitedOk) figure += " (run failed)";
    const std::string target = targetMiB > 0 ? "< " + Fixed(targetMiB, 0) + " MiB" : "(report)";
    const std::string met = targetMiB > 0 ? (exitedOk && mib < targetMiB ? "yes" : "no") : "-";
    PrintResult(name, figure, target, met);
    return 0;
}

int Idle(const std::string& name, double warmup, double seconds, char** argv) {
    const pid_t pid = Spawn(argv);
    if (pid < 0) return 1;
    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
    uint64_t ns0 = 0, ns1 = 0, ticks0 = 0, ticks1 = 0;
    const bool alive0 = Alive(pid) && TaskCpuNs(pid, ns0) && StatTicks(pid, ticks0);
    const double t0 = WallSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const bool alive1 = Alive(pid) && TaskCpuNs(pid, ns1) && StatTicks(pid, ticks1);
    const double elapsed = WallSeconds() - t0;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!alive0 || !alive1) {
        std::fprintf(stderr, "%s: the program ended before the measurement was over\n", name.c_str());
        PrintResult(name, "(program ended early)", "< 1 % of one core", "no");
        return 0;
    }
    const double cpu = double(ns1 - ns0) / 1e9;
    const double tickCpu = double(ticks1 - ticks0) / double(sysconf(_SC_CLK_TCK));
    const double percent = 100.0 * cpu / elapsed;
    std::fprintf(stderr, "%s: %.4f s CPU in %.2f s (per-thread schedstat; /proc stat ticks say %.2f s) = %.3f %%\n",
                 name.c_str(), cpu, elapsed, tickCpu, percent);
    PrintResult(name, Fixed(percent, 3) + " % of one core (" + Fixed(cpu * 1000, 1) + " ms CPU in " +
                          Fixed(elapsed, 1) + " s)",
                "< 1 % of one core", percent < 1.0 ? "yes" : "no");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string mode = argv[1];
    auto programAfterDashes = [&](int from) -> char** {
        for (int i = from; i < argc; ++i)
            if (std::strcmp(argv[i], "--") == 0 && i + 1 < argc) return argv + i + 1;
        return nullptr;
    };
    if (mode == "random-bin" && argc == 5)
        return RandomBin(argv[2], std::strtoul(argv[3], nullptr, 0), unsigned(std::strtoul(argv[4], nullptr, 0)));
    if (mode == "rss" && argc >= 6) {
        char** program = programAfterDashes(4);
        if (!program) return Usage();
        return Rss(argv[2], std::atof(argv[3]), program);
    }
    if (mode == "idle" && argc >= 7) {
        char** program = programAfterDashes(5);
        if (!program) return Usage();
        return Idle(argv[2], std::atof(argv[3]), std::atof(argv[4]), program);
    }
    return Usage();
}
