#include "fuzz_targets.h"

namespace kyfuzz {

const std::vector<Target>& Targets() {
    static const std::vector<Target> targets = {
        {"url_key", FuzzUrlKey},
        {"tppm_cache", FuzzTppmCache},
        {"url_encode", FuzzUrlEncode},
        {"dump_trace", FuzzDumpTrace},
        {"header_callback", FuzzHeaderCallback},
        {"logger_format", FuzzLoggerFormat},
        {"client_table", FuzzClientTable},
    };
    return targets;
}

}  // namespace kyfuzz
