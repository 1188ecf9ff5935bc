#include "BenchSupport.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "boot/BL_Vars.h"

double WallSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

long PeakRssKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void SetParserTarget(uint8_t family, uint32_t bootStart) {
    McuFamily = family;
    BootInfo.BootStart = bootStart;
    BootStartOffset = bootStart & 0xFFFFFF;
}

void PrintResult(const std::string& name, const std::string& figure, const std::string& target,
                 const std::string& met) {
    std::printf("RESULT\t%s\t%s\t%s\t%s\n", name.c_str(), figure.c_str(), target.c_str(), met.c_str());
    std::fflush(stdout);
}

std::string Fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}
