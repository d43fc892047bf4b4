// Fuzz harness: a part of a picture read as tresk-merge reads it, its record
// of passes and then its pixels.
#include "tests/fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_targets::partInput(data, size);
}
