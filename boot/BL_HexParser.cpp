#include "boot/BL_HexParser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boot/BL_Flash.h"
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

// True when the record holds exactly as many digit pairs as its count says (count, address, type,
// data and checksum), trailing blanks aside.
bool RecordLengthOk(const char* p, const char* end, uint32_t count) {
    while (end > p && (end[-1] == ' ' || end[-1] == '\t')) --end;
    return size_t(end - p) == (size_t(count) + 5) * 2;
}

// The line of the file that gave each image byte, 0 for none: two records that give one byte
// different values refuse the file. Only the range a parse touched is cleared by the next one.
std::array<uint32_t, FlashImageSize> FlashLine{};
std::array<uint32_t, BootImageSize> BootLine{};
int64_t FlashLineTouched = -1;
int64_t BootLineTouched = -1;

void ClearLines() {
    if (FlashLineTouched >= 0) std::fill(FlashLine.begin(), FlashLine.begin() + FlashLineTouched + 1, 0u);
    if (BootLineTouched >= 0) std::fill(BootLine.begin(), BootLine.begin() + BootLineTouched + 1, 0u);
    FlashLineTouched = BootLineTouched = -1;
}

bool StrictIntake = false;

// File bytes of one kind that the run will not write.
struct TSkipped {
    int64_t from = 0;
    int64_t to = 0;
    int64_t bytes = 0;
    void Add(int64_t at) {
        if (bytes++ == 0 || at < from) from = at;
        if (bytes == 1 || at > to) to = at;
    }
};

bool IsPic24Family() { return McuFamily == FamPic24 || McuFamily == FamDsPic; }

struct TParse {
    int64_t base = 0;        // from the last type 02 or 04 record
    bool segmented = false;  // type 02: record addresses wrap within their 64 KiB segment
    bool ok = true;
    bool endSeen = false;
    bool tooBig = false;
    bool dataRefused = false;  // data outside the target's memories, or contradictory data
    int64_t unsupported = 0;
    int64_t acceptedBelow = 0;  // compared value limit for program flash
    int64_t tooBigBelow = 0;
    int64_t flashEnd = 0;       // compared value where the target's flash ends
    int64_t line = 0;           // number of the line being read, from 1
    int64_t faultLine = 0;      // the first line at fault, 0 for none
    std::string fault;          // what was wrong there
    int64_t lastLine = 0;       // the line and target address of the byte that set EoFlash last
    int64_t lastAddress = 0;
    int64_t highestGroup = -1;  // PIC24 and dsPIC: the highest instruction stored
    TSkipped inBootloader;
    TSkipped aboveFlash;

    void Fault(const std::string& what) {
        if (faultLine != 0) return;
        faultLine = line;
        fault = what;
    }
    void Broken(const std::string& what) {
        ok = false;
        Fault(what);
    }
    void FieldFault(const TFieldReader& r) {
        if (!r.badDigit) {
            Broken("record cut short");
        } else if (r.bad > ' ' && r.bad < 0x7F) {
            Broken(std::string("'") + r.bad + "' is not a hex digit");
        } else {
            Broken("character 0x" + HexStr(uint8_t(r.bad), 2) + " is not a hex digit");
        }
    }
    void TooBig(int64_t address, const char* what) {
        tooBig = true;
        Fault("data at 0x" + HexStr(uint64_t(address), 4) + " " + what);
    }
    void Refuse(const std::string& what) {
        dataRefused = true;
        Fault(what);
    }

    // Stores one byte; a byte that an earlier line gave another value refuses the file.
    bool Store(uint8_t* image, uint32_t* lines, int64_t& touched, int64_t at, uint8_t value, int64_t shown) {
        const uint32_t earlier = lines[at];
        if (earlier != 0 && image[at] != value) {
            Refuse("data at 0x" + HexStr(uint64_t(shown), 4) + " differs from line " + std::to_string(earlier));
            return false;
        }
        image[at] = value;
        lines[at] = uint32_t(std::min<int64_t>(line, UINT32_MAX));
        touched = std::max(touched, at);
        return true;
    }

