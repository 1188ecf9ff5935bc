#pragma once
// The real HID back end: hidapi on hidraw (Linux) or on the Windows HID class. Enumeration takes what
// hidapi lists and adds the output report length (from the report descriptor, or the caps on
// Windows); writes go through a worker per device so that they wait a bounded time; reads never
// block. Used from one thread (the GUI or CLI thread). What differs between the systems is in
// platform/linux/ and platform/windows/ (HidApiSystem.h).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/HidBackend.h"

struct hid_device_info;

class THidApiBackend final : public IHidBackend {
public:
    static constexpr int MaxOpenDevices = 64;
    static constexpr uint32_t CloseGraceMs = 100;
    // A node this young that refuses us may still be waiting for the udev rule that opens it to the
    // user; the open is tried again every OpenRetryStepMs until the node is NodeSettleMs old.
    static constexpr int64_t NodeSettleMs = 2000;
    static constexpr uint32_t OpenRetryStepMs = 50;

    // sysfsRoot is where the report descriptors are looked up; tests point it at a fake tree.
    explicit THidApiBackend(std::string sysfsRoot = "/sys");
    ~THidApiBackend() override; // closes what is still open
    THidApiBackend(const THidApiBackend&) = delete;
    THidApiBackend& operator=(const THidApiBackend&) = delete;

    // Starts hidapi once per process. False with the system's reason when it cannot start: there is
    // then no list and no open, and the caller says so instead of "no HID devices found".
    bool Start(std::string& reason);
    // How hidapi is started: hid_init, its reason from hid_error. Tests install one that fails;
    // nullptr puts hid_init back. Either way the next Start tries again.
    using TStartProc = bool (*)(std::string& reason);
    static void SetStartProc(TStartProc proc);

    bool Enumerate(std::vector<THidInterfaceInfo>& out) override;
    int Open(const std::string& path, THidOpenError& error) override;
    void Close(int handle) override;
    bool Write(int handle, const uint8_t* report, size_t len, uint32_t timeoutMs) override;
    bool Read(int handle, uint8_t* report, size_t len, size_t& received) override;
    bool Gone(int handle) override;

    // Turns hidapi's list into interface records, one per path: hidapi repeats a path for every
    // top-level collection, but it is one interface to open.
    void DescribeInterfaces(const hid_device_info* list, std::vector<THidInterfaceInfo>& out) const;
    // The report descriptor of a hidraw path: sysfs first, else HIDIOCGRDESC on fd (or on a
    // read-only open of the path when fd is -1).
    bool ReadReportDescriptor(const std::string& path, int fd, std::vector<uint8_t>& out) const;
    int OpenCount() const;

    // The open refusal an errno (Windows: an error code) stands for.
    static THidOpenError OpenErrorFromErrno(int err);
    // Whether an open that failed with err is worth another try: a refusal by a node that is only
    // nodeAgeMs old (negative: unknown), within the settle time.
    static bool RetryOpen(int err, int64_t nodeAgeMs, int64_t waitedMs);
    // A failed transfer means an unplugged device when its errno says so (ENODEV, EIO) or when the
    // node, watched through fd, reports a hang-up (hidraw does so once its device is removed).
    static bool TransferErrorMeansGone(int err, int fd);

    // Opens path for reading and writing, waiting out a young node's refusal (RetryOpen); -1 with
    // errno in err. Linux only.
    int ProbeOpen(const std::string& path, int& err) const;

private:
    struct TOpenDevice;
    TOpenDevice* Device(int handle);

    std::string m_sysfsRoot;
    std::vector<std::unique_ptr<TOpenDevice>> m_devices; // index = handle
};
