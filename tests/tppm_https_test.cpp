// A routed https request: the rewritten URL names 127.0.0.1, so the server certificate is checked
// against that address.
#include <gtest/gtest.h>

#include <string>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace {

class RoutedHttps : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.KYLibCurlInit());
        tppmtest::QuietForget(session, url);
    }

    kytest::TestServer server{kytest::TestServer::Scheme::Https};
    // The URL's own host is never looked up or checked: the tunnel URL replaces it.
    const std::string url = "https://tls-host:" + std::to_string(server.port()) + "/echo?tls=1";
    KYLibCurl session;
    kytest::LogCapture log{-1};
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

// The fixture's certificate is valid for 127.0.0.1, so with its CA the tunnelled request verifies.
TEST_F(RoutedHttps, VerifiesAgainstACertificateFor127001) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str()));

    ASSERT_TRUE(
        session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, "tls-client", true));

    EXPECT_EQ(session.m_httpRespCode, 200);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.lastRequest().target, "/echo?tls=1");
}

TEST_F(RoutedHttps, WithoutTheCaTheServerIsNotTrusted) {
    EXPECT_FALSE(
        session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, "tls-client", true));

    EXPECT_EQ(session.m_httpRespCode, 0);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(log.contains("failed to send http request"));
}

}  // namespace

// Sessions made one per routed request reuse the connection the session before left through the tunnel,
// while sharing is on; with it off, each opens its own.
TEST_F(RoutedHttps, SessionsPerRequestReuseTheirConnectionThroughTheTunnelWhileSharing) {
    constexpr int kSessions = 3;
    const struct {
        bool sharing;
        size_t connections;
    } rows[] = {{true, 1}, {false, kSessions}};
    struct SharingOnAfter {
        ~SharingOnAfter() { KYLibCurlGlobal::ShareConnections(true); }
    } restore;
    for (const auto& row : rows) {
        KYLibCurlGlobal::ShareConnections(row.sharing);
        const size_t before = server.connectionCount();
        for (int i = 0; i < kSessions; ++i) {
            KYLibCurl perRequest;
            ASSERT_TRUE(perRequest.KYLibCurlInit());
            ASSERT_TRUE(perRequest.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str()));
            EXPECT_TRUE(perRequest.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, false,
                                                         "tls-client", true))
                << row.sharing << " " << i;
        }
        EXPECT_EQ(server.connectionCount() - before, row.connections) << row.sharing;
    }
}
