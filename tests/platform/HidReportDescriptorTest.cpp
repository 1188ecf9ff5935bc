#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "TTempDir.h"
#include "platform/HidReportDescriptor.h"
#include "platform/ProgramVersion.h"

namespace {

TReportDescriptorInfo Parse(const std::vector<uint8_t>& desc, bool& ok) {
    TReportDescriptorInfo info;
    ok = ParseReportDescriptor(desc.data(), desc.size(), info);
    return info;
}

} // namespace

TEST(HidReportDescriptor, BootloaderWithoutReportIdsGives65) {
    const auto desc = BootloaderDescriptor();
    uint16_t length = 0;
    EXPECT_TRUE(ComputeOutputReportLength(desc.data(), desc.size(), length));
    EXPECT_EQ(length, 65);
    bool ok = false;
    EXPECT_FALSE(Parse(desc, ok).usesReportIds);
    EXPECT_TRUE(ok);
}

TEST(HidReportDescriptor, LargestOutputReportPlusIdByte) {
    const std::vector<uint8_t> desc = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, // vendor collection
        0x75, 0x08,                               // Report Size 8
        0x85, 0x01, 0x95, 0x08, 0x91, 0x02,       // ID 1: 8 output bytes
        0x85, 0x02, 0x95, 0x20, 0x91, 0x02,       // ID 2: 32 output bytes
        0x85, 0x03, 0x95, 0x40, 0x81, 0x02,       // ID 3: 64 input bytes, not an output report
        0x85, 0x04, 0x95, 0x7F, 0xB1, 0x02,       // ID 4: 127 feature bytes, not an output report
        0xC0,
    };
    bool ok = false;
    const auto info = Parse(desc, ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(info.usesReportIds);
    EXPECT_EQ(info.outputReportLength, 33);
}

TEST(HidReportDescriptor, BitsAddUpPerReportAndRoundUpToBytes) {
    // 3 data bits + 5 padding bits, then 9 bits: 17 bits in one report = 3 bytes.
    const std::vector<uint8_t> desc = {
        0x75, 0x01, 0x95, 0x03, 0x91, 0x02, // 3 x 1 bit
        0x75, 0x05, 0x95, 0x01, 0x91, 0x01, // 5 bits of padding (constant)
        0x75, 0x09, 0x95, 0x01, 0x91, 0x02, // 9 bits
    };
    uint16_t length = 0;
    EXPECT_TRUE(ComputeOutputReportLength(desc.data(), desc.size(), length));
    EXPECT_EQ(length, 4);
    const std::vector<uint8_t> oneBit = {0x75, 0x01, 0x95, 0x01, 0x91, 0x02};
    EXPECT_TRUE(ComputeOutputReportLength(oneBit.data(), oneBit.size(), length));
    EXPECT_EQ(length, 2);
}

TEST(HidReportDescriptor, WideItemDataIsLittleEndian) {
    // Report Size 8 with a 4-byte item, Report Count 0x0100 with a 2-byte item: 256 bytes.
    const std::vector<uint8_t> desc = {0x77, 0x08, 0x00, 0x00, 0x00, 0x96, 0x00, 0x01, 0x91, 0x02};
    uint16_t length = 0;
    EXPECT_TRUE(ComputeOutputReportLength(desc.data(), desc.size(), length));
    EXPECT_EQ(length, 257);
}

TEST(HidReportDescriptor, EmptyOrInputOnlyDescriptors) {
    uint16_t length = 99;
    EXPECT_FALSE(ComputeOutputReportLength(nullptr, 0, length));
    EXPECT_EQ(length, 0);
    const std::vector<uint8_t> none;
    length = 99;
    EXPECT_FALSE(ComputeOutputReportLength(none.data(), none.size(), length));
    EXPECT_EQ(length, 0);
    // Well formed but without output reports: parsed, length 0, so the transport refuses it.
    const std::vector<uint8_t> inputOnly = {0x75, 0x08, 0x95, 0x40, 0x81, 0x02};
    length = 99;
    EXPECT_TRUE(ComputeOutputReportLength(inputOnly.data(), inputOnly.size(), length));
    EXPECT_EQ(length, 0);
}

