#include <gtest/gtest.h>

#include <hidapi.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TTempDir.h"
#include "platform/THidApiBackend.h"
#include "usb/Hid.h"

namespace {

class THidApiBackendTest : public ::testing::Test {
protected:
    void SetUp() override { ResetHidState(); }
    void TearDown() override {
        SetHidBackend(nullptr);
        ResetHidState();
    }
};

bool SysHasHidraw() {
    std::error_code ec;
    std::filesystem::directory_iterator it("/sys/class/hidraw", ec);
    return !ec && it != std::filesystem::directory_iterator();
}

// The character device major of the kernel's hidraw driver, -1 when it has none.
int HidrawMajor() {
    std::ifstream devices("/proc/devices");
    std::string line;
    while (std::getline(devices, line)) {
        std::istringstream fields(line);
        int major = -1;
        std::string name;
        if (fields >> major >> name && name == "hidraw") return major;
    }
    return -1;
}

THidDevice Filled(int i) {
    THidDevice d;
    d.path = "/dev/hidraw" + std::to_string(i);
    d.reportLength = 65;
    d.handle = 7;
    d.vendorId = 0x04D8;
    d.productId = 0x003C;
    d.version = 1;
    d.manufacturer = "m";
    d.product = "p";
    d.serialNumber = "s";
    return d;
}

bool IsCleared(const THidDevice& d) {
    return d.path.empty() && d.reportLength == 0 && d.handle == -1 && d.vendorId == 0 && d.productId == 0 &&
           d.version == 0 && d.manufacturer.empty() && d.product.empty() && d.serialNumber.empty();
}

// Counts what reaches the back end; enumerates what it is given.
class TCountingBackend final : public IHidBackend {
public:
    std::vector<THidInterfaceInfo> list;
    int opens = 0;
    int writes = 0;

    bool Enumerate(std::vector<THidInterfaceInfo>& out) override {
        out = list;
        return true;
    }
    int Open(const std::string&, THidOpenError& error) override {
        ++opens;
        error = THidOpenError::None;
        return 3;
    }
    void Close(int) override {}
    bool Write(int, const uint8_t*, size_t, uint32_t) override {
        ++writes;
        return true;
    }
    bool Read(int, uint8_t*, size_t, size_t&) override { return false; }
};

} // namespace

TEST_F(THidApiBackendTest, RealEnumerationOfAnEmptyMachine) {
    if (SysHasHidraw()) GTEST_SKIP() << "hidraw devices are attached; the empty case cannot be checked here";
    THidApiBackend backend;
    std::vector<THidInterfaceInfo> list(3); // must be emptied
    EXPECT_TRUE(backend.Enumerate(list));
    EXPECT_TRUE(list.empty());
}

TEST_F(THidApiBackendTest, TransportFindsNothingAndClearsAllSlots) {
    if (SysHasHidraw()) GTEST_SKIP() << "hidraw devices are attached; the empty case cannot be checked here";
    THidApiBackend backend;
    SetHidBackend(&backend);
    THidDeviceTable table;
    for (int i = 0; i < HidSlotCount; ++i)
        table[static_cast<size_t>(i)] = Filled(i);
    uint8_t count = 9;
    HidFindDevices(table, count, 0, 0);
    EXPECT_EQ(count, 0);
    for (const auto& slot : table)
        EXPECT_TRUE(IsCleared(slot));
    count = 9;
    table[0] = Filled(0);
    HidFindDevices(table, count, 0x04D8, 0x003C);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(IsCleared(table[0]));
}

