// Fuzz harness: the rule that keeps a model's references to other files
// within its folder, against the kernel's own resolution of the same paths.
#include "tests/fuzz/ReferenceFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_targets::referenceInput(data, size);
}
