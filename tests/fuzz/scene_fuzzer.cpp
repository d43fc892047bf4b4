// Fuzz harness: the scene reader, and the build and a render of small scenes.
#include "tests/fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_targets::sceneInput(data, size, TRESK_FUZZ_DATA_DIR);
}
