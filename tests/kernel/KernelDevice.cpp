// quarnel-kernel-device: the board side of the kernel VM tests. It creates a USB HID gadget through
// configfs, binds it to a dummy UDC so that the kernel's host side enumerates a real USB device
// (usbhid, hidraw), and serves a TVirtualTarget on the gadget's /dev/hidgN: every OUT report the host
// sends is handed to the target, every answer the target has ready goes back as an IN report. When
// the target unplugs itself (fault unplug-at=N) the UDC is unbound; --replug-after-ms binds it again.
// At the end the target's flash is written out and the gadget is removed again.
//
//   quarnel-kernel-device --family pic18 [--sim KEY=VALUE,...] [--gadget NAME] [--udc NAME]
//       [--serial S] [--descriptor plain|numbered|short] [--bind-after-ms MS] [--replug-after-ms MS]
//       [--dump PREFIX] [--ready FILE] [--max-seconds S]
//
// It ends on SIGTERM/SIGINT or after --max-seconds, and prints "device: ..." lines on stderr.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "boot/BL_Vars.h"
#include "sim/TSimProfile.h"
#include "sim/TVirtualTarget.h"

namespace {

const char* const GadgetRoot = "/sys/kernel/config/usb_gadget";
volatile sig_atomic_t StopRequested = 0;

void OnSignal(int) { StopRequested = 1; }

void Say(const std::string& line) {
    std::fprintf(stderr, "device: %s\n", line.c_str());
    std::fflush(stderr);
}

uint64_t MonoMs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    f.flush();
    if (!f) Say("cannot write " + path + ": " + std::strerror(errno));
    return bool(f);
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::stringstream s;
    s << f.rdbuf();
    text = s.str();
    return true;
}

// The bootloader's interface: 64 bytes in, 64 out, vendor page. "numbered" puts both in report 1,
// "short" makes them 32 bytes: the two layouts the host must refuse.
std::vector<uint8_t> ReportDescriptor(const std::string& kind, int& reportBytes) {
    reportBytes = kind == "short" ? 32 : 64;
    std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    if (kind == "numbered") d.insert(d.end(), {0x85, 0x01});
    const uint8_t count = uint8_t(reportBytes);
    d.insert(d.end(), {0x19, 0x01, 0x29, count, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, count,
                       0x81, 0x02, 0x19, 0x01, 0x29, count, 0x91, 0x02, 0xC0});
    return d;
}

