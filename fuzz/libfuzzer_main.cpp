// The libFuzzer entry of one target; KYFUZZ_BODY names its body (set per executable by the build).
#include <cstddef>
#include <cstdint>

#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kyfuzz::KYFUZZ_BODY(data, size);
}
