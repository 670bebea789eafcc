// The body the test server sends for /bytes/N.
#ifndef KYTEST_BYTES_PATTERN_H
#define KYTEST_BYTES_PATTERN_H

#include <cstddef>
#include <string>

namespace kytest {

// length bytes; byte i is 'a' + i % 26.
std::string Pattern(size_t length);

}  // namespace kytest

#endif