std::string Hex4(uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

struct TOptions {
    std::string family = "pic18";
    std::string sim;
    std::string gadget = "qk1";
    std::string udc = "dummy_udc.0";
    std::string serial = "QK0001";
    std::string descriptor = "plain";
    std::string dump;
    std::string ready;
    int bindAfterMs = 0;
    int replugAfterMs = -1;
    int maxSeconds = 120;
};

class TGadget {
public:
    TGadget(const TOptions& o, const TSimProfile& p) : m_o(o), m_dir(std::string(GadgetRoot) + "/" + o.gadget) {
        m_desc = ReportDescriptor(o.descriptor, m_reportBytes);
        m_profile = p;
    }

    bool Create() {
        const std::string d = m_dir;
        const std::string f = d + "/functions/hid.usb0";
        const std::string c = d + "/configs/c.1";
        if (::mkdir(d.c_str(), 0755) != 0 && errno != EEXIST) return Fail("mkdir " + d);
        bool ok = WriteText(d + "/idVendor", Hex4(m_profile.vendorId)) &&
                  WriteText(d + "/idProduct", Hex4(m_profile.productId)) &&
                  WriteText(d + "/bcdDevice", Hex4(m_profile.version)) && WriteText(d + "/bcdUSB", "0x0200");
        ::mkdir((d + "/strings/0x409").c_str(), 0755);
        ok = ok && WriteText(d + "/strings/0x409/serialnumber", m_o.serial) &&
             WriteText(d + "/strings/0x409/manufacturer", m_profile.manufacturer) &&
             WriteText(d + "/strings/0x409/product", m_profile.product);
        if (::mkdir(f.c_str(), 0755) != 0 && errno != EEXIST) return Fail("mkdir " + f);
        ok = ok && WriteText(f + "/protocol", "0") && WriteText(f + "/subclass", "0") &&
             WriteText(f + "/report_length", std::to_string(m_reportBytes)) &&
             WriteText(f + "/report_desc", std::string(m_desc.begin(), m_desc.end()));
        if (::mkdir(c.c_str(), 0755) != 0 && errno != EEXIST) return Fail("mkdir " + c);
        ::mkdir((c + "/strings/0x409").c_str(), 0755);
        ok = ok && WriteText(c + "/strings/0x409/configuration", "bootloader") && WriteText(c + "/MaxPower", "100");
        if (::symlink(f.c_str(), (c + "/hid.usb0").c_str()) != 0 && errno != EEXIST) return Fail("symlink");
        return ok;
    }

    bool Bind() {
        if (!WriteText(m_dir + "/UDC", m_o.udc)) return false;
        m_bound = true;
        return OpenNode();
    }

    void Unbind() {
        CloseNode();
        if (m_bound) WriteText(m_dir + "/UDC", "\n");
        m_bound = false;
    }

    void Remove() {
        Unbind();
        const std::string c = m_dir + "/configs/c.1";
        ::unlink((c + "/hid.usb0").c_str());
        ::rmdir((c + "/strings/0x409").c_str());
        ::rmdir(c.c_str());
        ::rmdir((m_dir + "/functions/hid.usb0").c_str());
        ::rmdir((m_dir + "/strings/0x409").c_str());
        ::rmdir(m_dir.c_str());
    }

    bool Bound() const { return m_bound; }
    int Fd() const { return m_fd; }
    int ReportBytes() const { return m_reportBytes; }

private:
    bool Fail(const std::string& what) {
        Say(what + ": " + std::strerror(errno));
        return false;
    }

    // The gadget's character device exists only while it is bound: a node of our own from its
    // major:minor, so two gadgets never mix up their hidgN names.
    bool OpenNode() {
        std::string dev;
        if (!ReadText(m_dir + "/functions/hid.usb0/dev", dev)) return Fail("read dev");
        unsigned major = 0;
        unsigned minor = 0;
        if (std::sscanf(dev.c_str(), "%u:%u", &major, &minor) != 2) return Fail("parse dev " + dev);
        m_node = "/tmp/hidg-" + m_o.gadget;
        ::unlink(m_node.c_str());
        if (::mknod(m_node.c_str(), S_IFCHR | 0600, makedev(major, minor)) != 0) return Fail("mknod");
        m_fd = ::open(m_node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) return Fail("open " + m_node);
        return true;
    }

    void CloseNode() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

    TOptions m_o;
    std::string m_dir;
    std::string m_node;
    std::vector<uint8_t> m_desc;
    int m_reportBytes = 64;
    TSimProfile m_profile;
    bool m_bound = false;
    int m_fd = -1;
};

bool ApplySettings(const std::string& list, TSimProfile& profile, TSimFaults& faults, std::string& error) {
    std::stringstream s(list);
    std::string item;
    while (std::getline(s, item, ',')) {
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        if (eq == std::string::npos) {
            error = "expected KEY=VALUE: " + item;
            return false;
        }
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        int* fault = key == "drop-answer" ? &faults.dropAnswerAt
                     : key == "wrong-echo" ? &faults.wrongEchoAt
                     : key == "stop-writes" ? &faults.stopWritesAt
                     : key == "unplug-at"   ? &faults.unplugAt
                                            : nullptr;
        if (fault != nullptr) {
            *fault = std::atoi(value.c_str());
        } else if (key == "duplicate-erase-answers") {
            faults.duplicateEraseAnswers = value == "1";  // every erase answered twice
        } else if (!ApplySimOverride(profile, key, value, error)) {
            return false;
        }
    }
    return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(f);
}

// Hands one answer to the host. The IN endpoint takes it once the host polls, which usbhid does
// all the time while the hidraw node is open.
bool SendAnswer(int fd, const uint8_t* data, int bytes) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
    return ::write(fd, data, size_t(bytes)) == bytes;
}

