#include <gtest/gtest.h>

#include "support/FakeHidBackend.h"
#include "support/TestSupport.h"
#include "usb/Hid.h"

namespace {

class HidTest : public TProgramTest {
protected:
    void SetUp() override {
        TProgramTest::SetUp();
        SetHidBackend(&fake);
    }
    TFakeHidBackend fake;
    THidDeviceTable table;
    uint8_t count = 99;
};

TEST_F(HidTest, NoInterfacesGiveAClearedTable) {
    table[5].path = "stale";
    table[5].handle = 7;
    HidFindDevices(table, count, 0, 0);
    EXPECT_EQ(count, 0);
    for (const auto& slot : table) {
        EXPECT_TRUE(slot.path.empty());
        EXPECT_EQ(slot.handle, -1);
    }
    fake.enumerateOk = false;
    fake.devices.push_back(TFakeHidBackend::Device("a", 1, 2));
    HidFindDevices(table, count, 0, 0);
    EXPECT_EQ(count, 0);
}

TEST_F(HidTest, FortyMatchesFillAtMostThirtyOneSlots) {
    for (int i = 0; i < 40; ++i) fake.devices.push_back(TFakeHidBackend::Device("p" + std::to_string(i), 0x3930, 0x2021));
    HidFindDevices(table, count, 0x3930, 0x2021);
    EXPECT_EQ(count, 31);
    EXPECT_EQ(table[30].path, "p30");
    // Later matches keep overwriting the slot at the count, the 32nd, which the count never covers.
    EXPECT_EQ(table[31].path, "p39");
}

TEST_F(HidTest, WildcardNeedsBothIdsZero) {
    fake.devices.push_back(TFakeHidBackend::Device("a", 0x1234, 0x0001));
    fake.devices.push_back(TFakeHidBackend::Device("b", 0x0000, 0x0001));
    THidInterfaceInfo unreadable;
    unreadable.path = "c";  // attributes could not be read
    fake.devices.push_back(unreadable);
    HidFindDevices(table, count, 0, 0);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(table[2].vendorId, 0);
    EXPECT_EQ(table[2].reportLength, 0);
    HidFindDevices(table, count, 0, 0x0001);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(table[0].path, "b");
}

TEST_F(HidTest, RecordFieldsAndMissingSerial) {
    auto d = TFakeHidBackend::Device("dev", 0x3930, 0x2021);
    d.hasSerial = true;
    d.serial = U"S\u00e9r-1";
    fake.devices.push_back(d);
    fake.devices.push_back(TFakeHidBackend::Device("dev2", 0x3930, 0x2021));
    HidFindDevices(table, count, 0, 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(table[0].serialNumber, "S\xc3\xa9r-1");
    EXPECT_EQ(table[1].serialNumber, "---");
    EXPECT_EQ(table[0].manufacturer, "Maker");
    EXPECT_EQ(table[0].version, 0x0102);
    EXPECT_EQ(table[0].reportLength, 65);
    EXPECT_EQ(table[0].handle, -1);
}

TEST_F(HidTest, LongTextsAreCutWithoutSplittingACharacter) {
    auto d = TFakeHidBackend::Device("dev", 1, 1);
    d.product = std::u32string(254, U'a') + U"\u00e9\u00e9";
    fake.devices.push_back(d);
    HidFindDevices(table, count, 0, 0);
    EXPECT_EQ(table[0].product.size(), 254u);  // the two-byte character would end at 256
}

TEST_F(HidTest, OpenOfAnOpenRecordOpensNoSecondHandle) {
    fake.devices.push_back(TFakeHidBackend::Device("dev", 1, 1));
    HidFindDevices(table, count, 0, 0);
    ASSERT_TRUE(HidOpen(table[0]));
    const int h = table[0].handle;
    EXPECT_EQ(CurrentDevice.handle, h);
    ASSERT_TRUE(HidOpen(table[0]));
    EXPECT_EQ(fake.opens, 1);
    EXPECT_EQ(table[0].handle, h);
}

TEST_F(HidTest, FailedOpenClearsCurrentDeviceAndKeepsTheReason) {
    fake.devices.push_back(TFakeHidBackend::Device("dev", 1, 1));
    HidFindDevices(table, count, 0, 0);
    ASSERT_TRUE(HidOpen(table[0]));
    THidDevice gone = table[0];
    gone.handle = -1;
    gone.path = "missing";
    EXPECT_FALSE(HidOpen(gone));
    EXPECT_EQ(CurrentDevice.handle, -1);
    EXPECT_EQ(HidLastOpenError(), THidOpenError::NotFound);
    fake.openError = THidOpenError::Permission;
    THidDevice denied = table[0];
    denied.handle = -1;
    EXPECT_FALSE(HidOpen(denied));
    EXPECT_EQ(HidLastOpenError(), THidOpenError::Permission);
    EXPECT_NE(HidOpenErrorText(HidLastOpenError(), denied).find("udev rule"), std::string::npos);
}

TEST_F(HidTest, CloseOfAClosedRecordStillClearsCurrentDevice) {
    fake.devices.push_back(TFakeHidBackend::Device("dev", 1, 1));
    HidFindDevices(table, count, 0, 0);
    ASSERT_TRUE(HidOpen(table[0]));
    THidDevice closed;
    EXPECT_TRUE(HidClose(closed));
    EXPECT_EQ(CurrentDevice.handle, -1);
    EXPECT_EQ(fake.closes, 0);
    EXPECT_TRUE(HidClose(table[0]));
    EXPECT_EQ(fake.closes, 1);
    EXPECT_EQ(table[0].handle, -1);
}

TEST_F(HidTest, ReportLengthsOtherThanSixtyFiveAreRefusedBeforeAnyTransfer) {
    for (uint16_t len : {0, 1, 2, 9, 33, 64, 66, 1024}) {
        fake.devices = {TFakeHidBackend::Device("dev", 1, 1, len)};
        HidFindDevices(table, count, 0, 0);
        uint8_t data[64] = {};
        EXPECT_FALSE(HidOpen(table[0])) << len;
        EXPECT_EQ(HidLastOpenError(), THidOpenError::BadReportLength);
        EXPECT_FALSE(HidWriteReport(table[0], data));
        EXPECT_FALSE(HidReadReport(table[0], data));
    }
    EXPECT_EQ(fake.opens, 0);
    EXPECT_TRUE(fake.written.empty());
}

TEST_F(HidTest, WriteSendsReportIdZeroAndTheReportLength) {
    fake.devices = {TFakeHidBackend::Device("a", 1, 1, 65), TFakeHidBackend::Device("b", 1, 1, 9)};
    HidFindDevices(table, count, 0, 0);
    uint8_t data[64];
    for (int i = 0; i < 64; ++i) data[i] = uint8_t(i + 1);
    // A closed record whose path names a present device is opened on the way.
    ASSERT_TRUE(HidWriteReport(table[0], data));
    EXPECT_NE(table[0].handle, -1);
    // A report of 9 bytes would carry 8 of the 64: nothing is sent.
    EXPECT_FALSE(HidWriteReport(table[1], data));
    ASSERT_EQ(fake.written.size(), 1u);
    EXPECT_EQ(fake.written[0].size(), 65u);
    EXPECT_EQ(fake.written[0][0], 0);
    EXPECT_EQ(fake.written[0][1], 1);
    EXPECT_EQ(fake.written[0][64], 64);
    THidDevice cleared;
    EXPECT_FALSE(HidWriteReport(cleared, data));
    fake.takeWrites = false;
    EXPECT_FALSE(HidWriteReport(table[0], data));
}

TEST_F(HidTest, ReadNeverTouchesTheDestinationWithoutAReport) {
    fake.devices = {TFakeHidBackend::Device("a", 1, 1, 65), TFakeHidBackend::Device("b", 1, 1, 5)};
    HidFindDevices(table, count, 0, 0);
    uint8_t dest[64];
    std::fill(dest, dest + 64, 0xAA);
    EXPECT_FALSE(HidReadReport(table[0], dest));
    EXPECT_EQ(dest[0], 0xAA);
    std::vector<uint8_t> answer(65, 0);
    answer[0] = 0x55;  // report ID byte is dropped
    answer[1] = 7;
    answer[64] = 9;
    fake.answers.push_back(answer);
    ASSERT_TRUE(HidReadReport(table[0], dest));
    EXPECT_EQ(dest[0], 7);
    EXPECT_EQ(dest[63], 9);
    EXPECT_FALSE(HidReadReport(table[0], dest));
    // A device with a short report length is never read from.
    fake.answers.push_back({0, 1, 2, 3, 4});
    std::fill(dest, dest + 64, 0xAA);
    EXPECT_FALSE(HidReadReport(table[1], dest));
    EXPECT_EQ(dest[0], 0xAA);
}

}  // namespace

namespace {

TEST_F(HidTest, GoneIsAskedOnlyForAnOpenRecord) {
    fake.devices = {TFakeHidBackend::Device("a", 1, 1)};
    HidFindDevices(table, count, 0, 0);
    fake.gone = true;
    EXPECT_FALSE(HidDeviceGone(table[0])) << "a closed record has no device to be gone";
    ASSERT_TRUE(HidOpen(table[0]));
    fake.gone = false;
    EXPECT_FALSE(HidDeviceGone(table[0]));
    fake.gone = true;
    uint8_t data[HidDataSize] = {};
    EXPECT_FALSE(HidWriteReport(table[0], data));
    EXPECT_TRUE(HidDeviceGone(table[0]));
    EXPECT_TRUE(HidDeviceGone(CurrentDevice));
}

TEST_F(HidTest, NumberedReportsHaveTheirReasonLine) {
    THidDevice d;
    d.path = "/dev/hidraw3";
    d.reportLength = 65;
    EXPECT_EQ(HidOpenErrorText(THidOpenError::NumberedReports, d),
              "Device /dev/hidraw3 uses numbered reports; the bootloader's have none.");
    // A back end that refuses a length says so as the transport does.
    d.reportLength = 33;
    EXPECT_EQ(HidOpenErrorText(THidOpenError::BadReportLength, d), "Report length 33 not supported (65 only).");
}

}  // namespace
