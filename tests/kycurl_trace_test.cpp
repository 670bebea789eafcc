// kycurl's views of the exchange: -v, the traces and the library's log.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"
#include "support/log_capture.h"
#include "support/read_file.h"

namespace kytest {
namespace {

TEST_F(KycurlTest, VerboseAndTracesShowTheExchange) {
    kytest::TempDir dir;
    RunResult verbose = RunKycurl({"-v", server.url("/bytes/3")});
    ASSERT_EQ(verbose.exitStatus, 0) << verbose.err;
    EXPECT_EQ(verbose.out, "abc");
    for (const char* line :
         {"\n> GET /bytes/3 HTTP/1.1\r\n", "\n> Host: 127.0.0.1:", "\n< HTTP/1.1 200 OK\r\n",
          "\n< Content-Length: 3\r\n", "\n{ [3 bytes data]\n"}) {
        EXPECT_NE(verbose.err.find(line), std::string::npos) << line << "\n" << verbose.err;
    }
    EXPECT_EQ(verbose.err.rfind("* ", 0), 0u) << verbose.err;

    RunResult hex = RunKycurl({"--trace", dir.file("hex"), server.url("/bytes/3")});
    ASSERT_EQ(hex.exitStatus, 0) << hex.err;
    std::string hexTrace = ReadFile(dir.file("hex"));
    EXPECT_NE(hexTrace.find("== Info: "), std::string::npos);
    EXPECT_NE(hexTrace.find("=> Send header, "), std::string::npos);
    EXPECT_NE(hexTrace.find("0000: 47 45 54 20 2f 62 79 74 65 73 2f 33 20 48 54 54 GET /bytes/3 HTT\n"),
              std::string::npos)
        << hexTrace;
    EXPECT_NE(hexTrace.find("<= Recv data, 0000000003 bytes (0x00000003)\n0000: 61 62 63"),
              std::string::npos);

    // libcurl writes its last records while the session ends, after the last URL.
    RunResult jar = RunKycurl({"--trace-ascii", dir.file("ascii"), "-c", dir.file("jar"),
                               server.url("/cookie/set?k=v"), server.url("/bytes/1")});
    ASSERT_EQ(jar.exitStatus, 0) << jar.err;
    EXPECT_NE(ReadFile(dir.file("ascii")).find("0000: GET /bytes/1 HTTP/1.1"), std::string::npos);
    EXPECT_NE(ReadFile(dir.file("jar")).find("\tk\tv"), std::string::npos);

    RunResult ascii = RunKycurl({"--trace-ascii", "-", "-o", dir.file("body"), server.url("/bytes/3")});
    ASSERT_EQ(ascii.exitStatus, 0) << ascii.err;
    EXPECT_NE(ascii.out.find("0000: GET /bytes/3 HTTP/1.1\n"), std::string::npos) << ascii.out;
    EXPECT_NE(ascii.out.find("<= Recv data, 0000000003 bytes (0x00000003)\n0000: abc\n"), std::string::npos);
    EXPECT_EQ(ReadFile(dir.file("body")), "abc");
}

TEST_F(KycurlTest, TraceAppendsToLogInCurrentDirectory) {
    kytest::TempDir dir;
    RunResult r = RunKycurl({"--trace-log", server.url("/bytes/3")}, {dir.path(), "", {}});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "abc");
    std::string log = ReadFile(dir.file("log.txt"));
    EXPECT_NE(log.find("=> Send header"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /bytes/3 HTTP/1.1"), std::string::npos) << log;
    EXPECT_NE(log.find("<= Recv data"), std::string::npos) << log;
}

TEST_F(KycurlTest, LibraryLogShowsOnlyWhenAsked) {
    RunResult quiet = RunKycurl({"-v", server.url("/status/404")});
    EXPECT_EQ(quiet.err.find("failed to send http request"), std::string::npos) << quiet.err;
    RunResult shown = RunKycurl({"--library-log", server.url("/status/404")});
    EXPECT_NE(shown.err.find("failed to send http request"), std::string::npos) << shown.err;

    kytest::TempDir dir;
    RunResult toFile = RunKycurl({server.url("/status/404")}, {"", "", {"EVDEBUG_FILE=" + dir.file("log")}});
    EXPECT_EQ(toFile.exitStatus, 0);
    EXPECT_NE(ReadFile(dir.file("log")).find("failed to send http request"), std::string::npos);
}

}  // namespace
}  // namespace kytest
