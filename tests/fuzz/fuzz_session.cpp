// A whole session against a bootloader whose answers come from the fuzz input: start-up, the
// connection pass on a device arrival, FLASH with a small fixed HEX file for the family the target
// claims, and shut-down.
//
// The target is the virtual one, so that a well-behaved answer stream drives the run through every
// step; the input decides what it claims to be and, report by report, whether a report is taken and
// what becomes of the answers to it (dropped, corrupted, replaced by raw bytes, late, repeated), or
// whether the device goes away.
//
// Input: four header bytes, the fields their flags ask for, then control bytes for the reports the
// host writes: a byte below 0xA0 passes that report and as many more as its value, any other byte
// acts on one report (see TFuzzBackend::Write). Past the end of the input every report is passed on.
//   0: family (index into Families; the last entry takes the byte itself as the code)
//   1: bits 0-1 boot information: 0 the family's defaults, 1 a generated consistent layout, 2 raw
//      fields, 3 a raw 64-byte answer; bit 2 disable the bootloader after flashing; bit 3 a second
//      bootloader with the same IDs; bit 4 another HID device, bit 5 with the bootloader's IDs;
//      bit 6 a second session after the first (reset, connect, FLASH again); bit 7 a report length
//   2: bits 0-2 opens fail (6 permission, 7 busy); bit 3 the stored VID differs from the target's
//   3: answer latency in ms

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

#include "FuzzSupport.h"
#include "boot/BL_Flash.h"
#include "boot/BL_Image.h"
#include "session/LoaderSetup.h"
#include "session/Monitor.h"
#include "sim/TSimBackend.h"

namespace {

constexpr uint8_t Families[7] = {FamPic16, FamPic18, FamPic18FJ, FamPic24, FamDsPic, FamPic32, 0};

std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::vector<uint8_t> all = {uint8_t(bytes.size()), uint8_t(address >> 8), uint8_t(address), type};
    all.insert(all.end(), bytes.begin(), bytes.end());
    uint8_t sum = 0;
    for (uint8_t b : all)
        sum = uint8_t(sum + b);
    all.push_back(uint8_t(-sum));
    std::string line = ":";
    for (uint8_t b : all) {
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    return line + "\r\n";
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed, uint8_t mask = 0xFF) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t((seed + i * 29) & mask);
    return v;
}

// The images, one per family group, well below every layout the generator makes (0x400 image bytes).
// No configuration words: a generated boot start may lie anywhere above them.
const std::string& ImageFor(uint8_t family) {
    static const std::string dir = fuzz::ScratchDir();
    static const std::string p16 = [] {
        std::vector<uint8_t> words = Pattern(20, 3);
        for (size_t i = 1; i < words.size(); i += 2)
            words[i] &= 0x3F; // 14-bit words
        const std::string path = dir + "p16.hex";
        fuzz::WriteWholeFile(path, HexRecord(0, 0, words) + HexRecord(1, 0, {}));
        return path;
    }();
    static const std::string p18 = [] {
        const std::string path = dir + "p18.hex";
        fuzz::WriteWholeFile(path, HexRecord(0, 0, Pattern(32, 1)) + HexRecord(0, 0x100, Pattern(8, 9)) +
                                       HexRecord(1, 0, {}));
        return path;
    }();
    static const std::string p24 = [] {
        std::vector<uint8_t> code = Pattern(32, 5);
        for (size_t i = 3; i < code.size(); i += 4)
            code[i] = 0; // phantom bytes
        const std::string path = dir + "p24.hex";
        fuzz::WriteWholeFile(path, HexRecord(0, 0, code) +
                                       HexRecord(0, 0x200, {0x11, 0x22, 0x33, 0, 0x44, 0x55, 0x06, 0}) +
                                       HexRecord(1, 0, {}));
        return path;
    }();
    static const std::string p32 = [] {
        const std::string path = dir + "p32.hex";
        fuzz::WriteWholeFile(path, HexRecord(4, 0, {0x1D, 0x00}) + HexRecord(0, 0, Pattern(64, 7)) +
                                       HexRecord(4, 0, {0x1F, 0xC0}) + HexRecord(0, 0, Pattern(16, 2)) +
                                       HexRecord(0, 0x1000, Pattern(32, 4)) + HexRecord(1, 0, {}));
        return path;
    }();
    switch (family) {
    case FamPic16:
        return p16;
    case FamPic24:
    case FamDsPic:
        return p24;
    case FamPic32:
        return p32;
    default:
        return p18;
    }
}

