// Replays a harness's whole corpus (its seeds and every kept finding) through
// the harness's entry function, so the normal test run notices a fault that
// a fuzzer once found coming back. A harness signals a broken invariant by
// aborting, which fails this test with the harness's message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzCorpus, VD_FUZZ_NAME) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(VD_FUZZ_CORPUS))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    // An empty or misplaced corpus would pass without replaying anything.
    ASSERT_FALSE(files.empty()) << "no corpus files in " << VD_FUZZ_CORPUS;
    for (const auto& path : files) {
        SCOPED_TRACE(path.string());
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in.is_open());
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A harness may get an empty input; data() of an empty vector may be null.
        static const uint8_t none = 0;
        EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size()), 0);
    }
}
