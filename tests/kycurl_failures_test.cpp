// kycurl's failures: curl's exit status and one line naming the reason, -s and -S, and --retry.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"
#include "support/log_capture.h"
#include "support/read_file.h"
#include "support/refused_port.h"
#include "support/scripted_server.h"

namespace kytest {
namespace {

// curl's exit status for each outcome; a failure names curl's reason and the status on one line.
TEST_F(KycurlTest, FailuresExitWithCurlsStatusNamingTheStatus) {
    kytest::TestServer tls(kytest::TestServer::Scheme::Https);
    kytest::TempDir dir;
    const kytest::RefusedPort refusing;
    const std::string refused = refusing.url();
    std::string unresolvable = "http://" + std::string(70, 'a') + ".invalid/";
    // libcurl's brotli decoder rejects this stream without a message of its own.
    const kytest::ScriptedServer brokenBrotli({kytest::ScriptedAnswer::Send(
        kytest::ReplyWithHeaders("Content-Encoding: br\r\n", std::string(4, '\xff')))});
    // Every connection is sent back to the same place.
    const kytest::ScriptedServer loop({kytest::ScriptedAnswer::Send(
        "HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")});
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string err;  // in standard error; empty: standard error stays empty
    } cases[] = {
        {{server.url("/status/404")}, 0, ""},
        {{server.url("/status/503")}, 0, ""},
        {{"-f", server.url("/status/404")}, 22, "HTTP status 404"},
        {{"-f", server.url("/status/399")}, 0, ""},
        {{refused}, 7, "status 601 connection failed"},
        {{"-m", "0.3", server.url("/stall")}, 28, "status 602 timed out"},
        {{"--connect-timeout", "0.3", "-m", "0.3", server.url("/stall")}, 28, "(28)"},
        {{unresolvable}, 6, "Could not resolve host"},
        {{"http://"}, 3, "(3)"},
        {{"http://127.0.0.1:99999/"}, 3, "(3)"},
        {{"nope://127.0.0.1/"}, 1, "nope"},
        {{tls.url("/bytes/1")}, 60, "SSL certificate problem"},
        {{"--cacert", dir.file("absent.pem"), tls.url("/bytes/1")}, 77, "absent.pem"},
        {{server.url("/drop/1000")}, 18, "(18)"},
        {{server.url("/reset")}, 56, "status 601 connection failed"},
        {{"-L", "--max-redirs", "0", server.url("/header?status=302&Location=/x")}, 47, "(47)"},
        {{"-o", dir.path(), server.url("/bytes/3")}, 23, dir.path()},
        {{"-O", server.url("/")}, 23, "Remote file name"},
        {{"-T", dir.file("absent"), server.url("/")}, 26, "absent"},
        {{"-F", "f=@" + dir.file("absent"), server.url("/")}, 26, "absent"},
        {{"-F", "f=v", refused}, 7, "status 601 connection failed"},
        {{"-m", "0.3", "-F", "f=v", server.url("/stall")}, 28, "status 602 timed out"},
        {{"-d", "@" + dir.path(), server.url("/")}, 26, dir.path()},
        {{"-L", loop.url("/loop")}, 47, "Maximum (50) redirects followed"},
        {{"-L", "--max-redirs", "2", loop.url("/loop")}, 47, "Maximum (2) redirects followed"},
        {{server.url("/[1-")}, 3, "bad range in URL position"},
        {{server.url("/{a,b")}, 3, "unmatched brace in URL position"},
        {{"--bogus", server.url("/")}, 2, "--bogus"},
        {{"--compressed", server.url("/header?Content-Encoding=gzip")}, 61, "unencoding"},
        {{"--compressed", brokenBrotli.url()}, 61, "bad HTTP Content or Transfer-Encoding"},
        {{"--compressed", server.url("/header?Content-Encoding=gzip,gzip,gzip,gzip,gzip,gzip")},
         61,
         "more than 5 content encodings"},
        {{"--fail-with-body", server.url("/status/404")}, 22, "HTTP status 404"},
        {{"--max-filesize", "5", server.url("/bytes/10")}, 63, "(63)"},
        {{"--etag-compare", dir.file("absent"), server.url("/")}, 26, "absent"},
    };
    for (const Case& c : cases) {
        RunResult r = RunKycurl(c.args);
        std::string named = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.exitStatus, c.exit) << named << ": " << r.err;
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "") << named;
            continue;
        }
        EXPECT_NE(r.err.find(c.err), std::string::npos) << named << ": " << r.err;
        if (c.exit == 2) continue;
        EXPECT_EQ(r.err.rfind("kycurl: (" + std::to_string(c.exit) + ") ", 0), 0u) << r.err;
        EXPECT_EQ(LineCount(r.err), 1u) << named << ": " << r.err;
    }
}

TEST_F(KycurlTest, SilentDropsTheErrorLineUnlessShowError) {
    RunResult silent = RunKycurl({"-sf", server.url("/status/500")});
    EXPECT_EQ(silent.exitStatus, 22);
    EXPECT_EQ(silent.err, "");
    RunResult shown = RunKycurl({"-sSf", server.url("/status/500")});
    EXPECT_EQ(shown.exitStatus, 22);
    EXPECT_NE(shown.err.find("HTTP status 500"), std::string::npos) << shown.err;
    EXPECT_EQ(LineCount(shown.err), 1u) << shown.err;
}

TEST_F(KycurlTest, RetryRepeatsTransientFailuresOnly) {
    RunResult r = RunKycurl({"--retry", "1", "-f", server.url("/status/503")});
    EXPECT_EQ(r.exitStatus, 22);
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_NE(r.err.find("Warning: Problem : HTTP error. Will retry in 1 seconds. 1 retries left."),
              std::string::npos)
        << r.err;
    // A retry starts the output file again.
    kytest::TempDir dir;
    server.clearRequests();
    RunResult toFile = RunKycurl({"-s", "--retry", "1", "-o", dir.file("out"), server.url("/status/503")});
    EXPECT_EQ(toFile.exitStatus, 0) << toFile.err;
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(ReadFile(dir.file("out")), "status 503");
    server.clearRequests();
    EXPECT_EQ(RunKycurl({"--retry", "3", server.url("/status/404")}).exitStatus, 0);
    EXPECT_EQ(server.requestCount(), 1u);
    // --retry-all-errors retries what --retry alone does not; --retry-max-time refuses a delay past it.
    server.clearRequests();
    EXPECT_EQ(RunKycurl({"-s", "--retry", "1", "--retry-all-errors", server.url("/drop/4")}).exitStatus, 18);
    EXPECT_EQ(server.requestCount(), 2u);
    server.clearRequests();
    EXPECT_EQ(RunKycurl({"-s", "--retry", "1", "--retry-delay", "5", "--retry-max-time", "1", "-f",
                         server.url("/status/503")})
                  .exitStatus,
              22);
    EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
}  // namespace kytest
