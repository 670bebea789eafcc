// A routed https request goes through its tunnel, while TLS (server name, certificate check) and the
// Host line name the destination, as for a direct request. The destination's name is mapped to the
// tunnel, never resolved: its first label is longer than a name server accepts, so that a request the
// mapping missed fails at once instead of asking one. On either scheme, no spelling of the host and no
// redirect takes a routed request anywhere but through its tunnel.
#include <gtest/gtest.h>

#include <string>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/scripted_server.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace kytest {
namespace {

const std::string kName = std::string(64, 'd') + ".tls-dest.example";

class RoutedHttps : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.KYLibCurlInit());
        QuietForget(session, url);
    }
    bool SendRouted(bool dynamic = true) {
        return session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, "tls-client",
                                             dynamic);
    }
    std::string TunnelUrl() { return QuietCachedPrefix(session, url) + "/echo?tls=1"; }
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
    QuietForget(session, loopbackUrl);
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

// The tunnel relays to 127.0.0.1 at the URL's port, where the server listens: a request went through the
// tunnel when the server's connection came from the relay, straight to the host when it did not.
class RoutedSpelling : public ::testing::Test {
  protected:
    void SetUp() override {
        // libcurl checks the certificate against the host as it normalised it, which no certificate names
        // in every spelling; the route is what is tested here.
        ASSERT_TRUE(session.KYLibCurlInit(nullptr, true));
        // Each request on a connection of its own, so that each shows where it went.
        ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_FORBID_REUSE, 1));
        kyfw::setRoute("", kyfw::Route::Tunnel);
    }

    KYLibCurl session;
    kytest::LogCapture log{7};
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

// libcurl normalises these hosts before it matches a connection mapping: 127.1 and the rest become
// 127.0.0.1, a%2elocalhost becomes a.localhost, which libcurl itself resolves to the loopback address.
TEST_F(RoutedSpelling, EverySpellingOfTheHostGoesThroughTheTunnel) {
    const kytest::TestServer plain;
    const kytest::TestServer tls{kytest::TestServer::Scheme::Https};
    const char* const spellings[] = {"127.1", "0177.0.0.1", "127.000.000.001", "[0:0:0:0:0:ffff:7f00:1]",
                                     "a%2elocalhost"};
    for (const kytest::TestServer* server : {&plain, &tls}) {
        const std::string scheme = server == &tls ? "https://" : "http://";
        for (const char* spelling : spellings) {
            for (const bool dynamic : {true, false}) {
                const std::string url = scheme + spelling + ":" + std::to_string(server->port()) + "/echo";
                SCOPED_TRACE(url + (dynamic ? " dynamic route" : " ordinary route"));
                QuietForget(session, url);
                const size_t relayed = kyfw::relayedConnectionCount();
                const size_t accepted = server->connectionCount();
                const size_t requests = server->requestCount();

                EXPECT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true,
                                                          "spelling-client", dynamic));

                EXPECT_EQ(server->requestCount(), requests + 1);
                EXPECT_EQ(server->connectionCount(), accepted + 1);
                EXPECT_EQ(kyfw::relayedConnectionCount(), relayed + 1);
                QuietForget(session, url);
            }
        }
    }
}

// A redirect the caller lets libcurl follow stays on the tunnel, even one to the address a direct request
// would reach: the server behind the tunnel answers both, the one at that address sees nothing.
TEST_F(RoutedSpelling, ARedirectOfARoutedRequestStaysOnTheTunnel) {
    const kytest::TestServer direct;
    const std::string redirect = "HTTP/1.1 302 Found\r\nLocation: " + direct.url("/elsewhere") +
                                 "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_FOLLOWLOCATION, 1));
    for (const bool dynamic : {true, false}) {
        SCOPED_TRACE(dynamic ? "dynamic route" : "ordinary route");
        kytest::ScriptedServer far({kytest::ScriptedAnswer::Send(redirect),
                                    kytest::ScriptedAnswer::Send(kytest::ReplyWithHeaders("", "behind"))});
        const std::string url = "http://redirect-host:" + std::to_string(far.port()) + "/x";
        QuietForget(session, url);
        const size_t relayed = kyfw::relayedConnectionCount();

        EXPECT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true,
                                                  "redirect-client", dynamic));

        size_t length = 0;
        const char* body = session.GetHttpResponse(length, false);
        EXPECT_EQ(std::string(body ? body : "", length), "behind");
        EXPECT_EQ(far.connectionCount(), 2u);
        EXPECT_EQ(kyfw::relayedConnectionCount(), relayed + 2);
        EXPECT_EQ(direct.connectionCount(), 0u);
        QuietForget(session, url);
    }
}

}  // namespace
}  // namespace kytest
