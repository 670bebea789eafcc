// A routed https request goes through its tunnel, while TLS (server name, certificate check) and the
// Host line name the destination, as for a direct request. The destination's name is mapped to the
// tunnel, never resolved: its first label is longer than a name server accepts, so that a request the
// mapping missed fails at once instead of asking one.
#include <gtest/gtest.h>

#include <string>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace {

using tppmtest::TunnelPort;

const std::string kName = std::string(64, 'd') + ".tls-dest.example";

class RoutedHttps : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.KYLibCurlInit());
        tppmtest::QuietForget(session, url);
    }
    bool SendRouted(bool dynamic = true) {
        return session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, "tls-client",
                                             dynamic);
    }
    std::string TunnelUrl() { return tppmtest::QuietCachedPrefix(session, url) + "/echo?tls=1"; }
    // The url field of the failure line; empty when there is none.
    std::string FailureUrl() const {
        for (const std::string& message : log.messages()) {
            const size_t at = message.find("] url:[");
            if (message.rfind("curl-err:[", 0) == 0 && at != std::string::npos)
                return message.substr(at + 7, message.find(']', at + 7) - at - 7);
        }
        return std::string();
    }

    kytest::TestServer server{kytest::TestServer::Scheme::Https, kName};
    const std::string hostPort = kName + ":" + std::to_string(server.port());
    const std::string url = "https://" + hostPort + "/echo?tls=1";
    KYLibCurl session;
    kytest::LogCapture log{7};
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

// The certificate names the destination alone: it verifies with its CA, and the server sees the name in
// the TLS server name and the Host line. The lines show the tunnel URL.
TEST_F(RoutedHttps, VerifiesTheDestinationsOwnName) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str()));

    for (const bool dynamic : {true, false}) {
        SCOPED_TRACE(dynamic ? "dynamic route" : "ordinary route");
        kyfw::setRoute("", kyfw::Route::Tunnel);
        server.clearRequests();
        log.clear();
        ASSERT_TRUE(SendRouted(dynamic));

        EXPECT_EQ(session.m_httpRespCode, 200);
        ASSERT_EQ(server.requestCount(), 1u);
        const kytest::ReceivedRequest request = server.lastRequest();
        EXPECT_EQ(request.target, "/echo?tls=1");
        EXPECT_EQ(request.serverName, kName);
        EXPECT_EQ(request.header("Host"), hostPort);
        ASSERT_NE(TunnelPort(TunnelUrl()), 0);
        EXPECT_TRUE(log.containsLine("7", "KYLibCurl::getTPPMUrl", "TPPM url:[" + TunnelUrl() + "]"));
    }
}

TEST_F(RoutedHttps, WithoutTheCaTheServerIsNotTrusted) {
    EXPECT_FALSE(SendRouted());

    EXPECT_EQ(session.m_httpRespCode, 0);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(log.contains("failed to send http request"));
    EXPECT_EQ(FailureUrl(), TunnelUrl());
}

// A certificate for 127.0.0.1 is not one for the destination.
TEST_F(RoutedHttps, ACertificateFor127001DoesNotVerifyTheDestination) {
    const kytest::TestServer loopback{kytest::TestServer::Scheme::Https};
    const std::string loopbackUrl = "https://" + kName + ":" + std::to_string(loopback.port()) + "/echo";
    tppmtest::QuietForget(session, loopbackUrl);
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, loopback.caFile().c_str()));

    EXPECT_FALSE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, loopbackUrl.c_str(), nullptr, 0, true,
                                               "tls-client", true));

    EXPECT_EQ(loopback.requestCount(), 0u);
    EXPECT_TRUE(log.contains("failed to send http request"));
}

// The mapping belongs to the request: the session's next request, sent directly, does not reach the
// tunnel, and the name is not resolved either. A reconnect maps the name to the fresh tunnel.
TEST_F(RoutedHttps, TheMappingEndsWithTheRequestAndFollowsAReconnect) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str()));
    ASSERT_TRUE(SendRouted());
    const size_t relayed = kyfw::relayedConnectionCount();

    EXPECT_FALSE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, nullptr));
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(kyfw::relayedConnectionCount(), relayed);

    const std::string deadUrl = TunnelUrl();
    ASSERT_TRUE(kyfw::closeTunnel(TunnelPort(deadUrl)));
    log.clear();
    ASSERT_TRUE(SendRouted());
    EXPECT_TRUE(log.contains("Unable to connect to dynamic tppm url [" + deadUrl +
                             "], refetching tppm url for [" + url + "] and retrying"));
    EXPECT_NE(TunnelUrl(), deadUrl);
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(server.lastRequest().serverName, kName);
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
