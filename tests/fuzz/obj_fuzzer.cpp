// Fuzz harness: the OBJ reader, its triangles, and the tree built over them.
#include "tests/fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_targets::objInput(data, size);
}
