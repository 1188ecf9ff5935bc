#pragma once
// A scratch directory for one test, removed with everything in it at the end.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class TTempDir {
public:
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quarnel-plat-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~TTempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }

    // Writes a file below the directory, creating the folders on the way.
    bool WriteFile(const std::string& relative, const std::vector<uint8_t>& bytes) const {
        const std::filesystem::path file = std::filesystem::path(m_path) / relative;
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return static_cast<bool>(out);
    }

private:
    std::string m_path;
};

// A vendor-defined bootloader interface: 64 bytes in, 64 bytes out, no report IDs.
inline std::vector<uint8_t> BootloaderDescriptor() {
    return {
        0x06, 0x00, 0xFF,       // Usage Page (vendor 0xFF00)
        0x09, 0x01,             // Usage (1)
        0xA1, 0x01,             // Collection (Application)
        0x19, 0x01, 0x29, 0x40, //   Usage Minimum 1, Usage Maximum 64
        0x15, 0x00,             //   Logical Minimum 0
        0x26, 0xFF, 0x00,       //   Logical Maximum 255
        0x75, 0x08,             //   Report Size 8
        0x95, 0x40,             //   Report Count 64
        0x81, 0x00,             //   Input
        0x19, 0x01, 0x29, 0x40, //   Usage Minimum 1, Usage Maximum 64
        0x91, 0x00,             //   Output
        0xC0,                   // End Collection
    };
}
