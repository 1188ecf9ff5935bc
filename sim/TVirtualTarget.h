#pragma once
// A bootloader that lives in memory, seen from the host side of the protocol.

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/TSimProfile.h"

struct TSimFaults {
    // Report numbers count every report the target receives, from 1. 0 = off.
    int dropAnswerAt = 0;   // the answer to this report is never sent
    int wrongEchoAt = 0;    // the answer to this report carries a wrong echo in byte 1
    int stopWritesAt = 0;   // from this report on, writes are no longer taken
    int unplugAt = 0;       // the target disappears when this report arrives (it is not taken)
    int corruptAt = 0;      // a data report: its first byte is stored inverted, and nothing is said
    int duplicateAnswerAt = 0;          // the answer to this report is sent twice
    bool duplicateEraseAnswers = false; // every erase answer is sent twice
};

struct TSimTraceEntry {
    uint64_t us = 0;   // clock time
    bool out = true;   // true: host to target
    std::array<uint8_t, 64> data{};
};

class TVirtualTarget {
public:
    explicit TVirtualTarget(const TSimProfile& profile);

    const TSimProfile& Profile() const { return m_profile; }
    TSimFaults& Faults() { return m_faults; }

    // Program flash indexed by image offset (m_profile.flashSize bytes) and, for PIC32, the 12,288
    // bytes of boot flash. At creation both hold an "old firmware" pattern below the boot start and
    // a bootloader pattern from the boot start up, so a write to unerased flash shows up.
    std::vector<uint8_t>& Flash() { return m_flash; }
    std::vector<uint8_t>& BootFlash() { return m_bootFlash; }
    const std::vector<uint8_t>& Flash() const { return m_flash; }
    const std::vector<uint8_t>& BootFlash() const { return m_bootFlash; }
    uint8_t ErasedByte(uint32_t imageOffset) const;  // 0xFF; PIC16 odd offsets 0x3F
    // Image offset of the boot start (where the bootloader's own code begins).
    uint32_t BootStartImageOffset() const;

    // Transport side, called by the back end.
    bool Plugged() const { return m_plugged; }
    void Plug();    // posts a device-change notification
    void Unplug();  // posts a device-change notification
    // One report of 64 data bytes arrives; false when the target did not take it.
    bool Receive(const uint8_t* data64);
    // An answer that is ready at the current clock time; false when none is.
    bool TakeAnswer(uint8_t* data64);
    // Counts the plug-ins, so that a handle opened before an unplug stays dead after the next plug.
    uint32_t PlugGeneration() const { return m_generation; }
    // Transport-level misuse seen by the back end (wrong report ID or length), recorded against the
    // last report that arrived.
    void RecordViolation(const std::string& what);

    // What the target saw.
    int ReportsReceived() const { return m_received; }
    const std::vector<std::string>& Violations() const { return m_violations; }
    const std::vector<TSimTraceEntry>& Trace() const { return m_trace; }
    const std::vector<uint64_t>& EraseAddresses() const { return m_eraseAddresses; }   // as sent
    const std::vector<uint64_t>& WriteAddresses() const { return m_writeAddresses; }   // headers, as sent
    std::vector<uint8_t> Commands() const;  // command code of every command packet, in order
    bool InBootMode() const { return m_bootMode; }
    bool SessionEnded() const { return m_ended; }
    bool BootloaderDisabled() const { return m_disabled; }
    // Writes the trace as "<ms> OUT|IN <128 hex digits>" lines, ms since start with 3 decimals.
    std::string TraceText(uint64_t startUs = 0) const;

private:
    void Answer(const std::array<uint8_t, 64>& answer);
    void Violation(const std::string& what);
    void HandleCommand(const uint8_t* p);
    void HandleData(const uint8_t* p);
    void HandleErase(const uint8_t* p);
    void HandleWriteHeader(const uint8_t* p);
    // Checks the range of an erase or a write; the first problem found goes into why.
    bool CheckRange(uint64_t address, uint32_t length, bool erase, bool& boot, uint32_t& offset,
                    std::string& why) const;
    // Converts a target address from a packet to (region, image offset); false when outside flash.
    bool AddressToRegion(uint64_t address, bool& boot, uint32_t& offset) const;

    TSimProfile m_profile;
    TSimFaults m_faults;
    std::vector<uint8_t> m_flash;
    std::vector<uint8_t> m_bootFlash;
    bool m_plugged = true;
    uint32_t m_generation = 0;
    int m_current = 0;  // number of the report being handled
    int m_received = 0;
    bool m_bootMode = false;
    bool m_ended = false;
    bool m_disabled = false;
    // A write in progress: header seen, data reports expected.
    bool m_writePending = false;
    bool m_writeBoot = false;
    uint32_t m_writeOffset = 0;
    uint32_t m_writeLeft = 0;
    bool m_writeDiscard = false;  // a refused header: its data is swallowed, not written
    struct TPendingAnswer {
        uint64_t readyUs;
        std::array<uint8_t, 64> data;
    };
    std::deque<TPendingAnswer> m_answers;
    std::vector<std::string> m_violations;
    std::vector<TSimTraceEntry> m_trace;
    std::vector<uint64_t> m_eraseAddresses;
    std::vector<uint64_t> m_writeAddresses;
    std::vector<uint8_t> m_commands;
};