// Image bytes per step of the family's write granularity, and the address of an image offset.
uint32_t Unit(uint8_t family) {
    switch (family) {
    case FamPic16:
        return 2;
    case FamPic24:
    case FamDsPic:
        return 3;
    case FamPic32:
        return 4;
    default:
        return 1;
    }
}

// A layout a real bootloader could have: write block a power of two of units, erase block a power of
// two of write blocks, the boot start on an erase block above the image, the flash beyond it.
void GenerateLayout(TSimProfile& p, fuzz::TInput& in) {
    const uint32_t unit = Unit(p.family);
    const uint8_t g1 = in.U8();
    const uint8_t g2 = in.U8();
    const uint8_t g3 = in.U8();
    const uint32_t write = unit << (3 + g1 % 6);
    const uint32_t erase = write << (g2 % 5);
    // PIC16 addresses are 13-bit words.
    const uint32_t maxBoot = p.family == FamPic16 ? 0x4000 : uint32_t(FlashImageSize);
    uint32_t blocks = (0x400 + erase - 1) / erase + g3 % 32;
    while (blocks > 1 && erase * blocks > maxBoot)
        --blocks;
    const uint32_t bootOffset = erase * blocks;
    p.writeBlock = uint16_t(write);
    p.eraseBlock = uint16_t(erase);
    p.flashSize = bootOffset + erase * (1 + (g1 >> 6));
    switch (p.family) {
    case FamPic16:
        p.bootStart = bootOffset / 2;
        break;
    case FamPic24:
    case FamDsPic:
        p.bootStart = bootOffset / 3 * 2;
        break;
    case FamPic32:
        p.bootStart = 0x9D000000u + bootOffset;
        break;
    default:
        p.bootStart = bootOffset;
        break;
    }
}

// Serves the virtual targets of sim, but each report the host writes first meets a control byte.
class TFuzzBackend final : public IHidBackend {
public:
    TFuzzBackend(TSimBackend& sim, fuzz::TInput& in, uint32_t latencyUs)
        : m_sim(sim), m_in(in), m_latencyUs(latencyUs) {}

    bool Tampered() const { return m_tampered; }

    bool Enumerate(std::vector<THidInterfaceInfo>& out) override { return m_sim.Enumerate(out); }

    int Open(const std::string& path, THidOpenError& error) override {
        const int h = m_sim.Open(path, error);
        if (h >= 0) {
            m_queues[h].clear();
            m_targetOf[h] = path.rfind("sim:", 0) == 0 ? std::atoi(path.c_str() + 4) : -1;
        }
        return h;
    }

    void Close(int handle) override {
        m_sim.Close(handle);
        m_queues.erase(handle);
        m_targetOf.erase(handle);
    }