TEST(HidReportDescriptor, PushAndPopRestoreReportIdAndCount) {
    const std::vector<uint8_t> desc = {
        0x85, 0x01, 0x75, 0x08, 0x95, 0x10, // ID 1, 16 x 8 bits
        0xA4,                               // Push
        0x85, 0x02, 0x95, 0x04, 0x91, 0x02, // ID 2: 4 bytes
        0xB4,                               // Pop: back to ID 1, count 16
        0x91, 0x02,                         // ID 1: 16 bytes
    };
    // A pop that lost the count would give 5, one that lost the ID 21.
    bool ok = false;
    EXPECT_EQ(Parse(desc, ok).outputReportLength, 17);
    EXPECT_TRUE(ok);
}

TEST(HidReportDescriptor, PushPopOutOfBalanceIsRefused) {
    const std::vector<uint8_t> popFirst = {0xB4, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02};
    bool ok = true;
    Parse(popFirst, ok);
    EXPECT_FALSE(ok);

    std::vector<uint8_t> deep(8, 0xA4);
    for (int i = 0; i < 8; ++i)
        deep.push_back(0xB4);
    Parse(deep, ok);
    EXPECT_TRUE(ok) << "eight levels fit";
    std::vector<uint8_t> tooDeep(64, 0xA4);
    Parse(tooDeep, ok);
    EXPECT_FALSE(ok);
}

TEST(HidReportDescriptor, BadReportIdsAndOversizeReportsAreRefused) {
    bool ok = true;
    Parse({0x85, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02}, ok);
    EXPECT_FALSE(ok) << "report ID 0 is reserved";
    Parse({0x86, 0x00, 0x01}, ok);
    EXPECT_FALSE(ok) << "report ID 256";
    // 0xFFFFFFFF x 0xFFFFFFFF bits must neither wrap nor be cut to 16 bits.
    Parse({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02}, ok);
    EXPECT_FALSE(ok);
    // Many items that are fine alone but too long together.
    std::vector<uint8_t> many = {0x75, 0x08, 0x96, 0xFF, 0x7F}; // 32767 bytes per item
    for (int i = 0; i < 3; ++i)
        many.insert(many.end(), {0x91, 0x02});
    Parse(many, ok);
    EXPECT_FALSE(ok);
}

TEST(HidReportDescriptor, LongItemsAreSkipped) {
    std::vector<uint8_t> desc = {0xFE, 0x04, 0x10, 0x75, 0x08, 0x95, 0x40}; // data looks like items
    desc.insert(desc.end(), {0x75, 0x08, 0x95, 0x02, 0x91, 0x02});
    bool ok = false;
    EXPECT_EQ(Parse(desc, ok).outputReportLength, 3);
    EXPECT_TRUE(ok);
    Parse({0x75, 0x08, 0xFE, 0x10, 0x00, 0x01, 0x02}, ok);
    EXPECT_FALSE(ok) << "long item data past the end";
    Parse({0x75, 0x08, 0xFE, 0x01}, ok);
    EXPECT_FALSE(ok) << "long item header past the end";
}

TEST(HidReportDescriptor, TruncatedDescriptorsStayInBounds) {
    const auto full = BootloaderDescriptor();
    for (size_t cut = 1; cut < full.size(); ++cut) {
        // Exactly sized copy, so that a sanitizer build catches any read past the end.
        const std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<long>(cut));
        bool ok = false;
        const auto info = Parse(part, ok);
        EXPECT_LE(info.outputReportLength, 65) << "cut at " << cut;
        if (!ok) {
            EXPECT_EQ(info.outputReportLength, 0) << "cut at " << cut;
        }
    }
    bool ok = true;
    Parse({0x75}, ok);
    EXPECT_FALSE(ok) << "one data byte announced, none there";
    Parse({0x75, 0x08, 0x97, 0x40, 0x00}, ok);
    EXPECT_FALSE(ok) << "four data bytes announced, two there";
    // The output item is the last byte: the report counts, the descriptor is whole.
    Parse({0x75, 0x08, 0x95, 0x40, 0x90}, ok);
    EXPECT_TRUE(ok);
}

