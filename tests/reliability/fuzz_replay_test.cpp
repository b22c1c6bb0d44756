// The fuzz targets' seed corpora (and every input a fuzzer ever found a fault
// with, kept beside them) replayed through the same entry points in the
// ordinary suite, so that any compiler and both sanitizer presets run them.
// A check that fails inside a target aborts, naming what broke; the file
// being replayed is printed first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int korvelFuzzFrame(const std::uint8_t* data, std::size_t size);
extern "C" int korvelFuzzMeterResponse(const std::uint8_t* data, std::size_t size);
extern "C" int korvelFuzzScpiLine(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*run)(const std::uint8_t*, std::size_t);
};

class Replay : public ::testing::TestWithParam<Target> {};

TEST_P(Replay, EverySeedPassesEveryCheck) {
    const fs::path folder = fs::path(KORVEL_FUZZ_CORPUS) / GetParam().name;
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 5U) << "seed corpus missing";
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::fprintf(stderr, "replaying %s\n", file.string().c_str());
        EXPECT_EQ(GetParam().run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
    }
    // The empty input and a few degenerate ones as well.
    const std::uint8_t ones[64] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(GetParam().run(nullptr, 0), 0);
    EXPECT_EQ(GetParam().run(ones, sizeof ones), 0);
}

std::string targetName(const ::testing::TestParamInfo<Target>& target) { return target.param.name; }

INSTANTIATE_TEST_SUITE_P(FuzzTargets, Replay,
                         ::testing::Values(Target{"frame", korvelFuzzFrame},
                                           Target{"meter_response", korvelFuzzMeterResponse},
                                           Target{"scpi_line", korvelFuzzScpiLine}),
                         targetName);

}  // namespace
