// libFuzzer's entry point for one target, chosen at build time by ZIPSALVAGE_FUZZ_TARGET.
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return zipsalvage::fuzz::ZIPSALVAGE_FUZZ_TARGET(data, size);
}