TEST(HidReportDescriptor, GarbageNeverCrashes) {
    std::mt19937 rng(12345);
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> junk(rng() % 200);
        for (auto& b : junk)
            b = static_cast<uint8_t>(rng());
        TReportDescriptorInfo info;
        if (ParseReportDescriptor(junk.data(), junk.size(), info)) {
            ++parsed;
        } else {
            EXPECT_EQ(info.outputReportLength, 0);
        }
    }
    EXPECT_GT(parsed, 0) << "some random byte strings are well formed";
}

TEST(HidReportDescriptor, NodeNames) {
    std::string name;
    EXPECT_TRUE(HidrawNodeName("/dev/hidraw0", name));
    EXPECT_EQ(name, "hidraw0");
    EXPECT_TRUE(HidrawNodeName("hidraw17", name));
    EXPECT_EQ(name, "hidraw17");
    for (const char* bad : {"/dev/hidraw", "/dev/hidrawX", "/dev/hidraw1/", "/dev/usb/hiddev0", "",
                            "/dev/hidraw1/../../etc", "/dev/hidraw12345678"}) {
        EXPECT_FALSE(HidrawNodeName(bad, name)) << bad;
        EXPECT_TRUE(name.empty()) << bad;
    }
}

TEST(HidReportDescriptor, ReadsFromFakeSysfs) {
    TTempDir dir;
    ASSERT_TRUE(dir.Ok());
    const auto desc = BootloaderDescriptor();
    ASSERT_TRUE(dir.WriteFile("class/hidraw/hidraw3/device/report_descriptor", desc));
    ASSERT_TRUE(dir.WriteFile("class/hidraw/hidraw4/device/report_descriptor", {}));
    ASSERT_TRUE(dir.WriteFile("class/hidraw/hidraw5/device/report_descriptor",
                              std::vector<uint8_t>(HidMaxDescriptorSize + 1, 0x00)));
    ASSERT_TRUE(dir.WriteFile("class/hidraw/hidraw6/device/report_descriptor",
                              std::vector<uint8_t>(HidMaxDescriptorSize, 0x00)));

    std::vector<uint8_t> out;
    EXPECT_TRUE(ReadSysfsReportDescriptor(dir.Path(), "/dev/hidraw3", out));
    EXPECT_EQ(out, desc);
    EXPECT_FALSE(ReadSysfsReportDescriptor(dir.Path(), "/dev/hidraw4", out)) << "empty";
    EXPECT_FALSE(ReadSysfsReportDescriptor(dir.Path(), "/dev/hidraw5", out)) << "over the kernel's limit";
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(ReadSysfsReportDescriptor(dir.Path(), "/dev/hidraw6", out)) << "exactly at the limit";
    EXPECT_EQ(out.size(), HidMaxDescriptorSize);
    EXPECT_FALSE(ReadSysfsReportDescriptor(dir.Path(), "/dev/hidraw7", out)) << "missing";
    EXPECT_FALSE(ReadSysfsReportDescriptor(dir.Path(), "/dev/input/event3", out)) << "not hidraw";
}

// The version shown from a version resource: three parts, decimal, no leading zeros; the fourth part
// (the build) is not shown, and each half is read whole (a part above 255 or 9 stays as it is).
TEST(FileVersionText, ThreePartsOfTheFileVersion) {
    EXPECT_EQ(FileVersionText(0x00040003, 0x0003003E), "4.3.3");
    EXPECT_EQ(FileVersionText(0x00010000, 0x00000000), "1.0.0");
    EXPECT_EQ(FileVersionText(0x0102000A, 0xFFFF0001), "258.10.65535");
}