    void Place(int64_t a, uint8_t value) {
        int64_t compared = 0;
        int64_t shown = a;  // the address in the target's units, for detail lines
        int64_t unit = a;   // the same for the not-written ranges (PIC32: physical)
        int64_t store = 0;
        bool phantom = false;
        switch (McuFamily) {
        case FamPic16:
            compared = shown = unit = a / 2;
            store = a;
            break;
        case FamPic18:
        case FamPic18FJ:
            compared = store = a;
            break;
        case FamPic24:
        case FamDsPic:
            compared = shown = unit = a / 2;
            // Four file bytes per instruction, the fourth a phantom byte that no flash holds: the
            // image is packed as it is read, three bytes per instruction.
            phantom = a % 4 == 3;
            store = a / 4 * 3 + a % 4;
            break;
        case FamPic32: {
            // KSEG0 and KSEG1 addresses are the physical address plus the segment.
            int64_t physical = -1;
            if (a < 0x20000000) physical = a;
            else if (a >= 0x80000000 && a < 0xC0000000) physical = a & 0x1FFFFFFF;
            if (physical >= Pic32BootBase && physical < int64_t(Pic32BootBase) + BootImageSize) {
                if (Store(BootImage.data(), BootLine.data(), BootLineTouched, physical - Pic32BootBase, value, a)) {
                    EoBoot = std::max<int64_t>(EoBoot, physical - Pic32BootBase);
                    ++Stats.dataBytes;
                }
                return;
            }
            if (physical < Pic32ProgramBase || physical >= int64_t(Pic32ProgramBase) + FlashImageSize) {
                Refuse("data at 0x" + HexStr(uint64_t(a), 8) + " is outside program and boot flash");
                return;
            }
            compared = store = physical - Pic32ProgramBase;
            unit = physical;
            break;
        }
        default: return;  // no family: nothing is stored
        }
        if (compared < acceptedBelow) {
            if (phantom) return;
            if (store < 0 || store >= FlashImageSize) {
                Refuse("data at 0x" + HexStr(uint64_t(shown), 4) + " lies beyond the flash image");
                return;
            }
            if (!Store(FlashImage.data(), FlashLine.data(), FlashLineTouched, store, value, shown)) return;
            if (IsPic24Family()) highestGroup = std::max(highestGroup, a / 4);
            if (store > EoFlash) {
                EoFlash = store;
                lastLine = line;
                lastAddress = shown;
            }
            ++Stats.dataBytes;
        } else if (compared < tooBigBelow) {
            TooBig(shown, "overlaps the bootloader");
        } else if (phantom) {
            return;
        } else if (compared < flashEnd) {
            inBootloader.Add(unit);
        } else {
            // Configuration words, EEPROM, IDs: not program flash.
            aboveFlash.Add(unit);
        }
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
            if (!RecordLengthOk(p, end, count)) Broken("record length does not match its count");
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
                const int64_t a = segmented ? base + ((address + i) & 0xFFFF) : base + address + i;
                Place(a, uint8_t(b));
            }
            break;
        case 0x01: endSeen = true; break;
        case 0x02:
        case 0x04: {
            if (count != 2) {
                Broken("type 0" + std::to_string(type) + " record holds " + std::to_string(count) +
                       " bytes instead of 2");
                return;
            }
            uint32_t u = 0;
            if (!r.Take(4, u)) {
                FieldFault(r);
                return;
            }
            segmented = type == 0x02;
            base = segmented ? int64_t(u) * 16 : int64_t(u) * 65536;
            break;
        }
        case 0x03:
        case 0x05: ++unsupported; break;
        default: break;
        }
        if (!RecordLengthOk(p, end, count)) Broken("record length does not match its count");
    }
};

// "0x00F200" in the target's units: six digits, eight for PIC32.
std::string Address(int64_t a) { return "0x" + HexStr(uint64_t(a), McuFamily == FamPic32 ? 8 : 6); }

