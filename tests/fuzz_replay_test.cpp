// Replays each fuzz target's seed corpus and every crash the fuzzers found (fuzz/regressions/<target>/)
// through the same bodies libFuzzer runs. A broken property aborts with its place on standard error.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace kyfuzz {

// Test names and failure messages show the target by name.
void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }

}  // namespace kyfuzz

namespace kytest {
namespace {

// Regular files of dir, sorted by name; none when dir is missing.
std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> files;
    DIR* listing = opendir(dir.c_str());
    if (!listing) return files;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_type == DT_REG) files.push_back(dir + "/" + entry->d_name);
    }
    closedir(listing);
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs every input of dir through the body; returns how many there were.
size_t Replay(const kyfuzz::Target& target, const std::string& dir) {
    const std::vector<std::string> files = FilesIn(dir);
    for (const std::string& file : files) {
        // Named before the run, so an abort shows which input it was.
        fprintf(stderr, "replaying %s\n", file.c_str());
        const std::vector<uint8_t> input = ReadAll(file);
        EXPECT_EQ(target.body(input.data(), input.size()), 0) << file;
    }
    return files.size();
}

class FuzzReplay : public ::testing::TestWithParam<kyfuzz::Target> {};

TEST_P(FuzzReplay, SeedsAndKeptCrashesHoldTheProperties) {
    const std::string name = GetParam().name;
    EXPECT_GT(Replay(GetParam(), std::string(KYFUZZ_DIR) + "/corpus/" + name), 0u)
        << "a fuzz target needs a seed corpus";
    Replay(GetParam(), std::string(KYFUZZ_DIR) + "/regressions/" + name);
}

TEST_P(FuzzReplay, EmptyInputHoldsItsProperties) { EXPECT_EQ(GetParam().body(nullptr, 0), 0); }

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kyfuzz::Targets()),
                         [](const ::testing::TestParamInfo<kyfuzz::Target>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace kytest
