// What the kycurl tests share: the built kycurl run as its users run it, checked by exit status, standard
// output, standard error and what reached the test server beside it.
#ifndef KYTEST_KYCURL_RUN_H
#define KYTEST_KYCURL_RUN_H

#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

#include "support/program_run.h"
#include "support/test_server.h"

// The kycurl tests' executable is given the built program's path.
#ifndef KYCURL_PATH
#define KYCURL_PATH ""
#endif

namespace kytest {

inline RunResult RunKycurl(const std::vector<std::string>& args, const RunConfig& config = {}) {
    return RunProgram(KYCURL_PATH, args, config);
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline size_t LineCount(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

// One fixture for every kycurl test file: GoogleTest holds a suite to one fixture class.
class KycurlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(KYCURL_PATH).empty()) GTEST_SKIP() << "kycurl is not built";
    }

    TestServer server;
};

}  // namespace kytest

#endif
