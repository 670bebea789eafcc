// Routed requests on the dynamic route whose cached tunnel has gone away: one reconnect with a fresh
// tunnel, against real tunnels and the in-process server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/refused_port.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace {

using tppmtest::StartsWith;
using tppmtest::TunnelPort;

const char* const kDispatchTag = "KYLibCurl::KYLibCurlSendHttpReqInternal";
const char* const kCacheTag = "TppmUrlMapInfo";
const char* const kResolveTag = "KYLibCurl::getTPPMUrl";

std::string ReconnectLine(const std::string& refusedUrl, const std::string& url) {
    return "Unable to connect to dynamic tppm url [" + refusedUrl + "], refetching tppm url for [" + url +
           "] and retrying";
}

class TppmReconnect : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.KYLibCurlInit()); }

    // Sets up and caches a tunnel for url's key, then closes it: the cache now holds a dead tunnel.
    std::string CacheDeadTunnel(const std::string& client, const std::string& url) {
        tppmtest::QuietForget(session, url);
        std::string tunnelUrl;
        EXPECT_TRUE(session.getTPPMUrl(client, url, tunnelUrl, true));
        EXPECT_TRUE(kyfw::closeTunnel(TunnelPort(tunnelUrl)));
        log.clear();
        return tunnelUrl;
    }
    std::string Cached(const std::string& url) { return tppmtest::QuietCachedPrefix(session, url); }
    // The lines of the routing steps, without those of the session's other steps.
    std::vector<kytest::LogLine> RoutingLines() const {
        std::vector<kytest::LogLine> routing;
        for (const kytest::LogLine& line : log.lines()) {
            if (line.tag == kCacheTag || line.tag == kResolveTag ||
                (line.tag == kDispatchTag && StartsWith(line.message, "Unable to connect")))
                routing.push_back(line);
        }
        return routing;
    }

    kytest::TestServer server;
    KYLibCurl session;
    kytest::LogCapture log{7};
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

TEST_F(TppmReconnect, DeadTunnelIsDroppedAndTheRequestSucceedsThroughAFreshOne) {
    const std::string url = "http://reconnect-host:" + std::to_string(server.port()) + "/echo?n=1";
    const std::string deadUrl = CacheDeadTunnel("reconnect-client", url);

    ASSERT_TRUE(
        session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, "reconnect-client", true));

    EXPECT_EQ(session.m_httpRespCode, 200);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.lastRequest().target, "/echo?n=1");
    const std::string freshPrefix = Cached(url);
    const int freshPort = TunnelPort(freshPrefix);
    ASSERT_NE(freshPort, 0);
    EXPECT_NE(freshPort, TunnelPort(deadUrl));
    const std::string key = "reconnect-host:" + std::to_string(server.port());
    const std::string deadPrefix = deadUrl.substr(0, deadUrl.find("/echo"));
    const std::vector<kytest::LogLine> expected = {
        {"4", kCacheTag, "Key: [" + key + "] retrieved from cache with value [" + deadPrefix + "]"},
        {"7", kResolveTag, "TPPM url:[" + deadUrl + "]"},
        {"2", kDispatchTag, ReconnectLine(deadUrl, url)},
        {"-1", kCacheTag, "Key:[" + key + "] removed from cache"},
        {"-1", kCacheTag, "Key:[" + key + "] added to cache"},
        {"4", kCacheTag, "value [" + freshPrefix + "] added to cache"},
        {"7", kResolveTag, "TPPM url:[" + freshPrefix + "/echo?n=1]"},
    };
    EXPECT_EQ(RoutingLines(), expected);
    EXPECT_FALSE(log.contains("failed to send http request"));
}

// The second tunnel relays to a port that refuses: the relay resets the connection, which the transfer
// reports as refused (7), or, when the reset comes after the request was written, as a receive (56) or
// a send (55) failure. Only the first attempt may reconnect.
TEST_F(TppmReconnect, RefusedTwiceReconnectsOnceAndFails) {
    const kytest::RefusedPort refusing;
    const std::string url = "http://refused-twice-host:" + std::to_string(refusing.port()) + "/x";
    const std::string deadUrl = CacheDeadTunnel("refused-twice-client", url);

    EXPECT_FALSE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true,
                                               "refused-twice-client", true));

    size_t reconnectLines = 0;
    for (const std::string& message : log.messages())
        reconnectLines += StartsWith(message, "Unable to connect");
    EXPECT_EQ(reconnectLines, 1u);
    EXPECT_TRUE(log.contains(ReconnectLine(deadUrl, url)));
    EXPECT_TRUE(log.containsLine("-1", kDispatchTag, "failed to send http request"));
    const std::string secondUrl = Cached(url) + "/x";
    ASSERT_NE(TunnelPort(secondUrl), 0);
    ASSERT_NE(secondUrl, deadUrl);
    const std::string detailStart = "curl-err:[";
    const std::string urlField = "] url:[" + secondUrl + "]";
    std::string detail;
    for (const std::string& message : log.messages()) {
        if (StartsWith(message, detailStart)) detail = message;
    }
    ASSERT_NE(detail.find(urlField), std::string::npos) << detail;
    if (StartsWith(detail, "curl-err:[Failed sending data to the peer]"))
        EXPECT_EQ(session.m_httpRespCode, 0);
    else
        EXPECT_EQ(session.m_httpRespCode, HTTP_RESP_CONNECT_FAILED) << detail;
}

TEST_F(TppmReconnect, FailedReresolutionEndsWithoutFailureLines) {
    const std::string url = "http://reresolve-host:" + std::to_string(server.port()) + "/x";
    const std::string deadUrl = CacheDeadTunnel("reresolve-client", url);
    kyfw::setRoute("reresolve-client", kyfw::Route::Refuse);
    session.m_httpRespCode = 333;

    EXPECT_FALSE(
        session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, "reresolve-client", true));

    EXPECT_EQ(session.m_httpRespCode, 333);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(log.containsLine("2", kDispatchTag, ReconnectLine(deadUrl, url)));
    EXPECT_TRUE(log.containsLine(
        "-1", kCacheTag, "Key:[reresolve-host:" + std::to_string(server.port()) + "] removed from cache"));
    bool setupLine = false;
    for (const kytest::LogLine& line : log.lines()) {
        setupLine |= line.tag == kResolveTag && StartsWith(line.message, "Couldn't setup TPPM port, err:[");
        EXPECT_FALSE(StartsWith(line.message, "failed to send http request")) << line.message;
        EXPECT_FALSE(StartsWith(line.message, "curl-err:[")) << line.message;
    }
    EXPECT_TRUE(setupLine);
    EXPECT_EQ(Cached(url), "");
}

// Without the dynamic route a refused tunnel is not fetched again: the stale entry stays.
TEST_F(TppmReconnect, OrdinaryRouteDoesNotReconnect) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    const std::string url = "http://ordinary-host:" + std::to_string(server.port()) + "/x";
    const std::string deadUrl = CacheDeadTunnel("ordinary-client", url);

    EXPECT_FALSE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, "ordinary-client"));

    EXPECT_EQ(session.m_httpRespCode, HTTP_RESP_CONNECT_FAILED);
    for (const std::string& message : log.messages()) EXPECT_FALSE(StartsWith(message, "Unable to connect"));
    EXPECT_EQ(Cached(url) + "/x", deadUrl);
}

}  // namespace
