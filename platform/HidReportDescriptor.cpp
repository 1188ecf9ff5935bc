#include "platform/HidReportDescriptor.h"

#include <array>
#include <cstdio>

namespace {

// The global items that matter for report lengths; push and pop save and restore all of them.
struct TGlobals {
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
};

constexpr int GlobalStackDepth = 8;
// Keeps byte length + ID byte within 16 bits.
constexpr uint64_t MaxReportBits = 8ull * (UINT16_MAX - 1);

constexpr uint8_t LongItemPrefix = 0xFE;
constexpr uint8_t TagOutput = 0x90;
constexpr uint8_t TagReportSize = 0x74;
constexpr uint8_t TagReportId = 0x84;
constexpr uint8_t TagReportCount = 0x94;
constexpr uint8_t TagPush = 0xA4;
constexpr uint8_t TagPop = 0xB4;

} // namespace

bool ParseReportDescriptor(const uint8_t* desc, size_t len, TReportDescriptorInfo& info) {
    info = TReportDescriptorInfo{};
    if (desc == nullptr || len == 0) return false;

    std::array<uint64_t, 256> outputBits{}; // indexed by report ID, 0 when IDs are not used
    std::array<TGlobals, GlobalStackDepth> stack;
    int depth = 0;
    TGlobals globals;
    bool usesIds = false;

    size_t pos = 0;
    while (pos < len) {
        const uint8_t prefix = desc[pos];
        const size_t left = len - pos - 1; // bytes after the prefix
        if (prefix == LongItemPrefix) {
            // Size byte, tag byte, data; no long item concerns report lengths.
            if (left < 2) return false;
            const size_t dataSize = desc[pos + 1];
            if (left - 2 < dataSize) return false;
            pos += 3 + dataSize;
            continue;
        }
        static constexpr size_t DataSizes[4] = {0, 1, 2, 4};
        const size_t dataSize = DataSizes[prefix & 0x03];
        if (left < dataSize) return false;
        uint32_t value = 0;
        for (size_t i = 0; i < dataSize; ++i)
            value |= static_cast<uint32_t>(desc[pos + 1 + i]) << (8 * i);
        pos += 1 + dataSize;

        switch (prefix & 0xFC) {
        case TagReportSize:
            globals.reportSize = value;
            break;
        case TagReportCount:
            globals.reportCount = value;
            break;
        case TagReportId:
            if (value == 0 || value > 255) return false;
            globals.reportId = value;
            usesIds = true;
            break;
        case TagPush:
            if (depth >= GlobalStackDepth) return false;
            stack[depth++] = globals;
            break;
        case TagPop:
            if (depth == 0) return false;
            globals = stack[--depth];
            break;
        case TagOutput: {
            const uint64_t bits = static_cast<uint64_t>(globals.reportSize) * globals.reportCount;
            uint64_t& sum = outputBits[globals.reportId];
            if (bits > MaxReportBits - sum) return false;
            sum += bits;
            break;
        }
        default:
            break;
        }
    }

    uint64_t largest = 0;
    for (uint64_t bits : outputBits) {
        const uint64_t bytes = (bits + 7) / 8;
        if (bytes > largest) largest = bytes;
    }
    info.usesReportIds = usesIds;
    info.outputReportLength = largest > 0 ? static_cast<uint16_t>(largest + 1) : 0;
    return true;
}

bool ComputeOutputReportLength(const uint8_t* desc, size_t len, uint16_t& reportLength) {
    TReportDescriptorInfo info;
    const bool ok = ParseReportDescriptor(desc, len, info);
    reportLength = info.outputReportLength;
    return ok;
}

bool HidrawNodeName(const std::string& devicePath, std::string& name) {
    name.clear();
    const size_t slash = devicePath.rfind('/');
    const std::string last = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
    static const std::string Prefix = "hidraw";
    if (last.size() <= Prefix.size() || last.size() > Prefix.size() + 6) return false;
    if (last.compare(0, Prefix.size(), Prefix) != 0) return false;
    for (size_t i = Prefix.size(); i < last.size(); ++i)
        if (last[i] < '0' || last[i] > '9') return false;
    name = last;
    return true;
}

bool ReadSysfsReportDescriptor(const std::string& sysfsRoot, const std::string& devicePath,
                               std::vector<uint8_t>& out) {
    out.clear();
    std::string node;
    if (!HidrawNodeName(devicePath, node)) return false;
    const std::string file = sysfsRoot + "/class/hidraw/" + node + "/device/report_descriptor";
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) return false;
    // One byte more than the limit tells an oversized file from one that fits exactly.
    out.resize(HidMaxDescriptorSize + 1);
    size_t total = 0;
    while (total < out.size()) {
        const size_t n = std::fread(out.data() + total, 1, out.size() - total, f);
        if (n == 0) break;
        total += n;
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed || total == 0 || total > HidMaxDescriptorSize) {
        out.clear();
        return false;
    }
    out.resize(total);
    return true;
}
