// Fuzz harness: the model importer, the Open Asset Import Library's formats
// and OBJ, with the checks made before the library sees a file.
#include "tests/fuzz/ModelFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_targets::modelInput(data, size);
}
