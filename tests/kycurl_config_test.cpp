// kycurl's commands of several transfers: --next and config files (-K).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"
#include "support/log_capture.h"
#include "support/read_file.h"
#include "support/refused_port.h"

namespace kytest {
namespace {

// --next starts a transfer with options of its own (-s and the traces hold for all), and -K reads options
// from a file or standard input where it stands; a line kycurl cannot use is a warning.
TEST_F(KycurlTest, NextAndConfigFilesShapeTheCommandAsInCurl) {
    kytest::TempDir dir;
    const kytest::RefusedPort refusing;
    WriteFile(dir.file("inner.cfg"), "header \"X-Inner: 1\"\n");
    WriteFile(dir.file("outer.cfg"), "-K inner.cfg\nurl = " + server.url("/echo?outer") + "\n");
    WriteFile(dir.file("loop.cfg"), "-K loop.cfg\n");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int exit;
        std::vector<std::string> targets;  // what the server received, in order
        std::string header;                // a header each request carries ("-": the first only)
        std::string err;                   // in standard error; empty: standard error stays empty
    } cases[] = {
        {{"-H", "X-A: 1", server.url("/echo?1"), "--next", server.url("/echo?2")},
         "",
         0,
         {"/echo?1", "/echo?2"},
         "-",
         ""},
        {{"-s", server.url("/echo?1"), "--next", refusing.url()}, "", 7, {"/echo?1"}, "", ""},
        {{"-K", "-"},
         "url = " + server.url("/echo?stdin") + "\n-H \"X-A: 1\"\nbogus-option 1\n",
         0,
         {"/echo?stdin"},
         "X-A",
         "'bogus-option' is unknown"},
        {{"-K", "outer.cfg"}, "", 0, {"/echo?outer"}, "X-Inner", ""},
        {{"-K", "loop.cfg", server.url("/echo")}, "", 2, {}, "", "config files"},
        {{"--etag-save", "none/etag", server.url("/echo?skipped"), "--next", server.url("/echo?sent")},
         "",
         0,
         {"/echo?sent"},
         "",
         "Failed creating file for saving etags"},
        {{"-H", "X-A: 1", "-:", "-K", "-"}, "url " + server.url("/echo?k") + "\n", 2, {}, "", "no URL"},
    };
    for (const Case& c : cases) {
        server.clearRequests();
        RunResult r = RunKycurl(c.args, {dir.path(), c.input, {}});
        const std::string named = c.args[0] + " " + c.args[1];
        EXPECT_EQ(r.exitStatus, c.exit) << named << ": " << r.err;
        ASSERT_EQ(server.requestCount(), c.targets.size()) << named << ": " << r.err;
        const std::vector<kytest::ReceivedRequest> requests = server.requests();
        for (size_t i = 0; i < c.targets.size(); ++i) {
            const kytest::ReceivedRequest& got = requests[i];
            EXPECT_EQ(got.target, c.targets[i]) << named;
            if (c.header == "-") {
                EXPECT_EQ(got.hasHeader("X-A"), i == 0) << named << " " << i;
            } else if (!c.header.empty()) {
                EXPECT_TRUE(got.hasHeader(c.header)) << named;
            }
        }
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "") << named;
        } else {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << named << ": " << r.err;
        }
    }
    // The trace is the command's: the transfer after --next adds to it.
    RunResult traced =
        RunKycurl({"--trace-ascii", "trace", server.url("/echo?a"), "--next", server.url("/echo?b")},
                  {dir.path(), "", {}});
    EXPECT_EQ(traced.exitStatus, 0) << traced.err;
    const std::string trace = ReadFile(dir.file("trace"));
    EXPECT_NE(trace.find("GET /echo?a"), std::string::npos) << trace;
    EXPECT_NE(trace.find("GET /echo?b"), std::string::npos) << trace;
}

}  // namespace
}  // namespace kytest
