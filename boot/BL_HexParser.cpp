#include "boot/BL_HexParser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boot/BL_Image.h"
#include "boot/BL_Vars.h"
#include "boot/HostHooks.h"
#include "boot/Log.h"

namespace {

THexParseStats Stats;

// Value of each character as a hex digit, -1 for the rest: one load per digit instead of three
// range tests, which is most of the parse time of a large file.
constexpr std::array<int8_t, 256> HexDigitTable = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int c = '0'; c <= '9'; ++c) t[size_t(c)] = int8_t(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[size_t(c)] = int8_t(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[size_t(c)] = int8_t(c - 'a' + 10);
    return t;
}();

int HexDigit(char c) { return HexDigitTable[static_cast<unsigned char>(c)]; }

std::string BaseName(const std::string& path) {
    if (path == StdinPath) return "standard input";
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads lines of at most MaxHexLineLength characters from a file descriptor through one fixed
// buffer: a longer line, however long, costs no memory and is refused.
class TLineReader {
public:
    enum TResult { Line, End, TooLong, Error };

    explicit TLineReader(int fd) : m_fd(fd) {}

    // On Line: the line without its LF (a CR before it stays), and how many bytes it took.
    TResult Next(const char*& line, size_t& length, size_t& consumed) {
        for (;;) {
            const char* begin = m_buf.data() + m_begin;
            const size_t avail = m_end - m_begin;
            const size_t look = std::min(avail, MaxHexLineLength + 2);
            if (const void* nl = std::memchr(begin, '\n', look)) {
                line = begin;
                length = size_t(static_cast<const char*>(nl) - begin);
                consumed = length + 1;
                m_begin += consumed;
                return Line;
            }
            if (avail > MaxHexLineLength + 1) return TooLong;
            if (m_eof) {
                if (avail == 0) return End;
                line = begin;
                length = consumed = avail;
                m_begin = m_end;
                return Line;
            }
            if (m_begin > 0) {
                std::memmove(m_buf.data(), begin, avail);
                m_begin = 0;
                m_end = avail;
            }
            const ssize_t n = ::read(m_fd, m_buf.data() + m_end, m_buf.size() - m_end);
            if (n < 0) {
                if (errno == EINTR) continue;
                m_errno = errno;
                return Error;
            }
            if (n == 0) m_eof = true;
            m_end += size_t(n);
        }
    }
    int ErrorNumber() const { return m_errno; }

private:
    int m_fd;
    std::array<char, 65536> m_buf{};
    size_t m_begin = 0;
    size_t m_end = 0;
    bool m_eof = false;
    int m_errno = 0;
};

// What is left of the record line; fields are taken from its front.
struct TFieldReader {
    const char* p;
    const char* end;
    bool badDigit = false;  // the last Take met a character that is no hex digit (else: none left)
    char bad = 0;

    // Takes up to width characters as a hexadecimal number. False when no characters are left or
    // one of them is not a hex digit.
    bool Take(int width, uint32_t& value) {
        if (p >= end) return false;
        uint32_t v = 0;
        for (int i = 0; i < width && p < end; ++i, ++p) {
            const int d = HexDigit(*p);
            if (d < 0) {
                badDigit = true;
                bad = *p;
                return false;
            }
            v = (v << 4) | uint32_t(d);
        }
        value = v;
        return true;
    }
    void Skip(int width) {
        for (int i = 0; i < width && p < end; ++i) ++p;
    }
};

// True when the record's bytes, checksum included, add up to 0 and their number fits the count.
bool ChecksumOk(const char* p, const char* end) {
    while (end > p && (end[-1] == ' ' || end[-1] == '\t')) --end;
    const size_t digits = size_t(end - p);
    if (digits < 10 || digits % 2 != 0) return false;
    unsigned sum = 0;
    size_t n = 0;
    for (const char* q = p; q < end; q += 2, ++n) {
        const int hi = HexDigit(q[0]);
        const int lo = HexDigit(q[1]);
        if (hi < 0 || lo < 0) return false;
        sum += unsigned(hi * 16 + lo);
    }
    const int count = HexDigit(p[0]) * 16 + HexDigit(p[1]);
    return n == size_t(count) + 5 && (sum & 0xFF) == 0;
}

struct TParse {
    int64_t upper = 0;
    bool ok = true;
    bool endSeen = false;
    bool tooBig = false;
    int64_t unsupported = 0;
    int64_t acceptedBelow = 0;  // compared value limit for program flash
    int64_t tooBigBelow = 0;
    int64_t line = 0;           // number of the line being read, from 1
    int64_t faultLine = 0;      // the first line at fault, 0 for none
    std::string fault;          // what was wrong there
    int64_t lastLine = 0;       // the line and target address of the byte that set EoFlash last
    int64_t lastAddress = 0;

    void Fault(const std::string& what) {
        if (faultLine != 0) return;
        faultLine = line;
        fault = what;
    }
    void FieldFault(const TFieldReader& r) {
        ok = false;
        if (!r.badDigit) {
            Fault("record cut short");
        } else if (r.bad > ' ' && r.bad < 0x7F) {
            Fault(std::string("'") + r.bad + "' is not a hex digit");
        } else {
            Fault("character 0x" + HexStr(uint8_t(r.bad), 2) + " is not a hex digit");
        }
    }
    void TooBig(int64_t address, const char* what) {
        tooBig = true;
        Fault("data at 0x" + HexStr(uint64_t(address), 4) + " " + what);
    }

    void Place(int64_t recordAddress, int64_t i, uint8_t value) {
        const int64_t offset = upper * 65536 + recordAddress + i;
        int64_t compared = 0;
        int64_t shown = offset;  // the address in the target's units, for a detail line
        int64_t store = 0;
        switch (McuFamily) {
        case FamPic16:
        case FamPic24:
        case FamDsPic:
            compared = offset / 2;
            store = offset;
            shown = compared;
            break;
        case FamPic18:
        case FamPic18FJ:
            compared = offset;
            store = offset;
            break;
        case FamPic32:
            if (upper >= 0x1FC0) {
                store = recordAddress + i;
                if (store >= BootImageSize) {
                    TooBig(offset, "lies beyond the boot flash");  // never written
                    return;
                }
                BootImage[size_t(store)] = value;
                if (store > EoBoot) EoBoot = store;
                ++Stats.dataBytes;
                return;
            }
            store = (upper & 0xFF) * 65536 + recordAddress + i;
            compared = store;
            break;
        default: return;  // no family: nothing is stored
        }
        if (compared < acceptedBelow) {
            if (store < 0 || store >= FlashImageSize) {
                TooBig(shown, "lies beyond the flash image");  // the boot start lies beyond it
                return;
            }
            FlashImage[size_t(store)] = value;
            if (store > EoFlash) {
                EoFlash = store;
                lastLine = line;
                lastAddress = shown;
            }
            ++Stats.dataBytes;
        } else if (compared < tooBigBelow) {
            TooBig(shown, "overlaps the bootloader");
        }
        // Anything higher (configuration words, EEPROM, IDs) is dropped silently.
    }

    void Record(const char* p, const char* end) {
        TFieldReader r{p, end};
        uint32_t count = 0;
        if (!r.Take(2, count)) {
            FieldFault(r);
            return;
        }
        ++Stats.records;
        if (!ChecksumOk(p, end) && Stats.checksumErrors++ == 0) Stats.firstChecksumLine = line;
        uint32_t type = 0;
        if (count == 0) {
            r.Skip(4);
            if (r.Take(2, type) && type == 0x01) endSeen = true;
            return;
        }
        uint32_t address = 0;
        if (!r.Take(4, address) || !r.Take(2, type)) {
            FieldFault(r);
            return;
        }
        switch (type) {
        case 0x00:
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t b = 0;
                if (!r.Take(2, b)) {
                    FieldFault(r);
                    return;
                }
                Place(address, i, uint8_t(b));
            }
            break;
        case 0x01: endSeen = true; break;
        case 0x02:
        case 0x03:
        case 0x05: ++unsupported; break;
        case 0x04: {
            uint32_t u = 0;
            if (!r.Take(4, u)) {
                FieldFault(r);
                return;
            }
            upper = u;
            break;
        }
        default: break;
        }
    }
};

}  // namespace

