// The fuzz harnesses' inputs replayed in the normal suite: the committed
// seed corpora and every input that ever made a harness fail
// (tests/fuzz/regressions/), so that a fixed fault stays fixed in every
// build, the sanitizer builds included, without running the fuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzTargets.h"
#include "tests/fuzz/ModelFuzzTarget.h"
#include "tests/fuzz/MtlFuzzTarget.h"
#include "tests/fuzz/ReferenceFuzzTarget.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

const std::string kFuzzDirectory = std::string(TRESK_SOURCE_DIR) + "/tests/fuzz";

// Every file of the harness's corpus and regressions, in a fixed order.
std::vector<std::string> inputsOf(const std::string& harness) {
    std::vector<std::string> files;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(kFuzzDirectory) / kind / harness;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

template <class Target>
int replay(const std::string& harness, Target target) {
    TempWorkingDirectory dir;  // for "Log.txt" and the image harness's file
    int count = 0;
    for (const std::string& path : inputsOf(harness)) {
        SCOPED_TRACE(path);
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++count;
    }
    return count;
}

}  // namespace

TEST(FuzzReplay, SceneInputs) {
    const int count = replay("scene", [](const uint8_t* data, size_t size) {
        fuzz_targets::sceneInput(data, size, dataPath("example"));
    });
    EXPECT_GE(count, 3);
}

TEST(FuzzReplay, ObjInputs) { EXPECT_GE(replay("obj", fuzz_targets::objInput), 4); }

TEST(FuzzReplay, ModelInputs) { EXPECT_GE(replay("model", fuzz_targets::modelInput), 7); }

TEST(FuzzReplay, MaterialLibraryInputs) { EXPECT_GE(replay("mtl", fuzz_targets::mtlInput), 4); }

TEST(FuzzReplay, ReferenceInputs) {
    EXPECT_GE(replay("reference", fuzz_targets::referenceInput), 7);
}

TEST(FuzzReplay, PartInputs) { EXPECT_GE(replay("part", fuzz_targets::partInput), 3); }

TEST(FuzzReplay, EnvironmentImageInputs) {
    ::testing::internal::CaptureStderr();  // refused images are reported there
    const int count = replay("envmap", fuzz_targets::environmentInput);
    ::testing::internal::GetCapturedStderr();
    EXPECT_GE(count, 5);
}