    bool Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) override {
        // A control byte below 0xA0 lets this report and that many more pass, so that a short input
        // reaches the late reports of a run.
        uint8_t c = 0;
        if (m_passLeft > 0) {
            --m_passLeft;
        } else {
            c = m_in.U8();
            if (c < 0xA0) m_passLeft = c;
        }
        if (c >= 0xA0) m_tampered = true;
        const int target = m_targetOf.count(handle) ? m_targetOf[handle] : -1;
        if (c >= 0xA0 && c < 0xA8) { // lost on the way: the target never sees it
            Pause(timeoutMs);
            return false;
        }
        if (c >= 0xF0 && c < 0xF8 && target >= 0 && size_t(target) < m_sim.TargetCount()) {
            TVirtualTarget& t = m_sim.Target(size_t(target));
            t.Unplug();
            if (c & 1) t.Plug(); // back at once, as a new device
            for (auto& [h, q] : m_queues)
                if (m_targetOf[h] == target) q.clear();
            Pause(timeoutMs);
            return false;
        }
        const bool taken = m_sim.Write(handle, report, len, timeoutMs);
        std::deque<TAnswer>& q = m_queues[handle];
        const size_t first = q.size();
        uint8_t buf[65];
        size_t received = 0;
        while (m_sim.Read(handle, buf, sizeof buf, received)) {
            TAnswer a;
            a.readyUs = NowUs() + m_latencyUs;
            std::memcpy(a.data.data(), buf + 1, 64);
            q.push_back(a);
        }
        if (c >= 0xA8 && c < 0xB0) { // taken, but the host hears of no success
            Pause(timeoutMs);
            return false;
        }
        if (c >= 0xB0 && c < 0xC0) {
            q.erase(q.begin() + std::ptrdiff_t(first), q.end());
        } else if (c >= 0xC0 && c < 0xD0) {
            for (size_t i = first; i < q.size(); ++i) {
                const size_t at = (c & 1) ? 1 : m_in.U8() % 64;
                q[i].data[at] ^= uint8_t(m_in.U8() | 1);
            }
        } else if (c >= 0xD0 && c < 0xE0) {
            if (q.size() == first) q.push_back(TAnswer{NowUs() + m_latencyUs, {}});
            for (size_t i = first; i < q.size(); ++i)
                q[i].data = m_in.Packet();
        } else if (c >= 0xE0 && c < 0xF0) {
            // Late, possibly past the host's 6-second wait, so that it turns up as the next answer.
            const uint64_t ms = uint64_t(m_in.U16()) * ((c & 15) + 1);
            for (size_t i = first; i < q.size(); ++i)
                q[i].readyUs = NowUs() + ms * 1000;
        } else if (c >= 0xF8) {
            const size_t n = q.size();
            for (size_t i = first; i < n; ++i)
                q.push_back(q[i]);
        }
        return taken;
    }

    bool Read(int handle, uint8_t* report, size_t len, size_t& received) override {
        auto it = m_queues.find(handle);
        if (it == m_queues.end() || it->second.empty() || report == nullptr || len == 0) return false;
        if (it->second.front().readyUs > NowUs()) return false;
        report[0] = 0;
        const size_t n = std::min<size_t>(len - 1, 64);
        std::memcpy(report + 1, it->second.front().data.data(), n);
        received = n + 1;
        it->second.pop_front();
        return true;
    }

private:
    struct TAnswer {
        uint64_t readyUs = 0;
        std::array<uint8_t, 64> data{};
    };
    TSimBackend& m_sim;
    fuzz::TInput& m_in;
    uint32_t m_latencyUs;
    bool m_tampered = false;
    int m_passLeft = 0;
    std::map<int, std::deque<TAnswer>> m_queues;
    std::map<int, int> m_targetOf;
};

// Delivers the queued device-change notifications as the window's message loop would.
void DeliverNotifications() {
    for (int round = 0; round < 16 && PendingDeviceChanges() > 0; ++round)
        DispatchDeviceChanges();
}

