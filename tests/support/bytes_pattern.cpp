#include "support/bytes_pattern.h"

namespace kytest {

std::string Pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

}  // namespace kytest
