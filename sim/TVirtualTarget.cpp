#include "sim/TVirtualTarget.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "boot/BL_Vars.h"
#include "boot/Clock.h"
#include "usb/HIDinterface.h"

namespace {

// Memory behind a profile that claims more flash than this is not modelled (no supported chip has it).
constexpr uint32_t MaxModelledFlash = 0x1000000;
constexpr uint32_t Pic32BootFlashSize = 0x3000;
// The host writes PIC32 boot flash in 256-byte pieces, which word programming allows even where the
// row is larger.
constexpr uint32_t Pic32BootWriteStep = 256;

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string Hex(uint64_t v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(v));
    return buf;
}

uint8_t OldFirmwareByte(uint32_t offset) { return static_cast<uint8_t>(offset * 7 + 3); }
uint8_t BootloaderByte(uint32_t offset) { return static_cast<uint8_t>(0xB0 ^ (offset & 0x0F)); }

bool KnownCommand(uint8_t code) {
    return code == cmdGetBootInfo || code == cmdEnterBootMode || code == cmdEndSession || code == cmdWrite ||
           code == cmdErase || code == cmdDisableBootloader;
}

// A command packet has the marker, a known code and zeros after its fields. Image data rarely looks
// like that, so a packet of that shape inside a write is most likely a header sent too early.
bool LooksLikeCommand(const uint8_t* p) {
    if (p[0] != CommandMarker || !KnownCommand(p[1])) return false;
    return std::all_of(p + 8, p + 64, [](uint8_t b) { return b == 0; });
}

}  // namespace

TVirtualTarget::TVirtualTarget(const TSimProfile& profile) : m_profile(profile) {
    m_flash.resize(std::min(m_profile.flashSize, MaxModelledFlash));
    const uint32_t bootOffset = BootStartImageOffset();
    for (uint32_t i = 0; i < m_flash.size(); ++i) {
        uint8_t b = i < bootOffset ? OldFirmwareByte(i) : BootloaderByte(i);
        if (ErasedByte(i) != 0xFF) b &= ErasedByte(i);  // PIC16 words have 14 bits
        m_flash[i] = b;
    }
    if (m_profile.family == FamPic32) {
        m_bootFlash.resize(Pic32BootFlashSize);
        for (uint32_t i = 0; i < m_bootFlash.size(); ++i) m_bootFlash[i] = OldFirmwareByte(i);
    }
}

uint8_t TVirtualTarget::ErasedByte(uint32_t imageOffset) const {
    return m_profile.family == FamPic16 && (imageOffset & 1) ? 0x3F : 0xFF;
}

uint32_t TVirtualTarget::BootStartImageOffset() const {
    const uint64_t b = m_profile.bootStart;
    uint64_t offset;
    switch (m_profile.family) {
    case FamPic16: offset = b * 2; break;
    case FamPic24:
    case FamDsPic: offset = b * 3 / 2; break;
    case FamPic32: offset = b & 0xFFFFFF; break;
    default: offset = b; break;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(offset, 0xFFFFFFFF));
}

bool TVirtualTarget::AddressToRegion(uint64_t address, bool& boot, uint32_t& offset) const {
    uint64_t o;
    boot = false;
    switch (m_profile.family) {
    case FamPic16: o = address * 2; break;
    case FamPic24:
    case FamDsPic:
        if (address & 1) return false;  // program counter addresses of instructions are even
        o = address * 3 / 2;
        break;
    case FamPic32:
        if (address >= Pic32BootBase && address < Pic32BootBase + Pic32BootFlashSize) {
            boot = true;
            offset = static_cast<uint32_t>(address - Pic32BootBase);
            return true;
        }
        if (address < Pic32ProgramBase) return false;
        o = address - Pic32ProgramBase;
        break;
    default: o = address; break;
    }
    if (o >= m_flash.size()) return false;
    offset = static_cast<uint32_t>(o);
    return true;
}

void TVirtualTarget::Plug() {
    if (m_plugged) return;
    m_plugged = true;
    ++m_generation;
    // The bootloader starts afresh; only the flash remembers the past.
    m_bootMode = false;
    m_writePending = false;
    m_writeDiscard = false;
    m_writeLeft = 0;
    m_answers.clear();
    PostDeviceChange();
}

