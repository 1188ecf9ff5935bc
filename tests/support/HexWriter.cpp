#include "support/HexWriter.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

std::string Record(uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
    static const char* hex = "0123456789ABCDEF";
    std::string s = ":";
    unsigned sum = 0;
    auto put = [&](uint8_t b) {
        s += hex[b >> 4];
        s += hex[b & 15];
        sum += b;
    };
    put(uint8_t(n));
    put(uint8_t(address >> 8));
    put(uint8_t(address));
    put(type);
    for (size_t i = 0; i < n; ++i) put(data[i]);
    put(uint8_t(-sum));
    return s + "\r\n";
}

}  // namespace

std::string MakeHex(const std::vector<THexChunk>& chunks, int perLine, const THexStyle& style) {
    std::string out;
    int64_t upper = -1;
    for (const auto& c : chunks) {
        size_t i = 0;
        while (i < c.bytes.size()) {
            const uint32_t a = c.address + uint32_t(i);
            if (int64_t(a >> 16) != upper) {
                upper = a >> 16;
                const int64_t base = style.segments ? upper << 12 : upper;  // 02: segment, 16-byte units
                const uint8_t u[2] = {uint8_t(base >> 8), uint8_t(base)};
                out += style.lead + Record(style.segments ? 0x02 : 0x04, 0, u, 2);
            }
            size_t n = std::min<size_t>(size_t(perLine), c.bytes.size() - i);
            n = std::min<size_t>(n, 0x10000 - (a & 0xFFFF));  // never across a 64 KiB boundary
            out += style.lead + Record(0x00, uint16_t(a), c.bytes.data() + i, n);
            i += n;
        }
    }
    out += ":00000001FF\r\n";
    return out;
}

std::string WriteTempFile(const std::string& name, const std::string& text) {
    char tmpl[] = "/tmp/quarnel-test-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    const std::string path = std::string(dir ? dir : "/tmp") + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    return path;
}
