// Routed requests on the dynamic route whose cached tunnel has gone away: one reconnect with a fresh
// tunnel, against real tunnels and the in-process server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/refused_port.h"
#include "support/scripted_server.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace kytest {
namespace {

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
        QuietForget(session, url);
        std::string tunnelUrl;
        EXPECT_TRUE(session.getTPPMUrl(client, url, tunnelUrl, true));
        EXPECT_TRUE(kyfw::closeTunnel(TunnelPort(tunnelUrl)));
        log.clear();
        return tunnelUrl;
    }
    std::string Cached(const std::string& url) { return QuietCachedPrefix(session, url); }
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

    // The server's URL under a host name of its own, with no tunnel cached for it yet.
    std::string UncachedUrl(const kytest::ScriptedServer& far) {
        const std::string url = "http://cut-host:" + std::to_string(far.port()) + "/x";
        QuietForget(session, url);
        return url;
    }
    size_t ReconnectLines() const {
        size_t lines = 0;
        for (const std::string& message : log.messages()) lines += StartsWith(message, "Unable to connect");
        return lines;
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

    // No reply of its own: the status from before the call does not stand.
    EXPECT_EQ(session.m_httpRespCode, 0);
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

// A tunnel whose far side is gone accepts the connection and then ends it: with nothing sent back, or
// with a reset once the request was written. Before any reply byte arrived that is a stale tunnel, however
// it shows, and the dynamic route reconnects once; the fresh tunnel reaches the server's next connection.
// The first connection ends as first says; every later one is answered with "fresh".
std::vector<kytest::ScriptedAnswer> FirstCutThenFresh(const kytest::ScriptedAnswer& first) {
    return {first, kytest::ScriptedAnswer::Send(kytest::ReplyWithHeaders("", "fresh"))};
}

// On the ordinary route too a dead tunnel is dropped and the firewall client asked again: it may name a
// fresh tunnel, or now reach the client directly. A URL reached directly that refuses is not retried.
TEST_F(TppmReconnect, OrdinaryRouteHealsADeadTunnelAfterTheRelayClosesItsTunnels) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    const std::string url = server.url("/echo");
    QuietForget(session, url);
    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, "ordinary-client"));
    const std::string firstPrefix = Cached(url);
    ASSERT_NE(TunnelPort(firstPrefix), 0);

    kyfw::closeAllTunnels();
    log.clear();
    server.clearRequests();
    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_PUT, url, "p=1", 3, true, "ordinary-client"));
    EXPECT_EQ(session.m_httpRespCode, 200);
    EXPECT_EQ(ReconnectLines(), 1u);
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.lastRequest().body, "p=1");
    const std::string secondPrefix = Cached(url);
    EXPECT_NE(TunnelPort(secondPrefix), 0);
    EXPECT_NE(secondPrefix, firstPrefix);

    // The tunnel's far end hangs up, and by then the firewall client reaches the client directly: the
    // request goes out once more, straight to the URL.
    kytest::ScriptedAnswer goneDirect = kytest::ScriptedAnswer::Close();
    goneDirect.onRequest = [] { kyfw::setRoute("", kyfw::Route::Direct); };
    kytest::ScriptedServer far(FirstCutThenFresh(goneDirect));
    const std::string farUrl = far.url("/x");
    QuietForget(session, farUrl);
    log.clear();
    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_PUT, farUrl, "p=2", 3, true, "ordinary-client"));
    EXPECT_EQ(ReconnectLines(), 1u);
    EXPECT_EQ(far.connectionCount(), 2u);
    size_t length = 0;
    const char* reply = session.GetHttpResponse(length, false);
    EXPECT_EQ(std::string(reply ? reply : "", length), "fresh");
    EXPECT_EQ(Cached(farUrl), "");

    const kytest::RefusedPort refusing;
    log.clear();
    EXPECT_FALSE(
        session.KYLibCurlSendHttpReq(HTTP_REQ_GET, refusing.url("/x"), nullptr, 0, true, "ordinary-client"));
    EXPECT_EQ(session.m_httpRespCode, HTTP_RESP_CONNECT_FAILED);
    EXPECT_EQ(ReconnectLines(), 0u);
}

struct StaleCase {
    const char* name;
    kytest::ScriptedAnswer first;
    bool dynamic;
    _http_req_type_ type;
};

bool ResentOnlyWhenRefused(_http_req_type_ type) { return type == HTTP_REQ_POST || type == HTTP_REQ_PATCH; }

