#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "boot/BL_Vars.h"
#include "sim/TSimProfile.h"

namespace {

// The host's decoding rules, written out independently of the builder.
struct TDecoded {
    int marks = 0;  // bit n set when tag n was decoded
    uint8_t length = 0, family = 0;
    uint16_t eraseBlock = 0, writeBlock = 0, revision = 0;
    uint32_t flashSize = 0, bootStart = 0;
    std::string descriptor;
};

TDecoded Decode(const std::array<uint8_t, 64>& a) {
    TDecoded d;
    d.length = a[0];
    const int last = int(d.length) - 1;
    int p = 1, s = 1, g = 1;
    auto align = [](int pos, int al) { return (pos + al - 1) / al * al; };
    do {
        if (p > 63) break;
        const uint8_t tag = a[p++];
        if (tag == 1) {
            if (p > 63) break;
            d.marks |= 1 << 1;
            d.family = a[p];
            if (d.family == 1 || d.family == 2 || d.family == 3) s = g = 1;
            if (d.family == 4 || d.family == 10) s = g = 2;
            if (d.family == 20) s = 2, g = 4;
            p = align(p + 1, g);
        } else if (tag == 3 || tag == 4 || tag == 5) {
            p = align(p, s);
            if (p + 1 > 63) break;
            d.marks |= 1 << tag;
            (tag == 3 ? d.eraseBlock : tag == 4 ? d.writeBlock : d.revision) = uint16_t(a[p] | a[p + 1] << 8);
            p = align(p + 2, g);
        } else if (tag == 6 || tag == 8) {
            p = align(p, g);
            if (p + 3 > 63) break;
            d.marks |= 1 << tag;
            const uint32_t v = a[p] | a[p + 1] << 8 | a[p + 2] << 16 | uint32_t(a[p + 3]) << 24;
            (tag == 6 ? d.bootStart : d.flashSize) = v;
            p = align(p + 4, g);
        } else if (tag == 7) {
            d.marks |= 1 << 7;
            d.descriptor.clear();
            for (; p < last && p <= 63; ++p)
                if (d.descriptor.size() < 20) d.descriptor += static_cast<char>(a[p]);
        } else {
            p = align(p, g);
        }
    } while (p < last);
    return d;
}

}  // namespace

TEST(SimProfile, BootInfoAnswerDecodesToTheProfileForEveryFamily) {
    for (const char* name : {"pic16", "PIC18", "pic18fj", "pic24", "dsPIC", "pic32"}) {
        SCOPED_TRACE(name);
        TSimProfile p;
        ASSERT_TRUE(SimProfileByName(name, p));
        p.revision = 0x1234;  // distinct bytes, so a swapped or shifted field shows
        const auto answer = BuildBootInfoAnswer(p);
        const TDecoded d = Decode(answer);
        EXPECT_EQ(d.marks, 0x1FA) << "tags 1 and 3 to 8";
        EXPECT_EQ(d.family, p.family);
        EXPECT_EQ(d.flashSize, p.flashSize);
        EXPECT_EQ(d.eraseBlock, p.eraseBlock);
        EXPECT_EQ(d.writeBlock, p.writeBlock);
        EXPECT_EQ(d.revision, 0x1234);
        EXPECT_EQ(d.bootStart, p.bootStart);
        EXPECT_EQ(d.descriptor, p.descriptor);
        EXPECT_EQ(answer[d.length - 1], 0) << "terminator at L-1";
        // A sane profile: the boot start is a whole number of erase blocks inside flash.
        uint64_t bootOffset = p.family == FamPic32 ? p.bootStart & 0xFFFFFF : p.bootStart;
        if (p.family == FamPic16) bootOffset *= 2;
        if (p.family == FamPic24 || p.family == FamDsPic) bootOffset = bootOffset * 3 / 2;
        EXPECT_LT(bootOffset, p.flashSize);
        EXPECT_EQ(bootOffset % p.eraseBlock, 0u);
    }
    TSimProfile p;
    EXPECT_FALSE(SimProfileByName("pic17", p));
}

TEST(SimProfile, AlignedFieldPositionsAndLongDescriptor) {
    TSimProfile p = DefaultSimProfile(FamPic32);
    p.descriptor = std::string(40, 'x');
    auto a = BuildBootInfoAnswer(p);
    // PIC32: 32-bit values on multiples of 4, 16-bit values on even indexes.
    EXPECT_EQ(a[4], 8);
    EXPECT_EQ(a[8] | a[9] << 8 | a[10] << 16, 0x080000);
    EXPECT_EQ(a[12], 3);
    EXPECT_EQ(a[14] | a[15] << 8, 4096);
    EXPECT_EQ(a[0], 64) << "descriptor cut to fit 64 bytes";
    EXPECT_EQ(Decode(a).descriptor, std::string(20, 'x'));
    a = BuildBootInfoAnswer(DefaultSimProfile(FamPic18));  // packed, no padding
    EXPECT_EQ(a[8], 3);
    EXPECT_EQ(a[9] | a[10] << 8, 64);
    p = DefaultSimProfile(7);  // an unknown code keeps the byte-wise layout
    EXPECT_EQ(Decode(BuildBootInfoAnswer(p)).bootStart, p.bootStart);
}

TEST(SimProfile, Overrides) {
    TSimProfile p = DefaultSimProfile(FamPic18);
    std::string error;
    for (const auto& [key, value] : {std::pair{"boot-start", "0x7000"}, {"VID", "0x04D8"},
                                     {"erase-block", "1024"}, {"latency-ms", "25"}, {"descriptor", "Mine"}})
        EXPECT_TRUE(ApplySimOverride(p, key, value, error)) << key;
    EXPECT_TRUE(p.bootStart == 0x7000 && p.vendorId == 0x04D8 && p.eraseBlock == 1024);
    EXPECT_EQ(p.latencyUs, 25000u);
    EXPECT_EQ(p.descriptor, "Mine");
    EXPECT_FALSE(ApplySimOverride(p, "erase-block", "0x10000", error));
    EXPECT_NE(error.find("erase-block"), std::string::npos);
    EXPECT_FALSE(ApplySimOverride(p, "family", "12a", error));
    EXPECT_FALSE(ApplySimOverride(p, "colour", "1", error));
    EXPECT_EQ(p.eraseBlock, 1024) << "a refused override changes nothing";
}
