// kycurl's connections: TLS verification, a proxy, and one connection for several URLs.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"
#include "support/log_capture.h"
#include "support/refused_port.h"

namespace kytest {
namespace {

TEST_F(KycurlTest, HttpsVerifiesUnlessToldOtherwise) {
    kytest::TestServer tls(kytest::TestServer::Scheme::Https);
    RunResult unverified = RunKycurl({tls.url("/bytes/2")});
    EXPECT_EQ(unverified.exitStatus, 60);
    EXPECT_NE(unverified.err.find("SSL certificate problem"), std::string::npos) << unverified.err;
    RunResult withCa = RunKycurl({"--cacert", tls.caFile(), tls.url("/bytes/2")});
    EXPECT_EQ(withCa.exitStatus, 0) << withCa.err;
    EXPECT_EQ(withCa.out, "ab");
    RunResult insecure = RunKycurl({"-k", "--ssl-reqd", tls.url("/bytes/2")});
    EXPECT_EQ(insecure.exitStatus, 0) << insecure.err;
    EXPECT_EQ(insecure.out, "ab");
    kytest::TempDir dir;
    WriteFile(dir.file("up.bin"), std::string(100000, 'u'));
    RunResult upload = RunKycurl({"--cacert", tls.caFile(), "-v", "-T", dir.file("up.bin"), tls.url("/in/")});
    EXPECT_EQ(upload.exitStatus, 0) << upload.err;
    EXPECT_NE(upload.err.find("* SSL connection using"), std::string::npos) << upload.err;
    EXPECT_EQ(tls.lastRequest().target, "/in/up.bin");
    EXPECT_EQ(tls.lastRequest().body, std::string(100000, 'u'));
}

// The proxy receives the whole URL; the host behind it is never resolved here.
TEST_F(KycurlTest, ProxyReceivesTheAbsoluteUrl) {
    RunResult r =
        RunKycurl({"-x", "127.0.0.1:" + std::to_string(server.port()), "http://proxied.invalid/x?y=1"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.lastRequest().target, "http://proxied.invalid/x?y=1");
    EXPECT_EQ(server.lastRequest().header("Host"), "proxied.invalid");
}

TEST_F(KycurlTest, SeveralUrlsShareOneConnection) {
    RunResult r = RunKycurl({server.url("/bytes/1"), server.url("/bytes/2"), server.url("/echo?x")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 3), "aab");
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(server.connectionCount(), 1u);
    kytest::TempDir dir;
    RunResult ports = RunKycurl({"-o", dir.file("1"), "-o", dir.file("2"), "-w", "%{local_port}\\n",
                                 server.url("/bytes/1"), server.url("/bytes/2")});
    ASSERT_EQ(ports.exitStatus, 0) << ports.err;
    const size_t lineEnd = ports.out.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << ports.out;
    const std::string port = ports.out.substr(0, lineEnd);
    EXPECT_GT(std::atoi(port.c_str()), 0) << ports.out;
    EXPECT_EQ(ports.out, port + "\n" + port + "\n");
    // The exit status is the last URL's, as in curl.
    const kytest::RefusedPort refusing;
    const std::string refused = refusing.url();
    EXPECT_EQ(RunKycurl({refused, server.url("/bytes/1")}).exitStatus, 0);
    EXPECT_EQ(RunKycurl({server.url("/bytes/1"), refused}).exitStatus, 7);
    server.clearRequests();
    EXPECT_EQ(RunKycurl({"--fail-early", refused, server.url("/bytes/1")}).exitStatus, 7);
    EXPECT_EQ(RunKycurl({"--fail-early", refused, "--next", server.url("/bytes/1")}).exitStatus, 7);
    EXPECT_EQ(server.requestCount(), 0u);
}

}  // namespace
}  // namespace kytest