std::string Range(const TSkipped& s) {
    return std::to_string(s.bytes) + " bytes at " + Address(s.from) + ".." + Address(s.to);
}

}  // namespace

const THexParseStats& LastHexParseStats() { return Stats; }

void SetStrictHexIntake(bool strict) { StrictIntake = strict; }

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
    ClearLines();
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
    // Above the refused window: the bootloader, up to the end of the flash the target reports. A
    // target that reports no size has everything there counted as above its flash.
    st.flashEnd = st.tooBigBelow;
    if (BootInfo.flashSizeMark == 8)
        st.flashEnd = std::max(st.flashEnd, McuFamily == FamPic32 ? int64_t(BootInfo.McuSize)
                                                                  : ImageOffsetToAddress(BootInfo.McuSize));

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
        // Blanks may stand before a record; blank lines and an end-of-file character are no data.
        const char* p = line;
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        if (p < end && *p == ':') {
            st.Record(p + 1, end);
            continue;
        }
        while (p < end && (*p == ' ' || *p == '\t' || *p == 0x1A)) ++p;
        if (p < end && Stats.notRecords++ == 0) Stats.firstNotRecordLine = st.line;
    }
    const bool lineFault = !st.ok;  // reading stopped at a line it could not take
    if (!fromStdin) ::close(fd);
    Stats.endRecord = st.endSeen;
    // A download cut short at a line boundary reads like a whole file but for this record.
    if (!lineFault && !st.endSeen) {
        LogMessage("No end record: the file may be cut short!");
        st.ok = false;
    }

    // PIC24 and dsPIC were packed while reading: the end is that of the last instruction stored.
    if (IsPic24Family()) EoFlash = 3 * (std::max<int64_t>(st.highestGroup, 0) + 1);

    // PIC32 boot flash: the erase block that holds the last boot byte (configuration words) is
    // neither erased nor written.
    TSkipped bootKept;
    if (McuFamily == FamPic32 && BootInfo.EraseBlock > 0)
        for (int64_t o = BootFlashRunLength(); o >= 0 && o <= BootLineTouched; ++o)
            if (BootLine[size_t(o)] != 0) bootKept.Add(Pic32BootBase + o);
    if (st.inBootloader.bytes != 0) Stats.notWritten.push_back({st.inBootloader.from, st.inBootloader.to, st.inBootloader.bytes, "bootloader"});
    if (bootKept.bytes != 0) Stats.notWritten.push_back({bootKept.from, bootKept.to, bootKept.bytes, "boot_block_kept"});
    if (st.aboveFlash.bytes != 0) Stats.notWritten.push_back({st.aboveFlash.from, st.aboveFlash.to, st.aboveFlash.bytes, "above_flash"});

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
    if (st.dataRefused) st.ok = false;
    if (!lineFault && !sizeRefused && !st.dataRefused && Stats.dataBytes == 0) {
        // Nothing to write: erasing would only wipe the board.
        LogMessage("File holds no data for this target!");
        st.ok = false;
    }
    if (st.ok && StrictIntake &&
        (Stats.notRecords != 0 || st.inBootloader.bytes != 0 || bootKept.bytes != 0)) {
        LogMessage("Strict: not all of the file is written!");
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
    // Nothing of the file goes unsaid: lines that are not records, and data the run leaves out.
    if (Stats.notRecords != 0)
        LogMessage("  Not read: " + std::to_string(Stats.notRecords) + " lines that are not records (first: line " +
                   std::to_string(Stats.firstNotRecordLine) + ").");
    if (st.inBootloader.bytes != 0) LogMessage("  Not written: " + Range(st.inBootloader) + " lie in the bootloader.");
    if (bootKept.bytes != 0)
        LogMessage("  Not written: " + Range(bootKept) + " in the boot flash block left as it is.");
    if (st.aboveFlash.bytes != 0)
        LogMessage("  Not written: " + Range(st.aboveFlash) + " above the flash (configuration, EEPROM, IDs).");
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