TEST_F(THidApiBackendTest, DescribesHidapiRecords) {
    TTempDir sys;
    ASSERT_TRUE(sys.Ok());
    ASSERT_TRUE(sys.WriteFile("class/hidraw/hidraw3/device/report_descriptor", BootloaderDescriptor()));
    THidApiBackend backend(sys.Path());

    wchar_t maker[] = L"Qu\u00e9 \U0001F600";
    wchar_t product[] = L"Boot";
    wchar_t emptySerial[] = L"";
    wchar_t serial[] = L"SN1";
    char path3[] = "/dev/hidraw3";
    char path4[] = "/dev/hidraw4";
    hid_device_info d5{}; // no path: nothing to open
    hid_device_info d4{};
    d4.path = path4;
    d4.vendor_id = 0x1234;
    d4.product_id = 0x5678;
    d4.serial_number = serial;
    d4.next = &d5;
    hid_device_info again{}; // hidapi's second top-level collection of hidraw3
    again.path = path3;
    again.vendor_id = 0x9999;
    again.next = &d4;
    hid_device_info d3{};
    d3.path = path3;
    d3.vendor_id = 0x04D8;
    d3.product_id = 0x003C;
    d3.release_number = 0x0102;
    d3.manufacturer_string = maker;
    d3.product_string = product;
    d3.serial_number = emptySerial;
    d3.next = &again;

    std::vector<THidInterfaceInfo> out;
    backend.DescribeInterfaces(&d3, out);
    ASSERT_EQ(out.size(), 2u);

    const auto& a = out[0];
    EXPECT_EQ(a.path, "/dev/hidraw3");
    EXPECT_TRUE(a.attributesRead);
    EXPECT_EQ(a.vendorId, 0x04D8);
    EXPECT_EQ(a.productId, 0x003C);
    EXPECT_EQ(a.version, 0x0102);
    EXPECT_TRUE(a.hasManufacturer);
    EXPECT_EQ(a.manufacturer, U"Qu\u00e9 \U0001F600");
    EXPECT_TRUE(a.hasProduct);
    EXPECT_EQ(a.product, U"Boot");
    EXPECT_FALSE(a.hasSerial) << "an empty serial counts as none";
    EXPECT_TRUE(a.capsRead);
    EXPECT_EQ(a.reportLength, 65);

    const auto& b = out[1];
    EXPECT_EQ(b.path, "/dev/hidraw4");
    EXPECT_EQ(b.vendorId, 0x1234);
    EXPECT_FALSE(b.hasManufacturer);
    EXPECT_FALSE(b.hasProduct);
    EXPECT_TRUE(b.hasSerial);
    EXPECT_EQ(b.serial, U"SN1");
    EXPECT_FALSE(b.capsRead) << "no descriptor anywhere";
    EXPECT_EQ(b.reportLength, 0);

    out.resize(5);
    backend.DescribeInterfaces(nullptr, out);
    EXPECT_TRUE(out.empty());
}

TEST_F(THidApiBackendTest, OpenOfAMissingPathIsNotFound) {
    THidApiBackend backend;
    TTempDir dir;
    ASSERT_TRUE(dir.Ok());
    for (const std::string& path : {std::string("/dev/hidraw99"), dir.Path() + "/hidraw0", std::string()}) {
        THidOpenError error = THidOpenError::Other;
        EXPECT_EQ(backend.Open(path, error), -1) << path;
        EXPECT_EQ(error, THidOpenError::NotFound) << path;
    }
    EXPECT_EQ(backend.OpenCount(), 0);
}

TEST_F(THidApiBackendTest, OpenOfAHidrawNodeWithoutDeviceIsNotFound) {
    // What an unplugged device leaves behind: a node whose minor the driver no longer serves.
    const int major = HidrawMajor();
    if (major < 0) GTEST_SKIP() << "the kernel has no hidraw driver";
    if (std::filesystem::exists("/sys/class/hidraw/hidraw63")) GTEST_SKIP() << "hidraw63 is in use";
    TTempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string node = dir.Path() + "/hidraw63";
    if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(major, 63)) != 0)
        GTEST_SKIP() << "cannot create device nodes here (errno " << errno << ")";
    THidApiBackend backend;
    THidOpenError error = THidOpenError::None;
    EXPECT_EQ(backend.Open(node, error), -1);
    EXPECT_EQ(error, THidOpenError::NotFound);
    EXPECT_EQ(backend.OpenCount(), 0);
}

