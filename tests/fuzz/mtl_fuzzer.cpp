// Fuzz harness: an OBJ model's material library, and the OBJ text with the
// looks it names, as the model reader reads them.
#include "tests/fuzz/MtlFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_targets::mtlInput(data, size);
}