const THexParseStats& LastHexParseStats() { return Stats; }

std::string FileKindText(unsigned mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

bool ParseHexFile(const std::string& path) {
    Stats = THexParseStats{};
    ResetImages();
    const std::string name = BaseName(path);
    LogMessage("Parsing HEX file: " + name);
    EoFlash = 0;
    EoBoot = 0;
    TParse st;
    const int64_t vector = BootVectorSize();
    if (McuFamily == FamPic32) {
        st.acceptedBelow = int64_t(BootStartOffset) - 16;
        st.tooBigBelow = int64_t(BootStartOffset) + 256;
    } else {
        st.acceptedBelow = int64_t(BootInfo.BootStart) - ImageOffsetToAddress(vector);
        st.tooBigBelow = int64_t(uint32_t(BootInfo.BootStart + 256u));
    }

    // Standard input is the one stream taken; any other file must be a regular one. A FIFO is
    // opened without waiting for a writer, so that it is refused at once instead of hanging.
    const bool fromStdin = path == StdinPath;
    const int fd = fromStdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info {};
    std::string refusal;
    if (fd < 0) {
        refusal = std::strerror(errno);
    } else if (::fstat(fd, &info) != 0) {
        refusal = std::strerror(errno);
    } else if (!fromStdin && !S_ISREG(info.st_mode)) {
        refusal = "Not a regular file: " + FileKindText(info.st_mode);
    } else if (!fromStdin && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        refusal = std::strerror(errno);
    }
    if (!refusal.empty()) {
        if (fd >= 0 && !fromStdin) ::close(fd);
        LogMessage("Unable to open file " + name);
        LogMessage("Error parsing hex file.");
        LogMessage("  " + refusal);
        HostSetProgressPos(0);
        return false;
    }
    Stats.opened = true;
    HostSetProgressMax(S_ISREG(info.st_mode) && info.st_size > 0 ? int64_t(info.st_size) : 0);

    TLineReader reader(fd);
    int64_t readSoFar = 0;
    while (!st.endSeen && st.ok) {
        const char* line = nullptr;
        size_t length = 0;
        size_t consumed = 0;
        const TLineReader::TResult got = reader.Next(line, length, consumed);
        if (got == TLineReader::End) break;
        ++st.line;
        if (got != TLineReader::Line) {
            st.Fault(got == TLineReader::TooLong ? std::string("line too long")
                                                 : "read error (" + std::string(std::strerror(reader.ErrorNumber())) + ")");
            st.ok = false;
            break;
        }
        readSoFar += int64_t(consumed);
        ++Stats.lines;
        HostSetProgressPos(readSoFar);
        HostProcessMessages();
        const char* end = line + length;
        if (end > line && end[-1] == '\r') --end;
        if (size_t(end - line) > MaxHexLineLength) {
            st.Fault("line too long");
            st.ok = false;
            break;
        }
        if (end == line || line[0] != ':') continue;
        st.Record(line + 1, end);
    }
    const bool lineFault = !st.ok;  // reading stopped at a line it could not take
    if (!fromStdin) ::close(fd);
    Stats.endRecord = st.endSeen;
    // A download cut short at a line boundary reads like a whole file but for this record.
    if (!lineFault && !st.endSeen) {
        LogMessage("No end record: the file may be cut short!");
        st.ok = false;
    }

    if (McuFamily == FamPic24 || McuFamily == FamDsPic) PackPhantomBytes();

    const int64_t limit = AddressToImageOffset(int64_t(BootInfo.BootStart & 0xFFFFFF)) - vector;
    const bool sizeRefused = st.tooBig || EoFlash > limit;
    if (sizeRefused) {
        LogMessage("  Image is too big for this PIC and");
        LogMessage("  would overwrite (part of) bootloader!");
        LogMessage("  Programming will be aborted.");
        st.ok = false;
        if (st.faultLine == 0 && st.lastLine != 0) {
            // Only the packed end reaches the bootloader: name the line of the last byte.
            st.faultLine = st.lastLine;
            st.fault = "data at 0x" + HexStr(uint64_t(st.lastAddress), 4) + " overlaps the bootloader";
        }
    }
    if (!lineFault && !sizeRefused && Stats.dataBytes == 0) {
        // Nothing to write: erasing would only wipe the board.
        LogMessage("File holds no data for this target!");
        st.ok = false;
    }
    Stats.tooBig = st.tooBig;
    Stats.unsupported = st.unsupported;
    if (st.ok && Stats.checksumErrors != 0 &&
        !HostAskYesNo(std::to_string(Stats.checksumErrors) +
                      (Stats.checksumErrors == 1 ? " record of " + name + " has"
                                                 : " records of " + name + " have") +
                      " a wrong checksum. Flash anyway?")) {
        st.ok = false;
        st.line = Stats.firstChecksumLine;
        st.Fault("wrong checksum");
    }
    if (!st.ok) {
        LogMessage("Error parsing hex file.");
        if (st.faultLine != 0) LogMessage("  Line " + std::to_string(st.faultLine) + ": " + st.fault);
    }
    if (st.unsupported != 0) LogMessage(std::to_string(st.unsupported) + " unsupported entries found!");
    if (Stats.checksumErrors != 0) LogMessage(std::to_string(Stats.checksumErrors) + " checksum errors found!");
    HostSetProgressPos(0);
    if (st.ok) {
        if (McuFamily == FamPic32) {
            LogMessage("   EoFlash: Address 0x" + HexStr(uint32_t(uint64_t(EoFlash) | 0x9D000000u), 8));
            LogMessage("   EoBoot : Address 0x" + HexStr(uint32_t(uint64_t(EoBoot) | 0x9FC00000u), 8));
        } else {
            LogMessage("   EoFlash: Address 0x" + HexStr(uint64_t(ImageOffsetToAddress(EoFlash)), 6));
        }
    }
    return st.ok;
}
