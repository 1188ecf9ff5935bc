#pragma once
// SHA-256, so that a record names the firmware exactly and a line can refuse a file that is not the
// one it expects.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class TSha256 {
public:
    TSha256();
    void Update(const void* data, size_t size);
    // The digest; the object is spent afterwards.
    std::array<uint8_t, 32> Final();
    // 64 lower-case hex digits.
    std::string FinalHex();

private:
    void Block(const uint8_t* p);

    uint32_t m_h[8];
    uint8_t m_buffer[64];
    size_t m_used = 0;
    uint64_t m_bytes = 0;
};

// The hex digest of a whole file; false with error (e.g. "No such file or directory") when it cannot
// be read.
bool Sha256OfFile(const std::string& path, std::string& hex, std::string& error);
