// Fuzz harness: loading an environment image and looking it up.
#include "tests/fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_targets::environmentInput(data, size);
}
