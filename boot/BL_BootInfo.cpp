#include "boot/BL_BootInfo.h"

#include "boot/BL_Image.h"
#include "boot/Log.h"

namespace {

// 16-bit field alignment and general alignment of a family; false for a code not in the table.
bool FamilyAlignment(uint8_t code, uint32_t& s, uint32_t& g) {
    switch (code) {
    case FamPic16:
    case FamPic18:
    case FamPic18FJ: s = 1; g = 1; return true;
    case FamPic24:
    case FamDsPic: s = 2; g = 2; return true;
    case FamPic32: s = 2; g = 4; return true;
    default: return false;
    }
}

constexpr int LastByte = BootPacketSize - 1;

}  // namespace

bool DecodeBootInfo(const TBootPacket& a, TBootInfo& info) {
    uint32_t s = 1;
    uint32_t g = 1;
    info.answerLength = a[0];
    const int lastIndex = int(info.answerLength) - 1;  // L - 1, signed: L = 0 gives -1
    uint32_t p = 1;
    auto fits = [](uint32_t first, uint32_t n) { return first + n - 1 <= uint32_t(LastByte); };
    do {
        if (!fits(p, 1)) return false;
        const uint8_t tag = a[p];
        ++p;
        switch (tag) {
        case 1: {
            if (!fits(p, 1)) return false;
            info.familyMark = 1;
            info.McuType = a[p];
            McuFamily = a[p];
            FamilyAlignment(a[p], s, g);
            ++p;
            p = RoundUpToBlock(p, g);
            break;
        }
        case 3:
        case 4:
        case 5: {
            p = RoundUpToBlock(p, s);
            if (!fits(p, 2)) return false;
            const uint16_t v = uint16_t(a[p] | (a[p + 1] << 8));
            if (tag == 3) {
                info.eraseBlockMark = 3;
                info.EraseBlock = v;
            } else if (tag == 4) {
                info.writeBlockMark = 4;
                info.WriteBlock = v;
            } else {
                info.bootRevisionMark = 5;
                info.BootRevision = v;
            }
            p += 2;
            p = RoundUpToBlock(p, g);
            break;
        }
        case 6:
        case 8: {
            p = RoundUpToBlock(p, g);
            if (!fits(p, 4)) return false;
            const uint32_t v = uint32_t(a[p]) | (uint32_t(a[p + 1]) << 8) | (uint32_t(a[p + 2]) << 16) |
                               (uint32_t(a[p + 3]) << 24);
            if (tag == 6) {
                info.bootStartMark = 6;
                info.BootStart = v;
                BootStartOffset = v & 0xFFFFFF;
            } else {
                info.flashSizeMark = 8;
                info.McuSize = v;
            }
            p += 4;
            p = RoundUpToBlock(p, g);
            break;
        }
        case 7: {
            info.descriptorMark = 7;
            info.Descriptor.clear();
            while (int(p) < lastIndex) {
                if (p > uint32_t(LastByte)) return false;
                if (info.Descriptor.size() < 20) info.Descriptor += char(a[p]);
                ++p;
            }
            break;
        }
        default: p = RoundUpToBlock(p, g); break;
        }
    } while (int(p) < lastIndex);
    return true;
}

std::string FamilyName(uint8_t code) {
    switch (code) {
    case FamPic16: return "PIC16";
    case FamPic18: return "PIC18";
    case FamPic18FJ: return "PIC18FJ";
    case FamPic24: return "PIC24";
    case FamDsPic: return "DSPIC";
    case FamPic32: return "PIC32";
    default: return HexStr(code, 2);
    }
}

void DescribeTarget(const TBootInfo& info) {
    LogMessage("   MCUtype      : " + FamilyName(info.McuType));
    const auto d = [](int64_t v) { return std::to_string(v); };
    const auto units = [](int64_t v) { return uint64_t(ImageOffsetToAddress(v)); };
    switch (McuFamily) {
    case FamPic16:
    case FamPic18:
    case FamPic18FJ:
        LogMessage("   MCU size     : 0x" + HexStr(units(info.McuSize), 8) + " => " + d(info.McuSize) + " bytes");
        LogMessage("   Erase block  : 0x" + HexStr(units(info.EraseBlock), 4) + "     => " + d(info.EraseBlock) +
                   " bytes");
        LogMessage("   Write block  : 0x" + HexStr(units(info.WriteBlock), 4) + "     => " + d(info.WriteBlock) +
                   " bytes");
        LogMessage("   Boot start   : 0x" + HexStr(info.BootStart, 8) + " => " + d(info.BootStart));
        LogMessage("   Boot revision: 0x" + HexStr(info.BootRevision, 4));
        break;
    case FamPic24:
    case FamDsPic:
        LogMessage("   MCU size     : 0x" + HexStr(units(info.McuSize), 8) + " Addresses => " + d(info.McuSize) +
                   " bytes");
        LogMessage("   Erase block  : 0x" + HexStr(units(info.EraseBlock), 4) + " Addresses     => " +
                   d(info.EraseBlock) + " bytes");
        LogMessage("   Write block  : 0x" + HexStr(units(info.WriteBlock), 4) + " Addresses     => " +
                   d(info.WriteBlock) + " bytes");
        LogMessage("   Boot start   : 0x" + HexStr(info.BootStart, 8) + " Addresses => " +
                   d(AddressToImageOffset(info.BootStart)) + " bytes");
        LogMessage("   Boot revision: 0x" + HexStr(info.BootRevision, 4));
        break;
    case FamPic32:
        LogMessage("   MCU size     : 0x" + HexStr(info.McuSize, 8) + " => " + d(info.McuSize) + " bytes");
        LogMessage("   Erase block  : 0x" + HexStr(info.EraseBlock, 4) + "     => " + d(info.EraseBlock) + " bytes");
        LogMessage("   Write block  : 0x" + HexStr(info.WriteBlock, 4) + "     => " + d(info.WriteBlock) + " bytes");
        LogMessage("   Boot start   : 0x" + HexStr(info.BootStart, 8) + " => " + d(BootStartOffset));
        LogMessage("   Boot revision: 0x" + HexStr(info.BootRevision, 4));
        break;
    default: break;
    }
    LogMessage("   Descriptor   : " + info.Descriptor);
}