void TVirtualTarget::Unplug() {
    if (!m_plugged) return;
    m_plugged = false;
    m_answers.clear();
    PostDeviceChange();
}

bool TVirtualTarget::Receive(const uint8_t* data64) {
    if (!m_plugged || data64 == nullptr) return false;
    const int number = ++m_received;
    if (m_faults.unplugAt == number) {
        Unplug();
        return false;
    }
    if (m_faults.stopWritesAt > 0 && number >= m_faults.stopWritesAt) return false;

    TSimTraceEntry entry;
    entry.us = NowUs();
    entry.out = true;
    std::memcpy(entry.data.data(), data64, entry.data.size());
    m_trace.push_back(entry);

    m_current = number;
    if (m_writePending) {
        // A bootloader in the middle of a write takes whatever comes next as data.
        if (LooksLikeCommand(data64))
            Violation("header taken as data: command " + Hex(data64[1], 2) + " while a write still expects " +
                      std::to_string(m_writeLeft) + " bytes");
        HandleData(data64);
    } else if (data64[0] == CommandMarker) {
        HandleCommand(data64);
    } else {
        Violation("data report without a pending write header");
    }
    return true;
}

bool TVirtualTarget::TakeAnswer(uint8_t* data64) {
    if (!m_plugged || m_answers.empty() || data64 == nullptr) return false;
    const uint64_t now = NowUs();
    if (m_answers.front().readyUs > now) return false;
    std::memcpy(data64, m_answers.front().data.data(), 64);
    TSimTraceEntry entry;
    entry.us = now;
    entry.out = false;
    entry.data = m_answers.front().data;
    m_trace.push_back(entry);
    m_answers.pop_front();
    return true;
}

std::vector<uint8_t> TVirtualTarget::Commands() const { return m_commands; }

void TVirtualTarget::Answer(const std::array<uint8_t, 64>& answer) {
    if (m_faults.dropAnswerAt == m_current) return;
    TPendingAnswer a;
    a.readyUs = NowUs() + m_profile.latencyUs;
    a.data = answer;
    if (m_faults.wrongEchoAt == m_current) a.data[1] ^= 0xFF;
    m_answers.push_back(a);
    if (m_faults.duplicateAnswerAt == m_current || (m_faults.duplicateEraseAnswers && answer[1] == cmdErase))
        m_answers.push_back(a);
}

void TVirtualTarget::Violation(const std::string& what) {
    m_violations.push_back("report " + std::to_string(m_current) + ": " + what);
}

void TVirtualTarget::RecordViolation(const std::string& what) {
    m_violations.push_back("report " + std::to_string(m_received) + ": " + what);
}

void TVirtualTarget::HandleCommand(const uint8_t* p) {
    const uint8_t code = p[1];
    m_commands.push_back(code);
    std::array<uint8_t, 64> answer{};
    answer[0] = CommandMarker;
    answer[1] = code;
    switch (code) {
    case cmdGetBootInfo:
        Answer(m_profile.bootInfoAnswer ? *m_profile.bootInfoAnswer : BuildBootInfoAnswer(m_profile));
        break;
    case cmdEnterBootMode:
        m_bootMode = true;
        Answer(answer);
        break;
    case cmdErase: HandleErase(p); break;
    case cmdWrite: HandleWriteHeader(p); break;
    case cmdEndSession: m_ended = true; break;
    case cmdDisableBootloader: m_disabled = true; break;
    default: Violation("unknown command " + Hex(code, 2)); break;
    }
}

bool TVirtualTarget::CheckRange(uint64_t address, uint32_t length, bool erase, bool& boot, uint32_t& offset,
                                std::string& why) const {
    const char* what = erase ? "erase" : "write";
    const std::string at = std::string(what) + " at " + Hex(address, 8);
    if ((m_profile.family == FamPic24 || m_profile.family == FamDsPic) && (address & 1)) {
        why = at + ": odd address (instructions start at even addresses)";
        return false;
    }
    if (!AddressToRegion(address, boot, offset)) {
        why = at + " outside flash";
        return false;
    }
    uint32_t align = erase ? m_profile.eraseBlock : m_profile.writeBlock;
    if (boot && !erase) align = std::min(align, Pic32BootWriteStep);
    if (align == 0) {
        why = at + ": the " + what + " block size is 0";
        return false;
    }
    if (offset % align != 0) {
        why = at + " not aligned to the " + std::to_string(align) + "-byte " + what + " block";
        return false;
    }
    const uint64_t end = uint64_t(offset) + length;
    if (!boot && end > BootStartImageOffset()) {
        why = at + " touches the bootloader (image offset " + Hex(BootStartImageOffset(), 1) + " and up)";
        return false;
    }
    const size_t size = boot ? m_bootFlash.size() : m_flash.size();
    if (end > size) {
        why = at + " runs past the end of flash";
        return false;
    }
    return true;
}