TEST_F(THidApiBackendTest, OpenRefusesWhatIsNotHidraw) {
    // hidapi would crash on these; the probe must stop them first.
    THidApiBackend backend;
    TTempDir dir;
    ASSERT_TRUE(dir.Ok());
    ASSERT_TRUE(dir.WriteFile("hidraw5", {1, 2, 3}));
    for (const std::string& path : {dir.Path() + "/hidraw5", std::string("/dev/null")}) {
        THidOpenError error = THidOpenError::None;
        EXPECT_EQ(backend.Open(path, error), -1) << path;
        EXPECT_EQ(error, THidOpenError::Other) << path;
    }
    EXPECT_EQ(backend.OpenCount(), 0);
}

TEST_F(THidApiBackendTest, OpenWithoutPermission) {
    TTempDir dir;
    ASSERT_TRUE(dir.Ok());
    const std::string file = dir.Path() + "/hidraw2";
    ASSERT_TRUE(dir.WriteFile("hidraw2", {0}));
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    // Root passes every permission check, so the open runs in a child that gives root up.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(77);
        THidApiBackend backend;
        THidOpenError error = THidOpenError::None;
        const int handle = backend.Open(file, error);
        ::_exit(handle == -1 && error == THidOpenError::Permission ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop root here, so EACCES cannot be produced";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "expected -1 with THidOpenError::Permission";
}

TEST_F(THidApiBackendTest, ErrnoMapping) {
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(EACCES), THidOpenError::Permission);
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(EPERM), THidOpenError::Permission);
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(ENOENT), THidOpenError::NotFound);
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(ENODEV), THidOpenError::NotFound);
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(ENXIO), THidOpenError::NotFound);
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(EBUSY), THidOpenError::Busy);
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(EIO), THidOpenError::Other);
}

TEST_F(THidApiBackendTest, UnknownHandlesAreRefused) {
    THidApiBackend backend;
    uint8_t report[65] = {};
    size_t received = 7;
    for (int handle : {-1, 0, 1, 64, 100000}) {
        EXPECT_FALSE(backend.Write(handle, report, sizeof report, 10)) << handle;
        EXPECT_FALSE(backend.Read(handle, report, sizeof report, received)) << handle;
        EXPECT_EQ(received, 0u);
        backend.Close(handle);
    }
}

TEST_F(THidApiBackendTest, ReportLengthOtherThan65IsRefusedBeforeTheBackend) {
    TCountingBackend fake;
    SetHidBackend(&fake);
    for (uint16_t length : {0, 1, 2, 33, 64, 66, 100}) {
        THidDevice device;
        device.path = "/dev/hidraw0";
        device.reportLength = length;
        EXPECT_FALSE(HidOpen(device)) << length;
        EXPECT_EQ(HidLastOpenError(), THidOpenError::BadReportLength) << length;
        EXPECT_EQ(device.handle, -1);
        const uint8_t data[HidDataSize] = {};
        EXPECT_FALSE(HidWriteReport(device, data));
    }
    EXPECT_EQ(fake.opens, 0);
    EXPECT_EQ(fake.writes, 0);

    // The same fake is reached for the length that carries the protocol.
    THidDevice device;
    device.path = "/dev/hidraw0";
    device.reportLength = 65;
    EXPECT_TRUE(HidOpen(device));
    EXPECT_EQ(fake.opens, 1);
}

