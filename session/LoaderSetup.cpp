#include "session/LoaderSetup.h"

#include "session/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "usb/Hid.h"

TLoaderSetup LoaderSetup;
std::string ExeDir = "./";

namespace {

void PutPath(uint8_t* field, const std::string& path) {
    const std::string cut = path.size() > 255 ? path.substr(0, 255) : path;
    field[0] = uint8_t(cut.size());
    std::memcpy(field + 1, cut.data(), cut.size());
}

std::string GetPath(const uint8_t* field) { return std::string(reinterpret_cast<const char*>(field + 1), field[0]); }

int32_t GetI32(const uint8_t* p) { return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24); }

void PutI32(uint8_t* p, int32_t v) {
    const uint32_t u = uint32_t(v);
    p[0] = uint8_t(u);
    p[1] = uint8_t(u >> 8);
    p[2] = uint8_t(u >> 16);
    p[3] = uint8_t(u >> 24);
}

bool IsWritableDir(const std::string& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

// An installed program (run as root, say) must not keep its files among the system's programs.
bool IsSystemDir(const std::string& dir) {
    for (const char* prefix : {"/usr/", "/bin/", "/sbin/", "/lib/", "/lib64/", "/opt/", "/etc/"})
        if (dir.rfind(prefix, 0) == 0) return true;
    return false;
}

bool MakeDirs(const std::string& dir) {
    std::string part;
    for (size_t i = 0; i < dir.size(); ++i) {
        part += dir[i];
        if ((dir[i] == '/' && i > 0) || i + 1 == dir.size()) {
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return true;
}

}  // namespace

std::string ComputeExeDir(const std::string& programPath, const TDataFolderNames& names) {
    std::string dir;
    const size_t slash = programPath.find_last_of('/');
    dir = slash == std::string::npos ? std::string(".") : programPath.substr(0, slash + 1);
    if (dir.empty() || dir.back() != '/') dir += '/';
    if (IsWritableDir(dir) && !IsSystemDir(dir)) {
        if (names.portable.empty()) return dir;
        const std::string sub = dir + names.portable + "/";
        if (MakeDirs(sub)) return sub;
    }
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    } else {
        base = "/tmp";
    }
    if (base.back() != '/') base += '/';
    std::string cfg = base + names.config + "/";
    MakeDirs(cfg);
    return cfg;
}

std::string LoaderSetupFileName() { return ExeDir + "Quarnel.dat"; }

std::array<uint8_t, LoaderSetupSize> EncodeLoaderSetup(const TLoaderSetup& s) {
    std::array<uint8_t, LoaderSetupSize> r{};
    PutI32(&r[0], s.left);
    PutI32(&r[4], s.top);
    PutPath(&r[8], s.pic18Path);
    PutPath(&r[264], s.pic24Path);
    PutPath(&r[520], s.pic32Path);
    PutPath(&r[776], s.pic16Path);
    r[1032] = uint8_t(s.vid);
    r[1033] = uint8_t(s.vid >> 8);
    r[1034] = uint8_t(s.pid);
    r[1035] = uint8_t(s.pid >> 8);
    r[1036] = s.disableFlag != 0 ? 1 : 0;
    return r;
}

TLoaderSetup DecodeLoaderSetup(const uint8_t* r) {
    TLoaderSetup s;
    s.left = GetI32(r);
    s.top = GetI32(r + 4);
    s.pic18Path = GetPath(r + 8);
    s.pic24Path = GetPath(r + 264);
    s.pic32Path = GetPath(r + 520);
    s.pic16Path = GetPath(r + 776);
    s.vid = uint16_t(r[1032] | r[1033] << 8);
    s.pid = uint16_t(r[1034] | r[1035] << 8);
    s.disableFlag = r[1036];
    return s;
}

void SetLoaderSetupDefaults(int32_t defaultLeft, int32_t defaultTop) {
    LoaderSetup = TLoaderSetup{};
    LoaderSetup.left = defaultLeft;
    LoaderSetup.top = defaultTop;
    const std::string dir = CutText(ExeDir, 255);
    LoaderSetup.pic16Path = LoaderSetup.pic18Path = LoaderSetup.pic24Path = LoaderSetup.pic32Path = dir;
}

bool LoadLoaderSetup(int32_t defaultLeft, int32_t defaultTop) {
    std::string record;
    if (!ReadKeptFile(LoaderSetupFileName(), LoaderSetupSize, record) || record.size() < LoaderSetupSize) {
        SetLoaderSetupDefaults(defaultLeft, defaultTop);
        return false;
    }
    LoaderSetup = DecodeLoaderSetup(reinterpret_cast<const uint8_t*>(record.data()));
    return true;
}

bool StoreLoaderSetup(std::string* error) {
    const auto record = EncodeLoaderSetup(LoaderSetup);
    return WriteFileAtomically(LoaderSetupFileName(),
                               std::string(reinterpret_cast<const char*>(record.data()), record.size()), error);
}

std::string* PathForFamily(uint8_t family) {
    switch (family) {
    case 1: return &LoaderSetup.pic16Path;
    case 2:
    case 3: return &LoaderSetup.pic18Path;
    case 4:
    case 10: return &LoaderSetup.pic24Path;
    case 20: return &LoaderSetup.pic32Path;
    default: return nullptr;
    }
}

void ResetLoaderSetupState() {
    LoaderSetup = TLoaderSetup{};
    ExeDir = "./";
}