const StaleCase kStaleCases[] = {
    {"PUT, dynamic route, closed without a reply", kytest::ScriptedAnswer::Close(), true, HTTP_REQ_PUT},
    {"GET, dynamic route, reset after the request", kytest::ScriptedAnswer::Reset(), true, HTTP_REQ_GET},
    {"DELETE, ordinary route, closed without a reply", kytest::ScriptedAnswer::Close(), false,
     HTTP_REQ_DELETE},
    {"PUT, ordinary route, reset after the request", kytest::ScriptedAnswer::Reset(), false, HTTP_REQ_PUT},
    {"POST, dynamic route, closed without a reply", kytest::ScriptedAnswer::Close(), true, HTTP_REQ_POST},
    {"POST, ordinary route, reset after the request", kytest::ScriptedAnswer::Reset(), false, HTTP_REQ_POST},
    {"PATCH, dynamic route, reset after the request", kytest::ScriptedAnswer::Reset(), true, HTTP_REQ_PATCH},
    {"PATCH, ordinary route, closed without a reply", kytest::ScriptedAnswer::Close(), false, HTTP_REQ_PATCH},
};

// A cut before any reply byte is a stale tunnel on either route, and the request goes out once more
// through a fresh one; but a POST or PATCH may have arrived before the cut, and fails instead.
TEST_F(TppmReconnect, ATunnelCutBeforeTheReplyReconnectsUnlessThePostOrPatchMayHaveArrived) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    for (const StaleCase& c : kStaleCases) {
        SCOPED_TRACE(c.name);
        log.clear();
        kytest::ScriptedServer far(FirstCutThenFresh(c.first));
        const std::string url = UncachedUrl(far);
        const bool reconnects = !ResentOnlyWhenRefused(c.type);

        EXPECT_EQ(session.KYLibCurlSendHttpReq2(c.type, url.c_str(), "a=1", 3, true, "cut-client", c.dynamic),
                  reconnects);

        EXPECT_EQ(far.connectionCount(), reconnects ? 2u : 1u);
        EXPECT_EQ(ReconnectLines(), reconnects ? 1u : 0u);
        EXPECT_EQ(log.contains("failed to send http request"), !reconnects);
        size_t length = 0;
        const char* body = session.GetHttpResponse(length, false);
        EXPECT_EQ(std::string(body ? body : "", length), reconnects ? "fresh" : "");
        if (reconnects)
            EXPECT_EQ(session.m_httpRespCode, 200);
        else
            EXPECT_NE(session.m_httpRespCode, 200);
    }
}

// A server that reads each request whole and then resets the connection, reached over the connection kept
// from the request before: libcurl sends the request once more by itself, on a new connection, and the
// reconnect would send it a third time. A POST or PATCH is not sent again after a cut, so it reaches the
// server twice at most; a PUT still is.
TEST_F(TppmReconnect, APostOverAKeptConnectionReachesAServerThatResetsTwiceAtMost) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    const std::string port = std::to_string(server.port());
    const std::string keptUrl = "http://kept-host:" + port + "/echo";
    const std::string resetUrl = "http://kept-host:" + port + "/reset";
    for (const _http_req_type_ type : {HTTP_REQ_POST, HTTP_REQ_PATCH, HTTP_REQ_PUT}) {
        for (const bool dynamic : {true, false}) {
            SCOPED_TRACE(std::string(KYLibCurl::GetHttpReqTypeString(type)) +
                         (dynamic ? " dynamic route" : " ordinary route"));
            QuietForget(session, keptUrl);
            ASSERT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, keptUrl.c_str(), nullptr, 0, true,
                                                      "kept-client", dynamic));
            server.clearRequests();
            log.clear();

            EXPECT_FALSE(session.KYLibCurlSendHttpReq2(type, resetUrl.c_str(), "a=1", 3, true, "kept-client",
                                                       dynamic));

            const size_t deliveries = server.requestCount();
            if (ResentOnlyWhenRefused(type)) {
                EXPECT_GE(deliveries, 1u);
                EXPECT_LE(deliveries, 2u);
                EXPECT_EQ(ReconnectLines(), 0u);
            } else {
                EXPECT_GT(deliveries, 1u);
                EXPECT_EQ(ReconnectLines(), 1u);
            }
            for (const kytest::ReceivedRequest& request : server.requests()) EXPECT_EQ(request.body, "a=1");
        }
    }
}

