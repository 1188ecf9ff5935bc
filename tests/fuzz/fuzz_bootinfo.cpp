// DecodeBootInfo and DescribeTarget on one 64-byte answer (shorter inputs are padded with zeros).
// Whatever was decoded is then encoded again the way the virtual target builds its answer and
// decoded a second time: the two sides of the boot information must agree on every field.

#include <cstring>

#include "FuzzSupport.h"
#include "boot/BL_BootInfo.h"
#include "boot/BL_Image.h"
#include "sim/TSimProfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TVirtualClock clock;
    static fuzz::TLogSink log;
    fuzz::StartRun(clock, log);

    TBootPacket answer{};
    std::memcpy(answer.data(), data, size < answer.size() ? size : answer.size());

    TBootInfo info;
    const bool fits = DecodeBootInfo(answer, info);
    FUZZ_CHECK(info.Descriptor.size() <= 20);
    if (info.familyMark == 1) FUZZ_CHECK(McuFamily == info.McuType);
    if (info.bootStartMark == 6) FUZZ_CHECK(BootStartOffset == (info.BootStart & 0xFFFFFF));
    DescribeTarget(info);
    if (info.familyMark == 1 && IsKnownFamily(info.McuType) && fits) FUZZ_CHECK(log.lines.size() >= 7);

    TSimProfile profile;
    profile.family = info.McuType;
    profile.flashSize = info.McuSize;
    profile.eraseBlock = info.EraseBlock;
    profile.writeBlock = info.WriteBlock;
    profile.revision = info.BootRevision;
    profile.bootStart = info.BootStart;
    profile.descriptor = info.Descriptor;
    const TBootPacket rebuilt = BuildBootInfoAnswer(profile);

    McuFamily = FamNone;
    TBootInfo again;
    FUZZ_CHECK(DecodeBootInfo(rebuilt, again));
    FUZZ_CHECK(again.familyMark == 1 && again.McuType == info.McuType && McuFamily == info.McuType);
    FUZZ_CHECK(again.flashSizeMark == 8 && again.McuSize == info.McuSize);
    FUZZ_CHECK(again.eraseBlockMark == 3 && again.EraseBlock == info.EraseBlock);
    FUZZ_CHECK(again.writeBlockMark == 4 && again.WriteBlock == info.WriteBlock);
    FUZZ_CHECK(again.bootRevisionMark == 5 && again.BootRevision == info.BootRevision);
    FUZZ_CHECK(again.bootStartMark == 6 && again.BootStart == info.BootStart);
    FUZZ_CHECK(again.descriptorMark == 7 && again.Descriptor == info.Descriptor);
    FUZZ_CHECK(again.answerLength == rebuilt[0]);
    DescribeTarget(again);
    return 0;
}
