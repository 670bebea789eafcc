// The fuzz target bodies. Each takes one input and returns 0; a broken property aborts (fuzz_check.h).
// libFuzzer drives one body per executable (libfuzzer_main.cpp); the test suite replays the seed corpus
// and every kept crash through the same bodies (tests/fuzz_replay_test.cpp).
#ifndef KYFUZZ_FUZZ_TARGETS_H
#define KYFUZZ_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kyfuzz {

using Body = int (*)(const uint8_t* data, size_t size);

#define KYFUZZ_TARGET(name, body) int body(const uint8_t* data, size_t size);
#include "fuzz_targets.def"
#undef KYFUZZ_TARGET

struct Target {
    const char* name;  // the directory of its corpus and regressions, and its executable's name + "_fuzz"
    Body body;
};

const std::vector<Target>& Targets();

}  // namespace kyfuzz

#endif
