// A whole file's bytes, for tests that check what was written.
#ifndef KYTEST_READ_FILE_H
#define KYTEST_READ_FILE_H

#include <string>

namespace kytest {

// The file's bytes as they stand; empty when it cannot be read.
std::string ReadFile(const std::string& path);

}  // namespace kytest

#endif
