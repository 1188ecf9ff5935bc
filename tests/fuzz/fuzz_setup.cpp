// The stored setup: the input is Quarnel.dat in ExeDir. LoadLoaderSetup must take it (or the
// defaults), and storing what was loaded and loading it again must give the same setup.

#include <cstring>

#include "FuzzSupport.h"
#include "session/LoaderSetup.h"

namespace {

constexpr int32_t DefaultLeft = 123;
constexpr int32_t DefaultTop = -45;

bool SameSetup(const TLoaderSetup& a, const TLoaderSetup& b) {
    // The flag is a yes/no: any value but 0 is stored as 1.
    return a.left == b.left && a.top == b.top && a.pic18Path == b.pic18Path && a.pic24Path == b.pic24Path &&
           a.pic32Path == b.pic32Path && a.pic16Path == b.pic16Path && a.vid == b.vid && a.pid == b.pid &&
           (a.disableFlag != 0) == (b.disableFlag != 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TVirtualClock clock;
    static fuzz::TLogSink log;
    fuzz::StartRun(clock, log);
    ExeDir = fuzz::ScratchDir();
    const std::string file = LoaderSetupFileName();
    FUZZ_CHECK(file == ExeDir + "Quarnel.dat");
    FUZZ_CHECK(fuzz::WriteWholeFile(file, data, size));

    const bool used = LoadLoaderSetup(DefaultLeft, DefaultTop);
    FUZZ_CHECK(used == (size >= LoaderSetupSize));
    if (used) {
        // Only the first 1037 bytes count; whatever follows them is ignored.
        uint8_t record[LoaderSetupSize];
        std::memcpy(record, data, LoaderSetupSize);
        const TLoaderSetup decoded = DecodeLoaderSetup(record);
        FUZZ_CHECK(SameSetup(LoaderSetup, decoded) && LoaderSetup.disableFlag == decoded.disableFlag);
    } else {
        FUZZ_CHECK(LoaderSetup.left == DefaultLeft && LoaderSetup.top == DefaultTop);
        FUZZ_CHECK(LoaderSetup.vid == DefaultVid && LoaderSetup.pid == DefaultPid &&
                   LoaderSetup.disableFlag == 0);
        FUZZ_CHECK(LoaderSetup.pic16Path == ExeDir && LoaderSetup.pic18Path == ExeDir);
        FUZZ_CHECK(LoaderSetup.pic24Path == ExeDir && LoaderSetup.pic32Path == ExeDir);
    }
    for (const std::string* p :
         {&LoaderSetup.pic16Path, &LoaderSetup.pic18Path, &LoaderSetup.pic24Path, &LoaderSetup.pic32Path})
        FUZZ_CHECK(p->size() <= 255);

    const TLoaderSetup loaded = LoaderSetup;
    std::string error;
    FUZZ_CHECK(StoreLoaderSetup(&error));
    FUZZ_CHECK(error.empty());
    const std::string stored = fuzz::ReadWholeFile(file);
    FUZZ_CHECK(stored.size() == LoaderSetupSize);
    const auto encoded = EncodeLoaderSetup(loaded);
    FUZZ_CHECK(std::memcmp(stored.data(), encoded.data(), LoaderSetupSize) == 0);

    // Something else in memory, so that the reload has to come from the file.
    LoaderSetup = TLoaderSetup{};
    LoaderSetup.pic16Path = "stale";
    FUZZ_CHECK(LoadLoaderSetup(0, 0));
    FUZZ_CHECK(SameSetup(LoaderSetup, loaded));
    FUZZ_CHECK(LoaderSetup.disableFlag == 0 || LoaderSetup.disableFlag == 1);

    return 0;
}