// Once a reply byte has arrived, the request fails as it comes, on either route.
TEST_F(TppmReconnect, ACutTunnelIsNotRetriedAfterAReplyByte) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    // 2 MiB is large enough that libcurl asks for "100 Continue" before it sends the body.
    const std::string body(2 << 20, 'b');
    for (const bool dynamic : {true, false}) {
        SCOPED_TRACE(dynamic ? "dynamic route" : "ordinary route");
        log.clear();
        kytest::ScriptedServer far(FirstCutThenFresh(kytest::ScriptedAnswer::ContinueThenReset()));
        const std::string url = UncachedUrl(far);

        EXPECT_FALSE(session.KYLibCurlSendHttpReq2(HTTP_REQ_POST, url.c_str(), body.data(), body.size(), true,
                                                   "cut-client", dynamic));

        EXPECT_NE(session.m_httpRespCode, 200);
        EXPECT_EQ(far.connectionCount(), 1u);
        EXPECT_EQ(ReconnectLines(), 0u);
        EXPECT_TRUE(log.contains("failed to send http request"));
    }
}

// Hands out its text a few bytes a call, as a caller's read callback does for a chunked upload.
struct ChunkReader {
    std::string text;
    size_t offset = 0;

    static size_t Read(void* buffer, size_t size, size_t nitems, void* userdata) {
        ChunkReader* reader = static_cast<ChunkReader*>(userdata);
        const size_t n = std::min({size * nitems, reader->text.size() - reader->offset, size_t{4}});
        memcpy(buffer, reader->text.data() + reader->offset, n);
        reader->offset += n;
        return n;
    }
};

class TppmReconnectUpload : public TppmReconnect {
  protected:
    void SetUp() override {
        TppmReconnect::SetUp();
        ASSERT_TRUE(session.KYLibCurlSetCallbackReadFunction(&ChunkReader::Read));
        ASSERT_TRUE(session.KYLibCurlSetReadData(&reader));
        ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, 20000));
        kyfw::setRoute("", kyfw::Route::Tunnel);
    }
    // A chunked upload of text, the lists kept so that the chunked line stays. No "100 Continue" wait.
    bool Upload(const std::string& url, bool dynamic) {
        reader = ChunkReader{"chunked-body-text"};
        if (!session.m_chunked &&
            (!session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Transfer-Encoding: chunked") ||
             !session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Expect:")))
            return false;
        return session.KYLibCurlSendHttpReq2(HTTP_REQ_POST, url.c_str(), nullptr, 0, false, "upload-client",
                                             dynamic);
    }

    ChunkReader reader;
};

// The server reads the whole body and closes without a reply: the callback is spent, so the request is
// not sent again with a body the caller did not give, and fails.
TEST_F(TppmReconnectUpload, AnUploadReadOnceIsNotSentAgain) {
    for (const bool dynamic : {true, false}) {
        SCOPED_TRACE(dynamic ? "dynamic route" : "ordinary route");
        log.clear();
        kytest::ScriptedAnswer readThenClose = kytest::ScriptedAnswer::Close();
        readThenClose.awaitBody = 8;
        kytest::ScriptedServer far(FirstCutThenFresh(readThenClose));
        const std::string url = UncachedUrl(far);

        EXPECT_FALSE(Upload(url, dynamic));

        EXPECT_NE(session.m_httpRespCode, 200);
        EXPECT_EQ(far.connectionCount(), 1u);
        EXPECT_EQ(ReconnectLines(), 0u);
        EXPECT_TRUE(log.contains("failed to send http request"));
        EXPECT_EQ(reader.offset, reader.text.size());
    }
}

// A refused connection reads nothing of the body: the reconnect sends all of it.
TEST_F(TppmReconnectUpload, AnUploadRefusedBeforeAnyReadIsSentWholeThroughAFreshTunnel) {
    for (const bool dynamic : {true, false}) {
        SCOPED_TRACE(dynamic ? "dynamic route" : "ordinary route");
        server.clearRequests();
        const std::string url = "http://upload-host:" + std::to_string(server.port()) + "/echo";
        CacheDeadTunnel("upload-client", url);

        ASSERT_TRUE(Upload(url, dynamic));

        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(ReconnectLines(), 1u);
        ASSERT_EQ(server.requestCount(), 1u);
        EXPECT_EQ(server.lastRequest().body, "chunked-body-text");
    }
}

// The tunnel a dynamic request went through closes before the next request, which finds its kept
// connection gone and the port refusing: one reconnect, and the request goes out once.
TEST_F(TppmReconnect, ATunnelClosedBetweenTwoDynamicRequestsIsReconnectedOnce) {
    const std::string url = "http://between-host:" + std::to_string(server.port()) + "/echo";
    QuietForget(session, url);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true,
                                                  "between-client", true));
        ASSERT_TRUE(kyfw::closeTunnel(TunnelPort(Cached(url))));
        log.clear();
        server.clearRequests();

        ASSERT_TRUE(
            session.KYLibCurlSendHttpReq2(HTTP_REQ_PUT, url.c_str(), "p=1", 3, true, "between-client", true));
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(ReconnectLines(), 1u);
        ASSERT_EQ(server.requestCount(), 1u);
        EXPECT_EQ(server.lastRequest().body, "p=1");
    }
}