int Usage(const char* why) {
    std::fprintf(stderr, "quarnel-kernel-device: %s\n", why);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return Usage(("missing value for " + a).c_str());
        const std::string v = argv[++i];
        if (a == "--family") o.family = v;
        else if (a == "--sim") o.sim = v;
        else if (a == "--gadget") o.gadget = v;
        else if (a == "--udc") o.udc = v;
        else if (a == "--serial") o.serial = v;
        else if (a == "--descriptor") o.descriptor = v;
        else if (a == "--dump") o.dump = v;
        else if (a == "--ready") o.ready = v;
        else if (a == "--bind-after-ms") o.bindAfterMs = std::atoi(v.c_str());
        else if (a == "--replug-after-ms") o.replugAfterMs = std::atoi(v.c_str());
        else if (a == "--max-seconds") o.maxSeconds = std::atoi(v.c_str());
        else return Usage(("unknown option " + a).c_str());
    }
    if (o.descriptor != "plain" && o.descriptor != "numbered" && o.descriptor != "short")
        return Usage("--descriptor takes plain, numbered or short");
    TSimProfile profile;
    if (!SimProfileByName(o.family, profile)) return Usage("unknown family");
    TSimFaults faults;
    std::string error;
    if (!ApplySettings(o.sim, profile, faults, error)) return Usage(error.c_str());

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);

    TVirtualTarget target(profile);
    target.Faults() = faults;
    TGadget gadget(o, profile);
    if (!gadget.Create()) {
        gadget.Remove();
        return 1;
    }
    const uint64_t start = MonoMs();
    const uint64_t end = start + uint64_t(o.maxSeconds) * 1000;
    uint64_t bindAt = start + uint64_t(o.bindAfterMs);
    int exitCode = 0;
    const int bytes = gadget.ReportBytes();

    while (!StopRequested && MonoMs() < end) {
        const uint64_t now = MonoMs();
        if (!gadget.Bound() && bindAt != 0 && now >= bindAt) {
            bindAt = 0;
            if (!gadget.Bind()) {
                exitCode = 1;
                break;
            }
            if (!target.Plugged()) target.Plug();
            Say("bound to " + o.udc + " after " + std::to_string(now - start) + " ms");
            if (!o.ready.empty()) WriteText(o.ready, "bound\n");
        }
        if (!gadget.Bound()) {
            ::usleep(2000);
            continue;
        }
        pollfd p{gadget.Fd(), POLLIN, 0};
        const int r = ::poll(&p, 1, 5);
        if (r > 0 && (p.revents & POLLIN) != 0) {
            uint8_t report[64] = {};
            const ssize_t n = ::read(gadget.Fd(), report, sizeof report);
            if (n > 0) {
                if (n != bytes) Say("report of " + std::to_string(n) + " bytes");
                target.Receive(report);
            }
        }
        uint8_t answer[64];
        while (target.Plugged() && target.TakeAnswer(answer))
            if (!SendAnswer(gadget.Fd(), answer, bytes)) Say("answer not taken by the host");
        if (!target.Plugged()) {
            Say("unplugged at report " + std::to_string(target.ReportsReceived()));
            gadget.Unbind();
            if (o.replugAfterMs >= 0) bindAt = MonoMs() + uint64_t(o.replugAfterMs);
        }
    }

    gadget.Remove();
    Say("reports " + std::to_string(target.ReportsReceived()) + " violations " +
        std::to_string(target.Violations().size()) + (target.SessionEnded() ? " session-ended" : "") +
        (target.BootloaderDisabled() ? " disabled" : ""));
    for (const auto& v : target.Violations())
        Say("violation " + v);
    if (!o.dump.empty()) {
        if (!WriteFile(o.dump + "-flash.bin", target.Flash())) exitCode = 1;
        if (profile.family == FamPic32 && !WriteFile(o.dump + "-boot.bin", target.BootFlash())) exitCode = 1;
    }
    return exitCode;
}