TEST_F(THidApiBackendTest, OversizeDescriptorEndsInARefusedOpen) {
    // A device with 99 output data bytes, as enumeration would describe it from sysfs.
    TTempDir sys;
    ASSERT_TRUE(sys.Ok());
    ASSERT_TRUE(
        sys.WriteFile("class/hidraw/hidraw1/device/report_descriptor",
                      {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x63, 0x91, 0x02, 0xC0}));
    THidApiBackend real(sys.Path());
    char path[] = "/dev/hidraw1";
    hid_device_info info{};
    info.path = path;
    info.vendor_id = 0x04D8;
    info.product_id = 0x003C;
    TCountingBackend fake;
    real.DescribeInterfaces(&info, fake.list);
    SetHidBackend(&fake);

    uint8_t count = 0;
    THidDeviceTable table;
    HidFindDevices(table, count, 0x04D8, 0x003C);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(table[0].reportLength, 100);
    EXPECT_FALSE(HidOpen(table[0]));
    EXPECT_EQ(HidLastOpenError(), THidOpenError::BadReportLength);
    EXPECT_EQ(fake.opens, 0);
}

namespace {

TEST(THidApiBackendRetry, OnlyAYoungNodeThatRefusesUsIsTriedAgain) {
    struct TCase {
        int err;
        int64_t ageMs;
        int64_t waitedMs;
        bool retry;
    };
    const int64_t settle = THidApiBackend::NodeSettleMs;
    const TCase cases[] = {
        {EACCES, 0, 0, true},             // just created, the udev rule has not run yet
        {EPERM, 100, 50, true},
        {EACCES, settle - 1, 0, true},
        {EACCES, settle, 0, false},       // old enough: the refusal is meant
        {EACCES, 5000, 0, false},
        {EACCES, 10, settle, false},      // a node that keeps changing cannot hold the caller forever
        {EACCES, -1, 0, false},           // age unknown (the node is gone)
        {ENOENT, 0, 0, false},
        {EBUSY, 0, 0, false},
        {ENODEV, 0, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(THidApiBackend::RetryOpen(c.err, c.ageMs, c.waitedMs), c.retry)
            << c.err << " " << c.ageMs << " " << c.waitedMs;
}

TEST(THidApiBackendGone, TransferErrorsThatMeanTheDeviceIsGone) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    struct TCase {
        int err;
        bool gone;
    };
    const TCase withLiveNode[] = {{ENODEV, true}, {EIO, true}, {EAGAIN, false}, {ETIMEDOUT, false},
                                  {EPIPE, false}, {0, false}};
    for (const auto& c : withLiveNode) {
        EXPECT_EQ(THidApiBackend::TransferErrorMeansGone(c.err, fds[0]), c.gone) << c.err;
        EXPECT_EQ(THidApiBackend::TransferErrorMeansGone(c.err, -1), c.gone) << c.err;
    }
    // A descriptor that hangs up, as hidraw's does once its device is removed, says gone whatever
    // the error was.
    ::close(fds[1]);
    EXPECT_TRUE(THidApiBackend::TransferErrorMeansGone(0, fds[0]));
    EXPECT_TRUE(THidApiBackend::TransferErrorMeansGone(EAGAIN, fds[0]));
    ::close(fds[0]);
}

TEST(THidApiBackendGone, NoHandleIsNeverGone) {
    THidApiBackend backend;
    EXPECT_FALSE(backend.Gone(-1));
    EXPECT_FALSE(backend.Gone(0));
    EXPECT_FALSE(backend.Gone(1000));
}

}  // namespace

// A HID layer that cannot start (hid_init failing: on Windows a system without the HID services)
// gives no list, and its reason goes to the caller; the next start tries again.
TEST_F(THidApiBackendTest, HidLayerThatCannotStartGivesNoListAndItsReason) {
    THidApiBackend::SetStartProc([](std::string& reason) {
        reason = "no HID service here";
        return false;
    });
    THidApiBackend backend;
    std::string reason;
    EXPECT_FALSE(backend.Start(reason));
    EXPECT_EQ(reason, "no HID service here");
    std::vector<THidInterfaceInfo> list(1);
    EXPECT_FALSE(backend.Enumerate(list));
    EXPECT_TRUE(list.empty());
    THidApiBackend::SetStartProc(nullptr);
    EXPECT_TRUE(backend.Start(reason));
    EXPECT_TRUE(reason.empty());
    EXPECT_TRUE(backend.Enumerate(list));
}