// A refused connection carried nothing: a POST or PATCH goes out once more through a fresh tunnel, on
// either route, and reaches the server once.
TEST_F(TppmReconnect, APostOrPatchRefusedByADeadTunnelIsSentOnceThroughAFreshOne) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    const std::string url = "http://refused-post-host:" + std::to_string(server.port()) + "/echo";
    for (const _http_req_type_ type : {HTTP_REQ_POST, HTTP_REQ_PATCH}) {
        for (const bool dynamic : {true, false}) {
            SCOPED_TRACE(std::string(KYLibCurl::GetHttpReqTypeString(type)) +
                         (dynamic ? " dynamic route" : " ordinary route"));
            CacheDeadTunnel("refused-post-client", url);
            server.clearRequests();

            ASSERT_TRUE(session.KYLibCurlSendHttpReq2(type, url.c_str(), "b=2", 3, true,
                                                      "refused-post-client", dynamic));

            EXPECT_EQ(ReconnectLines(), 1u);
            ASSERT_EQ(server.requestCount(), 1u);
            EXPECT_EQ(server.lastRequest().method, KYLibCurl::GetHttpReqTypeString(type));
            EXPECT_EQ(server.lastRequest().body, "b=2");
        }
    }
}

// A dead tunnel's port is free, and a connection to it may get that very port as its own: it reaches
// itself, and its request comes back as the reply. Bound to that port on purpose here (the range lets the
// second attempt take the next port: the first one's end of the connection waits out its close), the
// request reconnects through a fresh tunnel as if refused, a POST too, and reaches the server once.
TEST_F(TppmReconnect, AConnectionToItselfOnADeadTunnelsPortReconnectsAsIfRefused) {
    const std::string url = "http://self-host:" + std::to_string(server.port()) + "/echo";
    for (const _http_req_type_ type : {HTTP_REQ_GET, HTTP_REQ_POST}) {
        SCOPED_TRACE(KYLibCurl::GetHttpReqTypeString(type));
        const int deadPort = TunnelPort(CacheDeadTunnel("self-client", url));
        ASSERT_NE(deadPort, 0);
        session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOCALPORT, deadPort);
        session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOCALPORTRANGE, 100);
        server.clearRequests();

        const bool sent =
            session.KYLibCurlSendHttpReq2(type, url.c_str(), "b=3", 3, true, "self-client", true);
        session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOCALPORT, 0);

        EXPECT_TRUE(sent);
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(ReconnectLines(), 1u);
        EXPECT_EQ(server.requestCount(), 1u);
        EXPECT_FALSE(log.contains("failed to send http request"));
    }
}

// After a routed 200, a request that fails before any reply of its own shows 0, not that 200.
TEST_F(TppmReconnect, AFailureWithoutAReplyOfItsOwnShowsNoEarlierStatus) {
    const std::string port = std::to_string(server.port());
    const std::string url = "http://status-host:" + port + "/echo";
    const struct {
        const char* name;
        void (*arrange)();
        _http_req_type_ type;
        std::string url;
        size_t len;  // a body length without a body
        bool dynamic;
    } cases[] = {
        {"the firewall client cannot tell", [] { kyfw::setRoute("", kyfw::Route::Undecided); }, HTTP_REQ_GET,
         url, 0, false},
        {"no tunnel can be set up after the kept one closed",
         [] {
             kyfw::closeAllTunnels();
             kyfw::setRoute("status-client", kyfw::Route::Refuse);
         },
         HTTP_REQ_GET, url, 0, true},
        {"a POST with a length and no body", [] {}, HTTP_REQ_POST, url, 5, true},
        {"a routed URL without a scheme", [] { kyfw::setRoute("", kyfw::Route::Tunnel); }, HTTP_REQ_GET,
         "status-host:" + port + "/echo", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kyfw::resetRoutes();
        QuietForget(session, url);
        ASSERT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true,
                                                  "status-client", true));
        ASSERT_EQ(session.m_httpRespCode, 200);
        c.arrange();
        const size_t requests = server.requestCount();

        EXPECT_FALSE(session.KYLibCurlSendHttpReq2(c.type, c.url.c_str(), nullptr, c.len, true,
                                                   "status-client", c.dynamic));

        EXPECT_EQ(session.m_httpRespCode, 0);
        EXPECT_EQ(server.requestCount(), requests);
    }
}

}  // namespace
}  // namespace kytest
