// The flash property with the fuzz input as the source of choices: a valid layout (family, boot
// start, erase and write block, flash size) and an image with gaps, boot-flash data and data at the
// limits. Every run must succeed and leave exactly the flash that the HEX records make, computed from
// the records (support/FlashProperty), never from the program's own image buffers.

#include <cstdio>

#include "FuzzSupport.h"
#include "support/FlashProperty.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    // Four input bytes per choice; zeros once the input is used up.
    const TPick pick = [&](uint32_t n) -> uint32_t {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | (at < size ? data[at++] : 0);
        return n == 0 ? 0 : v % n;
    };
    const TPropertyCase c = MakePropertyCase(pick);
    const std::string broken = CheckPropertyCase(c, fuzz::ScratchDir());
    if (!broken.empty()) {
        std::fprintf(stderr, "%s\n%s\n", c.Describe().c_str(), broken.c_str());
        FUZZ_FAIL("a run that reports success must leave exactly the file's flash");
    }
    return 0;
}
