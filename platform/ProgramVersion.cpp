#include "platform/ProgramVersion.h"

#include <hidapi.h>

#include <cstring>

std::string HidApiVersion() {
    const char* v = hid_version_str();
    return v != nullptr ? v : "unknown";
}

std::string VersionText(const std::string& program, const std::string& version, const char* qtVersion) {
    std::string text = program + " " + version + "\n";
    text += "hidapi " + HidApiVersion() + "\n";
    text += qtVersion != nullptr ? "Qt " + std::string(qtVersion) + "\n" : "Qt not used (no window)\n";
    return text;
}

std::string FileVersionText(uint32_t ms, uint32_t ls) {
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16);
}

bool AsksForVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--version") == 0) return true;
    }
    return false;
}
