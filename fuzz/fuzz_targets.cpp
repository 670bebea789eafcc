#include "fuzz_targets.h"

namespace kyfuzz {

const std::vector<Target>& Targets() {
    static const std::vector<Target> targets = {
#define KYFUZZ_TARGET(name, body) {#name, body},
#include "fuzz_targets.def"
#undef KYFUZZ_TARGET
    };
    return targets;
}

}  // namespace kyfuzz