void TVirtualTarget::HandleErase(const uint8_t* p) {
    const uint32_t address = Le32(p + 2);
    const uint16_t count = Le16(p + 6);
    m_eraseAddresses.push_back(address);
    std::array<uint8_t, 64> answer{};
    std::memcpy(answer.data(), p, 8);
    // A refused erase is still answered, so one mistake shows up once and not as a run of time-outs.
    bool boot = false;
    uint32_t offset = 0;
    std::string why;
    if (!m_bootMode) {
        Violation("erase at " + Hex(address, 8) + " before boot mode was entered");
    } else if (count != 1) {
        Violation("erase at " + Hex(address, 8) + " of " + std::to_string(count) + " blocks (must be 1)");
    } else if (!CheckRange(address, m_profile.eraseBlock, true, boot, offset, why)) {
        Violation(why);
    } else {
        std::vector<uint8_t>& mem = boot ? m_bootFlash : m_flash;
        for (uint32_t i = offset; i < offset + m_profile.eraseBlock && i < mem.size(); ++i)
            mem[i] = boot ? 0xFF : ErasedByte(i);
    }
    Answer(answer);
}

void TVirtualTarget::HandleWriteHeader(const uint8_t* p) {
    const uint32_t address = Le32(p + 2);
    const uint16_t count = Le16(p + 6);
    m_writeAddresses.push_back(address);
    if (count == 0) {
        // No data follows, so there is nothing to wait for.
        Violation("write at " + Hex(address, 8) + " of 0 bytes");
        return;
    }
    bool boot = false;
    uint32_t offset = 0;
    std::string why;
    bool ok = false;
    if (!m_bootMode) {
        Violation("write at " + Hex(address, 8) + " before boot mode was entered");
    } else if (!CheckRange(address, count, false, boot, offset, why)) {
        Violation(why);
    } else {
        ok = true;
    }
    // The data reports come anyway; a refused write swallows them so that they are not seen as
    // commands, and leaves the flash alone.
    m_writePending = true;
    m_writeDiscard = !ok;
    m_writeBoot = boot;
    m_writeOffset = offset;
    m_writeLeft = count;
}

void TVirtualTarget::HandleData(const uint8_t* p) {
    const uint32_t n = std::min<uint32_t>(64, m_writeLeft);
    if (!m_writeDiscard) {
        std::vector<uint8_t>& mem = m_writeBoot ? m_bootFlash : m_flash;
        // NOR flash: programming only clears bits.
        for (uint32_t k = 0; k < n; ++k) {
            const uint64_t i = uint64_t(m_writeOffset) + k;
            const uint8_t value = k == 0 && m_faults.corruptAt == m_current ? uint8_t(~p[k]) : p[k];
            if (i < mem.size()) mem[i] &= value;
        }
    }
    m_writeOffset += n;
    m_writeLeft -= n;
    if (m_writeLeft == 0) {
        m_writePending = false;
        std::array<uint8_t, 64> answer{};
        answer[0] = CommandMarker;
        answer[1] = cmdWrite;
        Answer(answer);
    }
}

std::string TVirtualTarget::TraceText(uint64_t startUs) const {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(m_trace.size() * 150);
    for (const auto& e : m_trace) {
        const bool before = e.us < startUs;
        const uint64_t d = before ? startUs - e.us : e.us - startUs;
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "%s%llu.%03llu", before ? "-" : "",
                      static_cast<unsigned long long>(d / 1000), static_cast<unsigned long long>(d % 1000));
        out += stamp;
        out += e.out ? " OUT " : " IN ";
        for (uint8_t b : e.data) {
            out += digits[b >> 4];
            out += digits[b & 0x0F];
        }
        out += '\n';
    }
    return out;
}
