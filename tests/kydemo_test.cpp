// kydemo, the demonstration program `make demo` runs: it ends by itself and every step goes as expected.
#include <string>

#include <gtest/gtest.h>

#include "support/program_run.h"

#ifndef KYDEMO_PATH
#define KYDEMO_PATH ""
#endif

namespace kytest {
namespace {

TEST(KydemoTest, EndsByItselfWithEverythingAsExpected) {
    if (std::string(KYDEMO_PATH).empty()) GTEST_SKIP() << "kydemo is not built";
    kytest::RunResult r = kytest::RunProgram(KYDEMO_PATH, {});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("kydemo: all "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("NOT AS EXPECTED"), std::string::npos) << r.out;
    for (const char* method : {"GET", "POST", "PUT", "DELETE", "HEAD", "PATCH"}) {
        EXPECT_NE(r.out.find(std::string(". ") + method + " http://127.0.0.1:"), std::string::npos) << method;
    }
    EXPECT_NE(r.out.find("status 601"), std::string::npos);
    EXPECT_NE(r.out.find("status 404"), std::string::npos);
    EXPECT_NE(r.out.find("--- log.txt ---"), std::string::npos);
}

}  // namespace
}  // namespace kytest
