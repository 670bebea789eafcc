// Property checks inside fuzz target bodies. A failed check aborts, so libFuzzer keeps the input as a
// crash and the replay test fails on it, with the property and its place written to standard error.
#ifndef KYFUZZ_FUZZ_CHECK_H
#define KYFUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

namespace kyfuzz {

[[noreturn]] inline void PropertyFailed(const char* property, const char* file, int line) {
    fprintf(stderr, "%s:%d: property failed: %s\n", file, line, property);
    fflush(stderr);
    abort();
}

}  // namespace kyfuzz

#define KYFUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::kyfuzz::PropertyFailed(#condition, __FILE__, __LINE__))

#endif