// What a well-behaved target must hold after a successful FLASH: below the boot start, the program
// run and the vector run as the host's image has them, erased flash between them.
void CheckTargetFlash(const TVirtualTarget& t) {
    const int64_t boot = std::min<int64_t>(t.BootStartImageOffset(), int64_t(t.Flash().size()));
    const int64_t wb = BootInfo.WriteBlock;
    const int64_t programEnd = std::min((EoFlash + 1 + wb - 1) / wb * wb, boot);
    const int64_t vectorStart = std::max<int64_t>(boot - (BootVectorSize() + wb - 1) / wb * wb, 0);
    const uint8_t* flash = t.Flash().data();
    const uint8_t* erased = fuzz::ErasedImage(t.Profile().family == FamPic16).data();
    bool same = std::memcmp(flash, FlashImage.data(), size_t(programEnd)) == 0;
    if (vectorStart > programEnd)
        same = same &&
               std::memcmp(flash + programEnd, erased + programEnd, size_t(vectorStart - programEnd)) == 0;
    const int64_t from = std::max(vectorStart, programEnd);
    if (boot > from)
        same = same && std::memcmp(flash + from, FlashImage.data() + from, size_t(boot - from)) == 0;
    if (!same) FUZZ_FAIL("target flash differs from the image after a clean run");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TVirtualClock clock;
    static fuzz::TLogSink log;
    fuzz::StartRun(clock, log, true);
    ExeDir = fuzz::ScratchDir();
    fuzz::TInput in(data, size);

    const uint8_t pick = in.U8();
    const uint8_t flags = in.U8();
    const uint8_t more = in.U8();
    const uint8_t latency = in.U8();
    const uint8_t family = pick % 7 == 6 ? pick : Families[pick % 7];
    const int mode = flags & 3;
    const bool disable = flags & 0x04;
    const bool twoTargets = flags & 0x08;
    const bool otherDevice = flags & 0x10;
    const bool otherMatches = flags & 0x20;
    const bool secondSession = flags & 0x40;
    const bool oddLength = flags & 0x80;
    const bool failOpens = (more & 7) >= 6;
    const bool wrongVid = more & 0x08;

    TSimProfile profile = DefaultSimProfile(family);
    if (mode == 1) {
        GenerateLayout(profile, in);
    } else if (mode == 2) {
        profile.eraseBlock = in.U16();
        profile.writeBlock = in.U16();
        profile.bootStart = in.U32();
        profile.revision = in.U16();
        if (const uint32_t f = in.U32() & 0x1FFFFF) profile.flashSize = f;
    } else if (mode == 3) {
        profile.bootInfoAnswer = in.Packet();
    }
    if (oddLength) profile.reportLength = in.U8();
    profile.latencyUs = 0; // the back end below delays the answers

    TSimBackend sim;
    TFuzzBackend backend(sim, in, uint32_t(latency) * 1000);
    SetHidBackend(&backend);
    if (otherDevice) {
        THidInterfaceInfo info;
        info.attributesRead = true;
        info.vendorId = otherMatches ? profile.vendorId : 0x1234;
        info.productId = otherMatches ? profile.productId : 0x5678;
        info.hasProduct = true;
        info.product = U"Keyboard";
        info.capsRead = true;
        info.reportLength = 9;
        sim.AddPlainDevice(info);
    }
    if (failOpens) sim.FailOpens((more & 7) == 6 ? THidOpenError::Permission : THidOpenError::Busy);
    LoaderSetup.disableFlag = disable ? 1 : 0;
    if (wrongVid) LoaderSetup.vid = uint16_t(profile.vendorId ^ 0x0100);

    // Start-up with what is plugged in already, then the window's first activation, then the board.
    MonitorStartup();
    InstallOnDeviceChange();
    TVirtualTarget& target = sim.AddTarget(profile);
    if (twoTargets) sim.AddTarget(profile);
    PostDeviceChange();

    const bool clean = (mode == 0 || mode == 1) && IsKnownFamily(family) && !twoTargets &&
                       !(otherDevice && otherMatches) && !oddLength && !failOpens && !wrongVid;
    const int sessions = secondSession ? 2 : 1;
    for (int s = 0; s < sessions; ++s) {
        if (s > 0) {
            // The user resets the board: the window is active again and the board comes back.
            InstallOnDeviceChange();
            target.Unplug();
            target.Plug();
        }
        DeliverNotifications();
        FUZZ_CHECK(LastPassResult != TPassResult::None);
        if (LastPassResult != TPassResult::Connected) {
            FUZZ_CHECK(!BootloaderActive);
            FUZZ_CHECK(!(clean && !backend.Tampered()));
            continue;
        }
        FUZZ_CHECK(BootloaderActive && DeviceChangeHandlerKind() == THandlerKind::None);
        FUZZ_CHECK(log.Contains("Target device in boot load mode."));

        log.lines.clear();
        const TFlashResult flashResult = FlashTarget(ImageFor(McuFamily), LoaderSetup.disableFlag != 0);
        CloseFlashSession();
        FUZZ_CHECK(FlashPhase == 0);
        FUZZ_CHECK(!BootloaderActive);
        // The image is complete also when the board did not take the final command afterwards.
        FUZZ_CHECK(log.Contains("Flashing complete.") ==
                   (flashResult == TFlashResult::Flashed || flashResult == TFlashResult::FinalCommandFailed));
        FUZZ_CHECK(log.Last() == "Completed.");
        FUZZ_CHECK(flashResult != TFlashResult::None);
        FUZZ_CHECK(DeviceChangeHandlerKind() == THandlerKind::None);
        // Every handle the pass opened is closed again.
        FUZZ_CHECK(sim.OpenHandles() == 0 && CurrentDevice.handle == -1);
        DeliverNotifications();

        if (clean && !backend.Tampered()) {
            // Nothing went wrong on the wire: the run must have worked, and done so by the rules.
            FUZZ_CHECK(flashResult == TFlashResult::Flashed);
            FUZZ_CHECK(target.Violations().empty());
            FUZZ_CHECK(target.BootloaderDisabled() == disable && target.SessionEnded() == !disable);
            CheckTargetFlash(target);
        }
    }

    MonitorShutdown();
    FUZZ_CHECK(sim.OpenHandles() == 0);
    SetHidBackend(nullptr);
    return 0;
}
